// Another local user must not be able to take over, stall or read a
// namespace.  Root plays both sides: a child dropped to an unused uid acts
// first, then the root side must work on objects of its own or be refused
// with ERROR_ACCESS_DENIED at once.  Without root these tests skip.
#ifndef _WIN32
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <sched.h>
#include <sys/file.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "child.h"
#include "kobj_layout.h"
#include "kobj_test_util.h"
#include "namespace_dir.h"
#include "zkxwin32.h"

using namespace zkx::test;
namespace fs = std::filesystem;

namespace {

constexpr uid_t kStranger = 61917;  // must name no account
constexpr gid_t kStrangerGroup = 61917;
constexpr gid_t kSharedGroup = 61918;
constexpr uid_t kMember = 61919;

bool skip_unless_root(std::string* why) {
    if (geteuid() != 0) {
        *why = "needs root, to act as a second user";
        return true;
    }
    if (getpwuid(kStranger) || getpwuid(kMember) || getgrgid(kSharedGroup)) {
        *why = "the test's uids or gids name accounts on this machine";
        return true;
    }
    return false;
}

#define SKIP_UNLESS_ROOT()                          \
    do {                                            \
        std::string why;                            \
        if (skip_unless_root(&why)) GTEST_SKIP() << why; \
    } while (0)

// Starts a child entry point as another user, the way a login would:
// supplementary groups, then gid, then uid, then exec.  Of this process's
// descriptors the child keeps only `keep` (the pipes are close-on-exec).
pid_t spawn_as(uid_t uid, gid_t gid, std::vector<gid_t> groups, const std::string& name,
               const std::vector<std::string>& args = {}, std::vector<int> keep = {}) {
    char exe[4096];
    ssize_t n = readlink("/proc/self/exe", exe, sizeof exe - 1);
    if (n <= 0) return -1;
    exe[n] = 0;
    std::vector<std::string> argv_s{exe, kChildFlag, name};
    argv_s.insert(argv_s.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& s : argv_s) argv.push_back(const_cast<char*>(s.c_str()));
    argv.push_back(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
        if (setgroups(groups.size(), groups.data()) != 0 || setresgid(gid, gid, gid) != 0 ||
            setresuid(uid, uid, uid) != 0)
            _exit(120);
        for (int fd : keep) fcntl(fd, F_SETFD, 0);
        execv(exe, argv.data());
        _exit(121);
    }
    return pid;
}

std::string private_dir_of(uid_t uid) {
    return "/dev/shm/zkx-" + std::to_string(uid) + "/" + getenv("ZKX_NAMESPACE");
}

// Every file this process maps must be root's.
std::vector<std::string> foreign_mappings() {
    std::vector<std::string> found;
    std::ifstream maps("/proc/self/maps");
    std::string line;
    while (std::getline(maps, line)) {
        auto slash = line.find('/');
        if (slash == std::string::npos) continue;
        std::string path = line.substr(slash);
        struct stat st {};
        if (stat(path.c_str(), &st) == 0 && st.st_uid != geteuid()) found.push_back(path);
    }
    return found;
}

long long ms_since(std::chrono::steady_clock::time_point t) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t).count();
}

std::string read_file(const std::string& path) {
    std::ifstream f(path);
    return std::string(std::istreambuf_iterator<char>(f), {});
}

}  // namespace

