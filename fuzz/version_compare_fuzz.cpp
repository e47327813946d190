// ZKCompareVersion on arbitrary input: it never crashes, orders two strings
// the same way from both sides, and refuses (87) only strings that hold a
// character outside the version alphabet or are too long to compare.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "ZKVer.h"

namespace {

constexpr size_t kLongest = 255;

bool well_formed(const std::string& s) {
    if (s.size() > kLongest) return false;
    for (unsigned char c : s) {
        bool ok = (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') ||
                  c == '.' || c == ' ';
        if (!ok) return false;
    }
    return true;
}

void check(bool condition) {
    if (!condition) std::abort();
}

}  // namespace

// The comparison is linked without the platform layer; its thread notice
// on entry has nothing to do here.
extern "C" void WINAPI zkx_dll_thread_check(void) {}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // The two versions are the input's first two zero-terminated pieces; an
    // input without a zero byte is cut in half.
    const char* text = reinterpret_cast<const char*>(data);
    const void* zero = std::memchr(data, 0, size);
    size_t split = zero ? static_cast<size_t>(static_cast<const uint8_t*>(zero) - data) : size / 2;
    const std::string a(text, split);
    std::string b(text + split + (zero ? 1 : 0), text + size);
    b = b.c_str();

    LONG ab = 7, ba = 7, aa = 7;
    const DWORD rc_ab = ZKCompareVersion(a.c_str(), b.c_str(), &ab);
    const DWORD rc_ba = ZKCompareVersion(b.c_str(), a.c_str(), &ba);
    const DWORD rc_aa = ZKCompareVersion(a.c_str(), a.c_str(), &aa);

    // Both sides examine the same pairs of parts, so they fail alike.
    check(rc_ab == rc_ba);
    if (rc_ab == 0) {
        check(ab >= -1 && ab <= 1);
        check(ab == -ba);
    } else {
        check(rc_ab == ERROR_INVALID_PARAMETER && ab == 0 && ba == 0);
        check(!well_formed(a) || !well_formed(b));
    }
    if (well_formed(a)) check(rc_aa == 0 && aa == 0);
    else check(rc_aa == ERROR_INVALID_PARAMETER && aa == 0);
    return 0;
}
