// Where a namespace's files live, and which files found there may be used.
//
// A namespace is a directory that only its users can write: a private one
// belongs to one uid (root's under /run/zkx, another user's under
// $XDG_RUNTIME_DIR/zkx or a 0700 /dev/shm/zkx-<uid>), a shared one is a
// setgid directory /run/zkx/<name> that an administrator made for a group.
// Every file of the layer in it (the object segment, the debug-output
// buffer, the memory of sections) is opened through open_namespace_file, so
// that a link, a FIFO or a file that a stranger could write is refused with
// ERROR_ACCESS_DENIED before anything reads, truncates, locks or maps it.
#ifndef ZKXWIN32_NAMESPACE_DIR_H
#define ZKXWIN32_NAMESPACE_DIR_H

#include <sys/stat.h>
#include <sys/types.h>

#include <string>

#include "zkxwin32/types.h"

namespace zkx::win32 {

// Where administrators' shared namespaces and root's private ones live.
constexpr const char* kSystemNamespaceRoot = "/run/zkx";

struct NamespaceDirectory {
    std::string name;     // the namespace
    std::string path;     // its directory
    bool shared = false;  // an administrator's setgid directory
    gid_t group = 0;      // a shared namespace's group
};

// Where `uid`'s private namespaces live (not made here).
std::string private_namespace_root(uid_t uid);

// Letters, digits, '.', '_' and '-', at most 100 characters.
bool valid_namespace_name(const std::string& name);

// The directory of ZKX_NAMESPACE ("default" when unset) for this process's
// effective uid, made when it is private and missing.  0, or
// ERROR_INVALID_NAME / ERROR_ACCESS_DENIED after one message on stderr.
DWORD namespace_directory(NamespaceDirectory* out);
// Same for a given name.
DWORD namespace_directory_for(const std::string& name, NamespaceDirectory* out);

// A shared namespace directory for `group` under kSystemNamespaceRoot, if
// `st` (an lstat of it) describes one.
bool is_shared_namespace_directory(const struct stat& st);

// Opens `path` in the namespace directory `dir` with `access` (O_RDWR or
// O_RDONLY), creating it (O_EXCL, never following a link) when `create` and
// it is missing; *created tells which.  The file must then be a regular file
// of this uid or root (or, in a shared namespace, of its group) that others
// cannot write.  -1 with the last error set (5 and one message for a file
// that fails those checks).  `st` receives the file's status.
int open_namespace_file(const NamespaceDirectory& dir, const std::string& path, int access, bool create,
                        bool* created, struct stat* st);

// Removes this uid's private directory of namespace `name` and the files in
// it (for tools and tests that made a namespace of their own); a shared
// namespace is left to `zkx namespace remove`.
DWORD remove_private_namespace(const std::string& name);

// Prints "zkxwin32: <text>" on stderr, once per process for each text.
void namespace_complain(const std::string& text);

}  // namespace zkx::win32

#endif
