// The log file itself: what a dead writer, a full disk and other users'
// files in shared folders may do to it.
#include <gtest/gtest.h>

#include <fstream>
#include <string>

#ifndef _WIN32
#include <fcntl.h>
#include <grp.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include "ZKUtil.h"
#include "dlog_test_util.h"
#include "misc_test_util.h"
#include "test_env.h"

using namespace zkx::test;

namespace {

void write_text(const std::string& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
}

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
    const struct {
        const char* before;
        const char* mended;
    } cases[] = {
        {"whole line one\r\nwhole line two\r\nhalf a rec", "whole line one\r\nwhole line two\r\nhalf a rec\r\n"},
        {"written by another tool\nline two\n", "written by another tool\nline two\n"},
        {"no line end at all", "no line end at all\r\n"},
        {"torn between CR and LF\r", "torn between CR and LF\r\n"},
        {"", ""},
    };
    int n = 0;
    for (const auto& c : cases) {
        std::string path = temp_dir() + "/torn" + std::to_string(n++) + ".log";
        write_text(path, c.before);
        PZKDLOG_HANDLE log = nullptr;
        ASSERT_EQ(ZKDLogCreate("Torn", 0, &log), 0u);
        set_file_output(log, path, 0);
        char name[260];
        ZKMiscMakeSysObjName("ZKDLog", "LOGExcl", path.c_str(), sizeof name, name);
        ASSERT_EQ(wait_child(spawn_child("dlog_mutex_dies", {name})), 0);

        EXPECT_EQ(ZKDLogOut(log, "f", 1, 0x10, "dropped: the mutex came abandoned"), 0u);
        EXPECT_EQ(ZKDLogOut(log, "f", 2, 0x10, "written"), 0u);
        ZKDLogDestroy(log, 0);
        const std::string content = file_text(path);
        const std::string mended = c.mended;
        EXPECT_EQ(content.substr(0, mended.size()), mended) << c.before;
        EXPECT_EQ(content.find("f(   2)", mended.size()), mended.size()) << content;
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
    write_text(path, old);
    EXPECT_EQ(wait_child(spawn_child("dlog_writes_past_size_limit", {path})), int(ERROR_DISK_FULL));
    const std::string content = file_text(path);
    ASSERT_EQ(content.substr(0, old.size()), old) << content;
    EXPECT_EQ(content.find("f(   3)", old.size()), old.size()) << content;
    EXPECT_EQ(content.substr(content.size() - 17), "after the limit\r\n");
}

// Log files are shared with other accounts only as far as their folder and
// the umask allow: a new one is 0640 before the umask.
TEST(DLogFile, NewLogFileIsNotWorldReadable) {
    const mode_t old_mask = umask(022);
    const std::pair<mode_t, const char*> cases[] = {{022, "/wide.log"}, {077, "/narrow.log"}};
    mode_t made[2] = {};
    for (int i = 0; i < 2; ++i) {
        umask(cases[i].first);
        const std::string path = temp_dir() + cases[i].second;
        PZKDLOG_HANDLE log = nullptr;
        ASSERT_EQ(ZKDLogCreate("Mode", 0, &log), 0u);
        set_file_output(log, path, 0);
        ZKDLogOut(log, "f", 1, 0x10, "first");
        ZKDLogDestroy(log, 0);
        struct stat st;
        if (stat(path.c_str(), &st) == 0) made[i] = st.st_mode & 0777;
    }
    umask(old_mask);
    EXPECT_EQ(made[0], 0640u);
    EXPECT_EQ(made[1], 0600u);
}

constexpr uid_t kStranger = 65534;

// Runs `plant` as an unprivileged user in a child of this process.
template <typename F>
bool as_stranger(F plant) {
    pid_t pid = fork();
    if (pid < 0) return false;
    if (pid == 0) {
        if (setgroups(0, nullptr) != 0 || setresgid(kStranger, kStranger, kStranger) != 0 ||
            setresuid(kStranger, kStranger, kStranger) != 0)
            _exit(90);
        _exit(plant() ? 0 : 91);
    }
    int status = 0;
    return waitpid(pid, &status, 0) == pid && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// Another user prepares the log path in a sticky folder that everyone may
// write: a link to a file of root's, or a file of their own.  A root writer
// writes through neither and its file writer says 5; nothing changes.
TEST(DLogFile, RootDoesNotWriteThroughWhatAnotherUserPlantedInASharedFolder) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to act as a second, unprivileged user";
    char dir_template[] = "/tmp/zkx-dlog-shared.XXXXXX";
    ASSERT_NE(mkdtemp(dir_template), nullptr);
    const std::string dir = dir_template;
    ASSERT_EQ(chmod(dir.c_str(), 01777), 0);
    const std::string secret = temp_dir() + "/root-only";
    write_text(secret, "root's own\n");
    const std::string link_path = dir + "/linked.log", owned_path = dir + "/owned.log";

    ASSERT_TRUE(as_stranger([&] {
        if (symlink(secret.c_str(), link_path.c_str()) != 0) return false;
        int fd = open(owned_path.c_str(), O_CREAT | O_EXCL | O_WRONLY, 0666);
        if (fd < 0) return false;
        fchmod(fd, 0666);
        close(fd);
        return true;
    }));

    for (const std::string& path : {link_path, owned_path}) {
        PZKDLOG_HANDLE log = nullptr;
        ASSERT_EQ(ZKDLogCreate("Planted", 0, &log), 0u);
        set_file_output(log, path, 0);
        EXPECT_EQ(ZKDLogOut(log, "f", 1, 0x10, "secret of root"), 0u);
        const std::string line = "secret\r\n";
        ZKDLOG_OUTPUT& out = log->aOutput[ZKDLOG_OUT_FILE];
        EXPECT_EQ(out.pfnWrite(&out, line.c_str(), DWORD(line.size())), DWORD(ERROR_ACCESS_DENIED)) << path;
        ZKDLogDestroy(log, 0);
    }
    EXPECT_EQ(file_text(secret), "root's own\n");
    EXPECT_EQ(file_text(owned_path), "");

    // A file of its own there is used, and the root writer's own link in a
    // folder that only root writes is still followed.
    const std::string mine = dir + "/mine.log";
    PZKDLOG_HANDLE log = nullptr;
    ASSERT_EQ(ZKDLogCreate("Planted", 0, &log), 0u);
    set_file_output(log, mine, 0);
    ZKDLogOut(log, "f", 1, 0x10, "own file");
    ZKDLogDestroy(log, 0);
    EXPECT_NE(file_text(mine).find("own file"), std::string::npos);
    const std::string own_link = temp_dir() + "/link.log";
    ASSERT_EQ(symlink(secret.c_str(), own_link.c_str()), 0);
    ASSERT_EQ(ZKDLogCreate("Planted", 0, &log), 0u);
    set_file_output(log, own_link, 0);
    ZKDLogOut(log, "f", 1, 0x10, "through my link");
    ZKDLogDestroy(log, 0);
    EXPECT_NE(file_text(secret).find("through my link"), std::string::npos);

    for (const std::string& p : {link_path, owned_path, mine}) unlink(p.c_str());
    rmdir(dir.c_str());
}

#endif

}  // namespace
