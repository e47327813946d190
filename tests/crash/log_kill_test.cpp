// Writers of one log file killed at random moments, some of them while they
// hold the file's mutex: every record starts a line of its own, a torn one
// is ended rather than run into by the next, and a survivor's records all
// land except at most one per abandoned mutex.
#include <algorithm>
#include <map>

#include "ZKDLog.h"
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

DWORD write_record(PZKDLOG_HANDLE log, const char* tag, DWORD seq) {
    return ZKDLogOut(log, __FILE__, __LINE__, ZKDLOG_ERR, "%s %lu %lu %s#END", tag,
                     (unsigned long)GetCurrentProcessId(), (unsigned long)seq, kPadding.c_str());
}

ZKX_CHILD(log_writer) {
    PZKDLOG_HANDLE log = open_log();
    if (!log) return 2;
    for (DWORD seq = 0;; ++seq) {
        write_record(log, "victim", seq);
        if (seq == 0) signal_ready(args.at(0));
    }
}

TEST(LogKill, WritersKilledAtRandomLeaveOnlyWholeLines) {
    // The log's settings point at our file; the children find it there.
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyA(HKEY_LOCAL_MACHINE, "SOFTWARE\\CrashTest\\Message\\LOG", &key), 0);
    for (auto [name, value] : {std::pair{"OutputTo", log_path()}, {"OutputLevel", "LO"}})
        RegSetValueExA(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()), DWORD(value.size() + 1));
    RegCloseKey(key);
    PZKDLOG_HANDLE log = open_log();
    ASSERT_NE(log, nullptr);
    const int kPerRound = 20;
    int rounds = 0;
    for (; another_round(rounds, 6); ++rounds) {
        auto [a, b] = spawn_two_working("log_writer", rounds);
        ASSERT_TRUE(a && b);
        EXPECT_TRUE(kill_at_random_moment(a, 20));
        // The other writer keeps going while we write beside it.
        for (int i = 0; i < kPerRound; ++i)
            EXPECT_EQ(write_record(log, "survivor", DWORD(rounds * kPerRound + i)), 0u);
        EXPECT_TRUE(kill_at_random_moment(b, 10));
    }
    ZKDLogDestroy(log, 0);

    // Every line is one whole record (our source name first, the end mark
    // last, one of each), counted by its tag, or the start of one that a
    // killed writer left and its heir ended, counted as "torn".
    const std::string text = read_file(log_path()), head = "log_kill_test.cpp(";
    std::map<std::string, size_t> counts;
    for (size_t start = 0, end; start < text.size(); start = end + 2) {
        end = std::min(text.find("\r\n", start), text.size());
        const std::string line = text.substr(start, end - start);
        const size_t mark = line.find("#END");
        if ((line.rfind(head, 0) != 0 && head.rfind(line, 0) != 0) || line.find(head, 1) != std::string::npos ||
            (mark != std::string::npos && mark != line.size() - 4)) {
            ADD_FAILURE() << "not one record: " << line.substr(0, 120);
            break;
        }
        const size_t tag = line.find(", ERR, ") + 7;
        ++counts[mark == std::string::npos ? "torn" : line.substr(tag, line.find(' ', tag) - tag)];
    }
    // Each kill may have abandoned the mutex once, and an abandoned wait
    // drops the record that met it.
    EXPECT_GE(counts["survivor"], size_t(rounds * (kPerRound - 2)));
    EXPECT_GT(counts["victim"], 0u);
    // A record can be torn only by a kill, and only the last one may stay
    // without the line end that the heir of the mutex gives it.
    EXPECT_LE(counts["torn"], size_t(2 * rounds));
}

}  // namespace
