// GetTickCount: milliseconds of CLOCK_MONOTONIC, cut to 32 bits so that it
// wraps every 49.7 days as on Windows.  ZKX_TICK_START moves the whole
// process's count so that tests can watch the wrap without waiting for it.
#include <stdlib.h>
#include <time.h>

#include "zkxwin32/time.h"

namespace {

uint64_t monotonic_ms() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1000000u;
}

// Decimal, or hexadecimal after "0x"; nothing else may follow the digits and
// the value must fit 32 bits.  Anything else is ignored as if unset, rather
// than starting the count at a value nobody asked for.
bool parse_tick_start(const char* s, uint32_t* value) {
    if (!s) return false;
    unsigned base = 10;
    if (s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) {
        base = 16;
        s += 2;
    }
    if (!*s) return false;
    uint64_t v = 0;
    for (; *s; ++s) {
        unsigned d;
        if (*s >= '0' && *s <= '9') {
            d = static_cast<unsigned>(*s - '0');
        } else if (base == 16 && *s >= 'a' && *s <= 'f') {
            d = static_cast<unsigned>(*s - 'a' + 10);
        } else if (base == 16 && *s >= 'A' && *s <= 'F') {
            d = static_cast<unsigned>(*s - 'A' + 10);
        } else {
            return false;
        }
        v = v * base + d;
        if (v > 0xFFFFFFFFu) return false;
    }
    *value = static_cast<uint32_t>(v);
    return true;
}

uint64_t initial_offset(uint64_t now) {
    uint32_t start;
    if (!parse_tick_start(getenv("ZKX_TICK_START"), &start)) return 0;
    return static_cast<uint64_t>(start) - now;
}

}  // namespace

extern "C" DWORD WINAPI GetTickCount(void) {
    uint64_t now = monotonic_ms();
    // Fixed by the first call, with that call's own reading, so that it
    // returns exactly the requested start.
    static const uint64_t offset = initial_offset(now);
    return static_cast<DWORD>(now + offset);
}
