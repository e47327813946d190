/**
 * @file CLib.h
 * @brief Memory and string routines exported for the library's callers.
 */
#ifndef ZKX_CLIB_H
#define ZKX_CLIB_H

#include "ZKPlatform.h"

/**
 * @brief Copies bytes one at a time from the lowest address upward.
 *
 * When the ranges overlap, a destination below the source copies correctly;
 * a destination inside the source range repeats bytes.
 * @param dst   Destination of count bytes.
 * @param src   Source of count bytes.
 * @param count Number of bytes; 0 copies nothing (any pointers).
 */
ZKEXTERN void ZKAPI MEMCPY(void* dst, const void* src, DWORD count);

/**
 * @brief Stores one byte value into a range of bytes.
 * @param dst   Destination of count bytes.
 * @param value Byte value (its low 8 bits).
 * @param count Number of bytes; 0 stores nothing (any pointer).
 */
ZKEXTERN void ZKAPI MEMSET(void* dst, DWORD value, DWORD count);

/**
 * @brief Copies a string into the local heap.
 * @param str Zero-terminated string.
 * @return The copy, which the caller frees with LocalFree; null when memory
 *         runs out or str is null.
 */
ZKEXTERN LPSTR ZKAPI STRDUP(LPCSTR str);

#endif
