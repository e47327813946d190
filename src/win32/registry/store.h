// The registry store: a directory per key, below one directory per root.
// docs/registry.md describes the layout, the locking and the crash rules;
// this is the code that keeps them.
//
// Lock order, parent before child.  A value change locks its key; creating
// a subkey locks the parent only; deleting a key locks its parent, then the
// key.  Readers take no lock.
#ifndef ZKXWIN32_REGISTRY_STORE_H
#define ZKXWIN32_REGISTRY_STORE_H

#include <time.h>

#include <functional>
#include <string>
#include <vector>

#include "registry/format.h"
#include "zkxwin32/registry.h"

namespace zkx::win32::reg {

// What an open HKEY stands for.  Immutable once made.
struct KeyRef {
    std::string dir;  // the key's directory
    uint64_t id = 0;  // KeyFile::id when opened; roots are never checked
    bool is_root = false;
    REGSAM access = 0;  // rights granted by the open
};

// --- Where the store is ---------------------------------------------------

// The directory that holds HKEY_CURRENT_USER for this user, and the one
// that holds the machine-wide roots.  ZKX_REGISTRY, when set, holds both.
// The machine store is the same for every process, whether or not this one
// may write it.
std::string user_store_dir();
std::string machine_store_dir();

// The key of a predefined root: ERROR_INVALID_HANDLE for a handle that is
// not one of the four roots the store keeps, ERROR_ACCESS_DENIED when its
// store lies where other users could change it (reported once on stderr).
LONG root_key(HKEY root, KeyRef* out);

// --- Keys ----------------------------------------------------------------

// Reads a key's file and checks that it is still the key `key` was opened
// on (ERROR_KEY_DELETED otherwise).  A root that was never written reads as
// an empty key.
LONG read_key(const KeyRef& key, KeyFile* out, timespec* mtime = nullptr);

// Changes a key's values under its lock: reads the file, lets `change`
// edit it (a nonzero result stops and is returned), writes it back.
LONG modify_key(const KeyRef& key, const std::function<LONG(KeyFile&)>& change);

// Makes every change to the store that holds `key` durable (RegFlushKey).
LONG flush_key(const KeyRef& key);

// Opens base\names with the rights `wanted` asks for (Win32 access mask,
// generic rights and MAXIMUM_ALLOWED included).  No names: base itself.
LONG open_key(const KeyRef& base, const std::vector<std::string>& names, REGSAM wanted,
              KeyRef* out);

// As open_key, creating each missing key of the path; `created` tells
// whether the last one is new.
LONG create_key(const KeyRef& base, const std::vector<std::string>& names, REGSAM wanted,
                KeyRef* out, bool* created);

// Deletes base\names (base itself when no names), which must have no
// subkeys: ERROR_ACCESS_DENIED otherwise, as for a root.
LONG delete_key(const KeyRef& base, const std::vector<std::string>& names);

// The directory names of a key's subkeys, in the order enumeration shows them.
LONG list_subkeys(const KeyRef& key, std::vector<std::string>* dir_names);

}  // namespace zkx::win32::reg

#endif
