// A namespace against what others may do to it: another local user must not take over, stall
// or read one (root plays both sides; without root these tests skip).  Files cut short, by a
// full file system or by another process, give a clear error, never SIGBUS.
#ifndef _WIN32
#include <grp.h>
#include <pwd.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/stat.h>

#include <csignal>
#include <filesystem>

#include "kernel/kernel_objects.h"
#include "kernel/layout.h"
#include "system/namespace_dir.h"
#include "test_util.h"
#include "zkxwin32.h"

using namespace zkx::test;
namespace fs = std::filesystem;

namespace {

// Ids no account uses, of this test process alone: a user's private namespaces share one
// directory, which each test removes at its end, while tests of other runs go on.
uid_t unused_id(unsigned k) { return uid_t(1000000 + 8 * unsigned(getpid()) + k); }
const uid_t kStranger = unused_id(0), kMember = unused_id(1);
const gid_t kStrangerGroup = unused_id(2), kSharedGroup = unused_id(3);
const size_t kSegmentSize = zkx::win32::kobj::Layout::total;

// Why a test that needs a second user cannot run here; empty when it can.
std::string why_not_as_two_users() {
    if (geteuid() != 0) return "needs root, to act as a second user";
    for (unsigned k = 0; k < 4; ++k)
        if (getpwuid(unused_id(k)) || getgrgid(unused_id(k))) return "id " + std::to_string(unused_id(k)) + " is used";
    return "";
}

const std::string kStrangersRoot = "/dev/shm/zkx-" + std::to_string(kStranger);
void remove_all(std::initializer_list<std::string> paths) {
    std::error_code ec;
    for (const std::string& p : paths) fs::remove_all(p, ec);
}

// The namespace's directory (made if need be); empty when that fails.
std::string directory_of(const std::string& ns) {
    zkx::win32::NamespaceDirectory dir;
    return zkx::win32::namespace_directory_for(ns, &dir) == 0 ? dir.path : "";
}

// Starts a child (as user `as` unless 0) that acts, says so through the pipe its first
// argument names, and holds what it took until killed; -1 when it ended without saying so.
pid_t spawn_holder(const std::string& name, std::vector<std::string> args, uid_t as = 0, gid_t gid = 0,
                   const std::vector<gid_t>& groups = {}) {
    int ready[2];
    if (pipe(ready) != 0) return -1;
    args.insert(args.begin(), std::to_string(ready[1]));
    pid_t pid = as ? spawn_child_as(as, gid, groups, name, args) : spawn_child(name, args);
    close(ready[1]);
    char c = 0;
    const bool acted = read(ready[0], &c, 1) == 1;
    close(ready[0]);
    if (!acted) ADD_FAILURE() << name << " ended with " << wait_child(pid);
    return acted ? pid : -1;
}

int say_ready_and_hold(const std::vector<std::string>& args) {
    if (prctl(PR_SET_PDEATHSIG, SIGKILL) != 0 || write(std::stoi(args.at(0)), "r", 1) != 1) return 100;
    for (;;) pause();
}

// Ends a holder the way a crash would: what it held is let go all the same.
void release(pid_t holder) {
    kill_child(holder);
    wait_child(holder);
}

}  // namespace

// args: a namespace (or none), and "viewer" to open the debug channel rather than the object
// segment.  The exit code is the first call's error (its low bits).
ZKX_CHILD(first_call_error) {
    if (!args.empty()) setenv("ZKX_NAMESPACE", args[0].c_str(), 1);
    const bool viewer = args.size() > 1 && args[1] == "viewer";
    if (viewer ? zkx_debug_viewer_open() != nullptr : CreateEventA(nullptr, FALSE, FALSE, "probe") != nullptr) return 0;
    return int(GetLastError() & 0x7F);
}

int first_error(const std::vector<std::string>& args = {}, bool stranger = false) {
    return wait_child(stranger ? spawn_child_as(kStranger, kStrangerGroup, {}, "first_call_error", args)
                               : spawn_child("first_call_error", args), 5000);
}

// args after the pipe: an event to create and hold.
ZKX_CHILD(create_and_hold) {
    if (!CreateEventA(nullptr, TRUE, TRUE, args.at(1).c_str())) return int(GetLastError() & 0x7F);
    return say_ready_and_hold(args);
}

