// zkx log, dbgview, objects, settings, ver, demo and namespace against other
// processes, and what zkx prints of names and values that others chose.
#include <grp.h>
#include <sys/stat.h>

#include "ZKDLog.h"
#include "ZKPlatform.h"
#include "zkx_run.h"

namespace zkx::test {
namespace {

ZKX_CHILD(writes_tool_log) {
    PZKDLOG_HANDLE log = nullptr;
    if (ZKDLogCreate("ToolTest", 0, &log) != 0 || ZKDLogLoadCfg(log, 0, nullptr, 0, 0) != 0) return 1;
    ZKDLogOut(log, "child.cpp", 1, ZKDLOG_DBG, "below the threshold");
    ZKDLogOut(log, "child.cpp", 2, ZKDLOG_ERR, "reached the file");
    return int(ZKDLogDestroy(log, 0));
}

TEST(LogTool, SetThenALibraryProcessWritesThatFile) {
    const std::string file = temp_dir() + "/tool.log";
    ZkxResult set = run_zkx({"log", "set", "ToolTest", "--file", file, "--level", "err", "--debug-level", "Hi"});
    EXPECT_TRUE(has(set.out, "file level   ERR (0x8000)") && has(set.out, "debug level  HI (0xFFFF)")) << set.err;
    ASSERT_EQ(wait_child(spawn_child("writes_tool_log")), 0);
    const std::string text = read_file(file);
    EXPECT_TRUE(has(text, "reached the file") && !has(text, "below the threshold")) << text;

    // A level outside the table is refused, echoed escaped, and nothing changes.
    ZkxResult bad = run_zkx({"log", "set", "ToolTest", "--level", "\x1b[5m", "--file", "/x"});
    EXPECT_TRUE(has(bad.err, "LO COM END") && has(bad.err, "'\\x1b[5m'")) << bad.err;
    EXPECT_TRUE(has(run_zkx({"log", "show", "ToolTest"}).out, file));

    // Off: no file any more, and the child writes nothing new.
    EXPECT_TRUE(has(run_zkx({"log", "off", "ToolTest"}).out, "file         off"));
    ASSERT_EQ(wait_child(spawn_child("writes_tool_log")), 0);
    EXPECT_EQ(read_file(file), text);
}

TEST(DbgviewTool, ReceivesTheLineAnotherProcessSent) {
    std::string marker = "tool-test-line-" + std::to_string(getpid());
    ZkxProcess viewer = start_zkx({"dbgview", "--filter", marker, "--count", "1", "--timeout", "20000"});
    ASSERT_GT(viewer.pid, 0);
    // The viewer drops nothing it is there for, but texts sent before it
    // opened are lost: send until it has shown one and ended.
    int status = -1;
    bool ended = false;
    for (int i = 0; i < 400 && !(ended = child_exited(viewer.pid, &status)); ++i, usleep(25000)) {
        OutputDebugStringA("unrelated text\n");
        OutputDebugStringA((marker + "\n").c_str());
    }
    if (ended) viewer.pid = -1;  // reaped already
    ZkxResult done = finish_zkx(viewer);
    EXPECT_TRUE(ended && status == 0) << status << done.err;
    // That line alone: the filter kept the unrelated text out.
    EXPECT_TRUE(has(done.out, " " + std::to_string(getpid()) + "  " + marker)) << done.out;
    EXPECT_EQ(std::count(done.out.begin(), done.out.end(), '\n'), 1);
}

bool has_control_bytes(const std::string& out) {
    return std::any_of(out.begin(), out.end(), [](unsigned char c) { return (c < 0x20 && c != '\n') || c >= 0x7F; });
}

// The test process holds the mutex; zkx, another process, must name it.  A
// title-setting sequence in an object name must not reach the terminal.
TEST(ObjectsTool, NamesTheProcessHoldingAMutexAndEscapesNames) {
    HANDLE m = CreateMutexA(nullptr, TRUE, "ToolHeldLock");
    HANDLE event = CreateEventA(nullptr, TRUE, TRUE, "Evil\x1b]0;owned\x07Name");
    ASSERT_TRUE(m && event);
    ZkxResult r = run_zkx({"objects"});
    const size_t at = r.out.find("mutex     ToolHeldLock");
    ASSERT_NE(at, std::string::npos) << r.out << r.err;
    EXPECT_TRUE(has(r.out.substr(at, r.out.find('\n', at) - at), "owned by pid " + std::to_string(getpid())));
    EXPECT_TRUE(has(r.out, "event     Evil\\x1b]0;owned\\x07Name") && has(r.out, "set, manual reset")) << r.out;
    EXPECT_FALSE(has_control_bytes(r.out)) << r.out;
}

TEST(SettingsTool, SetThenShowInANewProcessAndUnsetBackToDefaults) {
    for (auto [what, value] : {std::pair<const char*, const char*>{"zkdir", "C:\\Prod\\"}, {"lang", "zh"},
                               {"country", "CN"}, {"systemtype", "0x10"}, {"oemtype", "1"}, {"product", "Tool Test"}})
        EXPECT_EQ(run_zkx({"settings", "set", what, value}).exit_code, 0) << what;
    ZkxResult after = run_zkx({"settings", "show"});
    for (const char* line : {"ZK directory    C:\\Prod", "language code   zh (no language id)", "localize code   CN",
                             "system type     16", "OEM type        1", "product name    Tool Test"})
        EXPECT_TRUE(has(after.out, std::string(line) + "\n")) << line << " in\n" << after.out;

    for (const char* what : {"zkdir", "oemtype"}) EXPECT_EQ(run_zkx({"settings", "unset", what}).exit_code, 0);
    ZkxResult reset = run_zkx({"settings"});
    EXPECT_TRUE(!has(reset.out, "C:\\Prod") && has(reset.out, "OEM type        not set\n")) << reset.out;

    for (auto [what, value] : {std::pair<std::string, std::string>{"oemtype", "2"}, {"colour", "red"},
                               {"zkdir", std::string(300, 'd')}})
        EXPECT_EQ(run_zkx({"settings", "set", what, value}).exit_code, kExitUsage) << what;
}

TEST(VerTool, SaveShowAndCompare) {
    ASSERT_EQ(run_zkx({"ver", "save", "1.2.-3.4a"}).exit_code, 0);
    ZkxResult shown = run_zkx({"ver", "show"});
    const size_t at = shown.out.find("stamp file ");
    ASSERT_TRUE(shown.out.rfind("1.2.-3.4a\n", 0) == 0 && at != std::string::npos) << shown.out;
    EXPECT_EQ(std::remove(shown.out.substr(at + 11, shown.out.find('\n', at) - at - 11).c_str()), 0);
    EXPECT_EQ(run_zkx({"ver", "show"}).exit_code, kExitFailed) << "without its file";

    for (const char* bad : {"1.2.3", "1.2.3.128", "1.2.3.4ab", "a.b.c.d", "1.2.3.4."})
        EXPECT_EQ(run_zkx({"ver", "save", bad}).exit_code, kExitUsage) << bad;

    EXPECT_EQ(run_zkx({"ver", "compare", "2.10.3b", "2.9"}).out, "2.10.3b > 2.9\n");
    EXPECT_EQ(run_zkx({"ver", "compare", "1.2", "1.2.0"}).out, "1.2 = 1.2.0\n");
    EXPECT_EQ(run_zkx({"ver", "compare", "1-2", "1"}).exit_code, kExitFailed);
}

TEST(DemoTool, RunsOnItsOwnSetUpAndExitsZero) {
    ZkxResult r = run_zkx({"demo"});
    EXPECT_EQ(r.exit_code, 0) << r.out << r.err;
    EXPECT_TRUE(has(r.out, "demo finished") && has(r.out, "} ZKPollDestroy (0)")) << r.out;
}

// No byte that others chose reaches the terminal that it would act on, and
// the escapes cannot be confused with text that merely looks like one.
TEST(EscapedOutput, RegistryDataCarriesNoTerminalControls) {
    // A value whose data holds a colour sequence, a high byte, and text that
    // looks like an escape.  A backslash is doubled only where it would
    // start an escape, so the key path's own backslashes stay single.
    const std::string data = "red\x1b[31m\xe9 \\x41 \\\\ end\\";
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Esc\x1b[2J", &key), 0);
    ASSERT_EQ(RegSetValueExA(key, "v\x1b", 0, REG_SZ, reinterpret_cast<const BYTE*>(data.c_str()),
                             DWORD(data.size() + 1)), 0);
    RegCloseKey(key);
    ZkxResult query = run_zkx({"reg", "query", "HKLM\\SOFTWARE", "/s"});
    EXPECT_FALSE(has_control_bytes(query.out)) << query.out;
    EXPECT_TRUE(has(query.out, "HKEY_LOCAL_MACHINE\\SOFTWARE\\Esc\\x1b[2J\n")) << query.out;
    EXPECT_TRUE(has(query.out, "    v\\x1b    REG_SZ    red\\x1b[31m\\xe9 \\\\x41 \\\\\\ end\\\n")) << query.out;
}

TEST(NamespaceTool, CreateListAndRemoveASharedNamespace) {
    const std::string name = std::string(getenv("ZKX_NAMESPACE")) + ".tool";
    EXPECT_EQ(run_zkx({"namespace", "create", "bad/name", "--group", "1"}).exit_code, kExitUsage);
    EXPECT_EQ(run_zkx({"namespace", "create", name}).exit_code, kExitUsage);
    if (geteuid() != 0) {
        ZkxResult r = run_zkx({"namespace", "create", name, "--group", "1"});
        EXPECT_TRUE(r.exit_code == kExitFailed && has(r.err, "only root")) << r.err;
        GTEST_SKIP() << "the rest needs root, to make a shared namespace";
    }
    const gid_t gid = 61920;
    if (getgrgid(gid)) GTEST_SKIP() << "gid " << gid << " names a group here";
    ZkxResult r = run_zkx({"namespace", "create", name, "--group", std::to_string(gid)});
    ASSERT_EQ(r.exit_code, 0) << r.err;
    struct stat st {};
    ASSERT_EQ(lstat(("/run/zkx/" + name).c_str(), &st), 0);
    EXPECT_TRUE((st.st_mode & 07777) == 02770 && st.st_gid == gid) << std::oct << st.st_mode;
    r = run_zkx({"namespace", "list"});
    EXPECT_TRUE(has(r.out, name + "  shared with group " + std::to_string(gid))) << r.out;

    // In use: a process holds the segment.
    setenv("ZKX_NAMESPACE", name.c_str(), 1);
    ZkxProcess holder = start_zkx({"dbgview", "--timeout", "3000"});
    for (int i = 0; i < 500 && access(("/run/zkx/" + name + "/segment").c_str(), F_OK) != 0; ++i) usleep(10000);
    usleep(200000);
    r = run_zkx({"namespace", "remove", name});
    EXPECT_TRUE(r.exit_code == kExitFailed && has(r.err, "in use")) << r.err;
    finish_zkx(holder);
    r = run_zkx({"namespace", "remove", name});
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_NE(lstat(("/run/zkx/" + name).c_str(), &st), 0);
}

}  // namespace
}  // namespace zkx::test
