// Writers of one log file killed at random moments, some of them while they
// hold the file's mutex: the file keeps whole lines only, and a survivor's
// records all land except at most one per abandoned mutex.
#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "ZKDLog.h"
#include "ZKUtil.h"
#include "child.h"
#include "crash_util.h"
#include "test_env.h"

namespace {

using namespace zkx::test;

const char kCfgPath[] = "SOFTWARE\\CrashTest";
const std::string kPadding(700, '=');

std::string log_path() { return temp_dir() + "/crash.log"; }

void configure_log_file(const std::string& path) {
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyA(HKEY_LOCAL_MACHINE, "SOFTWARE\\CrashTest\\Message\\LOG", &key), 0);
    RegSetValueExA(key, "OutputTo", 0, REG_SZ, reinterpret_cast<const BYTE*>(path.c_str()),
                   DWORD(path.size() + 1));
    RegSetValueExA(key, "OutputLevel", 0, REG_SZ, reinterpret_cast<const BYTE*>("LO"), 3);
    RegCloseKey(key);
}

PZKDLOG_HANDLE open_log() {
    PZKDLOG_HANDLE log = nullptr;
    if (ZKDLogCreate("Crash", 0, &log) != 0) return nullptr;
    if (ZKDLogLoadCfg(log, 0, kCfgPath, 0, 0) != 0) {
        ZKDLogDestroy(log, 0);
        return nullptr;
    }
    return log;
}

DWORD write_record(PZKDLOG_HANDLE log, const char* tag, DWORD seq) {
    return ZKDLogOut(log, __FILE__, __LINE__, ZKDLOG_ERR, "%s %lu %lu %s#END", tag,
                     (unsigned long)GetCurrentProcessId(), (unsigned long)seq, kPadding.c_str());
}

// Writes records until it is killed.
ZKX_CHILD(log_writer) {
    PZKDLOG_HANDLE log = open_log();
    if (!log) return 2;
    for (DWORD seq = 0;; ++seq) {
        write_record(log, "victim", seq);
        if (seq == 0) signal_ready(args.at(0));
    }
}

// Takes the file's mutex the way the log does and keeps it until killed.
ZKX_CHILD(log_mutex_holder) {
    char name[260];
    if (ZKMiscMakeSysObjName("ZKDLog", "LOGExcl", args.at(1).c_str(), sizeof name, name) != 0)
        return 2;
    HANDLE mutex = CreateMutexA(nullptr, FALSE, name);
    if (!mutex || WaitForSingleObject(mutex, 5000) != WAIT_OBJECT_0) return 3;
    signal_ready(args.at(0));
    for (;;) Sleep(1000);
}

std::vector<std::string> read_lines(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream all;
    all << in.rdbuf();
    std::string text = all.str();
    std::vector<std::string> lines;
    size_t start = 0;
    for (size_t end; (end = text.find("\r\n", start)) != std::string::npos; start = end + 2)
        lines.push_back(text.substr(start, end - start));
    if (start != text.size()) lines.push_back(text.substr(start));  // a torn tail
    return lines;
}

// Every line is one whole record: our source name first, the end mark last,
// and exactly one of each.
void expect_whole_lines(const std::vector<std::string>& lines) {
    for (const std::string& line : lines) {
        ASSERT_EQ(line.rfind("log_kill_test.cpp(", 0), 0u) << line.substr(0, 120);
        ASSERT_GE(line.size(), 4u);
        ASSERT_EQ(line.compare(line.size() - 4, 4, "#END"), 0) << line.substr(0, 120);
        ASSERT_EQ(line.find("#END"), line.size() - 4) << "two records in one line";
    }
}

size_t count_tagged(const std::vector<std::string>& lines, const std::string& tag) {
    size_t n = 0;
    for (const std::string& line : lines)
        if (line.find(" " + tag + " ") != std::string::npos) ++n;
    return n;
}

TEST(LogKill, WritersKilledAtRandomLeaveOnlyWholeLines) {
    configure_log_file(log_path());
    PZKDLOG_HANDLE log = open_log();
    ASSERT_NE(log, nullptr);
    const int kRounds = 6, kPerRound = 20;
    int rounds = 0;
    for (int round = 0; another_round(round, kRounds); ++round, ++rounds) {
        std::string ready = "crash-log-ready-" + std::to_string(round);
        pid_t a = spawn_working_child("log_writer", ready + "a", {ready + "a"});
        pid_t b = spawn_working_child("log_writer", ready + "b", {ready + "b"});
        ASSERT_TRUE(a && b);
        EXPECT_TRUE(kill_at_random_moment(a, 20));
        // The other writer keeps going while we write beside it.
        for (int i = 0; i < kPerRound; ++i)
            EXPECT_EQ(write_record(log, "survivor", DWORD(round * kPerRound + i)), 0u);
        EXPECT_TRUE(kill_at_random_moment(b, 10));
    }
    auto lines = read_lines(log_path());
    expect_whole_lines(lines);
    // Each kill may have abandoned the mutex once, and an abandoned wait
    // drops the record that met it.
    EXPECT_GE(count_tagged(lines, "survivor"), size_t(rounds * kPerRound - 2 * rounds));
    EXPECT_GT(count_tagged(lines, "victim"), 0u);
    ZKDLogDestroy(log, 0);
}

TEST(LogKill, HolderKilledWithTheMutexFreesTheFileForOthers) {
    configure_log_file(log_path());
    PZKDLOG_HANDLE log = open_log();
    ASSERT_NE(log, nullptr);
    pid_t holder = spawn_working_child("log_mutex_holder", "crash-holder-ready",
                                       {"crash-holder-ready", log_path()});
    ASSERT_NE(holder, 0);
    EXPECT_TRUE(kill_now(holder));
    // The first wait meets the abandoned mutex and drops its record; from
    // then on every record lands.
    for (DWORD i = 0; i < 10; ++i) EXPECT_EQ(write_record(log, "after", i), 0u);
    auto lines = read_lines(log_path());
    expect_whole_lines(lines);
    EXPECT_GE(count_tagged(lines, "after"), 9u);
    ZKDLogDestroy(log, 0);
}

}  // namespace
