#include "base/errno_map.h"

#include <sys/stat.h>

#include <cerrno>

#include "zkxwin32/errors.h"

namespace zkx::win32 {

DWORD win32_error_from_errno(int err, DWORD fallback) {
    switch (err) {
    case 0: return ERROR_SUCCESS;
    case ENOENT: return ERROR_FILE_NOT_FOUND;
    case ENOTDIR:
    case ELOOP: return ERROR_PATH_NOT_FOUND;
    case EACCES:
    case EPERM:
    case EROFS:
    case EISDIR: return ERROR_ACCESS_DENIED;
    case EEXIST: return ERROR_FILE_EXISTS;
    case ENOSPC:
    case EDQUOT:
    case EFBIG: return ERROR_DISK_FULL;
    case EMFILE:
    case ENFILE: return ERROR_TOO_MANY_OPEN_FILES;
    case ENAMETOOLONG: return ERROR_FILENAME_EXCED_RANGE;
    case EBADF: return ERROR_INVALID_HANDLE;
    case ENOMEM: return ERROR_NOT_ENOUGH_MEMORY;
    case EINVAL: return ERROR_INVALID_PARAMETER;
    case ETXTBSY:
    case EAGAIN: return ERROR_SHARING_VIOLATION;
    case EBUSY: return ERROR_BUSY;
    case ENXIO:
    case ENODEV: return ERROR_NOT_READY;
    case ESPIPE: return ERROR_INVALID_FUNCTION;
    case EOVERFLOW: return ERROR_ARITHMETIC_OVERFLOW;
    default: return fallback;
    }
}

DWORD win32_error_for_path(const std::string& host, int err, DWORD fallback) {
    if (err != ENOENT) return win32_error_from_errno(err, fallback);
    std::string parent = host.substr(0, host.find_last_of('/'));
    struct stat st;
    if (stat(parent.empty() ? "/" : parent.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
        return ERROR_FILE_NOT_FOUND;
    }
    return ERROR_PATH_NOT_FOUND;
}

void set_last_error_from_errno(int err, DWORD fallback) {
    SetLastError(win32_error_from_errno(err, fallback));
}

}  // namespace zkx::win32
