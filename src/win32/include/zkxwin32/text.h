/* ANSI text: formatting, string routines, double-byte code pages. */
#ifndef ZKXWIN32_TEXT_H
#define ZKXWIN32_TEXT_H

#include "types.h"

ZKX_BEGIN_C
/* Win32 rules: c s d i u x X (l, h prefixes), flags - and 0, width and
 * precision, %%; no floating point; at most 1024 characters are written,
 * plus the terminator.  Returns the number of characters written. */
int WINAPIV wsprintfA(LPSTR lpOut, LPCSTR lpFmt, ...);
int WINAPI wvsprintfA(LPSTR lpOut, LPCSTR lpFmt, va_list arglist);

int WINAPI lstrlenA(LPCSTR lpString);
LPSTR WINAPI lstrcpyA(LPSTR lpString1, LPCSTR lpString2);
LPSTR WINAPI lstrcpynA(LPSTR lpString1, LPCSTR lpString2, int iMaxLength);
LPSTR WINAPI lstrcatA(LPSTR lpString1, LPCSTR lpString2);
int WINAPI lstrcmpiA(LPCSTR lpString1, LPCSTR lpString2);
int WINAPI lstrcmpA(LPCSTR lpString1, LPCSTR lpString2);

/* The ANSI code page: 1252 unless ZKX_CODEPAGE names another (932, 936,
 * 949 and 950 are double-byte). */
UINT WINAPI GetACP(void);
BOOL WINAPI IsDBCSLeadByte(BYTE TestChar);
LPSTR WINAPI CharPrevA(LPCSTR lpszStart, LPCSTR lpszCurrent);
LPSTR WINAPI CharNextA(LPCSTR lpsz);
ZKX_END_C

#endif
