// The pieces of the version stamp operations, for the library's tests.
#ifndef ZKX_ZKVER_PRIV_H
#define ZKX_ZKVER_PRIV_H

#include "ZKVer.h"

#define ZKVER_PATH_SIZE 261

// The version file's path for a module path of dwLength bytes: everything
// behind the module path's last '\' or ':' (searched byte by byte down to
// the first byte) becomes "zkx.ver"; without a separator the bare name.
// False, with pszPath empty, when the result does not fit ZKVER_PATH_SIZE.
bool zkver_file_path(LPCSTR pszModule, DWORD dwLength, LPSTR pszPath);

// The file operations on a given path.
PZKVER_STAMP zkver_save_to(LPCSTR pszPath, PZKVER_STAMP pStamp);
PZKVER_STAMP zkver_load_from(LPCSTR pszPath, PZKVER_STAMP pStamp);

// The stamp's text into pszBuffer of nSize bytes; false when it does not fit
// (nothing written then).
bool zkver_format(const ZKVER_STAMP* pStamp, LPSTR pszBuffer, INT nSize);

#endif
