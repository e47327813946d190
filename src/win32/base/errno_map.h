// Host errno values as Win32 error codes.
#ifndef ZKXWIN32_ERRNO_MAP_H
#define ZKXWIN32_ERRNO_MAP_H

#include <string>

#include "zkxwin32/types.h"

namespace zkx::win32 {

// ERROR_GEN_FAILURE: a device or file system failure with no closer code.
constexpr DWORD kErrorGenFailure = 31;

// The Win32 code for errno value `err`; `fallback` for values Win32 has no
// closer counterpart of (a read or a write fault, for instance).
DWORD win32_error_from_errno(int err, DWORD fallback);

// For a call on the host file `host`: as above, except that ENOENT gives
// ERROR_FILE_NOT_FOUND when only the last component is missing and
// ERROR_PATH_NOT_FOUND when a directory on the way is, as Win32 tells them.
DWORD win32_error_for_path(const std::string& host, int err, DWORD fallback);

// Same as win32_error_from_errno, and stores it as the thread's last error.
void set_last_error_from_errno(int err, DWORD fallback);

}  // namespace zkx::win32

#endif
