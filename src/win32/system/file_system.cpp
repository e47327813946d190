// Calls that act on a file by name rather than through a handle, and the
// layer's own path helpers.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "base/errno_map.h"
#include "system/path_map.h"
#include "system/share_mode.h"
#include "zkxwin32/errors.h"
#include "zkxwin32/file.h"

namespace zkx::win32 {
namespace {

// Copies text and terminator when they fit; returns the GetWindowsDirectory
// style result.
DWORD copy_out(const std::string& text, char* buffer, DWORD size) {
    if (!buffer || size <= text.size()) return DWORD(text.size() + 1);
    memcpy(buffer, text.c_str(), text.size() + 1);
    return DWORD(text.size());
}

}  // namespace
}  // namespace zkx::win32

using namespace zkx::win32;

extern "C" BOOL WINAPI DeleteFileA(LPCSTR name) {
    std::string host;
    if (DWORD err = path_to_host(name, &host)) {
        SetLastError(err);
        return FALSE;
    }
    struct stat st;
    if (lstat(host.c_str(), &st) != 0) {
        SetLastError(win32_error_for_path(host, errno, ERROR_ACCESS_DENIED));
        return FALSE;
    }
    if (S_ISDIR(st.st_mode)) {
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    // An open handle that does not share delete access keeps the file.  A
    // file we cannot open to look is deleted unchecked.
    if (S_ISREG(st.st_mode)) {
        int fd = open(host.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
        if (fd >= 0) {
            bool denied = share_denies_delete(fd);
            close(fd);
            if (denied) {
                SetLastError(ERROR_SHARING_VIOLATION);
                return FALSE;
            }
        }
    }
    if (unlink(host.c_str()) != 0) {
        SetLastError(win32_error_for_path(host, errno, ERROR_ACCESS_DENIED));
        return FALSE;
    }
    return TRUE;
}

extern "C" BOOL WINAPI CreateDirectoryA(LPCSTR name, LPSECURITY_ATTRIBUTES) {
    std::string host;
    if (DWORD err = path_to_host(name, &host, kMaxDirectoryChars)) {
        SetLastError(err);
        return FALSE;
    }
    if (mkdir(host.c_str(), 0777) != 0) {
        int err = errno;
        SetLastError(err == EEXIST ? DWORD(ERROR_ALREADY_EXISTS)
                                   : err == ENOENT ? DWORD(ERROR_PATH_NOT_FOUND)
                                                   : win32_error_from_errno(err, ERROR_ACCESS_DENIED));
        return FALSE;
    }
    return TRUE;
}

extern "C" DWORD WINAPI GetFileAttributesA(LPCSTR name) {
    std::string host;
    if (DWORD err = path_to_host(name, &host)) {
        SetLastError(err);
        return INVALID_FILE_ATTRIBUTES;
    }
    struct stat st;
    if (stat(host.c_str(), &st) != 0) {
        SetLastError(win32_error_for_path(host, errno, ERROR_ACCESS_DENIED));
        return INVALID_FILE_ATTRIBUTES;
    }
    if (S_ISDIR(st.st_mode)) return FILE_ATTRIBUTE_DIRECTORY;
    // Read-only in the Win32 sense: nobody is meant to write it.
    return (st.st_mode & 0222) ? FILE_ATTRIBUTE_NORMAL : FILE_ATTRIBUTE_READONLY;
}

extern "C" FILE* zkx_fopen(const char* path, const char* mode) {
    if (!path || !mode) {
        errno = EINVAL;
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    std::string host;
    if (DWORD err = path_to_host(path, &host)) {
        errno = err == ERROR_FILENAME_EXCED_RANGE ? ENAMETOOLONG : err == ERROR_INVALID_NAME ? EINVAL : ENOENT;
        SetLastError(err);
        return nullptr;
    }
    FILE* f = fopen(host.c_str(), mode);
    if (!f) {
        int err = errno;
        SetLastError(win32_error_for_path(host, err, ERROR_ACCESS_DENIED));
        errno = err;
    }
    return f;
}

extern "C" DWORD zkx_path_to_host(const char* path, char* buffer, DWORD size) {
    std::string host;
    if (DWORD err = path_to_host(path, &host)) {
        SetLastError(err);
        return 0;
    }
    return copy_out(host, buffer, size);
}

extern "C" DWORD zkx_path_to_windows(const char* host_path, char* buffer, DWORD size) {
    std::string host;
    if (DWORD err = path_to_host(host_path, &host)) {
        SetLastError(err);
        return 0;
    }
    return copy_out(path_to_windows(host), buffer, size);
}
