#include "registry/files.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/random.h>
#include <time.h>
#include <unistd.h>

#include <atomic>

#include "zkxwin32/errors.h"

namespace zkx::win32::reg {

const char kValuesFile[] = ".values";
const char kLockFile[] = ".lock";

namespace {

const char kNewValuesFile[] = ".values.new";

LONG write_all(int fd, const std::string& text) {
    size_t done = 0;
    while (done < text.size()) {
        ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0) {
            if (errno == EINTR) continue;
            return win32_from_errno(errno, ERROR_CANTWRITE);
        }
        done += size_t(n);
    }
    return ERROR_SUCCESS;
}

LONG read_all(int fd, size_t size_hint, std::string* out) {
    out->clear();
    out->reserve(size_hint);
    char buf[16384];
    for (;;) {
        ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0) {
            if (errno == EINTR) continue;
            if (errno == EISDIR) return ERROR_REGISTRY_CORRUPT;
            return win32_from_errno(errno, ERROR_CANTREAD);
        }
        if (n == 0) return ERROR_SUCCESS;
        if (out->size() + size_t(n) > kMaxKeyFileBytes) return ERROR_REGISTRY_CORRUPT;
        out->append(buf, size_t(n));
    }
}

}  // namespace

LONG win32_from_errno(int err, LONG fallback) {
    switch (err) {
        case ENOENT:
        case ENOTDIR: return ERROR_FILE_NOT_FOUND;
        case EACCES:
        case EPERM:
        case EROFS: return ERROR_ACCESS_DENIED;
        case ENOSPC:
        case EDQUOT:
        case EFBIG: return ERROR_DISK_FULL;  // a file-size limit stops a write as a full disk does
        case ENAMETOOLONG: return ERROR_FILENAME_EXCED_RANGE;
        case ENOMEM: return ERROR_NOT_ENOUGH_MEMORY;
        case EMFILE:
        case ENFILE: return ERROR_TOO_MANY_OPEN_FILES;
        default: return fallback;
    }
}

LONG read_key_file(const std::string& dir, KeyFile* out, timespec* mtime) {
    std::string path = dir + "/" + kValuesFile;
    // O_NONBLOCK: a FIFO or a device planted as a key file must give an
    // error at once, not stall the reader until someone writes to it.
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY);
    if (fd < 0) {
        // A link, a socket: not a file we wrote.
        if (errno == ELOOP || errno == ENXIO || errno == ENODEV) return ERROR_REGISTRY_CORRUPT;
        return win32_from_errno(errno, ERROR_CANTREAD);
    }
    struct stat st {};
    LONG rc = ERROR_SUCCESS;
    std::string text;
    if (::fstat(fd, &st) != 0) {
        rc = win32_from_errno(errno, ERROR_CANTREAD);
    } else if (!S_ISREG(st.st_mode) || size_t(st.st_size) > kMaxKeyFileBytes) {
        rc = ERROR_REGISTRY_CORRUPT;
    } else {
        rc = read_all(fd, size_t(st.st_size), &text);
    }
    ::close(fd);
    if (rc != ERROR_SUCCESS) return rc;
    if (!parse_key_file(text, out)) return ERROR_REGISTRY_CORRUPT;
    if (mtime) *mtime = st.st_mtim;
    return ERROR_SUCCESS;
}

