// Namespace directories and the checks on every file the layer opens in them.
#include "system/namespace_dir.h"

#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <set>
#include <vector>

#include "base/errno_map.h"
#include "zkxwin32/errors.h"

namespace zkx::win32 {
namespace {

std::mutex g_lock;
std::set<std::string> g_said;

// The last directory resolved, for the uid that resolved it: a process
// that changes its uid (a forked child dropping root) resolves again.
struct Cached {
    bool valid = false;
    uid_t uid = 0;
    NamespaceDirectory dir;
};
Cached g_cached;

std::string user_text(uid_t uid) {
    std::string text = "uid " + std::to_string(uid);
    char buf[1024];
    passwd pw{}, *found = nullptr;
    if (getpwuid_r(uid, &pw, buf, sizeof buf, &found) == 0 && found) text += " (" + std::string(pw.pw_name) + ")";
    return text;
}

std::string group_text(gid_t gid) {
    std::string text = "gid " + std::to_string(gid);
    char buf[4096];
    group gr{}, *found = nullptr;
    if (getgrgid_r(gid, &gr, buf, sizeof buf, &found) == 0 && found) text += " (" + std::string(gr.gr_name) + ")";
    return text;
}

std::string describe(const struct stat& st) {
    char mode[16];
    std::snprintf(mode, sizeof mode, "%04o", unsigned(st.st_mode & 07777));
    const char* kind = S_ISREG(st.st_mode)    ? "file"
                       : S_ISDIR(st.st_mode)  ? "directory"
                       : S_ISLNK(st.st_mode)  ? "symbolic link"
                       : S_ISFIFO(st.st_mode) ? "FIFO"
                                              : "special file";
    return std::string(kind) + " owned by " + user_text(st.st_uid) + ", group " + group_text(st.st_gid) +
           ", mode " + mode;
}

bool in_group(gid_t gid) {
    if (getegid() == gid) return true;
    int n = getgroups(0, nullptr);
    if (n <= 0) return false;
    std::vector<gid_t> groups(size_t(n) + 1);
    n = getgroups(n, groups.data());
    for (int i = 0; i < n; ++i)
        if (groups[size_t(i)] == gid) return true;
    return false;
}

// A directory on the way to a namespace: a real directory (not a link) of
// `owner` that nobody else can write.  Made with `mode` when missing and
// `make`.  Refusal: 5 after one message.
DWORD settle_directory(const std::string& path, uid_t owner, mode_t mode, bool make, struct stat* out) {
    if (make && mkdir(path.c_str(), mode) == 0) {
        chmod(path.c_str(), mode);  // whatever the umask: others must reach /run/zkx
    } else if (make && errno != EEXIST) {
        namespace_complain("cannot make the namespace directory " + path + ": " + std::strerror(errno));
        return win32_error_from_errno(errno, ERROR_ACCESS_DENIED);
    }
    struct stat st {};
    if (lstat(path.c_str(), &st) != 0) {
        if (errno == ENOENT) return ERROR_PATH_NOT_FOUND;
        namespace_complain("cannot examine " + path + ": " + std::strerror(errno));
        return ERROR_ACCESS_DENIED;
    }
    const mode_t forbidden = owner == 0 ? mode_t(S_IWGRP | S_IWOTH) : mode_t(077);
    if (!S_ISDIR(st.st_mode) || st.st_uid != owner || (st.st_mode & forbidden)) {
        namespace_complain("refusing " + path + ": it is a " + describe(st) + "; the layer needs a directory of " +
                           user_text(owner) + " that no other user can " +
                           (forbidden == 077 ? "enter" : "write") +
                           ". Remove it (its owner or root can) and try again, or set ZKX_NAMESPACE "
                           "to another name");
        return ERROR_ACCESS_DENIED;
    }
    if (out) *out = st;
    return 0;
}

// $XDG_RUNTIME_DIR when it is what it promises: this uid's own 0700 folder.
std::string runtime_dir(uid_t uid) {
    const char* env = std::getenv("XDG_RUNTIME_DIR");
    if (!env || env[0] != '/') return {};
    struct stat st {};
    if (lstat(env, &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != uid || (st.st_mode & 077)) return {};
    return env;
}

DWORD resolve(const std::string& name, uid_t uid, NamespaceDirectory* out) {
    out->name = name;
    out->shared = false;
    out->group = 0;
    const std::string system_dir = std::string(kSystemNamespaceRoot) + "/" + name;
    struct stat st {};
    // An administrator's shared namespace comes first, for its group's members.
    struct stat root_st {};
    bool root_ok = lstat(kSystemNamespaceRoot, &root_st) == 0 && S_ISDIR(root_st.st_mode) && root_st.st_uid == 0 &&
                   !(root_st.st_mode & (S_IWGRP | S_IWOTH));
    if (root_ok && lstat(system_dir.c_str(), &st) == 0 && is_shared_namespace_directory(st) &&
        (uid == 0 || in_group(st.st_gid))) {
        out->path = system_dir;
        out->shared = true;
        out->group = st.st_gid;
        return 0;
    }
    if (uid == 0) {
        if (DWORD err = settle_directory(kSystemNamespaceRoot, 0, 0755, true, nullptr)) return err;
        out->path = system_dir;
        return settle_directory(system_dir, 0, 0700, true, nullptr);
    }
    const std::string base = private_namespace_root(uid);
    if (DWORD err = settle_directory(base, uid, 0700, true, nullptr)) return err;
    out->path = base + "/" + name;
    return settle_directory(out->path, uid, 0700, true, nullptr);
}

}  // namespace

std::string private_namespace_root(uid_t uid) {
    if (uid == 0) return kSystemNamespaceRoot;
    std::string base = runtime_dir(uid);
    if (!base.empty()) return base + "/zkx";
    struct stat shm {};
    const bool have_shm = lstat("/dev/shm", &shm) == 0 && S_ISDIR(shm.st_mode);
    return std::string(have_shm ? "/dev/shm" : "/tmp") + "/zkx-" + std::to_string(uid);
}

void namespace_complain(const std::string& text) {
    {
        std::lock_guard<std::mutex> hold(g_lock);
        if (!g_said.insert(text).second) return;
    }
    std::fprintf(stderr, "zkxwin32: %s\n", text.c_str());
}

bool valid_namespace_name(const std::string& name) {
    if (name.empty() || name.size() > 100 || name == "." || name == "..") return false;
    for (char c : name) {
        bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' ||
                  c == '_' || c == '-';
        if (!ok) return false;
    }
    return true;
}

bool is_shared_namespace_directory(const struct stat& st) {
    return S_ISDIR(st.st_mode) && st.st_uid == 0 && st.st_gid != 0 && (st.st_mode & S_ISGID) &&
           !(st.st_mode & S_IRWXO);
}

DWORD namespace_directory_for(const std::string& name, NamespaceDirectory* out) {
    if (!valid_namespace_name(name)) {
        namespace_complain("ZKX_NAMESPACE \"" + name +
                           "\" is not a valid namespace name (letters, digits, '.', '_', '-')");
        return ERROR_INVALID_NAME;
    }
    return resolve(name, geteuid(), out);
}

DWORD namespace_directory(NamespaceDirectory* out) {
    const char* env = std::getenv("ZKX_NAMESPACE");
    const std::string name = env && *env ? env : "default";
    const uid_t uid = geteuid();
    {
        std::lock_guard<std::mutex> hold(g_lock);
        if (g_cached.valid && g_cached.uid == uid && g_cached.dir.name == name) {
            *out = g_cached.dir;
            return 0;
        }
    }
    NamespaceDirectory dir;
    if (DWORD err = namespace_directory_for(name, &dir)) return err;
    std::lock_guard<std::mutex> hold(g_lock);
    g_cached.valid = true;
    g_cached.uid = uid;
    g_cached.dir = dir;
    *out = dir;
    return 0;
}

DWORD remove_private_namespace(const std::string& name) {
    NamespaceDirectory dir;
    if (DWORD err = namespace_directory_for(name, &dir)) return err;
    if (dir.shared) return ERROR_ACCESS_DENIED;
    if (DIR* d = opendir(dir.path.c_str())) {
        while (dirent* e = readdir(d)) {
            if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0)
                unlinkat(dirfd(d), e->d_name, 0);
        }
        closedir(d);
    }
    {
        std::lock_guard<std::mutex> hold(g_lock);
        g_cached.valid = false;
    }
    return rmdir(dir.path.c_str()) == 0 ? 0 : win32_error_from_errno(errno, 145);
}

int open_namespace_file(const NamespaceDirectory& dir, const std::string& path, int access, bool create,
                        bool* created, struct stat* st) {
    if (created) *created = false;
    const int flags = access | O_CLOEXEC | O_NOFOLLOW | O_NOCTTY;
    for (int attempt = 0; attempt < 8; ++attempt) {
        // Non-blocking, so that a FIFO planted here cannot hold the open.
        int fd = open(path.c_str(), flags | O_NONBLOCK);
        bool made = false;
        if (fd < 0 && errno == ENOENT && create) {
            fd = open(path.c_str(), flags | O_CREAT | O_EXCL, 0600);
            if (fd < 0 && errno == EEXIST) continue;  // somebody else made it first
            made = fd >= 0;
        }
        if (fd < 0) {
            const int e = errno;
            if (e == ELOOP || e == EACCES || e == EPERM) {
                struct stat lst {};
                namespace_complain("refusing " + path + ": " +
                                   (lstat(path.c_str(), &lst) == 0 ? "it is a " + describe(lst)
                                                                   : std::string(std::strerror(e))) +
                                   "; the namespace's files must be regular files of its users. Remove it "
                                   "and try again");
                SetLastError(ERROR_ACCESS_DENIED);
            } else {
                set_last_error_from_errno(e, kErrorGenFailure);
            }
            return -1;
        }
        struct stat s {};
        if (fstat(fd, &s) != 0) {
            set_last_error_from_errno(errno, kErrorGenFailure);
            close(fd);
            return -1;
        }
        // Umask aside, a shared namespace's files are for its whole group.
        if (made && dir.shared && fchmod(fd, 0660) == 0) s.st_mode = (s.st_mode & ~07777) | 0660;
        const bool owner_ok = s.st_uid == geteuid() || s.st_uid == 0 || (dir.shared && s.st_gid == dir.group);
        const bool group_ok = !dir.shared || s.st_gid == dir.group || !(s.st_mode & S_IWGRP);
        if (!S_ISREG(s.st_mode) || !owner_ok || !group_ok || (s.st_mode & S_IWOTH)) {
            namespace_complain("refusing " + path + ": it is a " + describe(s) +
                               "; the layer uses only regular files of this user" +
                               (dir.shared ? ", of root or of the namespace's group" : " or of root") +
                               " that no other user can write. Remove it and try again");
            close(fd);
            SetLastError(ERROR_ACCESS_DENIED);
            return -1;
        }
        fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
        if (created) *created = made;
        if (st) *st = s;
        return fd;
    }
    namespace_complain("cannot settle on " + path + ": it keeps being replaced");
    SetLastError(ERROR_ACCESS_DENIED);
    return -1;
}

}  // namespace zkx::win32