// The stranger uses the test's names first, plants links and FIFOs where earlier builds kept a
// namespace and where root might fall back, and holds its mutex.  Args after the pipe: a file of root's.
ZKX_CHILD(stranger_acts_first) {
    const std::string victim = args.at(1), ns = getenv("ZKX_NAMESPACE");
    if (!CreateMutexA(nullptr, TRUE, "Trust.Mutex") || !CreateEventA(nullptr, TRUE, TRUE, "Trust.Event")) return 10;
    if (symlink(victim.c_str(), ("/dev/shm/zkx." + ns).c_str()) != 0 ||
        symlink(victim.c_str(), ("/dev/shm/zkx." + ns + ".dbwin").c_str()) != 0)
        return 11;
    mkdir("/dev/shm/zkx-0", 0777);
    chmod("/dev/shm/zkx-0", 0777);
    mkfifo(("/dev/shm/zkx-0/" + ns).c_str(), 0666);
    if (mkdir(("/run/zkx/" + ns).c_str(), 0777) == 0) return 12;
    return say_ready_and_hold(args);
}

// The stranger tries root's (or a group's) names and files, and listens for their debug text;
// args: their directory.  Exit code: 0 when it reached nothing, else the step that got through.
ZKX_CHILD(stranger_tries_roots_objects) {
    const std::string root_dir = args.at(0);
    if (OpenMutexA(SYNCHRONIZE, FALSE, "Trust.Mutex")) return 1;
    if (OpenEventA(EVENT_MODIFY_STATE, FALSE, "Trust.Event")) return 2;
    for (const char* file : {"/segment", "/segment.dbwin"})
        if (open((root_dir + file).c_str(), O_RDONLY) >= 0) return 4;
    ZKX_DEBUG_VIEWER* viewer = zkx_debug_viewer_open();
    if (!viewer) return 5;
    char text[256];
    DWORD pid = 0;
    return zkx_debug_viewer_read(viewer, 1500, &pid, text, sizeof text) ? 6 : 0;
}

// Whoever comes first, each user gets a namespace of its own, and only its own user makes it.
TEST(Trust, AStrangerNeitherTakesOverNorReachesRootsObjects) {
    if (std::string why = why_not_as_two_users(); !why.empty()) GTEST_SKIP() << why;
    const std::string ns = getenv("ZKX_NAMESPACE"), victim = temp_dir() + "/victim";
    write_file(victim, "root's file\n");
    pid_t stranger = spawn_holder("stranger_acts_first", {victim}, kStranger, kStrangerGroup);
    ASSERT_GT(stranger, 0);
    auto start = std::chrono::steady_clock::now();
    HANDLE m = CreateMutexA(nullptr, FALSE, "Trust.Mutex");
    EXPECT_EQ(WaitForSingleObject(m, 1000), WAIT_OBJECT_0) << "root opened the stranger's mutex";
    EXPECT_EQ(OpenEventA(SYNCHRONIZE, FALSE, "Trust.Event"), nullptr);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_FILE_NOT_FOUND));
    ZKX_DEBUG_VIEWER* viewer = zkx_debug_viewer_open();
    ASSERT_NE(viewer, nullptr) << GetLastError();
    EXPECT_LT(elapsed_ms(start), 1000);
    zkx_debug_viewer_close(viewer);
    EXPECT_EQ(read_file(victim), "root's file\n");
    release(stranger);
    // Of the decoy directory, only this run's FIFO: other runs may use it too.
    remove_all({"/dev/shm/zkx." + ns, "/dev/shm/zkx." + ns + ".dbwin", "/dev/shm/zkx-0/" + ns});
    rmdir("/dev/shm/zkx-0");
    // Root now holds the mutex and has an event: the stranger reaches neither.
    HANDLE e = CreateEventA(nullptr, TRUE, FALSE, "Trust.Event");
    const std::string dir = fs::path(zkx::win32::kernel_segment_path()).parent_path();
    pid_t child = spawn_child_as(kStranger, kStrangerGroup, {}, "stranger_tries_roots_objects", {dir});
    int status = -1;
    for (int i = 0; i < 400 && !child_exited(child, &status); ++i) {
        OutputDebugStringA("root's secret");
        Sleep(5);
    }
    EXPECT_EQ(status == -1 ? wait_child(child) : status, 0);
    EXPECT_EQ(WaitForSingleObject(e, 0), DWORD(WAIT_TIMEOUT));
    // Root made the stranger's private directory first: the stranger refuses it.
    remove_all({kStrangersRoot});
    ASSERT_EQ(mkdir(kStrangersRoot.c_str(), 0777), 0);
    ASSERT_EQ(chmod(kStrangersRoot.c_str(), 0777), 0);
    EXPECT_EQ(first_error({}, true), int(ERROR_ACCESS_DENIED));
    remove_all({kStrangersRoot});
}

