// zkx log, dbgview and objects, each against another process that uses the
// library or the platform at the same time.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

#include "ZKDLog.h"
#include "ZKPlatform.h"
#include "child.h"
#include "test_env.h"
#include "zkx_run.h"

namespace zkx::test {
namespace {

ZKX_CHILD(writes_tool_log) {
    PZKDLOG_HANDLE log = nullptr;
    if (ZKDLogCreate("ToolTest", 0, &log) != 0) return 1;
    if (ZKDLogLoadCfg(log, 0, nullptr, 0, 0) != 0) return 2;
    ZKDLogOut(log, "child.cpp", 1, ZKDLOG_DBG, "below the threshold");
    ZKDLogOut(log, "child.cpp", 2, ZKDLOG_ERR, "reached the file");
    ZKDLogDestroy(log, 0);
    return 0;
}

TEST(LogTool, SetThenALibraryProcessWritesThatFile) {
    std::string file = temp_dir() + "/tool.log";
    ZkxResult set = run_zkx({"log", "set", "ToolTest", "--file", file, "--level", "err",
                             "--debug-level", "Hi"});
    ASSERT_EQ(set.exit_code, 0) << set.err;
    EXPECT_NE(set.out.find("file level   ERR (0x8000)"), std::string::npos) << set.out;
    EXPECT_NE(set.out.find("debug level  HI (0xFFFF)"), std::string::npos);

    ASSERT_EQ(wait_child(spawn_child("writes_tool_log")), 0);
    std::string text = read_file(file);
    EXPECT_NE(text.find("reached the file"), std::string::npos) << text;
    EXPECT_EQ(text.find("below the threshold"), std::string::npos);

    // A level outside the table is refused and nothing changes.
    ZkxResult bad = run_zkx({"log", "set", "ToolTest", "--level", "LOUD", "--file", "/x"});
    EXPECT_EQ(bad.exit_code, 2);
    EXPECT_NE(bad.err.find("LO COM END"), std::string::npos);
    EXPECT_NE(run_zkx({"log", "show", "ToolTest"}).out.find(file), std::string::npos);

    // Off: no file any more, and the child writes nothing new.
    ZkxResult off = run_zkx({"log", "off", "ToolTest"});
    EXPECT_EQ(off.exit_code, 0);
    EXPECT_NE(off.out.find("file         off"), std::string::npos) << off.out;
    ASSERT_EQ(wait_child(spawn_child("writes_tool_log")), 0);
    EXPECT_EQ(read_file(file), text);
}

TEST(LogTool, ShowReportsWhatTheLibraryWouldMakeOfOddValues) {
    ASSERT_EQ(run_zkx({"reg", "add", "HKLM\\SOFTWARE\\VELKO\\ZKW\\Admin\\Odd\\Message\\LOG", "/v",
                       "OutputLevel", "/d", "loud"}).exit_code, 0);
    ASSERT_EQ(run_zkx({"reg", "add", "HKLM\\SOFTWARE\\VELKO\\ZKW\\Admin\\Odd\\Message\\LOG", "/v",
                       "OutputTo", "/t", "REG_EXPAND_SZ", "/d", "/tmp/x.log"}).exit_code, 0);
    ZkxResult show = run_zkx({"log", "show", "Odd"});
    EXPECT_EQ(show.exit_code, 0);
    EXPECT_NE(show.out.find("file         off"), std::string::npos) << show.out;
    EXPECT_NE(show.out.find("every record passes"), std::string::npos);
    EXPECT_NE(run_zkx({"log", "show", "Nobody"}).out.find("no configuration"), std::string::npos);
}

// Each configured log's "file status" tells why its file gets nothing:
// before this line, a path too long for its mutex name, a missing folder or
// a planted link all looked like a working configuration.
TEST(LogTool, StatusSaysWhyAConfiguredFileGetsNothing) {
    char shared_template[] = "/tmp/zkx-log-status.XXXXXX";
    ASSERT_NE(mkdtemp(shared_template), nullptr);
    const std::string shared = shared_template;
    ASSERT_EQ(chmod(shared.c_str(), 01777), 0);
    ASSERT_EQ(symlink("/etc/hostname", (shared + "/linked.log").c_str()), 0);
    const std::string dir = temp_dir();
    const struct {
        const char* module;
        std::string file;
        std::string status;
    } cases[] = {
        {"TooLong", dir + "/" + std::string(250 - dir.size(), 'n'), "too long for the name of its file mutex"},
        {"NoFolder", dir + "/missing/x.log", "the folder " + dir + "/missing does not exist"},
        {"Linked", shared + "/linked.log", "refused: it is a symbolic link in " + shared},
        {"Fresh", dir + "/fresh.log", "not there yet: the first record creates it"},
    };
    for (const auto& c : cases) {
        ZkxResult set = run_zkx({"log", "set", c.module, "--file", c.file, "--level", "LO"});
        ASSERT_EQ(set.exit_code, 0) << set.err;
        EXPECT_NE(set.out.find("file status  "), std::string::npos) << set.out;
        EXPECT_NE(set.out.find(c.status), std::string::npos) << set.out;
    }
    // Without a module: every configured log, each with its status.
    ZkxResult all = run_zkx({"log", "show"});
    EXPECT_EQ(all.exit_code, 0) << all.err;
    for (const auto& c : cases) EXPECT_NE(all.out.find(c.status), std::string::npos) << all.out;

    // The library still loads such a configuration without a word.
    PZKDLOG_HANDLE log = nullptr;
    ASSERT_EQ(ZKDLogCreate("TooLong", 0, &log), 0u);
    EXPECT_EQ(ZKDLogLoadCfg(log, 0, nullptr, 0, 0), 0u);
    EXPECT_EQ(ZKDLogOut(log, "f", 1, ZKDLOG_ERR, "lost"), 0u);
    ZKDLogDestroy(log, 0);
    EXPECT_EQ(access(cases[0].file.c_str(), F_OK), -1);

    unlink((shared + "/linked.log").c_str());
    rmdir(shared.c_str());
}

TEST(DbgviewTool, ReceivesTheLineAnotherProcessSent) {
    std::string marker = "tool-test-line-" + std::to_string(getpid());
    ZkxProcess viewer = start_zkx({"dbgview", "--filter", marker, "--count", "1", "--timeout", "20000"});
    ASSERT_GT(viewer.pid, 0);
    // The viewer drops nothing it is there for, but texts sent before it
    // opened are lost: send until it has shown one and ended.
    int status = -1;
    bool ended = false;
    for (int i = 0; i < 400 && !(ended = waitpid(viewer.pid, &status, WNOHANG) == viewer.pid); ++i, usleep(25000)) {
        OutputDebugStringA("unrelated text\n");
        OutputDebugStringA((marker + "\n").c_str());
    }
    if (ended) viewer.pid = -1;  // reaped already
    ZkxResult done = finish_zkx(viewer);
    EXPECT_TRUE(ended && WIFEXITED(status) && WEXITSTATUS(status) == 0) << status << done.err;
    EXPECT_NE(done.out.find(" " + std::to_string(getpid()) + "  " + marker), std::string::npos) << done.out;
    EXPECT_EQ(done.out.find("unrelated"), std::string::npos);
    EXPECT_EQ(std::count(done.out.begin(), done.out.end(), '\n'), 1);
}

ZKX_CHILD(holds_mutex) {
    HANDLE m = CreateMutexA(nullptr, TRUE, args.at(0).c_str());
    HANDLE ready = CreateEventA(nullptr, TRUE, FALSE, (args.at(0) + "-ready").c_str());
    HANDLE done = CreateEventA(nullptr, TRUE, FALSE, (args.at(0) + "-done").c_str());
    if (!m || !ready || !done) return 1;
    SetEvent(ready);
    WaitForSingleObject(done, 30000);
    ReleaseMutex(m);
    return 0;
}

TEST(ObjectsTool, NamesTheProcessHoldingAMutex) {
    std::string name = "ToolHeldLock";
    HANDLE ready = CreateEventA(nullptr, TRUE, FALSE, (name + "-ready").c_str());
    HANDLE done = CreateEventA(nullptr, TRUE, FALSE, (name + "-done").c_str());
    pid_t child = spawn_child("holds_mutex", {name});
    ASSERT_EQ(WaitForSingleObject(ready, 20000), 0u);

    ZkxResult r = run_zkx({"objects"});
    ASSERT_EQ(r.exit_code, 0) << r.err;
    size_t at = r.out.find("mutex     " + name);
    ASSERT_NE(at, std::string::npos) << r.out;
    std::string line = r.out.substr(at, r.out.find('\n', at) - at);
    EXPECT_NE(line.find("owned by pid " + std::to_string(child)), std::string::npos) << line;
    EXPECT_NE(r.out.find("event     " + name + "-ready"), std::string::npos);
    EXPECT_NE(r.out.find("set, manual reset"), std::string::npos);

    ZkxResult only = run_zkx({"objects", "--type", "mutex"});
    EXPECT_EQ(only.out.find("event "), std::string::npos) << only.out;

    SetEvent(done);
    EXPECT_EQ(wait_child(child), 0);
    CloseHandle(ready);
    CloseHandle(done);
    EXPECT_EQ(run_zkx({"objects", "--type", "lock"}).exit_code, 2);
}

TEST(DemoTool, RunsOnItsOwnSetUpAndExitsZero) {
    ZkxResult r = run_zkx({"demo"});
    EXPECT_EQ(r.exit_code, 0) << r.out << r.err;
    EXPECT_NE(r.out.find("demo finished"), std::string::npos);
    EXPECT_NE(r.out.find("} ZKPollDestroy (0)"), std::string::npos) << r.out;
}

}  // namespace
}  // namespace zkx::test
