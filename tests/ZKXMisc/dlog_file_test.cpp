// The log file itself: what a dead writer, a full disk and other users'
// files in shared folders may do to it.
#include "dlog_test_util.h"
#ifndef _WIN32
#include <fcntl.h>
#include <grp.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

namespace {

using namespace zkx::test;

// Takes the named mutex of a log file and ends without giving it back, as a
// writer killed inside its write does.
ZKX_CHILD(dlog_mutex_dies) {
    HANDLE m = CreateMutexA(nullptr, FALSE, args.at(0).c_str());
    return m && WaitForSingleObject(m, 5000) == WAIT_OBJECT_0 ? 0 : 1;
}

// The heir of an abandoned file mutex cannot know who wrote an unfinished
// last line, so it ends that line and removes nothing, whatever the file's
// line ends are.
TEST(DLogFile, HeirOfADeadWritersMutexEndsTheLastLineAndKeepsEveryByte) {
    const std::pair<const char*, const char*> cases[] = {  // before, mended
        {"whole line one\r\nwhole line two\r\nhalf a rec", "whole line one\r\nwhole line two\r\nhalf a rec\r\n"},
        {"written by another tool\nline two\n", "written by another tool\nline two\n"},
        {"torn between CR and LF\r", "torn between CR and LF\r\n"},
    };
    int n = 0;
    for (auto [before, mended] : cases) {
        std::string path = temp_dir() + "/torn" + std::to_string(n++) + ".log";
        write_file(path, before);
        PZKDLOG_HANDLE log = nullptr;
        ASSERT_EQ(ZKDLogCreate("Torn", 0, &log), 0u);
        set_file_output(log, path, 0);
        ASSERT_EQ(wait_child(spawn_child("dlog_mutex_dies", {file_mutex_name(path)})), 0);

        EXPECT_EQ(ZKDLogOut(log, "f", 1, 0x10, "dropped: the mutex came abandoned"), 0u);
        EXPECT_EQ(ZKDLogOut(log, "f", 2, 0x10, "written"), 0u);
        ZKDLogDestroy(log, 0);
        const std::string content = read_file(path);
        const size_t size = strlen(mended);
        EXPECT_EQ(content.substr(0, size), mended) << before;
        EXPECT_EQ(content.find("f(   2)", size), size) << content;
        EXPECT_EQ(content.substr(content.size() - 9), "written\r\n");
    }
}

#ifndef _WIN32

// Writes a record of the test's own under a file-size limit that leaves
// room for only part of it, then one more without the limit.  Exits with
// what the file writer returned for the first.
ZKX_CHILD(dlog_writes_past_size_limit) {
    signal(SIGXFSZ, SIG_IGN);
    PZKDLOG_HANDLE log = nullptr;
    if (ZKDLogCreate("Full", 0, &log) != 0) return 200;
    set_file_output(log, args.at(0), 0);
    struct stat st;
    if (stat(args.at(0).c_str(), &st) != 0) return 201;
    struct rlimit limit;
    getrlimit(RLIMIT_FSIZE, &limit);
    const rlim_t unlimited = limit.rlim_cur;
    limit.rlim_cur = rlim_t(st.st_size) + 20;
    if (setrlimit(RLIMIT_FSIZE, &limit) != 0) return 202;
    const std::string record = "a record longer than the twenty bytes left\r\n";
    ZKDLOG_OUTPUT& out = log->aOutput[ZKDLOG_OUT_FILE];
    const DWORD result = out.pfnWrite(&out, record.c_str(), DWORD(record.size()));
    limit.rlim_cur = unlimited;
    if (setrlimit(RLIMIT_FSIZE, &limit) != 0) return 203;
    ZKDLogOut(log, "f", 3, 0x10, "after the limit");
    ZKDLogDestroy(log, 0);
    return int(result);
}

// A write that the disk or a size limit cuts short takes its piece back: the
// old lines stay, the next record starts its own line, and the writer
// reports the disk-full code (the caller of ZKDLogOut still gets 0).
TEST(DLogFile, WriteCutShortByAFileSizeLimitLeavesNoPiece) {
    const std::string path = temp_dir() + "/full.log";
    const std::string old = "old line one\r\nold line two\r\n";
    write_file(path, old);
    EXPECT_EQ(wait_child(spawn_child("dlog_writes_past_size_limit", {path})), int(ERROR_DISK_FULL));
    const std::string content = read_file(path);
    ASSERT_EQ(content.substr(0, old.size()), old) << content;
    EXPECT_EQ(content.find("f(   3)", old.size()), old.size()) << content;
    EXPECT_EQ(content.substr(content.size() - 17), "after the limit\r\n");
}

constexpr uid_t kStranger = 65534;

// Runs `plant` as an unprivileged user in a child of this process.
template <typename F>
bool as_stranger(F plant) {
    pid_t pid = fork();
    if (pid == 0) {
        if (!become_user(kStranger, kStranger)) _exit(90);
        _exit(plant() ? 0 : 91);
    }
    int status = 0;
    return pid > 0 && waitpid(pid, &status, 0) == pid && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

DWORD write_through(const std::string& path, const char* text) {
    PZKDLOG_HANDLE log = nullptr;
    if (ZKDLogCreate("Shared", 0, &log) != 0) return ERROR_NOT_ENOUGH_MEMORY;
    set_file_output(log, path, 0);
    ZKDLOG_OUTPUT& out = log->aOutput[ZKDLOG_OUT_FILE];
    DWORD result = out.pfnWrite(&out, text, DWORD(strlen(text)));
    ZKDLogDestroy(log, 0);
    return result;
}

// A new log file is 0640 before the umask.  In a sticky folder that every
// user may write, another user's link to a file of root's, or their own
// file, is not written by a root writer, whose file writer says ERROR_ACCESS_DENIED.
TEST(DLogFile, OtherUsersGetNeitherOurRecordsNorOurWrites) {
    const mode_t old_mask = umask(022);
    const std::string fresh = temp_dir() + "/fresh.log";
    EXPECT_EQ(write_through(fresh, "first\r\n"), 0u);
    umask(old_mask);
    struct stat st;
    ASSERT_EQ(stat(fresh.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0640u);

    if (geteuid() != 0) GTEST_SKIP() << "needs root to act as a second, unprivileged user";
    char dir_template[] = "/tmp/zkx-dlog-shared.XXXXXX";
    ASSERT_NE(mkdtemp(dir_template), nullptr);
    const std::string dir = dir_template, secret = temp_dir() + "/root-only";
    ASSERT_EQ(chmod(dir.c_str(), 01777), 0);
    write_file(secret, "root's own\n");
    const std::string linked = dir + "/linked.log", owned = dir + "/owned.log";
    ASSERT_TRUE(as_stranger([&] {
        int fd = open(owned.c_str(), O_CREAT | O_EXCL | O_WRONLY, 0666);
        return symlink(secret.c_str(), linked.c_str()) == 0 && fd >= 0 && fchmod(fd, 0666) == 0;
    }));
    EXPECT_EQ(write_through(linked, "secret\r\n"), DWORD(ERROR_ACCESS_DENIED));
    EXPECT_EQ(write_through(owned, "secret\r\n"), DWORD(ERROR_ACCESS_DENIED));
    EXPECT_EQ(read_file(secret), "root's own\n");
    EXPECT_EQ(read_file(owned), "");
    // Its own file in that folder it writes.
    EXPECT_EQ(write_through(dir + "/mine.log", "mine\r\n"), 0u);
    EXPECT_EQ(read_file(dir + "/mine.log"), "mine\r\n");
    for (const char* name : {"/linked.log", "/owned.log", "/mine.log"}) unlink((dir + name).c_str());
    rmdir(dir.c_str());
}

#endif

}  // namespace
