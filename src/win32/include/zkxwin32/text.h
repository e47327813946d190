/* ANSI text: formatting, string routines, double-byte code pages. */
#ifndef ZKXWIN32_TEXT_H
#define ZKXWIN32_TEXT_H

#include "types.h"

ZKX_BEGIN_C
/*
 * wsprintfA, wvsprintfA: Win32 formatting, no floating point.
 *
 * A conversion is %[flags][width][.precision][size]type.
 *   flags      '-' left-justifies; '0' pads with zeros (after the sign and
 *              any 0x, and on the right as well when '-' is given, as Win32
 *              documents: "%-05d" of 42 is "42000"); '#' puts 0x or 0X
 *              before x, X and p, also before 0.  Flags may come in any order.
 *   width      minimum characters; never cuts a value.
 *   precision  numbers: minimum digits, and 0 or a bare '.' means 1, so 0
 *              always prints "0"; strings: maximum characters (bytes), and
 *              0 or a bare '.' prints none.
 *   size       h: short (d i u x X) or ANSI (c s C S); l, w: 32-bit LONG
 *              (d i u x X) or wide (c s C S); I64: 64-bit; I32: 32-bit;
 *              I: pointer-sized.
 *   type       c C d i u x X s S p.  Without I64 or I an integer argument
 *              is 32 bits, as Win32 LONG is, so callers pass DWORD, int or
 *              LONG, never a 64-bit long.  c and s take CHAR and LPSTR, C and
 *              S take 16-bit WCHAR units; a wide character the ANSI code page
 *              cannot show prints '?'.  p prints a pointer as upper-case hex
 *              with all its digits.
 * A character argument of value 0 prints nothing (its field is still
 * padded).  A null string prints "(null)", subject to the precision.  Any
 * other character after '%' (and its flags, width, precision and size) has no
 * meaning as a conversion: it is printed as it is, without them, and no
 * argument is read; so "%%" prints "%" and "%5q" prints "q".  A conversion
 * cut off by the end of the format prints nothing.
 *
 * At most 1023 characters and a terminator are written (1024 bytes, the
 * largest buffer Win32 allows).  Returns the number of characters written,
 * without the terminator.  When the text does not fit, it is cut at 1023
 * characters (one less if the last would be the first byte of a double-byte
 * character), the last error is ERROR_INSUFFICIENT_BUFFER and the smaller
 * count tells the caller.  A null lpOut returns 0; a null lpFmt writes an
 * empty string and returns 0; both set ERROR_INVALID_PARAMETER.
 */
int WINAPIV wsprintfA(LPSTR lpOut, LPCSTR lpFmt, ...);
int WINAPI wvsprintfA(LPSTR lpOut, LPCSTR lpFmt, va_list arglist);

/*
 * The lstr family works on bytes, as the ANSI functions on Windows do:
 * lstrcpynA may cut a double-byte character.  lstrlenA(NULL) is 0; a null
 * pointer makes the copying functions return NULL with
 * ERROR_INVALID_PARAMETER, and so does a negative iMaxLength.
 * lstrcpynA copies at most iMaxLength - 1 characters and always terminates
 * when iMaxLength > 0; with 0 it writes nothing and returns lpString1.
 * Overlapping strings are copied as if through a temporary buffer.
 *
 * lstrcmpA and lstrcmpiA return -1, 0 or 1; NULL sorts before every string
 * and equals NULL.  Windows compares linguistically for the user's locale.
 * These compare code values after case folding in the ANSI code page (A-Z,
 * and in 1252 the accented capitals as well), and lstrcmpA then prefers lower
 * case at the first difference in case, so plain letters and digits order as
 * on Windows ("a" < "A" < "b").  Where they differ: punctuation orders by
 * code value (Windows puts most of it before digits and ignores '-' and '\''
 * in its word sort), accented letters do not sort next to their base
 * letters, and double-byte characters order by their bytes and are never
 * case-folded.
 */
int WINAPI lstrlenA(LPCSTR lpString);
LPSTR WINAPI lstrcpyA(LPSTR lpString1, LPCSTR lpString2);
LPSTR WINAPI lstrcpynA(LPSTR lpString1, LPCSTR lpString2, int iMaxLength);
LPSTR WINAPI lstrcatA(LPSTR lpString1, LPCSTR lpString2);
int WINAPI lstrcmpiA(LPCSTR lpString1, LPCSTR lpString2);
int WINAPI lstrcmpA(LPCSTR lpString1, LPCSTR lpString2);

/*
 * The ANSI code page: 1252 unless ZKX_CODEPAGE names another by its decimal
 * number (read once per process; a value that is not a number from 1 to
 * 65535 is ignored).  932, 936, 949 and 950 are double-byte: lead bytes
 * 0x81-0x9F and 0xE0-0xFC in 932, 0x81-0xFE in the others.
 *
 * CharNextA steps over a double-byte character whole; a lead byte right
 * before the terminator counts alone, and at the terminator it stays.
 * CharPrevA returns the start of the character before lpszCurrent and never
 * goes before lpszStart (it returns lpszStart when lpszCurrent is not after
 * it, or when either is NULL).  CharNextA(NULL) returns NULL.
 */
UINT WINAPI GetACP(void);
BOOL WINAPI IsDBCSLeadByte(BYTE TestChar);
LPSTR WINAPI CharPrevA(LPCSTR lpszStart, LPCSTR lpszCurrent);
LPSTR WINAPI CharNextA(LPCSTR lpsz);
ZKX_END_C

#endif
