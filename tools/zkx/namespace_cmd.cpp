// zkx namespace: the administrator's shared namespaces, and a user's own.
#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <sys/file.h>
#include <sys/sysmacros.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "cli.h"
#include "system/namespace_dir.h"

namespace zkx::tool {
namespace {

using zkx::win32::kSystemNamespaceRoot;

gid_t group_id(const std::string& name) {
    char buf[8192];
    group gr{}, *found = nullptr;
    if (getgrnam_r(name.c_str(), &gr, buf, sizeof buf, &found) == 0 && found) return found->gr_gid;
    uint32_t gid = 0;
    if (parse_u32(name, &gid)) return gid_t(gid);
    throw Failure("no group \"" + name + "\" on this machine");
}

std::string group_name(gid_t gid) {
    char buf[8192];
    group gr{}, *found = nullptr;
    if (getgrgid_r(gid, &gr, buf, sizeof buf, &found) == 0 && found) return found->gr_name;
    return std::to_string(gid);
}

void check_name(const std::string& name) {
    if (!zkx::win32::valid_namespace_name(name))
        throw UsageError("\"" + name + "\" is not a namespace name (letters, digits, '.', '_', '-')");
}

int create(Args& args) {
    const std::string name = args.take("NAME");
    std::string group;
    if (!args.take_option("--group", &group)) throw UsageError("--group GROUP is required");
    args.finish();
    check_name(name);
    const gid_t gid = group_id(group);
    if (gid == 0) throw Failure("a shared namespace needs a group other than root's");
    if (geteuid() != 0) throw Failure("only root can make a shared namespace");
    if (mkdir(kSystemNamespaceRoot, 0755) == 0)
        chmod(kSystemNamespaceRoot, 0755);  // members of the group must reach their namespace
    else if (errno != EEXIST)
        throw Failure(std::string("cannot make ") + kSystemNamespaceRoot + ": " + std::strerror(errno));
    struct stat root_st {};
    if (lstat(kSystemNamespaceRoot, &root_st) != 0 || !S_ISDIR(root_st.st_mode) || root_st.st_uid != 0)
        throw Failure(std::string(kSystemNamespaceRoot) + " is not root's directory; remove it first");
    chmod(kSystemNamespaceRoot, 0755);
    const std::string dir = std::string(kSystemNamespaceRoot) + "/" + name;
    if (mkdir(dir.c_str(), 0700) != 0) {
        struct stat st {};
        if (errno == EEXIST && lstat(dir.c_str(), &st) == 0 && zkx::win32::is_shared_namespace_directory(st) &&
            st.st_gid == gid) {
            std::printf("%s is shared with group %s already\n", dir.c_str(), group_name(gid).c_str());
            return kExitOk;
        }
        throw Failure("cannot make " + dir + ": " +
                      (errno == EEXIST ? std::string("it exists (zkx namespace remove it first)") : std::strerror(errno)));
    }
    if (chown(dir.c_str(), 0, gid) != 0 || chmod(dir.c_str(), 02770) != 0) {
        const std::string why = std::strerror(errno);
        rmdir(dir.c_str());
        throw Failure("cannot give " + dir + " to group " + group + ": " + why);
    }
    std::printf("%s: shared with group %s\n", dir.c_str(), group_name(gid).c_str());
    return kExitOk;
}

// The namespaces under `root` that this user may use.
void list_in(const std::string& root, bool mine) {
    DIR* d = opendir(root.c_str());
    if (!d) return;
    std::vector<std::string> lines;
    while (dirent* e = readdir(d)) {
        const std::string name = e->d_name;
        if (!zkx::win32::valid_namespace_name(name)) continue;
        struct stat st {};
        if (fstatat(dirfd(d), e->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISDIR(st.st_mode)) continue;
        std::string kind;
        if (zkx::win32::is_shared_namespace_directory(st))
            kind = "shared with group " + group_name(st.st_gid);
        else if (mine && st.st_uid == geteuid())
            kind = "private";
        else
            continue;
        struct stat seg {};
        const bool used = fstatat(dirfd(d), (name + "/segment").c_str(), &seg, AT_SYMLINK_NOFOLLOW) == 0;
        lines.push_back(name + "  " + kind + (used ? "" : ", never used") + "  " + root + "/" + name);
    }
    closedir(d);
    std::sort(lines.begin(), lines.end());
    for (const std::string& line : lines) std::printf("%s\n", line.c_str());
}

int list(Args& args) {
    args.finish();
    list_in(kSystemNamespaceRoot, geteuid() == 0);
    if (geteuid() != 0) list_in(zkx::win32::private_namespace_root(geteuid()), true);
    return kExitOk;
}

// Other processes holding a lock on the file `st` describes.
int lock_holders(const struct stat& st) {
    FILE* f = std::fopen("/proc/locks", "re");
    if (!f) return 0;
    int n = 0;
    char line[512];
    while (std::fgets(line, sizeof line, f)) {
        long pid = 0;
        unsigned major = 0, minor = 0;
        unsigned long long inode = 0;
        char* p = std::strstr(line, "FLOCK");
        if (!p || std::sscanf(p, "FLOCK %*s %*s %ld %x:%x:%llu", &pid, &major, &minor, &inode) != 4) continue;
        if (inode == st.st_ino && major == major(st.st_dev) && minor == minor(st.st_dev) && pid != getpid()) ++n;
    }
    std::fclose(f);
    return n;
}

int remove(Args& args) {
    const std::string name = args.take("NAME");
    args.finish();
    check_name(name);
    std::string dir = std::string(kSystemNamespaceRoot) + "/" + name;
    struct stat st {};
    const bool shared = lstat(dir.c_str(), &st) == 0 && zkx::win32::is_shared_namespace_directory(st);
    if (!shared || geteuid() != 0) dir = zkx::win32::private_namespace_root(geteuid()) + "/" + name;
    if (lstat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) throw Failure("no namespace " + name + " of yours");
    if (st.st_uid != geteuid()) throw Failure(dir + " is not yours to remove");
    // Every process attached holds a shared lock on the segment; this one
    // may be among them (the library attaches to ZKX_NAMESPACE as it loads).
    struct stat seg {};
    if (lstat((dir + "/segment").c_str(), &seg) == 0) {
        const int users = lock_holders(seg);
        if (users > 0)
            throw Failure("namespace " + name + " is in use by " + std::to_string(users) +
                          " process(es); end them first");
    }
    if (DIR* d = opendir(dir.c_str())) {
        while (dirent* e = readdir(d))
            if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0)
                unlinkat(dirfd(d), e->d_name, 0);
        closedir(d);
    }
    if (rmdir(dir.c_str()) != 0) throw Failure("cannot remove " + dir + ": " + std::strerror(errno));
    std::printf("%s removed\n", dir.c_str());
    return kExitOk;
}

int namespace_main(Args& args) {
    const std::string verb = args.take("create, list or remove");
    if (verb == "create") return create(args);
    if (verb == "list") return list(args);
    if (verb == "remove") return remove(args);
    throw UsageError("unknown namespace command \"" + verb + "\" (create, list or remove)");
}

}  // namespace

extern const Command kNamespaceCommand = {
    "namespace", "make, list or remove object namespaces; share one with a group",
    "usage:\n"
    "  zkx namespace create NAME --group GROUP\n"
    "  zkx namespace list\n"
    "  zkx namespace remove NAME\n"
    "\n"
    "A namespace (ZKX_NAMESPACE) is private to the user that runs its\n"
    "processes, unless root made it shared:\n"
    "  create  (root) makes /run/zkx/NAME, a setgid 2770 directory of GROUP;\n"
    "          processes of users in GROUP then share its named objects\n"
    "  list    the shared namespaces this user may use and its own ones\n"
    "  remove  deletes a namespace's directory and files once no process\n"
    "          uses it: root removes shared ones, any user its own\n",
    namespace_main};

}  // namespace zkx::tool
