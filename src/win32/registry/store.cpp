#include "registry/store.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <pwd.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <mutex>

#include "registry/files.h"
#include "registry/names.h"
#include "zkxwin32/errors.h"

namespace zkx::win32::reg {
namespace {

const char kMachineDefault[] = "/var/lib/zkx/registry";
const char kNewKeyPrefix[] = ".newkey-";
const char kDeletedPrefix[] = ".deleted-";

// A create that finds a parent deleted under it starts again from its base.
constexpr LONG kRetry = -1;
constexpr int kMaxRetries = 16;

const REGSAM kReadRights = KEY_QUERY_VALUE | KEY_ENUMERATE_SUB_KEYS | KEY_NOTIFY | READ_CONTROL;
const REGSAM kWriteRights = KEY_SET_VALUE | KEY_CREATE_SUB_KEY | KEY_CREATE_LINK;
const REGSAM kDeleteRights = DELETE | WRITE_DAC | WRITE_OWNER;

std::string env(const char* name) {
    const char* v = getenv(name);
    return v ? std::string(v) : std::string();
}

std::string home_dir() {
    std::string home = env("HOME");
    if (!home.empty()) return home;
    struct passwd pw {};
    struct passwd* found = nullptr;
    char buf[4096];
    if (getpwuid_r(getuid(), &pw, buf, sizeof buf, &found) == 0 && found && found->pw_dir) {
        return found->pw_dir;
    }
    return "/tmp/zkx-" + std::to_string(getuid());
}

std::string default_user_store() {
    std::string data = env("XDG_DATA_HOME");
    if (data.empty() || data[0] != '/') data = home_dir() + "/.local/share";
    return data + "/zkx/registry";
}

// 0 once `path` is a directory, else the Win32 code of why not.
LONG make_dirs(const std::string& path) {
    std::error_code ec;
    std::filesystem::create_directories(path, ec);
    if (is_directory(path)) return ERROR_SUCCESS;
    return win32_from_errno(ec ? ec.value() : ENOTDIR, ERROR_CANTWRITE);
}

// The store's directory from ZKX_REGISTRY, made absolute so that a process
// that changes its working directory keeps the same store.
std::string store_from_env() {
    std::string dir = env("ZKX_REGISTRY");
    if (dir.empty() || dir[0] == '/') return dir;
    std::error_code ec;
    auto abs = std::filesystem::absolute(dir, ec);
    return ec ? dir : abs.string();
}

bool may(const std::string& path, int mode) {
    return faccessat(AT_FDCWD, path.c_str(), mode, AT_EACCESS) == 0;
}

std::string parent_of(const std::string& dir) { return dir.substr(0, dir.rfind('/')); }

// Whether a key's directory is there.  Anything but a real directory (a
// link, a FIFO, a file) at a key's name is nothing the store made: it is
// damage, reported at once and never followed or opened.
LONG key_dir_state(const std::string& dir) {
    struct stat st {};
    if (lstat(dir.c_str(), &st) != 0) return win32_from_errno(errno, ERROR_CANTREAD);
    return S_ISDIR(st.st_mode) ? ERROR_SUCCESS : ERROR_REGISTRY_CORRUPT;
}

// Whether this process could make `path`: the nearest part of it that
// exists must be a directory it may write.
bool may_create(std::string path) {
    while (!path.empty() && access(path.c_str(), F_OK) != 0) path = parent_of(path);
    return !path.empty() && may(path, W_OK | X_OK);
}

std::string base_name(const std::string& dir) { return dir.substr(dir.rfind('/') + 1); }

std::string hex64(uint64_t v) {
    static const char kHex[] = "0123456789abcdef";
    std::string s;
    for (int shift = 60; shift >= 0; shift -= 4) s += kHex[(v >> shift) & 15];
    return s;
}

LONG join(const std::string& base, const std::vector<std::string>& names, size_t count,
          std::string* out) {
    *out = base;
    for (size_t i = 0; i < count; ++i) {
        *out += '/';
        *out += encode_key_name(names[i]);
        // Room for "/.values.new" and the terminator.
        if (out->size() + 16 > PATH_MAX) return ERROR_FILENAME_EXCED_RANGE;
    }
    return ERROR_SUCCESS;
}

REGSAM expand_generic(REGSAM sam) {
    if (sam & GENERIC_READ) sam |= KEY_READ;
    if (sam & GENERIC_EXECUTE) sam |= KEY_READ;
    if (sam & GENERIC_WRITE) sam |= KEY_WRITE;
    if (sam & GENERIC_ALL) sam |= KEY_ALL_ACCESS;
    return sam;
}

// The file system decides what a process may do with a key: reading needs
// the directory and its .values readable, writing needs the directory
// writable, deleting needs the parent directory writable.
LONG grant_access(const KeyRef& key, REGSAM wanted, REGSAM* granted) {
    REGSAM sam = expand_generic(wanted);
    bool exists = is_directory(key.dir);
    // A root that was never written is empty and may be read; whether it
    // can be written shows when a write tries to make it.
    bool can_read = !exists || (may(key.dir, R_OK | X_OK) &&
                                may(key.dir + "/" + kValuesFile, R_OK));
    bool can_write = exists ? may(key.dir, W_OK | X_OK) : may_create(key.dir);
    // A root is never deleted (delete_key refuses); its delete rights only
    // let full-access opens of a writable root succeed.
    bool can_delete = key.is_root ? can_write : may(parent_of(key.dir), W_OK | X_OK);
    REGSAM allowed = (can_read ? kReadRights : 0) | (can_write ? kWriteRights : 0) |
                     (can_delete ? kDeleteRights : 0);
    if (sam & MAXIMUM_ALLOWED) {
        if (allowed == 0) return ERROR_ACCESS_DENIED;
        *granted = allowed;
        return ERROR_SUCCESS;
    }
    REGSAM asked = sam & (kReadRights | kWriteRights | kDeleteRights);
    if ((asked & ~allowed) != 0) return ERROR_ACCESS_DENIED;
    *granted = asked;
    return ERROR_SUCCESS;
}

// Reads a key found by name.  A directory without a key file is not a key
// we made: it reads as damaged rather than absent, so it is never created
// over.  A hashed directory name is confirmed by the name stored inside.
LONG probe_key(const std::string& dir, const std::string& name, KeyFile* out) {
    LONG r = key_dir_state(dir);
    if (r != ERROR_SUCCESS) return r;
    r = read_key_file(dir, out);
    if (r == ERROR_FILE_NOT_FOUND) return ERROR_REGISTRY_CORRUPT;
    if (r == ERROR_SUCCESS && is_hashed_dir_name(base_name(dir)) && !names_equal(out->name, name)) {
        return ERROR_REGISTRY_CORRUPT;
    }
    return r;
}

// Gives a root its directory and an empty key file the first time it is
// written.
LONG ensure_root(const std::string& dir) {
    if (access((dir + "/" + kValuesFile).c_str(), F_OK) == 0) return ERROR_SUCCESS;
    LONG r = make_dirs(dir);
    if (r != ERROR_SUCCESS) return r;
    KeyLock lock;
    r = lock.acquire(dir);
    if (r != ERROR_SUCCESS) return r;
    KeyFile existing;
    r = read_key_file(dir, &existing);
    if (r != ERROR_FILE_NOT_FOUND) return r;
    return write_key_file(dir, KeyFile{}, true);
}

// Removes what killed creators and deleters left in `parent`.  Called with
// the parent's lock held: every live creation or deletion there holds it too.
void sweep_leftovers(const std::string& parent) {
    DIR* d = opendir(parent.c_str());
    if (!d) return;
    std::vector<std::string> stale;
    while (dirent* e = readdir(d)) {
        std::string name = e->d_name;
        if (name.rfind(kNewKeyPrefix, 0) == 0 || name.rfind(kDeletedPrefix, 0) == 0) {
            stale.push_back(parent + "/" + name);
        }
    }
    closedir(d);
    std::error_code ec;
    for (const auto& path : stale) std::filesystem::remove_all(path, ec);
}

// Makes the key `dir` (named `name`) below the locked `parent`.  The new
// directory is filled beside it and renamed into place, so the key appears
// with its key file and lock file or not at all.
LONG make_key(const std::string& parent, const std::string& dir, const std::string& name) {
    if (!may(parent, W_OK | X_OK)) return win32_from_errno(errno, ERROR_CANTWRITE);
    sweep_leftovers(parent);
    std::string temp = parent + "/" + kNewKeyPrefix + hex64(new_key_id());
    if (mkdir(temp.c_str(), 0777) != 0) return win32_from_errno(errno, ERROR_CANTWRITE);
    KeyFile key;
    key.id = new_key_id();
    key.name = name;
    // A new key is made durable at once: its directory entry is synced
    // below, and must never outlive its key file in a power loss.
    LONG r = write_key_file(temp, key, true);
    if (r == ERROR_SUCCESS) {
        int fd = open((temp + "/" + kLockFile).c_str(), O_RDONLY | O_CREAT | O_CLOEXEC, 0666);
        if (fd < 0) r = win32_from_errno(errno, ERROR_CANTWRITE);
        if (fd >= 0) close(fd);
    }
    if (r == ERROR_SUCCESS && rename(temp.c_str(), dir.c_str()) != 0) {
        // Only a directory we did not make can be in the way: we hold the lock.
        r = (errno == EEXIST || errno == ENOTEMPTY) ? ERROR_REGISTRY_CORRUPT
                                                    : win32_from_errno(errno, ERROR_CANTWRITE);
    }
    if (r != ERROR_SUCCESS) {
        std::error_code ec;
        std::filesystem::remove_all(temp, ec);
        return r;
    }
    sync_dir(parent);
    return ERROR_SUCCESS;
}

LONG create_path_once(const KeyRef& base, const std::vector<std::string>& names, bool* created) {
    std::string cur = base.dir;
    for (size_t i = 0; i < names.size(); ++i) {
        std::string child;
        LONG r = join(cur, {names[i]}, 1, &child);
        if (r != ERROR_SUCCESS) return r;
        KeyFile found;
        r = probe_key(child, names[i], &found);
        if (r == ERROR_FILE_NOT_FOUND) {
            KeyLock lock;
            r = lock.acquire(cur);
            bool parent_is_base = (i == 0 && !base.is_root);
            if (r == ERROR_FILE_NOT_FOUND) return parent_is_base ? ERROR_KEY_DELETED : kRetry;
            if (r != ERROR_SUCCESS) return r;
            // The parent may have gone (and come back) since we looked.
            if (parent_is_base) {
                r = read_key(base, &found);
            } else {
                r = read_key_file(cur, &found);
                if (r == ERROR_FILE_NOT_FOUND && !(i == 0 && base.is_root)) return kRetry;
            }
            if (r != ERROR_SUCCESS) return r;
            r = probe_key(child, names[i], &found);
            if (r == ERROR_FILE_NOT_FOUND) {
                r = make_key(cur, child, names[i]);
                if (r == ERROR_SUCCESS && i + 1 == names.size()) *created = true;
            }
        }
        if (r != ERROR_SUCCESS) return r;
        cur = child;
    }
    return ERROR_SUCCESS;
}

// Subkeys are the directories whose names do not begin with a dot; a
// symbolic link is nothing the store made and is passed over.
LONG list_subkey_dirs(const std::string& dir, std::vector<std::string>* out) {
    out->clear();
    DIR* d = opendir(dir.c_str());
    if (!d) return win32_from_errno(errno, ERROR_CANTREAD);
    while (dirent* e = readdir(d)) {
        if (e->d_name[0] == '.') continue;
        bool is_dir = e->d_type == DT_DIR;
        if (e->d_type == DT_UNKNOWN) {
            struct stat st {};
            is_dir = lstat((dir + "/" + e->d_name).c_str(), &st) == 0 && S_ISDIR(st.st_mode);
        }
        if (is_dir) out->push_back(e->d_name);
    }
    closedir(d);
    std::sort(out->begin(), out->end());
    return ERROR_SUCCESS;
}

// Checks the directories between `base` and base\names[0..count-1]: a
// path never leads through a link or a file planted in place of a key.
LONG check_path(const std::string& base, const std::vector<std::string>& names, size_t count) {
    std::string dir = base;
    for (size_t i = 0; i < count; ++i) {
        dir += '/';
        dir += encode_key_name(names[i]);
        LONG r = key_dir_state(dir);
        if (r != ERROR_SUCCESS) return r;
    }
    return ERROR_SUCCESS;
}

bool is_machine_key(const std::string& dir) {
    const std::string store = machine_store_dir() + "/";
    return dir.compare(0, store.size(), store) == 0 &&
           dir.compare(store.size(), 18, "HKEY_CURRENT_USER") != 0;
}

// A write refused because this process may not write the machine store
// says so once on stderr: the code alone (5) does not tell an administrator
// which directory is meant or how to choose another.
LONG note_refusal(const KeyRef& key, LONG r) {
    if (r != ERROR_ACCESS_DENIED || !is_machine_key(key.dir)) return r;
    const std::string store = machine_store_dir();
    if (may_create(store)) return r;  // refused for another reason: a key's own mode
    static std::atomic<bool> told{false};
    if (!told.exchange(true)) {
        fprintf(stderr,
                "zkx registry: the machine store %s is not writable for this process (uid %u); "
                "writes to HKEY_LOCAL_MACHINE get ERROR_ACCESS_DENIED (5). Run as a user who may "
                "write it, or set ZKX_REGISTRY to a store of your own.\n",
                store.c_str(), unsigned(geteuid()));
    }
    return r;
}

bool has_subkeys(const std::string& dir) {
    std::vector<std::string> names;
    return list_subkey_dirs(dir, &names) != ERROR_SUCCESS || !names.empty();
}

}  // namespace

std::string user_store_dir() {
    std::string dir = store_from_env();
    return dir.empty() ? default_user_store() : dir;
}

// Never the user's store in its place: a process that may not write the
// machine store must learn so (5), not change a private copy that no other
// process reads.
std::string machine_store_dir() {
    std::string dir = store_from_env();
    return dir.empty() ? kMachineDefault : dir;
}

// A store is trusted when nobody but its owner's group can change it: not
// writable by others, and, where it lies in a directory that others may
// write (/tmp), a real directory of this user's or root's.  Otherwise
// another user could plant keys, links or FIFOs in it, or swap it whole.
LONG check_store(const std::string& store) {
    struct stat st {};
    if (lstat(store.c_str(), &st) != 0) return ERROR_SUCCESS;  // made by our first write
    struct stat parent {};
    bool open_parent = lstat(parent_of(store).empty() ? "/" : parent_of(store).c_str(), &parent) == 0 &&
                       (parent.st_mode & S_IWOTH);
    const char* why = nullptr;
    if (S_ISLNK(st.st_mode)) {
        if (open_parent) why = "is a symbolic link in a directory that others may write";
    } else if (!S_ISDIR(st.st_mode)) {
        why = "is not a directory";
    } else if (st.st_mode & S_IWOTH) {
        why = "may be written by every user";
    } else if (open_parent && st.st_uid != geteuid() && st.st_uid != 0) {
        why = "belongs to another user and lies in a directory that others may write";
    }
    if (!why) return ERROR_SUCCESS;
    static std::atomic<bool> told{false};
    if (!told.exchange(true)) {
        fprintf(stderr,
                "zkx registry: refusing the store %s (owner uid %u, mode %04o): it %s. Every call "
                "on it gets ERROR_ACCESS_DENIED (5). Use a directory of your own "
                "(ZKX_REGISTRY) with mode 0700 or 0755.\n",
                store.c_str(), unsigned(st.st_uid), unsigned(st.st_mode & 07777), why);
    }
    return ERROR_ACCESS_DENIED;
}

LONG root_key(HKEY root, KeyRef* out) {
    const char* name = nullptr;
    bool per_user = false;
    switch (reinterpret_cast<uintptr_t>(root)) {
        case 0x80000000u: name = "HKEY_CLASSES_ROOT"; break;
        case 0x80000001u: name = "HKEY_CURRENT_USER"; per_user = true; break;
        case 0x80000002u: name = "HKEY_LOCAL_MACHINE"; break;
        case 0x80000003u: name = "HKEY_USERS"; break;
        default: return ERROR_INVALID_HANDLE;
    }
    std::string store = per_user ? user_store_dir() : machine_store_dir();
    LONG r = check_store(store);
    if (r != ERROR_SUCCESS) return r;
    out->dir = store + "/" + name;
    out->id = 0;
    out->is_root = true;
    out->access = KEY_ALL_ACCESS;
    return ERROR_SUCCESS;
}

LONG read_key(const KeyRef& key, KeyFile* out, timespec* mtime) {
    if (key.is_root && key_dir_state(key.dir) == ERROR_REGISTRY_CORRUPT) return ERROR_REGISTRY_CORRUPT;
    LONG r = read_key_file(key.dir, out, mtime);
    if (key.is_root) {
        if (r == ERROR_FILE_NOT_FOUND) {
            *out = KeyFile{};
            return ERROR_SUCCESS;
        }
        return r;
    }
    if (r == ERROR_FILE_NOT_FOUND) return ERROR_KEY_DELETED;
    if (r == ERROR_SUCCESS && out->id != key.id) return ERROR_KEY_DELETED;
    return r;
}

LONG modify_key(const KeyRef& key, const std::function<LONG(KeyFile&)>& change) {
    if (key.is_root) {
        LONG r = ensure_root(key.dir);
        if (r != ERROR_SUCCESS) return note_refusal(key, r);
    }
    KeyLock lock;
    LONG r = lock.acquire(key.dir);
    if (r == ERROR_FILE_NOT_FOUND && !key.is_root) return ERROR_KEY_DELETED;
    if (r != ERROR_SUCCESS) return note_refusal(key, r);
    KeyFile file;
    r = read_key(key, &file);
    if (r != ERROR_SUCCESS) return r;
    r = change(file);
    if (r != ERROR_SUCCESS) return r;
    // Not synced: the rename alone keeps readers and killed writers safe,
    // and durability waits for the kernel's write-back or RegFlushKey, as
    // Windows leaves it to its lazy flusher.
    return note_refusal(key, write_key_file(key.dir, file, false));
}

LONG flush_key(const KeyRef& key) {
    // A root never written has nothing to flush; its store may not exist.
    std::string dir = key.dir;
    while (!dir.empty() && access(dir.c_str(), F_OK) != 0) dir = parent_of(dir);
    if (dir.empty()) return ERROR_SUCCESS;
    return flush_store(dir);
}

LONG open_key(const KeyRef& base, const std::vector<std::string>& names, REGSAM wanted,
              KeyRef* out) {
    KeyRef target;
    KeyFile file;
    if (names.empty()) {
        LONG r = read_key(base, &file);
        if (r != ERROR_SUCCESS) return r;
        target = base;
    } else {
        LONG r = join(base.dir, names, names.size(), &target.dir);
        if (r != ERROR_SUCCESS) return r;
        r = check_path(base.dir, names, names.size() - 1);
        if (r == ERROR_SUCCESS) r = probe_key(target.dir, names.back(), &file);
        if (r == ERROR_FILE_NOT_FOUND && !base.is_root) {
            KeyFile base_file;
            if (read_key(base, &base_file) == ERROR_KEY_DELETED) return ERROR_KEY_DELETED;
        }
        if (r != ERROR_SUCCESS) return r;
        target.id = file.id;
    }
    LONG r = grant_access(target, wanted, &target.access);
    if (r != ERROR_SUCCESS) {
        return (expand_generic(wanted) & kWriteRights) ? note_refusal(target, r) : r;
    }
    *out = target;
    return ERROR_SUCCESS;
}

LONG create_key(const KeyRef& base, const std::vector<std::string>& names, REGSAM wanted,
                KeyRef* out, bool* created) {
    *created = false;
    if (!names.empty()) {
        if (base.is_root) {
            LONG r = ensure_root(base.dir);
            if (r != ERROR_SUCCESS) return note_refusal(base, r);
        }
        LONG r = kRetry;
        for (int attempt = 0; r == kRetry && attempt < kMaxRetries; ++attempt) {
            r = create_path_once(base, names, created);
        }
        if (r == kRetry) return ERROR_BUSY;
        if (r != ERROR_SUCCESS) return note_refusal(base, r);
    }
    return open_key(base, names, wanted, out);
}

LONG delete_key(const KeyRef& base, const std::vector<std::string>& names) {
    bool by_handle = names.empty();
    if (by_handle && base.is_root) return ERROR_ACCESS_DENIED;
    std::string target, parent;
    if (by_handle) {
        target = base.dir;
        parent = parent_of(target);
    } else {
        LONG r = join(base.dir, names, names.size(), &target);
        if (r == ERROR_SUCCESS) r = join(base.dir, names, names.size() - 1, &parent);
        if (r != ERROR_SUCCESS) return r;
        // A missing part is found missing below, under the parent's lock.
        r = check_path(base.dir, names, names.size() - 1);
        if (r != ERROR_SUCCESS && r != ERROR_FILE_NOT_FOUND) return r;
    }
    const LONG gone = by_handle ? ERROR_KEY_DELETED : ERROR_FILE_NOT_FOUND;

    KeyLock parent_lock, key_lock;
    LONG r = parent_lock.acquire(parent);
    if (r == ERROR_FILE_NOT_FOUND) {
        KeyFile base_file;
        if (!base.is_root && read_key(base, &base_file) == ERROR_KEY_DELETED) return ERROR_KEY_DELETED;
        return gone;
    }
    if (r != ERROR_SUCCESS) return r;
    r = key_dir_state(target);
    if (r != ERROR_SUCCESS) return r == ERROR_FILE_NOT_FOUND ? gone : r;
    r = key_lock.acquire(target);
    if (r != ERROR_SUCCESS) return r == ERROR_FILE_NOT_FOUND ? gone : r;

    KeyFile file;
    r = read_key_file(target, &file);
    if (by_handle) {
        if (r == ERROR_FILE_NOT_FOUND || (r == ERROR_SUCCESS && file.id != base.id)) {
            return ERROR_KEY_DELETED;
        }
        if (r != ERROR_SUCCESS) return r;
    } else if (r == ERROR_SUCCESS && is_hashed_dir_name(base_name(target)) &&
               !names_equal(file.name, names.back())) {
        return ERROR_REGISTRY_CORRUPT;
    } else if (r != ERROR_SUCCESS && r != ERROR_FILE_NOT_FOUND && r != ERROR_REGISTRY_CORRUPT) {
        return r;  // a damaged key may still be deleted by name, to repair the store
    }

    if (has_subkeys(target)) return ERROR_ACCESS_DENIED;
    if (!may(parent, W_OK | X_OK)) return note_refusal(base, ERROR_ACCESS_DENIED);
    sweep_leftovers(parent);
    // One rename takes the key away for every reader and writer at once;
    // clearing out its files afterwards can be cut short harmlessly.
    std::string grave = parent + "/" + kDeletedPrefix + hex64(new_key_id());
    if (rename(target.c_str(), grave.c_str()) != 0) return win32_from_errno(errno, ERROR_CANTWRITE);
    sync_dir(parent);
    key_lock.release();
    std::error_code ec;
    std::filesystem::remove_all(grave, ec);
    return ERROR_SUCCESS;
}

LONG list_subkeys(const KeyRef& key, std::vector<std::string>* dir_names) {
    dir_names->clear();
    KeyFile file;
    LONG r = read_key(key, &file);
    if (r != ERROR_SUCCESS) return r;
    r = list_subkey_dirs(key.dir, dir_names);
    // A root that was never written has no directory and no subkeys.
    if (r == ERROR_FILE_NOT_FOUND && key.is_root) return ERROR_SUCCESS;
    return r;
}

}  // namespace zkx::win32::reg
