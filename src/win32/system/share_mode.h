// Win32 share modes between the open handles of a file, in one process and
// across processes.
//
// Win32 admits a new open when the access it asks for is allowed by the
// share mode of every open already there, and its own share mode allows the
// access of every one of them.  Three kinds of access take part: read, write
// and delete.  An open that asks for none of them (attributes only) neither
// is checked nor restricts others.
//
// Each open publishes what it does as shared open-file-description locks
// (F_OFD_SETLK) on marker bytes far beyond any data a file can hold:
//
//   kMarkerBase + 2k       "an open has access k"
//   kMarkerBase + 2k + 1   "an open does not share access k"
//
// for k = 0 read, 1 write, 2 delete.  Shared locks never block one another,
// so markers cost nothing to the opens that agree.  A new open first sets its
// own markers and then asks (F_OFD_GETLK, which ignores its own locks)
// whether another open holds a marker that contradicts it: "does not share
// k" for each k it asks for, "has k" for each k it does not share.  Setting
// before looking means two conflicting opens can never both succeed, however
// they interleave.  When two of them race, each may see the other and back
// off; an open whose conflict disappears once it has withdrawn its own
// markers tries again a few times after a short random pause.
//
// The locks belong to the open file description, so they follow the handle,
// not the thread, and vanish with the last descriptor of it, including when
// the process dies.  They are advisory and invisible to programs that do not
// use this scheme.  Where the file system refuses such locks, or the
// descriptor cannot be read (a file its opener may write but not read),
// that open goes unchecked and publishes nothing.
#ifndef ZKXWIN32_SHARE_MODE_H
#define ZKXWIN32_SHARE_MODE_H

#include "zkxwin32/types.h"

namespace zkx::win32 {

// Access kinds; the same bits as FILE_SHARE_READ, _WRITE and _DELETE.
constexpr DWORD kAccessRead = 1;
constexpr DWORD kAccessWrite = 2;
constexpr DWORD kAccessDelete = 4;
constexpr DWORD kAccessAll = 7;

// Publishes an open with `access` and `share` (kAccess* bits) on `fd` and
// checks it against the other opens of the file.  Returns 0, or
// ERROR_SHARING_VIOLATION with nothing published.
DWORD share_acquire(int fd, DWORD access, DWORD share);

// True when some open of the file (other than fd's own) admits no delete.
bool share_denies_delete(int fd);

}  // namespace zkx::win32

#endif
