// How an object name given to a create or open call names an object.
#ifndef ZKXWIN32_KOBJ_NAME_H
#define ZKXWIN32_KOBJ_NAME_H

#include <stddef.h>

#include "zkxwin32/types.h"

namespace zkx::win32::kobj {

// The part of a name (len bytes, len > 0) that identifies the object: the
// name without a leading "Global\" or "Local\" (case-sensitive, as on
// Windows).  A namespace of this layer is both the session's and the global
// namespace, so X, Local\X and Global\X are one object.  0 with *key and
// *key_len set; 123 (ERROR_INVALID_NAME) when nothing follows the prefix;
// 3 (ERROR_PATH_NOT_FOUND) when what follows holds a backslash, which
// Windows takes for a namespace that does not exist.
DWORD object_name_key(const char* name, size_t len, const char** key, size_t* key_len);

}  // namespace zkx::win32::kobj

#endif
