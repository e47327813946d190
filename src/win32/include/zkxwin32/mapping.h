/* Named sections backed by the paging file, and views of them. */
#ifndef ZKXWIN32_MAPPING_H
#define ZKXWIN32_MAPPING_H

#include "types.h"

#define PAGE_READONLY 0x02u
#define PAGE_READWRITE 0x04u

#define FILE_MAP_COPY 0x0001u
#define FILE_MAP_WRITE 0x0002u
#define FILE_MAP_READ 0x0004u
#define FILE_MAP_ALL_ACCESS 0x000F001Fu

ZKX_BEGIN_C
/* Only sections backed by the paging file: hFile must be
 * INVALID_HANDLE_VALUE.  A name that exists opens that section (its size
 * stays as created) with last error ERROR_ALREADY_EXISTS; otherwise a new
 * zero-filled section is created and the last error is 0.  A section lives
 * while any handle or view of any process refers to it, also when the
 * processes holding it were killed. */
HANDLE WINAPI CreateFileMappingA(HANDLE hFile, LPSECURITY_ATTRIBUTES lpFileMappingAttributes,
                                 DWORD flProtect, DWORD dwMaximumSizeHigh,
                                 DWORD dwMaximumSizeLow, LPCSTR lpName);
HANDLE WINAPI OpenFileMappingA(DWORD dwDesiredAccess, BOOL bInheritHandle, LPCSTR lpName);
/* A view of the whole section (0 bytes) or of its first part; a view that
 * would reach beyond the section fails. */
LPVOID WINAPI MapViewOfFile(HANDLE hFileMappingObject, DWORD dwDesiredAccess,
                            DWORD dwFileOffsetHigh, DWORD dwFileOffsetLow,
                            SIZE_T dwNumberOfBytesToMap);
BOOL WINAPI UnmapViewOfFile(LPCVOID lpBaseAddress);
ZKX_END_C

#endif
