// Writers of one log file killed at random moments, some of them while they
// hold the file's mutex: every record starts a line of its own, a torn one
// is ended rather than run into by the next, and a survivor's records all
// land except at most one per abandoned mutex.
#include <algorithm>

#include "ZKDLog.h"
#include "ZKUtil.h"
#include "crash_util.h"

namespace {

using namespace zkx::test;

const std::string kPadding(700, '=');

std::string log_path() { return temp_dir() + "/crash.log"; }

PZKDLOG_HANDLE open_log() {
    PZKDLOG_HANDLE log = nullptr;
    if (ZKDLogCreate("Crash", 0, &log) == 0 && ZKDLogLoadCfg(log, 0, "SOFTWARE\\CrashTest", 0, 0) == 0) return log;
    if (log) ZKDLogDestroy(log, 0);
    return nullptr;
}

// The parent points the log's settings at its file, which the children
// then find there, and opens the log itself.
class LogKill : public ::testing::Test {
protected:
    void SetUp() override {
        HKEY key = nullptr;
        ASSERT_EQ(RegCreateKeyA(HKEY_LOCAL_MACHINE, "SOFTWARE\\CrashTest\\Message\\LOG", &key), 0);
        for (auto [name, value] : {std::pair{"OutputTo", log_path()}, {"OutputLevel", "LO"}})
            RegSetValueExA(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()), DWORD(value.size() + 1));
        RegCloseKey(key);
        ASSERT_NE(log = open_log(), nullptr);
    }
    void TearDown() override { ZKDLogDestroy(log, 0); }

    PZKDLOG_HANDLE log = nullptr;
};

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

// Checks that every line of the file is one whole record (our source name
// first, the end mark last, exactly one of each) or the start of one that a
// killed writer left and its heir ended with a line end, and returns how
// many whole lines carry `tag`.  `torn` counts the second kind.
size_t whole_lines_tagged(const std::string& tag, size_t* torn = nullptr) {
    const std::string text = read_file(log_path());
    std::string line;
    const std::string head = "log_kill_test.cpp(";
    size_t tagged = 0, pieces = 0;
    for (size_t start = 0, end; start < text.size(); start = end + 2) {
        end = std::min(text.find("\r\n", start), text.size());
        line = text.substr(start, end - start);
        const bool starts_right = line.rfind(head, 0) == 0 || head.rfind(line, 0) == 0;
        const size_t mark = line.find("#END");
        if (!starts_right || (mark != std::string::npos && mark != line.size() - 4) ||
            line.find(head, 1) != std::string::npos) {
            ADD_FAILURE() << "not one record: " << line.substr(0, 120);
            break;
        }
        if (mark == std::string::npos) {
            ++pieces;
            continue;
        }
        tagged += line.find(" " + tag + " ") != std::string::npos;
    }
    if (torn) *torn = pieces;
    return tagged;
}

TEST_F(LogKill, WritersKilledAtRandomLeaveOnlyWholeLines) {
    const int kRounds = 6, kPerRound = 20;
    int rounds = 0;
    for (int round = 0; another_round(round, kRounds); ++round, ++rounds) {
        auto [a, b] = spawn_two_working("log_writer", round);
        ASSERT_TRUE(a && b);
        EXPECT_TRUE(kill_at_random_moment(a, 20));
        // The other writer keeps going while we write beside it.
        for (int i = 0; i < kPerRound; ++i)
            EXPECT_EQ(write_record(log, "survivor", DWORD(round * kPerRound + i)), 0u);
        EXPECT_TRUE(kill_at_random_moment(b, 10));
    }
    // Each kill may have abandoned the mutex once, and an abandoned wait
    // drops the record that met it.
    size_t torn = 0;
    EXPECT_GE(whole_lines_tagged("survivor", &torn), size_t(rounds * kPerRound - 2 * rounds));
    EXPECT_GT(whole_lines_tagged("victim"), 0u);
    // A record can be torn only by a kill, and only the last one may stay
    // without the line end that the heir of the mutex gives it.
    EXPECT_LE(torn, size_t(2 * rounds));
}

TEST_F(LogKill, HolderKilledWithTheMutexFreesTheFileForOthers) {
    pid_t holder = spawn_working_child("log_mutex_holder", "crash-holder-ready",
                                       {"crash-holder-ready", log_path()});
    ASSERT_NE(holder, 0);
    EXPECT_TRUE(kill_now(holder));
    // The first wait meets the abandoned mutex and drops its record; from
    // then on every record lands.
    for (DWORD i = 0; i < 10; ++i) EXPECT_EQ(write_record(log, "after", i), 0u);
    EXPECT_GE(whole_lines_tagged("after"), 9u);
}

}  // namespace
