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
#include "kernel/kernel_objects.h"
#include "kernel/layout.h"
#include "system/namespace_dir.h"
#include "test_env.h"
#include "zkxwin32.h"

using namespace zkx::test;
namespace fs = std::filesystem;

namespace {

// Unused ids; each test has a stranger of its own, since tests run in
// parallel and a user's private namespaces share one directory.
constexpr uid_t kStranger = 61917, kStranger2 = 61922, kOutsider = 61923, kVictim = 61921;
constexpr gid_t kStrangerGroup = 61917;
constexpr gid_t kSharedGroup = 61918;
constexpr uid_t kMember = 61919;

bool skip_unless_root(std::string* why) {
    if (geteuid() != 0) {
        *why = "needs root, to act as a second user";
        return true;
    }
    for (uid_t u : {kStranger, kStranger2, kOutsider, kVictim, kMember})
        if (getpwuid(u)) {
            *why = "uid " + std::to_string(u) + " names an account here";
            return true;
        }
    if (getgrgid(kSharedGroup) || getgrgid(kStrangerGroup)) {
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

std::string private_root_of(uid_t uid) { return "/dev/shm/zkx-" + std::to_string(uid); }

// A child of another user that acts, says so, and stays (holding what it
// took) until it is released.
struct Peer {
    pid_t pid = -1;
    int ready[2] = {-1, -1}, hold[2] = {-1, -1};
    Peer(uid_t uid, gid_t gid, std::vector<gid_t> groups, const std::string& name,
         std::vector<std::string> args = {}) {
        if (pipe2(ready, O_CLOEXEC) != 0 || pipe2(hold, O_CLOEXEC) != 0) return;
        args.insert(args.begin(), {std::to_string(ready[1]), std::to_string(hold[0])});
        pid = spawn_child_as(uid, gid, groups, name, args, {ready[1], hold[0]});
        close(ready[1]);
        close(hold[0]);
    }
    bool acted() {
        char c = 0;
        return pid > 0 && read(ready[0], &c, 1) == 1;
    }
    int release() {
        close(hold[1]);
        close(ready[0]);
        return wait_child(pid);
    }
};

void report_and_stay(const std::vector<std::string>& args) {
    if (write(std::stoi(args.at(0)), "r", 1) != 1) _exit(100);
    char c;
    while (read(std::stoi(args.at(1)), &c, 1) > 0) {
    }
}

// Files this process maps that belong to another uid.
std::vector<std::string> foreign_mappings() {
    std::vector<std::string> found;
    std::ifstream maps("/proc/self/maps");
    std::string line;
    while (std::getline(maps, line)) {
        struct stat st {};
        auto slash = line.find('/');
        if (slash != std::string::npos && stat(line.c_str() + slash, &st) == 0 && st.st_uid != geteuid())
            found.push_back(line.substr(slash));
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

// The stranger uses the test's names first, plants links and FIFOs where
// earlier builds kept a namespace and where root might fall back, and
// holds its mutex.  Args after the pipes: a file of root's.
ZKX_CHILD(stranger_acts_first) {
    const std::string victim = args.at(2), ns = getenv("ZKX_NAMESPACE");
    HANDLE s = CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, 65536, "Trust.Section");
    char* v = s ? static_cast<char*>(MapViewOfFile(s, FILE_MAP_WRITE, 0, 0, 0)) : nullptr;
    if (!CreateMutexA(nullptr, TRUE, "Trust.Mutex") || !CreateEventA(nullptr, TRUE, TRUE, "Trust.Event") || !v)
        return 10;
    std::strcpy(v, "the stranger's bytes");
    if (symlink(victim.c_str(), ("/dev/shm/zkx." + ns).c_str()) != 0 ||
        symlink(victim.c_str(), ("/dev/shm/zkx." + ns + ".dbwin").c_str()) != 0)
        return 11;
    mkdir("/dev/shm/zkx-0", 0777);
    chmod("/dev/shm/zkx-0", 0777);
    mkfifo(("/dev/shm/zkx-0/" + ns).c_str(), 0666);
    if (mkdir(("/run/zkx/" + ns).c_str(), 0777) == 0) return 12;
    report_and_stay(args);
    return 0;
}

TEST(Trust, AStrangerWhoTakesTheNamesFirstGetsANamespaceOfItsOwn) {
    SKIP_UNLESS_ROOT();
    const std::string ns = getenv("ZKX_NAMESPACE");
    const std::string victim = temp_dir() + "/victim";
    { std::ofstream(victim) << "root's file\n"; }
    Peer stranger(kStranger, kStrangerGroup, {}, "stranger_acts_first", {victim});
    ASSERT_TRUE(stranger.acted()) << stranger.release();

    const auto start = std::chrono::steady_clock::now();
    HANDLE m = CreateMutexA(nullptr, FALSE, "Trust.Mutex");
    EXPECT_EQ(GetLastError(), 0u) << "root opened the stranger's mutex";
    EXPECT_EQ(WaitForSingleObject(m, 1000), WAIT_OBJECT_0);
    EXPECT_EQ(OpenEventA(SYNCHRONIZE, FALSE, "Trust.Event"), nullptr);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_FILE_NOT_FOUND));
    HANDLE s = CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, 65536, "Trust.Section");
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
    EXPECT_EQ(stranger.release(), 0);
    std::error_code ec;
    for (const std::string& f : {private_root_of(kStranger), "/dev/shm/zkx." + ns, "/dev/shm/zkx." + ns + ".dbwin",
                                 std::string("/dev/shm/zkx-0")})
        fs::remove_all(f, ec);
}

// The stranger tries root's names and files, and listens for root's debug
// text.  Exit code: 0 when it reached nothing, else the step that got through.
ZKX_CHILD(stranger_tries_roots_objects) {
    const std::string root_dir = args.at(0);
    if (OpenMutexA(SYNCHRONIZE, FALSE, "Trust.Held")) return 1;
    if (OpenEventA(EVENT_MODIFY_STATE, FALSE, "Trust.Event")) return 2;
    if (OpenFileMappingA(FILE_MAP_READ, FALSE, "Trust.Section")) return 3;
    if (open((root_dir + "/segment").c_str(), O_RDONLY) >= 0) return 4;
    if (open((root_dir + "/segment.dbwin").c_str(), O_RDONLY) >= 0) return 4;
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
    pid_t child = spawn_child_as(kStranger2, kStrangerGroup, {}, "stranger_tries_roots_objects", {dir});
    int status = -1;
    for (int i = 0; i < 400 && !child_exited(child, &status); ++i) {
        OutputDebugStringA("root's secret");
        Sleep(5);
    }
    EXPECT_EQ(status == -1 ? wait_child(child) : status, 0);
    EXPECT_EQ(WaitForSingleObject(e, 0), DWORD(WAIT_TIMEOUT));
    std::error_code ec;
    fs::remove_all(private_root_of(kStranger2), ec);
}

ZKX_CHILD(first_call_error) {
    if (!args.empty()) setenv("ZKX_NAMESPACE", args[0].c_str(), 1);
    if (args.size() > 1) {  // the debug channel
        ZKX_DEBUG_VIEWER* v = zkx_debug_viewer_open();
        if (v) zkx_debug_viewer_close(v);
        return v ? 0 : int(GetLastError() & 0x7F);
    }
    return CreateEventA(nullptr, FALSE, FALSE, "probe") ? 0 : int(GetLastError() & 0x7F);
}

// What a member of a shared namespace (or the user, by mistake) might leave
// in a namespace directory: each is refused at once, never followed, read
// or waited on.
TEST(Trust, PlantedLinksFifosAndForeignFilesInANamespaceAreRefused) {
    std::string why;
    const bool as_root = !skip_unless_root(&why);  // files of another uid need root
    const std::string base = std::string(getenv("ZKX_NAMESPACE")) + ".planted";
    const std::string target = temp_dir() + "/target";
    { std::ofstream(target) << "keep\n"; }
    enum Kind { kLink, kFifo, kStrangers, kWritable };
    const std::pair<Kind, const char*> plants[] = {{kLink, "segment"},      {kFifo, "segment"},
                                                   {kStrangers, "segment"}, {kWritable, "segment"},
                                                   {kLink, "segment.dbwin"}, {kStrangers, "segment.dbwin"}};
    int i = 0;
    for (auto [kind, file] : plants) {
        if (kind == kStrangers && !as_root) continue;
        const std::string ns = base + std::to_string(i++);
        zkx::win32::NamespaceDirectory dir;
        ASSERT_EQ(zkx::win32::namespace_directory_for(ns, &dir), 0u);
        const std::string path = dir.path + "/" + file;
        if (kind == kLink) symlink(target.c_str(), path.c_str());
        if (kind == kFifo) mkfifo(path.c_str(), 0600);
        if (kind == kStrangers || kind == kWritable) std::ofstream(path) << std::string(4096, 'x');
        if (kind == kStrangers) chown(path.c_str(), kStranger, kStrangerGroup);
        if (kind == kWritable) chmod(path.c_str(), 0666);
        const auto start = std::chrono::steady_clock::now();
        std::vector<std::string> args{ns};
        if (std::strcmp(file, "segment.dbwin") == 0) args.push_back("viewer");
        EXPECT_EQ(wait_child(spawn_child("first_call_error", args), 5000), int(ERROR_ACCESS_DENIED)) << path;
        EXPECT_LT(ms_since(start), 1000) << path;
        EXPECT_EQ(read_file(target), "keep\n") << path;
        zkx::win32::remove_private_namespace(ns);
    }
}

// A namespace an administrator made for a group: its members share objects
// with root, other users do not reach them, and a member cannot pass a
// segment off as root's.
ZKX_CHILD(member_creates) {
    if (!CreateEventA(nullptr, TRUE, TRUE, "Trust.Shared")) return int(GetLastError() & 0x7F);
    report_and_stay(args);
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

    Peer member(kMember, kMember, {kSharedGroup}, "member_creates");
    ASSERT_TRUE(member.acted()) << member.release();
    struct stat st {};
    ASSERT_EQ(stat((dir + "/segment").c_str(), &st), 0);
    EXPECT_EQ(st.st_gid, kSharedGroup);
    EXPECT_EQ(st.st_mode & 0777, 0660u);
    EXPECT_EQ(wait_child(spawn_child_as(kOutsider, kStrangerGroup, {}, "outsider_opens"), 5000), 0);
    // The member's segment, rewritten to say root made it, while the member
    // is attached (so that it is not simply replaced).
    const uint32_t root_uid = 0;
    int fd = open((dir + "/segment").c_str(), O_WRONLY);
    ASSERT_EQ(pwrite(fd, &root_uid, 4, offsetof(zkx::win32::kobj::SegmentHeader, creator_uid)), 4);
    close(fd);
    EXPECT_EQ(wait_child(spawn_child("first_call_error"), 5000), int(ERROR_ACCESS_DENIED));
    EXPECT_EQ(member.release(), 0);
    // Once nobody uses it, it is replaced.
    EXPECT_EQ(wait_child(spawn_child("first_call_error"), 5000), 0);
    std::error_code ec;
    fs::remove_all(private_root_of(kOutsider), ec);
    fs::remove_all(dir, ec);
}

// A private namespace directory somebody else made first is refused, not
// used: here root made it and the stranger is the victim.
TEST(Trust, APrivateDirectoryMadeByAnotherUserIsRefused) {
    SKIP_UNLESS_ROOT();
    const std::string base = private_root_of(kVictim);
    std::error_code ec;
    fs::remove_all(base, ec);
    ASSERT_EQ(mkdir(base.c_str(), 0777), 0);
    ASSERT_EQ(chmod(base.c_str(), 0777), 0);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(wait_child(spawn_child_as(kVictim, kVictim, {}, "first_call_error"), 5000),
              int(ERROR_ACCESS_DENIED));
    EXPECT_LT(ms_since(start), 1000);
    fs::remove_all(base, ec);
    EXPECT_EQ(wait_child(spawn_child_as(kVictim, kVictim, {}, "first_call_error"), 5000), 0);
    fs::remove_all(base, ec);
}
#endif
