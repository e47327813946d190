// MoveFileExA: a rename, which replaces the target in one step, so that a
// writer can prepare a whole new file beside the old one and swap it in.
#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "base/errno_map.h"
#include "system/path_map.h"
#include "zkxwin32/errors.h"
#include "zkxwin32/file.h"

using namespace zkx::win32;

namespace {

constexpr DWORD kErrorNotSameDevice = 17;

void sync_path(const std::string& path, int flags) {
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | flags);
    if (fd < 0) return;
    fsync(fd);
    close(fd);
}

std::string parent_of(const std::string& path) {
    size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

}  // namespace

extern "C" BOOL WINAPI MoveFileExA(LPCSTR lpExistingFileName, LPCSTR lpNewFileName, DWORD dwFlags) {
    const DWORD known = MOVEFILE_REPLACE_EXISTING | MOVEFILE_COPY_ALLOWED | MOVEFILE_WRITE_THROUGH;
    if (!lpExistingFileName || !lpNewFileName || (dwFlags & ~known)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    std::string from, to;
    if (DWORD err = path_to_host(lpExistingFileName, &from)) {
        SetLastError(err);
        return FALSE;
    }
    if (DWORD err = path_to_host(lpNewFileName, &to)) {
        SetLastError(err);
        return FALSE;
    }
    struct stat src {}, dst {};
    if (lstat(from.c_str(), &src) != 0) {
        SetLastError(win32_error_for_path(from, errno, ERROR_ACCESS_DENIED));
        return FALSE;
    }
    if (lstat(to.c_str(), &dst) == 0) {
        if (!(dwFlags & MOVEFILE_REPLACE_EXISTING)) {
            SetLastError(ERROR_ALREADY_EXISTS);
            return FALSE;
        }
        // Win32 never replaces a directory, nor replaces anything by one.
        if (S_ISDIR(dst.st_mode) || S_ISDIR(src.st_mode)) {
            SetLastError(ERROR_ACCESS_DENIED);
            return FALSE;
        }
    }
    // Write-through: the data first, so that the name never reaches the disk
    // ahead of what it names.
    if ((dwFlags & MOVEFILE_WRITE_THROUGH) && S_ISREG(src.st_mode)) sync_path(from, 0);
    if (rename(from.c_str(), to.c_str()) != 0) {
        // Moving between file systems would be a copy, which is not atomic.
        DWORD code = errno == EXDEV ? kErrorNotSameDevice
                                    : win32_error_for_path(to, errno, ERROR_ACCESS_DENIED);
        SetLastError(code);
        return FALSE;
    }
    if (dwFlags & MOVEFILE_WRITE_THROUGH) {
        sync_path(parent_of(to), O_DIRECTORY);
        if (parent_of(from) != parent_of(to)) sync_path(parent_of(from), O_DIRECTORY);
    }
    return TRUE;
}
