// Shared by the settings families (directories, codes, environment record):
// access to the settings key and the process-wide caches.
#ifndef ZKX_ZKUTIL_PRIV_H
#define ZKX_ZKUTIL_PRIV_H

#include "ZKUtil.h"


// Opens the settings key under HKEY_LOCAL_MACHINE with RegOpenKeyExA; the
// caller closes *phKey after a result of 0.
LONG zkutil_open_settings(REGSAM samDesired, PHKEY phKey);

// Queries a value of the open settings key into pData (*pcbData bytes in,
// bytes returned out).  A REG_SZ reaches the caller terminated inside its
// capacity or not at all: text without room for a terminator gives 234.
LONG zkutil_query_setting(HKEY hKey, LPCSTR pszValue, LPDWORD pdwType, LPVOID pData,
                          LPDWORD pcbData);

// Deletes a value of the settings key; an absent key or value is no error
// to the callers, so nothing is reported.
void zkutil_delete_setting(LPCSTR pszValue);

// Stores a value in the settings key, creating the key when needed.
LONG zkutil_store_setting(LPCSTR pszValue, DWORD dwType, const void* pData, DWORD cbData);

// Length of a text without its terminator.
DWORD zkutil_text_length(LPCSTR psz);

// True when the last character of the text (double-byte characters taken
// whole) is a backslash; *ppLast then points at it.
bool zkutil_ends_in_backslash(LPCSTR pszText, DWORD dwLength, LPCSTR* ppLast);

// Length of the directory part of a module path: the text before its last
// backslash, or up to and including its last colon.  The first byte is never
// taken as a separator, so "\x" has none.  0 when there is none.
DWORD zkutil_module_dir_length(LPCSTR pszPath, DWORD dwLength);

// Writes the Windows directory's default ZK directory, "<windir>\ZK" with a
// single backslash, into pszOut (dwCapacity bytes) and its length through
// pdwLength.  0, or 122 when it does not fit.
DWORD zkutil_windows_zk_dir(LPCSTR pszWinDir, DWORD dwLength, LPSTR pszOut, DWORD dwCapacity,
                            LPDWORD pdwLength);

// Puts every settings cache of the process back into its load-time state,
// as if the library had just been loaded.
void zkutil_reset_dir_caches();
void zkutil_reset_code_caches();
void zkutil_reset_environment_cache();

#endif
