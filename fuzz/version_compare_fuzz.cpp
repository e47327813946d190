// ZKCompareVersion on arbitrary input: it never crashes, orders two strings
// the same way from both sides, and refuses (87) only strings that hold a
// character outside the version alphabet, are too long to compare, or hold a
// part whose value comes to the invalid mark 0xFFFFFFFF.
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

    LONG ab = 7, ba = 7, aa = 7, bb = 7;
    const DWORD rc_ab = ZKCompareVersion(a.c_str(), b.c_str(), &ab);
    const DWORD rc_ba = ZKCompareVersion(b.c_str(), a.c_str(), &ba);
    const DWORD rc_aa = ZKCompareVersion(a.c_str(), a.c_str(), &aa);
    const DWORD rc_bb = ZKCompareVersion(b.c_str(), b.c_str(), &bb);

    // Both sides examine the same pairs of parts, so they fail alike.
    check(rc_ab == rc_ba);
    if (rc_ab == 0) {
        check(ab >= -1 && ab <= 1);
        check(ab == -ba);
    } else {
        check(rc_ab == ERROR_INVALID_PARAMETER && ab == 0 && ba == 0);
        // Two well-formed strings are refused only for a part worth the
        // invalid mark; a string compared with itself examines every part,
        // so that part refuses it there too.
        check(!well_formed(a) || !well_formed(b) || rc_aa != 0 || rc_bb != 0);
    }
    const std::string* sides[] = {&a, &b};
    const DWORD self_rc[] = {rc_aa, rc_bb};
    const LONG self_cmp[] = {aa, bb};
    for (int i = 0; i < 2; ++i) {
        check(self_cmp[i] == 0);
        if (well_formed(*sides[i])) check(self_rc[i] == 0 || self_rc[i] == ERROR_INVALID_PARAMETER);
        else check(self_rc[i] == ERROR_INVALID_PARAMETER);
    }
    return 0;
}
