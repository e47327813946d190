/* Files.  Paths may be Windows paths (drive letters, backslashes; see the
 * README for the drive mapping) or plain POSIX paths.
 *
 * CreateFileA honours the access rights, share modes (across processes too)
 * and creation dispositions, and FILE_ATTRIBUTE_READONLY for a new file; it
 * ignores the other attributes and flags, the security attributes and the
 * template.  Directories cannot be opened (5).  I/O is synchronous: a
 * non-null OVERLAPPED gives 87. */
#ifndef ZKXWIN32_FILE_H
#define ZKXWIN32_FILE_H

#include <stdio.h>

#include "types.h"

#define GENERIC_READ 0x80000000u
#define GENERIC_WRITE 0x40000000u
#define GENERIC_EXECUTE 0x20000000u
#define GENERIC_ALL 0x10000000u
#define FILE_READ_DATA 0x0001u
#define FILE_WRITE_DATA 0x0002u
#define FILE_APPEND_DATA 0x0004u
#ifndef DELETE
#define DELETE 0x00010000u
#endif
#define FILE_SHARE_READ 0x00000001u
#define FILE_SHARE_WRITE 0x00000002u
#define FILE_SHARE_DELETE 0x00000004u
#define CREATE_NEW 1u
#define CREATE_ALWAYS 2u
#define OPEN_EXISTING 3u
#define OPEN_ALWAYS 4u
#define TRUNCATE_EXISTING 5u
#define FILE_ATTRIBUTE_READONLY 0x00000001u
#define FILE_ATTRIBUTE_DIRECTORY 0x00000010u
#define FILE_ATTRIBUTE_NORMAL 0x00000080u
#define INVALID_FILE_ATTRIBUTES 0xFFFFFFFFu
#define FILE_BEGIN 0u
#define FILE_CURRENT 1u
#define FILE_END 2u
#define INVALID_SET_FILE_POINTER 0xFFFFFFFFu
#define INVALID_FILE_SIZE 0xFFFFFFFFu
#define MOVEFILE_REPLACE_EXISTING 0x00000001u
#define MOVEFILE_COPY_ALLOWED 0x00000002u
#define MOVEFILE_WRITE_THROUGH 0x00000008u

#define SEM_FAILCRITICALERRORS 0x0001u
#define SEM_NOGPFAULTERRORBOX 0x0002u
#define SEM_NOALIGNMENTFAULTEXCEPT 0x0004u
#define SEM_NOOPENFILEERRORBOX 0x8000u

typedef struct _OVERLAPPED OVERLAPPED, *LPOVERLAPPED;

ZKX_BEGIN_C
HANDLE WINAPI CreateFileA(LPCSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                          LPSECURITY_ATTRIBUTES lpSecurityAttributes, DWORD dwCreationDisposition,
                          DWORD dwFlagsAndAttributes, HANDLE hTemplateFile);
DWORD WINAPI SetFilePointer(HANDLE hFile, LONG lDistanceToMove, LPLONG lpDistanceToMoveHigh,
                            DWORD dwMoveMethod);
BOOL WINAPI WriteFile(HANDLE hFile, LPCVOID lpBuffer, DWORD nNumberOfBytesToWrite,
                      LPDWORD lpNumberOfBytesWritten, LPOVERLAPPED lpOverlapped);
BOOL WINAPI ReadFile(HANDLE hFile, LPVOID lpBuffer, DWORD nNumberOfBytesToRead,
                     LPDWORD lpNumberOfBytesRead, LPOVERLAPPED lpOverlapped);
DWORD WINAPI GetFileSize(HANDLE hFile, LPDWORD lpFileSizeHigh);
BOOL WINAPI SetEndOfFile(HANDLE hFile);
BOOL WINAPI DeleteFileA(LPCSTR lpFileName);
/* A rename within one file system (17 across two); replacing needs
 * MOVEFILE_REPLACE_EXISTING (else 183) and never touches a directory (5).
 * MOVEFILE_WRITE_THROUGH returns once the file and the rename are on disk.
 * Open handles' share modes are not checked. */
BOOL WINAPI MoveFileExA(LPCSTR lpExistingFileName, LPCSTR lpNewFileName, DWORD dwFlags);
BOOL WINAPI CreateDirectoryA(LPCSTR lpPathName, LPSECURITY_ATTRIBUTES lpSecurityAttributes);
DWORD WINAPI GetFileAttributesA(LPCSTR lpFileName);
/* Process-wide; returns the previous mode.  SEM_NOALIGNMENTFAULTEXCEPT,
 * once set, stays set, as on Win32.  The mode is kept for callers that save
 * and restore it: nothing here shows a message box either way. */
UINT WINAPI SetErrorMode(UINT uMode);
UINT WINAPI GetErrorMode(void);

/* Layer extensions, not Win32. */

/* fopen for a Windows-style or POSIX path: the path is mapped as CreateFileA
 * maps it (drive letters, case-insensitive lookup of names that do not
 * exist as spelled), then opened with the C library's fopen and `mode`
 * ("rb", "wb", ...).  Share modes of CreateFileA handles are not checked.
 * On failure returns null with errno set and the Win32 code as the last
 * error (87 for a null argument, 3 for an unmapped drive, ...). */
FILE* zkx_fopen(const char* path, const char* mode);

/* CreateFileA for a file that other accounts may come near, such as a log
 * file: a new file gets `mode` (0640, say; the umask still applies) instead
 * of 0666.  When the folder of the path may be written by every user (/tmp
 * and other world-writable folders, or a sticky folder that a group may
 * write), a link there is never followed, and
 * what opens must be a regular file with a single name, owned by the caller
 * or by root and not writable by others; anything else fails with
 * ERROR_ACCESS_DENIED and is left as it was. */
HANDLE zkx_create_file_guarded(LPCSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                               DWORD dwCreationDisposition, unsigned mode);

/* The host path that a Windows-style or POSIX path maps to, and the
 * Windows-style form of a host path.  Both return the length copied without
 * the terminator; when `size` is too small, the size needed including the
 * terminator, with nothing copied; 0 with the last error on failure. */
DWORD zkx_path_to_host(const char* path, char* buffer, DWORD size);
DWORD zkx_path_to_windows(const char* host_path, char* buffer, DWORD size);
ZKX_END_C

#endif
