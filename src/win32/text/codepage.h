// The process's ANSI code page, read once from ZKX_CODEPAGE.
//
// Everything that walks ANSI text character by character (CharNextA,
// CharPrevA, lstrcmpiA, the formatter's truncation) asks this module which
// bytes start a double-byte character, so that a trail byte that happens to
// look like '\\' or 'A' is never taken for one.
#ifndef ZKXWIN32_CODEPAGE_H
#define ZKXWIN32_CODEPAGE_H

#include <stddef.h>
#include <stdint.h>

namespace zkx::win32 {

constexpr unsigned kDefaultCodePage = 1252;

// The active ANSI code page (GetACP).
unsigned active_code_page();

// True when b starts a double-byte character in the active code page.
bool is_lead_byte(unsigned char b);

// True when the active code page has double-byte characters at all; the
// single-byte paths skip every scan when it does not.
bool code_page_is_dbcs();

// The lower-case form of a single-byte character for case-insensitive
// comparison.  Must not be applied to either byte of a double-byte character.
unsigned char fold_case(unsigned char b);

// One UTF-16 unit as an ANSI byte of the active code page; '?' when the
// code page has no single byte for it.
char wide_to_ansi(uint16_t unit);

// Number of bytes at the end of text[0..len) that begin a double-byte
// character whose trail byte is missing: 1 or 0.
size_t dangling_lead_bytes(const char* text, size_t len);

// Reads ZKX_CODEPAGE again.  Tests call it after changing the variable; the
// library never does, as the code page of a process does not change.
void reset_code_page_for_tests();

}  // namespace zkx::win32

#endif
