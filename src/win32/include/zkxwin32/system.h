/* Modules, the Windows directory, locale and environment. */
#ifndef ZKXWIN32_SYSTEM_H
#define ZKXWIN32_SYSTEM_H

#include "types.h"

#define LOCALE_USER_DEFAULT 0x0400u
#define LOCALE_SYSTEM_DEFAULT 0x0800u
#define LOCALE_SABBREVLANGNAME 0x00000003u
#define LOCALE_SABBREVCTRYNAME 0x00000007u

ZKX_BEGIN_C
/* Windows-style path of the module (a shared object or, for null, the
 * executable).  Returns the length copied, 0 on failure. */
DWORD WINAPI GetModuleFileNameA(HMODULE hModule, LPSTR lpFilename, DWORD nSize);
HMODULE WINAPI GetModuleHandleA(LPCSTR lpModuleName);
UINT WINAPI GetWindowsDirectoryA(LPSTR lpBuffer, UINT uSize);
int WINAPI GetLocaleInfoA(LCID Locale, DWORD LCType, LPSTR lpLCData, int cchData);
DWORD WINAPI GetEnvironmentVariableA(LPCSTR lpName, LPSTR lpBuffer, DWORD nSize);
ZKX_END_C

#endif