LONG write_key_file(const std::string& dir, const KeyFile& key, bool durable) {
    std::string text = serialize_key_file(key);
    if (text.size() > kMaxKeyFileBytes) return ERROR_NOT_ENOUGH_MEMORY;
    std::string path = dir + "/" + kValuesFile;
    std::string temp = dir + "/" + kNewValuesFile;
    // A .values.new left by a writer that was killed is removed and made
    // afresh: only the lock holder ever writes it, and creating it
    // exclusively means that whatever else sits at that name (a link, a
    // FIFO) is never opened.
    ::unlink(temp.c_str());
    int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0666);
    if (fd < 0) {
        if (errno == EEXIST || errno == EISDIR) return ERROR_REGISTRY_CORRUPT;
        return win32_from_errno(errno, ERROR_CANTWRITE);
    }
    struct stat old {};
    if (::lstat(path.c_str(), &old) == 0 && S_ISREG(old.st_mode)) ::fchmod(fd, old.st_mode & 07777);
    LONG rc = write_all(fd, text);
    if (rc == ERROR_SUCCESS && durable && ::fsync(fd) != 0) {
        rc = win32_from_errno(errno, ERROR_CANTWRITE);
    }
    // Some file systems report a full disk only when the file is closed.
    if (::close(fd) != 0 && rc == ERROR_SUCCESS) rc = win32_from_errno(errno, ERROR_CANTWRITE);
    if (rc == ERROR_SUCCESS && ::rename(temp.c_str(), path.c_str()) != 0) {
        rc = win32_from_errno(errno, ERROR_CANTWRITE);
    }
    if (rc != ERROR_SUCCESS) {
        ::unlink(temp.c_str());
        return rc;
    }
    if (durable) sync_dir(dir);
    return ERROR_SUCCESS;
}

void sync_dir(const std::string& dir) {
    int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0) return;
    ::fsync(fd);
    ::close(fd);
}

LONG flush_store(const std::string& dir) {
    int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0) return win32_from_errno(errno, ERROR_CANTWRITE);
    LONG rc = ::syncfs(fd) == 0 ? ERROR_SUCCESS : win32_from_errno(errno, ERROR_CANTWRITE);
    ::close(fd);
    return rc;
}

bool is_directory(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

uint64_t new_key_id() {
    uint64_t id = 0;
    while (id == 0) {
        if (::getrandom(&id, sizeof id, GRND_NONBLOCK) != ssize_t(sizeof id)) {
            // No entropy yet (early boot): time, pid and a counter still
            // tell this key from an earlier one of the same name.
            static std::atomic<uint64_t> counter{0};
            timespec ts{};
            ::clock_gettime(CLOCK_REALTIME, &ts);
            id = (uint64_t(ts.tv_sec) << 32) ^ uint64_t(ts.tv_nsec) ^ (uint64_t(::getpid()) << 20) ^
                 (counter.fetch_add(1) * 0x9E3779B97F4A7C15ull);
        }
    }
    return id;
}

LONG KeyLock::acquire(const std::string& dir) {
    release();
    std::string path = dir + "/" + kLockFile;
    for (;;) {
        // O_CREAT: a key directory made by hand has no lock file yet.  It
        // cannot bring a deleted key back: its directory is gone.
        // O_NONBLOCK: a FIFO in the lock file's place must not stall us.
        int fd = ::open(path.c_str(), O_RDONLY | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY,
                        0666);
        if (fd < 0) {
            if (errno == ELOOP || errno == ENXIO || errno == ENODEV || errno == EISDIR) {
                return ERROR_REGISTRY_CORRUPT;
            }
            return win32_from_errno(errno, ERROR_CANTWRITE);
        }
        struct stat st {};
        if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
            ::close(fd);
            return ERROR_REGISTRY_CORRUPT;
        }
        int r;
        do {
            r = ::flock(fd, LOCK_EX);
        } while (r != 0 && errno == EINTR);
        if (r != 0) {
            LONG rc = win32_from_errno(errno, ERROR_CANTWRITE);
            ::close(fd);
            return rc;
        }
        // The key may have been deleted (its directory renamed away) while
        // we waited; then the lock we hold guards nothing.
        struct stat held {}, now {};
        if (::fstat(fd, &held) == 0 && ::stat(path.c_str(), &now) == 0 &&
            held.st_ino == now.st_ino && held.st_dev == now.st_dev) {
            fd_ = fd;
            return ERROR_SUCCESS;
        }
        ::close(fd);
    }
}

void KeyLock::release() {
    if (fd_ >= 0) {
        ::close(fd_);  // drops the flock
        fd_ = -1;
    }
}

}  // namespace zkx::win32::reg
