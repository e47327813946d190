#include "system/share_mode.h"

#include <fcntl.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

#include "zkxwin32/errors.h"

namespace zkx::win32 {
namespace {

constexpr off_t kMarkerBase = off_t(0x7FFFFFFF00000000LL);
constexpr int kMarkers = 6;
constexpr int kAttempts = 4;

// Marker bytes as bits of a mask: for kind k, bit 2k "has k" and bit 2k+1
// "does not share k".  Keeping the two of a kind side by side lets most
// opens set and test their markers with one or two calls.
unsigned has_bit(int kind) { return 1u << (2 * kind); }
unsigned deny_bit(int kind) { return 1u << (2 * kind + 1); }

// Applies fn to each run of adjacent marker bytes in mask; false as soon as
// fn does.
template <typename Fn>
bool for_each_run(unsigned mask, Fn fn) {
    for (int i = 0; i < kMarkers;) {
        if (!(mask & (1u << i))) {
            ++i;
            continue;
        }
        int start = i;
        while (i < kMarkers && (mask & (1u << i))) ++i;
        if (!fn(kMarkerBase + start, off_t(i - start))) return false;
    }
    return true;
}

bool lock_run(int fd, short type, off_t start, off_t len) {
    struct flock fl = {};
    fl.l_type = type;
    fl.l_whence = SEEK_SET;
    fl.l_start = start;
    fl.l_len = len;
    return fcntl(fd, F_OFD_SETLK, &fl) == 0;
}

void withdraw(int fd) { lock_run(fd, F_UNLCK, kMarkerBase, kMarkers); }

// True when an open file description other than fd's holds a lock in the
// run.  A file system without such locks reports none.
bool held_by_other(int fd, off_t start, off_t len) {
    struct flock fl = {};
    fl.l_type = F_WRLCK;
    fl.l_whence = SEEK_SET;
    fl.l_start = start;
    fl.l_len = len;
    if (fcntl(fd, F_OFD_GETLK, &fl) != 0) return false;
    return fl.l_type != F_UNLCK;
}

// The markers an open publishes, and those whose presence refuses it.
unsigned published(DWORD access, DWORD share) {
    unsigned mask = 0;
    for (int k = 0; k < 3; ++k) {
        if (access & (1u << k)) mask |= has_bit(k);
        if (!(share & (1u << k))) mask |= deny_bit(k);
    }
    return mask;
}

unsigned refusing(DWORD access, DWORD share) {
    unsigned mask = 0;
    for (int k = 0; k < 3; ++k) {
        if (access & (1u << k)) mask |= deny_bit(k);
        if (!(share & (1u << k))) mask |= has_bit(k);
    }
    return mask;
}

bool conflicts(int fd, unsigned refused_by) {
    return !for_each_run(refused_by, [fd](off_t start, off_t len) { return !held_by_other(fd, start, len); });
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
    unsigned mine = published(access, share), refused_by = refusing(access, share);
    for (int attempt = 0; attempt < kAttempts; ++attempt) {
        if (!for_each_run(mine, [fd](off_t start, off_t len) { return lock_run(fd, F_RDLCK, start, len); })) {
            withdraw(fd);
            return 0;  // no locks here: the open goes unchecked
        }
        if (!conflicts(fd, refused_by)) return 0;
        withdraw(fd);
        if (conflicts(fd, refused_by)) break;  // a real conflict, not a race
        random_pause();
    }
    return ERROR_SHARING_VIOLATION;
}

bool share_denies_delete(int fd) { return held_by_other(fd, kMarkerBase + 5, 1); }

}  // namespace zkx::win32
