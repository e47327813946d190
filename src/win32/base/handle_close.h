// CloseHandle dispatches on the handle's type to the subsystem that made it.
// Each subsystem registers its closer from a static initialiser in its own
// file; a type nobody registered cannot have been handed out.
#ifndef ZKXWIN32_HANDLE_CLOSE_H
#define ZKXWIN32_HANDLE_CLOSE_H

#include "base/handle_table.h"

namespace zkx::win32 {

// Returns TRUE, or FALSE with the last error set.  Called after the entry
// has left the table.
using HandleCloser = BOOL (*)(HANDLE h, const HandleEntry& entry);

// Returns true so that it can initialise a static.
bool register_handle_closer(HandleType type, HandleCloser closer);

}  // namespace zkx::win32

#endif
