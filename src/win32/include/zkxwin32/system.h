/* Modules, the Windows directory, locale and environment. */
#ifndef ZKXWIN32_SYSTEM_H
#define ZKXWIN32_SYSTEM_H

#include "types.h"

#define LOCALE_USER_DEFAULT 0x0400u
#define LOCALE_SYSTEM_DEFAULT 0x0800u
#define LOCALE_SABBREVLANGNAME 0x00000003u
#define LOCALE_SABBREVCTRYNAME 0x00000007u
#define LOCALE_ILANGUAGE 0x00000001u
#define LOCALE_SISO639LANGNAME 0x00000059u
#define LOCALE_SISO3166CTRYNAME 0x0000005Au
#define LOCALE_NOUSEROVERRIDE 0x80000000u

#define ERROR_ENVVAR_NOT_FOUND 203L

ZKX_BEGIN_C
/* Windows-style path of the module (a shared object or, for null, the
 * executable).  Returns the length copied, 0 on failure. */
DWORD WINAPI GetModuleFileNameA(HMODULE hModule, LPSTR lpFilename, DWORD nSize);
/* Null: the executable.  A name matches a loaded object's file name ignoring
 * case, with or without its extension (".so" and any version after it,
 * ".dll", ".exe") and with or without a "lib" prefix: "ZKXMisc.dll",
 * "zkxmisc" and "libZKXMisc.so" all find libZKXMisc.so.0.  Only the last
 * component of a path is compared. */
HMODULE WINAPI GetModuleHandleA(LPCSTR lpModuleName);
/* "C:\WINDOWS", wherever drive C: is mapped; the directory need not
 * exist.  A buffer too small gets nothing, and the size needed including
 * the terminator is returned. */
UINT WINAPI GetWindowsDirectoryA(LPSTR lpBuffer, UINT uSize);
/* LOCALE_USER_DEFAULT and LOCALE_SYSTEM_DEFAULT follow the POSIX locale of
 * the moment (LC_ALL, else LC_MESSAGES, else LANG; C and POSIX read as
 * en_US); a specific LCID of a known locale is accepted too. */
int WINAPI GetLocaleInfoA(LCID Locale, DWORD LCType, LPSTR lpLCData, int cchData);
/* Names compare ignoring case, as on Win32, when no exact match exists. */
DWORD WINAPI GetEnvironmentVariableA(LPCSTR lpName, LPSTR lpBuffer, DWORD nSize);

/* Layer extension, not Win32: the module that contains `address` (its load
 * base, as GetModuleHandleA gives it), or null with last error 126.  A
 * shared object finds its own module handle with the address of one of its
 * functions. */
HMODULE zkx_module_from_address(const void* address);
ZKX_END_C

#endif
