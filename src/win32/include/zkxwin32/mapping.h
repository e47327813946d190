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
/* Memory sections only: hFile must be INVALID_HANDLE_VALUE (else 50,
 * ERROR_NOT_SUPPORTED), flProtect PAGE_READONLY or PAGE_READWRITE (else 87).
 * A name that exists opens that section, whatever the size asked, with last
 * error 183 (ERROR_ALREADY_EXISTS); a read-write open of a section created
 * read-only gives 5.  Otherwise a new zero-filled section of the size is
 * created (0 gives 87; 8 when its memory cannot be reserved) and the last
 * error is 0.  A null or empty name makes a private section.  A section
 * lives while any handle or view of any process refers to it, also when the
 * processes that held it were killed. */
HANDLE WINAPI CreateFileMappingA(HANDLE hFile, LPSECURITY_ATTRIBUTES lpFileMappingAttributes,
                                 DWORD flProtect, DWORD dwMaximumSizeHigh,
                                 DWORD dwMaximumSizeLow, LPCSTR lpName);
/* 2 when no section has the name. */
HANDLE WINAPI OpenFileMappingA(DWORD dwDesiredAccess, BOOL bInheritHandle, LPCSTR lpName);
/* FILE_MAP_READ, FILE_MAP_WRITE (read and write; 5 through a read-only
 * handle) or FILE_MAP_COPY (private copy-on-write).  The offset is a
 * multiple of 64 KiB (else 1132); 0 bytes maps to the section's end; a view
 * that would reach beyond the section gives 5. */
LPVOID WINAPI MapViewOfFile(HANDLE hFileMappingObject, DWORD dwDesiredAccess,
                            DWORD dwFileOffsetHigh, DWORD dwFileOffsetLow,
                            SIZE_T dwNumberOfBytesToMap);
/* 487 (ERROR_INVALID_ADDRESS) for an address that starts no view. */
BOOL WINAPI UnmapViewOfFile(LPCVOID lpBaseAddress);
ZKX_END_C

#endif