// The stranger uses the test's names first and plants what it can wherever
// a namespace's files were or might be looked for; then it waits (holding
// its mutex) until the parent closes the pipe.  Args: ready fd, hold fd,
// victim file.
ZKX_CHILD(stranger_acts_first) {
    const int ready = std::stoi(args.at(0)), hold = std::stoi(args.at(1));
    const std::string victim = args.at(2);
    const std::string ns = getenv("ZKX_NAMESPACE");
    HANDLE m = CreateMutexA(nullptr, TRUE, "Trust.Mutex");
    HANDLE e = CreateEventA(nullptr, TRUE, TRUE, "Trust.Event");
    HANDLE s = CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, 65536, "Trust.Section");
    char* v = s ? static_cast<char*>(MapViewOfFile(s, FILE_MAP_WRITE, 0, 0, 0)) : nullptr;
    if (!m || !e || !v) return 10;
    std::strcpy(v, "the stranger's bytes");
    // Where earlier builds kept the namespace, and where root might fall back.
    if (symlink(victim.c_str(), ("/dev/shm/zkx." + ns).c_str()) != 0) return 11;
    if (symlink(victim.c_str(), ("/dev/shm/zkx." + ns + ".dbwin").c_str()) != 0) return 12;
    mkdir("/dev/shm/zkx-0", 0777);
    chmod("/dev/shm/zkx-0", 0777);
    mkfifo(("/dev/shm/zkx-0/" + ns).c_str(), 0666);
    // And anything it can reach under /run/zkx.
    if (mkdir(("/run/zkx/" + ns).c_str(), 0777) == 0) return 13;
    if (write(ready, "r", 1) != 1) return 14;
    char c;
    while (read(hold, &c, 1) > 0) {
    }
    return 0;
}

TEST(Trust, AStrangerWhoTakesTheNamesFirstGetsANamespaceOfItsOwn) {
    SKIP_UNLESS_ROOT();
    const std::string ns = getenv("ZKX_NAMESPACE");
    const std::string victim = temp_dir() + "/victim";
    { std::ofstream(victim) << "root's file\n"; }
    int ready[2], hold[2];
    ASSERT_EQ(pipe2(ready, O_CLOEXEC), 0);
    ASSERT_EQ(pipe2(hold, O_CLOEXEC), 0);
    pid_t child = spawn_as(kStranger, kStrangerGroup, {}, "stranger_acts_first",
                           {std::to_string(ready[1]), std::to_string(hold[0]), victim}, {ready[1], hold[0]});
    ASSERT_GT(child, 0);
    close(ready[1]);
    close(hold[0]);
    char c = 0;
    ASSERT_EQ(read(ready[0], &c, 1), 1) << "the stranger ended with " << wait_child(child);

    const auto start = std::chrono::steady_clock::now();
    HANDLE m = CreateMutexA(nullptr, FALSE, "Trust.Mutex");
    ASSERT_NE(m, nullptr) << GetLastError();
    EXPECT_EQ(GetLastError(), 0u) << "root opened the stranger's mutex";
    EXPECT_EQ(WaitForSingleObject(m, 1000), WAIT_OBJECT_0);
    EXPECT_EQ(OpenEventA(SYNCHRONIZE, FALSE, "Trust.Event"), nullptr);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_FILE_NOT_FOUND));
    HANDLE s = CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, 65536, "Trust.Section");
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(GetLastError(), 0u);
    char* v = static_cast<char*>(MapViewOfFile(s, FILE_MAP_WRITE, 0, 0, 0));
    ASSERT_NE(v, nullptr);
    EXPECT_EQ(v[0], 0);
    ZKX_DEBUG_VIEWER* viewer = zkx_debug_viewer_open();
    ASSERT_NE(viewer, nullptr) << GetLastError();
    EXPECT_LT(ms_since(start), 1000);
    char text[64];
    DWORD pid = 0;
    EXPECT_FALSE(zkx_debug_viewer_read(viewer, 0, &pid, text, sizeof text));  // ready to hear
    OutputDebugStringA("root's text");
    EXPECT_TRUE(zkx_debug_viewer_read(viewer, 5000, &pid, text, sizeof text));
    EXPECT_STREQ(text, "root's text");

    EXPECT_EQ(read_file(victim), "root's file\n");
    EXPECT_EQ(foreign_mappings(), std::vector<std::string>{});
    zkx_debug_viewer_close(viewer);
    ReleaseMutex(m);
    close(hold[1]);
    EXPECT_EQ(wait_child(child), 0);
    std::error_code ec;
    fs::remove_all(private_dir_of(kStranger), ec);
    fs::remove("/dev/shm/zkx." + ns, ec);
    fs::remove("/dev/shm/zkx." + ns + ".dbwin", ec);
    fs::remove_all("/dev/shm/zkx-0", ec);
}

