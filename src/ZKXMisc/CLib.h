/* Memory and string routines exported for the library's callers. */
#ifndef ZKX_CLIB_H
#define ZKX_CLIB_H

#include "ZKPlatform.h"

/* Copies count bytes one at a time from the lowest address upward. */
ZKEXTERN void ZKAPI MEMCPY(void* dst, const void* src, DWORD count);
/* Stores the byte value into count bytes. */
ZKEXTERN void ZKAPI MEMSET(void* dst, DWORD value, DWORD count);
/* A copy of the string from the local heap (free it with LocalFree), or
 * null when memory runs out or the string is null. */
ZKEXTERN LPSTR ZKAPI STRDUP(LPCSTR str);

#endif
