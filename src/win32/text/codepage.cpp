// ANSI code page: GetACP, the double-byte lead-byte test and character
// stepping.
//
// Only what the library needs of a code page is modelled: which bytes lead a
// double-byte character, the case pairs of single-byte characters and the
// few wide characters a format may pass in.  There are no conversion tables
// for the double-byte code pages.
#include "text/codepage.h"

#include <atomic>
#include <cstdlib>

#include "zkxwin32/errors.h"
#include "zkxwin32/text.h"

namespace zkx::win32 {
namespace {

// 0 until the first use reads the environment.
std::atomic<unsigned> g_code_page{0};

unsigned read_code_page_from_environment() {
    const char* s = std::getenv("ZKX_CODEPAGE");
    if (!s || !*s) return kDefaultCodePage;
    unsigned long value = 0;
    for (const char* p = s; *p; ++p) {
        if (*p < '0' || *p > '9') return kDefaultCodePage;
        value = value * 10 + static_cast<unsigned long>(*p - '0');
        if (value > 65535) return kDefaultCodePage;
    }
    // Code page identifiers are 16-bit; 0 names none.
    return value == 0 ? kDefaultCodePage : static_cast<unsigned>(value);
}

// The bytes 0x80..0x9F of code page 1252 and the characters they stand for;
// 0 marks the five bytes that the code page leaves undefined.
constexpr uint16_t kCp1252High[32] = {
    0x20AC, 0,      0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
    0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0,      0x017D, 0,
    0,      0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
    0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0,      0x017E, 0x0178,
};

}  // namespace

unsigned active_code_page() {
    unsigned cp = g_code_page.load(std::memory_order_relaxed);
    if (cp == 0) {
        cp = read_code_page_from_environment();
        g_code_page.store(cp, std::memory_order_relaxed);
    }
    return cp;
}

void reset_code_page_for_tests() { g_code_page.store(0, std::memory_order_relaxed); }

bool is_lead_byte(unsigned char b) {
    switch (active_code_page()) {
    case 932:  // Shift-JIS
        return (b >= 0x81 && b <= 0x9F) || (b >= 0xE0 && b <= 0xFC);
    case 936:  // GBK
    case 949:  // Unified Hangul Code
    case 950:  // Big5
        return b >= 0x81 && b <= 0xFE;
    default:
        return false;
    }
}

bool code_page_is_dbcs() {
    switch (active_code_page()) {
    case 932: case 936: case 949: case 950: return true;
    default: return false;
    }
}

unsigned char fold_case(unsigned char b) {
    if (b >= 'A' && b <= 'Z') return static_cast<unsigned char>(b + ('a' - 'A'));
    if (b < 0x80 || active_code_page() != 1252) return b;
    // Latin-1 letters, except the multiplication sign between them.
    if (b >= 0xC0 && b <= 0xDE && b != 0xD7) return static_cast<unsigned char>(b + 0x20);
    switch (b) {
    case 0x8A: return 0x9A;  // S caron
    case 0x8C: return 0x9C;  // ligature OE
    case 0x8E: return 0x9E;  // Z caron
    case 0x9F: return 0xFF;  // Y diaeresis
    default: return b;
    }
}

char wide_to_ansi(uint16_t unit) {
    if (unit < 0x80) return static_cast<char>(unit);
    if (active_code_page() != 1252) return '?';
    if (unit >= 0xA0 && unit <= 0xFF) return static_cast<char>(unit);
    for (unsigned i = 0; i < 32; ++i) {
        if (kCp1252High[i] == unit) return static_cast<char>(0x80 + i);
    }
    return '?';
}

size_t dangling_lead_bytes(const char* text, size_t len) {
    if (!code_page_is_dbcs()) return 0;
    size_t i = 0;
    while (i < len) {
        if (!is_lead_byte(static_cast<unsigned char>(text[i]))) {
            ++i;
        } else if (i + 1 == len) {
            return 1;
        } else {
            i += 2;
        }
    }
    return 0;
}

}  // namespace zkx::win32

using namespace zkx::win32;

extern "C" UINT WINAPI GetACP(void) { return active_code_page(); }

extern "C" BOOL WINAPI IsDBCSLeadByte(BYTE TestChar) { return is_lead_byte(TestChar) ? TRUE : FALSE; }

extern "C" LPSTR WINAPI CharNextA(LPCSTR lpsz) {
    if (!lpsz) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    if (*lpsz == 0) return const_cast<LPSTR>(lpsz);
    // A lead byte right before the terminator stands alone: stepping over
    // both would leave the string.
    if (is_lead_byte(static_cast<unsigned char>(lpsz[0])) && lpsz[1] != 0) {
        return const_cast<LPSTR>(lpsz + 2);
    }
    return const_cast<LPSTR>(lpsz + 1);
}

extern "C" LPSTR WINAPI CharPrevA(LPCSTR lpszStart, LPCSTR lpszCurrent) {
    if (!lpszStart || !lpszCurrent || lpszCurrent <= lpszStart) {
        return const_cast<LPSTR>(lpszStart);
    }
    if (!code_page_is_dbcs()) return const_cast<LPSTR>(lpszCurrent - 1);
    // A byte in the lead range may be a trail byte, so the only safe way to
    // find the character before lpszCurrent is to walk from the start.  The
    // walk never reads at or beyond lpszCurrent.
    const char* p = lpszStart;
    for (;;) {
        if (p + 1 >= lpszCurrent) return const_cast<LPSTR>(p);
        const char* next = p + 1;
        if (is_lead_byte(static_cast<unsigned char>(*p)) && p[1] != 0) next = p + 2;
        if (next >= lpszCurrent) return const_cast<LPSTR>(p);
        p = next;
    }
}
