// File handles: CreateFileA and the calls on its handles.
//
// A file handle's payload is the descriptor and the access kinds it was
// opened for, so a lookup needs no allocation and nothing to free.  The
// descriptor is opened read-write whenever writing is asked for and the
// file permits it: the access checks are ours (ReadFile on a handle opened
// only for writing fails with 5 as on Win32), and a readable descriptor can
// carry the share-mode markers (system/share_mode.h).
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <string>

#include "base/errno_map.h"
#include "base/handle_close.h"
#include "system/path_map.h"
#include "system/share_mode.h"
#include "zkxwin32/errors.h"
#include "zkxwin32/file.h"

namespace zkx::win32 {
namespace {

constexpr DWORD kReadRights = GENERIC_READ | GENERIC_EXECUTE | GENERIC_ALL | FILE_READ_DATA;
constexpr DWORD kWriteRights = GENERIC_WRITE | GENERIC_ALL | FILE_WRITE_DATA | FILE_APPEND_DATA;
constexpr DWORD kDeleteRights = GENERIC_ALL | DELETE;
constexpr int kCreateRaces = 8;

struct OpenFile {
    int fd;
    DWORD access;  // kAccess* bits
};

uint64_t pack(const OpenFile& f) { return uint64_t(uint32_t(f.fd)) | (uint64_t(f.access) << 32); }

OpenFile unpack(uint64_t payload) {
    return OpenFile{int(uint32_t(payload)), DWORD(payload >> 32) & kAccessAll};
}

bool lookup_file(HANDLE h, OpenFile* f) {
    HandleEntry e;
    if (!handle_lookup(h, &e) || e.type != HandleType::File) {
        SetLastError(ERROR_INVALID_HANDLE);
        return false;
    }
    *f = unpack(e.payload);
    return true;
}

BOOL close_file(HANDLE, const HandleEntry& e) {
    // Linux releases the descriptor even when close reports an error, and
    // a Win32 caller can do nothing more about it either.
    close(unpack(e.payload).fd);
    return TRUE;
}

[[maybe_unused]] const bool g_closer_registered =
    register_handle_closer(HandleType::File, close_file);

std::atomic<UINT> g_error_mode{0};

DWORD access_kinds(DWORD desired) {
    DWORD kinds = 0;
    if (desired & kReadRights) kinds |= kAccessRead;
    if (desired & kWriteRights) kinds |= kAccessWrite;
    if (desired & kDeleteRights) kinds |= kAccessDelete;
    return kinds;
}

int open_for(const std::string& host, DWORD access, int flags, mode_t mode) {
    flags |= O_CLOEXEC | O_NOCTTY | O_NONBLOCK;
    if (!(access & kAccessWrite)) return open(host.c_str(), flags | O_RDONLY, mode);
    int fd = open(host.c_str(), flags | O_RDWR, mode);
    if (fd < 0 && errno == EACCES && !(access & kAccessRead)) {
        fd = open(host.c_str(), flags | O_WRONLY, mode);  // a file we may write but not read
    }
    return fd;
}

// Opens or creates as the disposition says; `existed` tells which.
DWORD open_disposed(const std::string& host, DWORD access, DWORD disposition, mode_t mode,
                    int extra_flags, int* fd, bool* existed) {
    for (int race = 0; race < kCreateRaces; ++race) {
        if (disposition != CREATE_NEW) {
            *fd = open_for(host, access, extra_flags, 0);
            if (*fd >= 0) {
                *existed = true;
                return 0;
            }
            if (errno != ENOENT || disposition == OPEN_EXISTING || disposition == TRUNCATE_EXISTING) {
                // O_NOFOLLOW met a link: that is a refusal, not a bad path.
                if ((extra_flags & O_NOFOLLOW) && errno == ELOOP) return ERROR_ACCESS_DENIED;
                return win32_error_for_path(host, errno, ERROR_ACCESS_DENIED);
            }
        }
        *fd = open_for(host, access, extra_flags | O_CREAT | O_EXCL, mode);
        if (*fd >= 0) {
            *existed = false;
            return 0;
        }
        if (errno != EEXIST) return win32_error_for_path(host, errno, ERROR_ACCESS_DENIED);
        if (disposition == CREATE_NEW) return ERROR_FILE_EXISTS;
        // Created by someone else in between: open that one.
    }
    return ERROR_SHARING_VIOLATION;
}

HANDLE fail(DWORD code) {
    SetLastError(code);
    return INVALID_HANDLE_VALUE;
}

// A folder that every user may write (/tmp and its like), or a sticky one
// that a group shares, can hold a link or a file that someone else planted.
bool others_may_write_folder(const std::string& host) {
    std::string dir = host.substr(0, host.rfind('/'));
    struct stat st;
    if (stat(dir.empty() ? "/" : dir.c_str(), &st) != 0) return true;
    return (st.st_mode & S_IWOTH) || ((st.st_mode & S_ISVTX) && (st.st_mode & S_IWGRP));
}

// What an open in such a folder must find: a plain file of the caller or of
// root, with one name only (a hard link of another file would carry our
// writes there) and that nobody else may write.
bool trusted_file(int fd) {
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_nlink != 1) return false;
    if (st.st_uid != geteuid() && st.st_uid != 0) return false;
    return !(st.st_mode & S_IWOTH);
}

HANDLE create_file(LPCSTR name, DWORD desired, DWORD share, DWORD disposition, DWORD flags,
                   mode_t new_mode, bool guarded) {
    if (disposition < CREATE_NEW || disposition > TRUNCATE_EXISTING) return fail(ERROR_INVALID_PARAMETER);
    if (share & ~kAccessAll) return fail(ERROR_INVALID_PARAMETER);
    DWORD access = access_kinds(desired);
    if (disposition == TRUNCATE_EXISTING && !(access & kAccessWrite)) return fail(ERROR_INVALID_PARAMETER);

    std::string host;
    if (DWORD err = path_to_host(name, &host)) return fail(err);

    mode_t mode = (flags & FILE_ATTRIBUTE_READONLY) ? (new_mode & 0444) : new_mode;
    const bool exposed = guarded && others_may_write_folder(host);
    int fd = -1;
    bool existed = false;
    if (DWORD err = open_disposed(host, access, disposition, mode, exposed ? O_NOFOLLOW : 0, &fd, &existed))
        return fail(err);

    // A directory opens read-only on Linux; Win32 wants backup semantics
    // for it, which we do not offer.  Opened for writing it failed already.
    struct stat st;
    DWORD err = 0;
    if (exposed && !trusted_file(fd)) {
        err = ERROR_ACCESS_DENIED;
    } else if (!(access & kAccessWrite) && fstat(fd, &st) == 0 && S_ISDIR(st.st_mode)) {
        err = ERROR_ACCESS_DENIED;
    } else {
        err = share_acquire(fd, access, share);
    }
    // Truncation waits for the share check: a refused open must leave the
    // file as it was.
    bool truncate = existed && (disposition == CREATE_ALWAYS || disposition == TRUNCATE_EXISTING);
    if (!err && truncate && ftruncate(fd, 0) != 0) err = win32_error_from_errno(errno, ERROR_ACCESS_DENIED);
    if (err) {
        close(fd);
        return fail(err);
    }

    HANDLE h = handle_insert(HandleType::File, pack(OpenFile{fd, access}));
    if (!h) {
        close(fd);
        return INVALID_HANDLE_VALUE;  // the table set the last error
    }
    bool reopened = existed && (disposition == OPEN_ALWAYS || disposition == CREATE_ALWAYS);
    SetLastError(reopened ? ERROR_ALREADY_EXISTS : ERROR_SUCCESS);
    return h;
}

}  // namespace
}  // namespace zkx::win32

