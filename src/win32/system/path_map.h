// Windows paths on a POSIX file system.
//
// The layer accepts both kinds of path and shows Windows-style ones:
//
//   C:\dir\file, C:/dir/file   drive letter; C: is $ZKX_DRIVE_C, by default
//                              /var/lib/zkx/drive_c; any letter L but Z is
//                              mapped by $ZKX_DRIVE_L (an absolute path);
//                              Z: is always the file system root
//   \dir\file                  the root of the current directory's drive
//   C:file                     relative to the current directory when it
//                              lies on C:, else to the root of C:
//   dir\file, ..\file          relative to the current directory
//   /dir/file                  a POSIX path, taken as it stands
//
// Backslashes and slashes both separate components, in every kind of path.
// "." and ".." are resolved lexically, as Win32 does, and ".." never climbs
// above the root of a drive.  Windows-style paths also follow the Win32
// trimming rules (a single trailing period of a component goes, as do
// trailing periods and blanks of the last one) and reject the characters
// that Win32 forbids in names (ERROR_INVALID_NAME).
//
// Case: Win32 names are case-insensitive, host names are not.  When a
// Windows-style path does not exist as spelled, each component that is
// missing is looked up in its directory ignoring ASCII case; several
// matches resolve to the smallest name in byte order so the choice is
// stable.  A component with no match is kept as spelled, so a file that is
// about to be created gets the caller's spelling.  POSIX paths are never
// folded.  The drive directories themselves are taken as configured.
//
// Length: a path text of MAX_PATH characters or more, or one whose full
// Windows form would be that long, gives ERROR_FILENAME_EXCED_RANGE, as the
// ANSI calls of Win32 do.
//
// The environment is read at each call, so a test or a tool may change the
// mapping at run time with setenv.
#ifndef ZKXWIN32_PATH_MAP_H
#define ZKXWIN32_PATH_MAP_H

#include <string>

#include "zkxwin32/types.h"

namespace zkx::win32 {

// Longest full path, in characters without the terminator, that the file
// calls accept; CreateDirectoryA accepts 12 fewer, as on Win32.
constexpr size_t kMaxPathChars = MAX_PATH - 1;
constexpr size_t kMaxDirectoryChars = MAX_PATH - 12 - 1;

// Maps a Windows-style or POSIX path to an absolute, normalised host path.
// Returns 0, or ERROR_INVALID_PARAMETER (null), ERROR_PATH_NOT_FOUND (empty
// path, unmapped drive, UNC path, no current directory), ERROR_INVALID_NAME
// or ERROR_FILENAME_EXCED_RANGE.
DWORD path_to_host(const char* path, std::string* host, size_t max_chars = kMaxPathChars);

// The Windows form of an absolute, normalised host path: the mapped drive
// with the longest directory that contains it, else Z:.
std::string path_to_windows(const std::string& host);

// An absolute host path in lexical normal form: a relative one is taken
// from the current directory.  No length limit applies.
std::string absolute_host_path(const std::string& path);

// The directory that drive letter `drive` maps to, without a trailing slash
// ("" for the root); false when the letter is not mapped.
bool drive_directory(char drive, std::string* dir);

}  // namespace zkx::win32

#endif
