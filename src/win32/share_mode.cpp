#include "share_mode.h"

#include <fcntl.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

#include "zkxwin32/errors.h"

namespace zkx::win32 {
namespace {

constexpr off_t kMarkerBase = off_t(0x7FFFFFFF00000000LL);
constexpr int kKinds = 3;
constexpr int kAttempts = 4;

off_t has_marker(int kind) { return kMarkerBase + kind; }
off_t deny_marker(int kind) { return kMarkerBase + 8 + kind; }

bool lock_byte(int fd, short type, off_t offset) {
    struct flock fl = {};
    fl.l_type = type;
    fl.l_whence = SEEK_SET;
    fl.l_start = offset;
    fl.l_len = 1;
    return fcntl(fd, F_OFD_SETLK, &fl) == 0;
}

void withdraw(int fd) {
    struct flock fl = {};
    fl.l_type = F_UNLCK;
    fl.l_whence = SEEK_SET;
    fl.l_start = kMarkerBase;
    fl.l_len = 16;
    fcntl(fd, F_OFD_SETLK, &fl);
}

// True when an open file description other than fd's holds a lock on the
// byte.  A file system without such locks reports none.
bool held_by_other(int fd, off_t offset) {
    struct flock fl = {};
    fl.l_type = F_WRLCK;
    fl.l_whence = SEEK_SET;
    fl.l_start = offset;
    fl.l_len = 1;
    if (fcntl(fd, F_OFD_GETLK, &fl) != 0) return false;
    return fl.l_type != F_UNLCK;
}

bool publish(int fd, DWORD access, DWORD share) {
    for (int k = 0; k < kKinds; ++k) {
        DWORD bit = DWORD(1) << k;
        if ((access & bit) && !lock_byte(fd, F_RDLCK, has_marker(k))) return false;
        if (!(share & bit) && !lock_byte(fd, F_RDLCK, deny_marker(k))) return false;
    }
    return true;
}

bool conflicts(int fd, DWORD access, DWORD share) {
    for (int k = 0; k < kKinds; ++k) {
        DWORD bit = DWORD(1) << k;
        if ((access & bit) && held_by_other(fd, deny_marker(k))) return true;
        if (!(share & bit) && held_by_other(fd, has_marker(k))) return true;
    }
    return false;
}

// A pause of up to about 200 us, different in every racing opener.
void random_pause() {
    static thread_local uint64_t state = 0;
    if (state == 0) {
        timespec ts{};
        clock_gettime(CLOCK_MONOTONIC, &ts);
        state = uint64_t(ts.tv_nsec) ^ (uint64_t(getpid()) << 32) ^ reinterpret_cast<uintptr_t>(&ts);
        state |= 1;
    }
    state ^= state << 13;
    state ^= state >> 7;
    state ^= state << 17;
    usleep(useconds_t(state % 200));
}

}  // namespace

DWORD share_acquire(int fd, DWORD access, DWORD share) {
    access &= kAccessAll;
    if (access == 0) return 0;
    for (int attempt = 0; attempt < kAttempts; ++attempt) {
        if (!publish(fd, access, share)) {
            withdraw(fd);
            return 0;  // no locks here: the open goes unchecked
        }
        if (!conflicts(fd, access, share)) return 0;
        withdraw(fd);
        if (conflicts(fd, access, share)) break;  // a real conflict, not a race
        random_pause();
    }
    return ERROR_SHARING_VIOLATION;
}

bool share_denies_delete(int fd) { return held_by_other(fd, deny_marker(2)); }

}  // namespace zkx::win32
