// Open keys as HKEY values.  An HKEY is a slot of the handle table whose
// payload is a serial number; the key it stands for is kept here and shared
// with any call still using it, so closing a handle while another thread
// uses it is safe: that call finishes on the key it started with.
#ifndef ZKXWIN32_REGISTRY_HANDLES_H
#define ZKXWIN32_REGISTRY_HANDLES_H

#include <memory>

#include "registry/store.h"

namespace zkx::win32::reg {

using KeyPtr = std::shared_ptr<const KeyRef>;

// A new handle for `key`; ERROR_TOO_MANY_OPEN_FILES when the table is full.
LONG make_key_handle(const KeyRef& key, HKEY* out);

// The key behind a predefined root or an open handle; ERROR_INVALID_HANDLE
// for anything else.
LONG key_from_handle(HKEY h, KeyPtr* out);

bool is_predefined_key(HKEY h);

// Closes an open handle; ERROR_INVALID_HANDLE when it is not one.
LONG close_key_handle(HKEY h);

}  // namespace zkx::win32::reg

#endif