// The stranger tries root's names and root's files.  Exit code: 0 when it
// reached nothing, else the number of the step that got through.
ZKX_CHILD(stranger_tries_roots_objects) {
    const std::string root_dir = args.at(0);
    if (OpenMutexA(SYNCHRONIZE, FALSE, "Trust.Held")) return 1;
    if (OpenEventA(EVENT_MODIFY_STATE, FALSE, "Trust.Event")) return 2;
    if (OpenFileMappingA(FILE_MAP_READ, FALSE, "Trust.Section")) return 3;
    for (const char* f : {"/segment", "/segment.dbwin"}) {
        int fd = open((root_dir + f).c_str(), O_RDONLY);
        if (fd >= 0) return 4;
    }
    // A viewer of its own hears nothing of what root sends.
    ZKX_DEBUG_VIEWER* viewer = zkx_debug_viewer_open();
    if (!viewer) return 5;
    char text[256];
    DWORD pid = 0;
    if (zkx_debug_viewer_read(viewer, 1500, &pid, text, sizeof text)) return 6;
    zkx_debug_viewer_close(viewer);
    return 0;
}

TEST(Trust, AStrangerCannotOpenWaitOnSignalOrHearRootsObjects) {
    SKIP_UNLESS_ROOT();
    HANDLE m = CreateMutexA(nullptr, TRUE, "Trust.Held");
    HANDLE e = CreateEventA(nullptr, TRUE, FALSE, "Trust.Event");
    HANDLE s = CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, 65536, "Trust.Section");
    ASSERT_TRUE(m && e && s);
    const std::string dir = fs::path(zkx::win32::kernel_segment_path()).parent_path();
    pid_t child = spawn_as(kStranger, kStrangerGroup, {}, "stranger_tries_roots_objects", {dir});
    ASSERT_GT(child, 0);
    // Root keeps talking while the stranger listens.
    int status = -1;
    for (int i = 0; i < 400 && !child_exited(child, &status); ++i) {
        OutputDebugStringA("root's secret");
        Sleep(5);
    }
    if (status == -1) status = wait_child(child);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(WaitForSingleObject(e, 0), DWORD(WAIT_TIMEOUT));
    std::error_code ec;
    fs::remove_all(private_dir_of(kStranger), ec);
}

ZKX_CHILD(attach_error) {
    if (args.size() > 0) setenv("ZKX_NAMESPACE", args[0].c_str(), 1);
    HANDLE e = CreateEventA(nullptr, FALSE, FALSE, "probe");
    return e ? 0 : int(GetLastError() & 0x7F);
}

ZKX_CHILD(viewer_error) {
    ZKX_DEBUG_VIEWER* v = zkx_debug_viewer_open();
    if (!v) return int(GetLastError() & 0x7F);
    OutputDebugStringA("text");
    zkx_debug_viewer_close(v);
    return 0;
}

