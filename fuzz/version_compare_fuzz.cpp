// ZKCompareVersion on arbitrary input: it never crashes, orders two strings the
// same way from both sides, and refuses only a character outside the alphabet,
// a string too long to compare, or a part worth the invalid mark 0xFFFFFFFF.
#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "ZKVer.h"

namespace {

void check(bool condition) { if (!condition) std::abort(); }

// At most 255 ASCII letters, digits, dots and spaces (isalnum in the "C" locale).
bool well_formed(const std::string& s) {
    auto allowed = [](unsigned char c) { return std::isalnum(c) || c == '.' || c == ' '; };
    return s.size() <= 255 && std::all_of(s.begin(), s.end(), allowed);
}

// A string compared with itself is equal or refused, and a refusal needs a
// reason: every part is examined, so a part worth the invalid mark counts.
DWORD compare_with_itself(const std::string& s) {
    LONG order = 7;
    const DWORD rc = ZKCompareVersion(s.c_str(), s.c_str(), &order);
    check(order == 0 && (rc == 0 || rc == ERROR_INVALID_PARAMETER) && (rc != 0 || well_formed(s)));
    return rc;
}

}  // namespace

// Linked without the platform layer, the comparison's thread notice has nothing to do.
extern "C" void WINAPI zkx_dll_thread_check(void) {}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // The versions are the input's first two zero-terminated pieces, or with no zero byte its halves.
    const char* text = reinterpret_cast<const char*>(data);
    const void* zero = std::memchr(data, 0, size);
    const size_t split = zero ? static_cast<size_t>(static_cast<const uint8_t*>(zero) - data) : size / 2;
    const std::string a(text, split), b = std::string(text + split + (zero ? 1 : 0), text + size).c_str();

    const DWORD rc_aa = compare_with_itself(a), rc_bb = compare_with_itself(b);
    LONG ab = 7, ba = 7;
    const DWORD rc_ab = ZKCompareVersion(a.c_str(), b.c_str(), &ab);
    // Both sides examine the same pairs of parts, so they fail alike.
    check(ZKCompareVersion(b.c_str(), a.c_str(), &ba) == rc_ab);
    if (rc_ab == 0) {
        check(ab >= -1 && ab <= 1 && ab == -ba);
    } else {
        check(rc_ab == ERROR_INVALID_PARAMETER && ab == 0 && ba == 0);
        // Well-formed strings are refused only for a part worth the invalid
        // mark, which their comparisons with themselves show.
        check(!well_formed(a) || !well_formed(b) || rc_aa != 0 || rc_bb != 0);
    }
    return 0;
}