// What a member of a shared namespace (or the user, by mistake) might leave in a namespace
// directory: each is refused at once, never followed, read or waited on.
TEST(Trust, PlantedLinksFifosAndForeignFilesInANamespaceAreRefused) {
    const bool as_root = why_not_as_two_users().empty();  // files of another uid need root
    const std::string base = std::string(getenv("ZKX_NAMESPACE")) + ".planted", target = temp_dir() + "/target";
    write_file(target, "keep\n");
    enum Kind { kLink, kFifo, kStrangers, kWritable };
    const std::pair<Kind, const char*> plants[] = {{kLink, "segment"},      {kFifo, "segment"},
                                                   {kStrangers, "segment"}, {kWritable, "segment"},
                                                   {kLink, "segment.dbwin"}, {kStrangers, "segment.dbwin"}};
    int i = 0;
    for (auto [kind, file] : plants) {
        if (kind == kStrangers && !as_root) continue;
        const std::string ns = base + std::to_string(i++), dir = directory_of(ns), path = dir + "/" + file;
        ASSERT_FALSE(dir.empty());
        if (kind == kLink) symlink(target.c_str(), path.c_str());
        if (kind == kFifo) mkfifo(path.c_str(), 0600);
        if (kind == kStrangers || kind == kWritable) write_file(path, std::string(4096, 'x'));
        if (kind == kStrangers) chown(path.c_str(), kStranger, kStrangerGroup);
        if (kind == kWritable) chmod(path.c_str(), 0666);
        const auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(first_error({ns, std::strcmp(file, "segment") ? "viewer" : ""}), int(ERROR_ACCESS_DENIED)) << path;
        EXPECT_LT(elapsed_ms(start), 1000) << path;
        EXPECT_EQ(read_file(target), "keep\n") << path;
        zkx::win32::remove_private_namespace(ns);
    }
}

// A namespace an administrator made for a group: its members share objects with root, other
// users do not reach them, and a member cannot pass a segment off as root's.
TEST(Trust, ASharedNamespaceIsForItsGroupOnly) {
    if (std::string why = why_not_as_two_users(); !why.empty()) GTEST_SKIP() << why;
    const std::string ns = std::string(getenv("ZKX_NAMESPACE")) + ".shared";
    const std::string dir = std::string(zkx::win32::kSystemNamespaceRoot) + "/" + ns;
    mkdir(zkx::win32::kSystemNamespaceRoot, 0755);
    ASSERT_EQ(mkdir(dir.c_str(), 0700), 0);
    ASSERT_EQ(chown(dir.c_str(), 0, kSharedGroup), 0);
    ASSERT_EQ(chmod(dir.c_str(), 02770), 0);
    setenv("ZKX_NAMESPACE", ns.c_str(), 1);
    pid_t member = spawn_holder("create_and_hold", {"Trust.Event"}, kMember, kMember, {kSharedGroup});
    ASSERT_GT(member, 0);
    struct stat st {};
    ASSERT_EQ(stat((dir + "/segment").c_str(), &st), 0);
    EXPECT_TRUE(st.st_gid == kSharedGroup && (st.st_mode & 0777) == 0660) << std::oct << st.st_mode;
    EXPECT_EQ(wait_child(spawn_child_as(kStranger, kStrangerGroup, {}, "stranger_tries_roots_objects", {dir})), 0);
    // The member's segment, rewritten to say root made it while the member is attached (so that
    // it is not simply replaced).
    const uint32_t root_uid = 0;
    int fd = open((dir + "/segment").c_str(), O_WRONLY);
    ASSERT_EQ(pwrite(fd, &root_uid, 4, offsetof(zkx::win32::kobj::SegmentHeader, creator_uid)), 4);
    close(fd);
    EXPECT_EQ(first_error(), int(ERROR_ACCESS_DENIED));
    release(member);
    // Once nobody uses it, it is replaced.
    EXPECT_EQ(first_error(), 0);
    remove_all({kStrangersRoot, dir});
}