// What a member of a shared namespace (or root itself, by mistake) might
// leave in a namespace directory: each is refused at once, never followed,
// read from or waited on.
TEST(Trust, PlantedLinksFifosAndForeignFilesInANamespaceAreRefused) {
    SKIP_UNLESS_ROOT();
    const std::string base = std::string(getenv("ZKX_NAMESPACE")) + ".planted";
    const std::string target = temp_dir() + "/target";
    { std::ofstream(target) << "keep\n"; }
    struct Plant {
        const char* what;
        const char* file;
        void (*make)(const std::string& path, const std::string& target);
    };
    const Plant plants[] = {
        {"segment link", "segment", [](const std::string& p, const std::string& t) { symlink(t.c_str(), p.c_str()); }},
        {"segment FIFO", "segment", [](const std::string& p, const std::string&) { mkfifo(p.c_str(), 0600); }},
        {"segment of another uid", "segment",
         [](const std::string& p, const std::string&) {
             std::ofstream(p) << "x";
             chown(p.c_str(), kStranger, kStrangerGroup);
         }},
        {"segment anyone can write", "segment",
         [](const std::string& p, const std::string&) {
             std::ofstream(p) << "x";
             chmod(p.c_str(), 0666);
         }},
        {"buffer link", "segment.dbwin",
         [](const std::string& p, const std::string& t) { symlink(t.c_str(), p.c_str()); }},
        {"buffer of another uid", "segment.dbwin",
         [](const std::string& p, const std::string&) {
             std::ofstream(p) << std::string(4096, 0);
             chown(p.c_str(), kStranger, kStrangerGroup);
         }},
    };
    int i = 0;
    for (const Plant& plant : plants) {
        const std::string ns = base + std::to_string(i++);
        zkx::win32::NamespaceDirectory dir;
        ASSERT_EQ(zkx::win32::namespace_directory_for(ns, &dir), 0u);
        plant.make(dir.path + "/" + plant.file, target);
        setenv("ZKX_NAMESPACE", ns.c_str(), 1);
        const auto start = std::chrono::steady_clock::now();
        const bool buffer = std::strcmp(plant.file, "segment.dbwin") == 0;
        EXPECT_EQ(wait_child(spawn_child(buffer ? "viewer_error" : "attach_error"), 5000), int(ERROR_ACCESS_DENIED))
            << plant.what;
        EXPECT_LT(ms_since(start), 1000) << plant.what;
        EXPECT_EQ(read_file(target), "keep\n") << plant.what;
        zkx::win32::remove_private_namespace(ns);
    }
}

// A namespace an administrator made for a group: its members share objects,
// other users do not reach them, and a member's file with a forged header
// is refused.
ZKX_CHILD(member_creates) {
    HANDLE e = CreateEventA(nullptr, TRUE, TRUE, "Trust.Shared");
    if (!e) return int(GetLastError() & 0x7F);
    const int ready = std::stoi(args.at(0)), hold = std::stoi(args.at(1));
    if (write(ready, "r", 1) != 1) return 100;
    char c;
    while (read(hold, &c, 1) > 0) {
    }
    return 0;
}

ZKX_CHILD(outsider_opens) {
    return OpenEventA(SYNCHRONIZE, FALSE, "Trust.Shared") ? 1 : GetLastError() == ERROR_FILE_NOT_FOUND ? 0 : 2;
}