using namespace zkx::win32;

extern "C" HANDLE WINAPI CreateFileA(LPCSTR name, DWORD desired, DWORD share, LPSECURITY_ATTRIBUTES,
                                     DWORD disposition, DWORD flags, HANDLE) {
    return create_file(name, desired, share, disposition, flags, 0666, false);
}

extern "C" HANDLE zkx_create_file_guarded(LPCSTR name, DWORD desired, DWORD share, DWORD disposition,
                                          unsigned mode) {
    return create_file(name, desired, share, disposition, FILE_ATTRIBUTE_NORMAL, mode_t(mode & 0777), true);
}

extern "C" BOOL WINAPI ReadFile(HANDLE h, LPVOID buffer, DWORD size, LPDWORD read_out,
                                LPOVERLAPPED overlapped) {
    if (read_out) *read_out = 0;
    OpenFile f;
    if (!lookup_file(h, &f)) return FALSE;
    if (overlapped || (!buffer && size)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (!(f.access & kAccessRead)) {
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    char* p = static_cast<char*>(buffer);
    DWORD done = 0;
    while (done < size) {
        ssize_t n = read(f.fd, p + done, size - done);
        if (n < 0) {
            if (errno == EINTR) continue;
            if (read_out) *read_out = done;
            set_last_error_from_errno(errno, ERROR_READ_FAULT);
            return FALSE;
        }
        if (n == 0) break;  // end of file: success with what was there
        done += DWORD(n);
    }
    if (read_out) *read_out = done;
    return TRUE;
}

extern "C" BOOL WINAPI WriteFile(HANDLE h, LPCVOID buffer, DWORD size, LPDWORD written_out,
                                 LPOVERLAPPED overlapped) {
    if (written_out) *written_out = 0;
    OpenFile f;
    if (!lookup_file(h, &f)) return FALSE;
    if (overlapped || (!buffer && size)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (!(f.access & kAccessWrite)) {
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    const char* p = static_cast<const char*>(buffer);
    DWORD done = 0;
    while (done < size) {
        ssize_t n = write(f.fd, p + done, size - done);
        if (n < 0) {
            if (errno == EINTR) continue;
            if (written_out) *written_out = done;
            set_last_error_from_errno(errno, ERROR_WRITE_FAULT);
            return FALSE;
        }
        done += DWORD(n);
    }
    if (written_out) *written_out = done;
    return TRUE;
}

extern "C" DWORD WINAPI SetFilePointer(HANDLE h, LONG distance, LPLONG distance_high, DWORD method) {
    OpenFile f;
    if (!lookup_file(h, &f)) return INVALID_SET_FILE_POINTER;
    int64_t move = distance_high ? int64_t((uint64_t(uint32_t(*distance_high)) << 32) | uint32_t(distance))
                                 : int64_t(distance);
    int64_t origin = 0;
    if (method == FILE_CURRENT) {
        origin = lseek(f.fd, 0, SEEK_CUR);
    } else if (method == FILE_END) {
        struct stat st;
        origin = fstat(f.fd, &st) == 0 ? int64_t(st.st_size) : -1;
    } else if (method != FILE_BEGIN) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_SET_FILE_POINTER;
    }
    if (origin < 0) {
        set_last_error_from_errno(errno, ERROR_INVALID_FUNCTION);
        return INVALID_SET_FILE_POINTER;
    }
    int64_t target = 0;
    if (__builtin_add_overflow(origin, move, &target) || target < 0) {
        SetLastError(ERROR_NEGATIVE_SEEK);
        return INVALID_SET_FILE_POINTER;
    }
    // Without a high part the caller could not be told a position past
    // 4 GiB, so the move is refused and the position stays.
    if (!distance_high && target > int64_t(UINT32_MAX)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_SET_FILE_POINTER;
    }
    if (lseek(f.fd, off_t(target), SEEK_SET) < 0) {
        set_last_error_from_errno(errno, ERROR_INVALID_PARAMETER);
        return INVALID_SET_FILE_POINTER;
    }
    if (distance_high) *distance_high = LONG(uint64_t(target) >> 32);
    DWORD low = DWORD(uint64_t(target));
    if (low == INVALID_SET_FILE_POINTER) SetLastError(ERROR_SUCCESS);  // tells it from a failure
    return low;
}

extern "C" DWORD WINAPI GetFileSize(HANDLE h, LPDWORD size_high) {
    OpenFile f;
    if (!lookup_file(h, &f)) return INVALID_FILE_SIZE;
    struct stat st;
    if (fstat(f.fd, &st) != 0) {
        set_last_error_from_errno(errno, kErrorGenFailure);
        return INVALID_FILE_SIZE;
    }
    uint64_t size = uint64_t(st.st_size);
    if (size_high) *size_high = DWORD(size >> 32);
    DWORD low = DWORD(size);
    if (low == INVALID_FILE_SIZE) SetLastError(ERROR_SUCCESS);
    return low;
}

extern "C" UINT WINAPI SetErrorMode(UINT mode) {
    UINT previous = g_error_mode.load(std::memory_order_relaxed);
    while (!g_error_mode.compare_exchange_weak(previous, mode | (previous & SEM_NOALIGNMENTFAULTEXCEPT),
                                               std::memory_order_relaxed)) {
    }
    return previous;
}

extern "C" UINT WINAPI GetErrorMode(void) { return g_error_mode.load(std::memory_order_relaxed); }

// The file ends at the current position: longer files are cut, shorter ones
// grow with zeros, as on Windows.
extern "C" BOOL WINAPI SetEndOfFile(HANDLE h) {
    OpenFile f;
    if (!lookup_file(h, &f)) return FALSE;
    if (!(f.access & kAccessWrite)) {
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    off_t here = lseek(f.fd, 0, SEEK_CUR);
    if (here < 0 || ftruncate(f.fd, here) != 0) {
        set_last_error_from_errno(errno, ERROR_WRITE_FAULT);
        return FALSE;
    }
    return TRUE;
}