ZKX_CHILD(send_text) {
    OutputDebugStringA("text");
    return 0;
}

// A segment cut short is refused while in use, then replaced; a section or debug buffer fails.
TEST(ShortFiles, AFileCutShortGivesAnErrorNeverSIGBUS) {
    const std::string ns = std::string(getenv("ZKX_NAMESPACE")) + ".short", dir = directory_of(ns);
    const std::string segment = dir + "/segment";
    setenv("ZKX_NAMESPACE", ns.c_str(), 1);
    pid_t user = spawn_holder("create_and_hold", {"stay"});  // holds its shared lock on the segment
    ASSERT_GT(user, 0);
    ASSERT_EQ(truncate(segment.c_str(), 4096), 0);
    EXPECT_EQ(CreateEventA(nullptr, FALSE, FALSE, nullptr), nullptr);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_DATA));
    release(user);
    // The same process tries again and gets a new segment.
    EXPECT_NE(CreateEventA(nullptr, FALSE, FALSE, "after"), nullptr) << GetLastError();
    EXPECT_EQ(fs::file_size(segment), kSegmentSize);
    HANDLE s = CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, 1 << 20, "cut");
    ASSERT_NE(s, nullptr);
    int cut = 0;
    for (const auto& f : fs::directory_iterator(dir))
        if (f.path().filename().string().rfind("segment.section.", 0) == 0) cut += truncate(f.path().c_str(), 100) == 0;
    ASSERT_EQ(cut, 1);
    EXPECT_EQ(MapViewOfFile(s, FILE_MAP_WRITE, 0, 0, 0), nullptr);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_DATA));
    ZKX_DEBUG_VIEWER* viewer = zkx_debug_viewer_open();
    ASSERT_NE(viewer, nullptr);
    char text[16];
    DWORD pid = 0;
    EXPECT_FALSE(zkx_debug_viewer_read(viewer, 0, &pid, text, sizeof text));  // ready to hear
    ASSERT_EQ(truncate((segment + ".dbwin").c_str(), 0), 0);
    EXPECT_EQ(wait_child(spawn_child("send_text"), 10000), 0);  // the sender is not killed by SIGBUS
    zkx_debug_viewer_close(viewer);
    zkx::win32::remove_private_namespace(ns);
}

// A namespace on a small file system of its own (a private mount, gone with the test process):
// too small for the object segment, then room for the segment and a little more.
TEST(ShortFiles, AFullFileSystemFailsAtCreationWithDiskFull) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root, to mount a small file system";
    if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
        GTEST_SKIP() << "cannot make a private mount namespace here";
    const std::string tiny = std::string(getenv("ZKX_NAMESPACE")) + ".tiny", small = tiny + ".small";
    auto mount_small = [](const std::string& dir, size_t bytes) {
        const std::string options = "size=" + std::to_string(bytes) + ",mode=0700";
        return mount("tmpfs", dir.c_str(), "tmpfs", 0, options.c_str()) == 0;
    };
    const std::string tiny_dir = directory_of(tiny), small_dir = directory_of(small);
    if (!mount_small(tiny_dir, kSegmentSize / 2)) GTEST_SKIP() << "cannot mount tmpfs here";
    EXPECT_EQ(first_error({tiny}), int(ERROR_DISK_FULL));
    ASSERT_TRUE(mount_small(small_dir, kSegmentSize + (256 << 10)));
    setenv("ZKX_NAMESPACE", small.c_str(), 1);
    EXPECT_EQ(CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, 4 << 20, "big"), nullptr);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_DISK_FULL));
    HANDLE s = CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, 64 << 10, "fits");
    ASSERT_NE(s, nullptr) << GetLastError();
    char* v = static_cast<char*>(MapViewOfFile(s, FILE_MAP_WRITE, 0, 0, 0));
    ASSERT_NE(v, nullptr);
    std::memset(v, 1, 64 << 10);
    for (const std::string& dir : {tiny_dir, small_dir}) umount2(dir.c_str(), MNT_DETACH);
    for (const std::string& name : {tiny, small}) zkx::win32::remove_private_namespace(name);
}
#endif