TEST(Trust, ASharedNamespaceIsForItsGroupOnly) {
    SKIP_UNLESS_ROOT();
    const std::string ns = std::string(getenv("ZKX_NAMESPACE")) + ".shared";
    const std::string dir = std::string(zkx::win32::kSystemNamespaceRoot) + "/" + ns;
    mkdir(zkx::win32::kSystemNamespaceRoot, 0755);
    ASSERT_EQ(mkdir(dir.c_str(), 0700), 0);
    ASSERT_EQ(chown(dir.c_str(), 0, kSharedGroup), 0);
    ASSERT_EQ(chmod(dir.c_str(), 02770), 0);
    setenv("ZKX_NAMESPACE", ns.c_str(), 1);

    int ready[2], hold[2];
    ASSERT_EQ(pipe2(ready, O_CLOEXEC), 0);
    ASSERT_EQ(pipe2(hold, O_CLOEXEC), 0);
    pid_t member = spawn_as(kMember, kMember, {kSharedGroup}, "member_creates",
                            {std::to_string(ready[1]), std::to_string(hold[0])}, {ready[1], hold[0]});
    close(ready[1]);
    close(hold[0]);
    char c = 0;
    ASSERT_EQ(read(ready[0], &c, 1), 1) << wait_child(member);
    HANDLE e = OpenEventA(SYNCHRONIZE, FALSE, "Trust.Shared");
    EXPECT_NE(e, nullptr) << "root does not see the member's event: " << GetLastError();
    EXPECT_EQ(WaitForSingleObject(e, 0), WAIT_OBJECT_0);
    EXPECT_EQ(wait_child(spawn_as(kStranger, kStrangerGroup, {}, "outsider_opens"), 5000), 0);
    struct stat st {};
    ASSERT_EQ(stat((dir + "/segment").c_str(), &st), 0);
    EXPECT_EQ(st.st_gid, kSharedGroup);
    EXPECT_EQ(st.st_mode & 0777, 0660u);
    close(hold[1]);
    EXPECT_EQ(wait_child(member), 0);
    CloseHandle(e);
    std::error_code ec;
    fs::remove_all(private_dir_of(kStranger), ec);

    // A member's segment whose header says root made it.
    const std::string forged_ns = ns + "2";
    const std::string forged_dir = dir + "2";
    ASSERT_EQ(mkdir(forged_dir.c_str(), 0700), 0);
    ASSERT_EQ(chown(forged_dir.c_str(), 0, kSharedGroup), 0);
    ASSERT_EQ(chmod(forged_dir.c_str(), 02770), 0);
    {
        using namespace zkx::win32::kobj;
        std::string bytes(Layout::total, '\0');
        auto* h = reinterpret_cast<SegmentHeader*>(bytes.data());
        std::memcpy(h->magic, kMagic, sizeof kMagic);
        h->version = kLayoutVersion;
        h->header_size = sizeof(SegmentHeader);
        h->total_size = Layout::total;
        h->max_objects = kMaxObjects;
        h->max_processes = kMaxProcesses;
        h->max_records = kMaxRecords;
        h->max_wait_objects = kMaxWaitObjects;
        h->journal_capacity = kJournalCapacity;
        h->mutex_size = sizeof(pthread_mutex_t);
        h->ready = 1;
        h->creator_uid = 0;
        const std::string path = forged_dir + "/segment";
        std::ofstream(path, std::ios::binary) << bytes;
        ASSERT_EQ(chown(path.c_str(), kMember, kSharedGroup), 0);
        ASSERT_EQ(chmod(path.c_str(), 0660), 0);
        // Somebody attached, so that it is not simply replaced.
        int fd = open(path.c_str(), O_RDONLY);
        ASSERT_EQ(flock(fd, LOCK_SH), 0);
        EXPECT_EQ(wait_child(spawn_child("attach_error", {forged_ns}), 5000), int(ERROR_ACCESS_DENIED));
        close(fd);
    }
    fs::remove_all(dir, ec);
    fs::remove_all(forged_dir, ec);
}

// A private namespace directory somebody else made first is refused, not
// used: here root plays the one who made it and the stranger the victim.
ZKX_CHILD(victim_attaches) {
    HANDLE e = CreateEventA(nullptr, FALSE, FALSE, "probe");
    return e ? 0 : int(GetLastError() & 0x7F);
}

TEST(Trust, APrivateDirectoryMadeByAnotherUserIsRefused) {
    SKIP_UNLESS_ROOT();
    const std::string base = "/dev/shm/zkx-" + std::to_string(kStranger);
    std::error_code ec;
    fs::remove_all(base, ec);
    ASSERT_EQ(mkdir(base.c_str(), 0777), 0);
    ASSERT_EQ(chmod(base.c_str(), 0777), 0);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(wait_child(spawn_as(kStranger, kStrangerGroup, {}, "victim_attaches"), 5000),
              int(ERROR_ACCESS_DENIED));
    EXPECT_LT(ms_since(start), 1000);
    fs::remove_all(base, ec);
    EXPECT_EQ(wait_child(spawn_as(kStranger, kStrangerGroup, {}, "victim_attaches"), 5000), 0);
    fs::remove_all(base, ec);
}
#endif
