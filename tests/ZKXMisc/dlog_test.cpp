#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "ZKUtil.h"
#include "dlog_test_util.h"
#include "misc_test_util.h"
#include "test_env.h"

using namespace zkx::test;

namespace {

TEST(DLog, EachOutputHasItsOwnThreshold) {
    // A fresh handle's: only the highest level, only to the debug output.
    CapturedLog fresh;
    EXPECT_EQ(ZKDLogOut(fresh.handle(), "f", 1, 0xC8000, "err"), 0u);
    EXPECT_EQ(ZKDLogOut(fresh.handle(), "f", 2, 0xFFFF, "hi"), 0u);
    EXPECT_TRUE(fresh.file_lines().empty());
    ASSERT_EQ(fresh.debug_lines().size(), 1u);
    EXPECT_NE(fresh.debug_lines()[0].find(", HI, hi\r\n"), std::string::npos);

    CapturedLog log("Test", 0x0010, 0x8000);
    // Below both: formatting this would read through a wild pointer.
    EXPECT_EQ(ZKDLogOut(log.handle(), "f", 1, 0x0008, "%s", reinterpret_cast<const char*>(16)), 0u);
    ZKDLogOut(log.handle(), "f", 2, 0xC0080, "between");
    ZKDLogOut(log.handle(), "f", 2, 0x00080, "between");
    ZKDLogOut(log.handle(), "f", 4, 0x8000, "both");
    ZKDLogOut(log.handle(), "f", 5, 0x0002, "unknown level, filtered by its value");
    auto file = log.file_lines();
    ASSERT_EQ(file.size(), 3u);
    ASSERT_EQ(log.debug_lines().size(), 1u);
    EXPECT_NE(log.debug_lines()[0].find("ERR, both"), std::string::npos);
    // The high word of the flags changes nothing but the time stamp.
    EXPECT_EQ(file[0].substr(file[0].find(", 0x")), file[1].substr(file[1].find(", 0x")));
}

TEST(DLog, IndentationNeverGoesBelowZero) {
    CapturedLog log("Test", 0, 0xFFFF);
    // Each line's text is the last word of what it must show.
    const std::pair<LONG, const char*> steps[] = {{2, "STA,     two"}, {-5, "STA, zero"}, {1, "STA,   one"}};
    for (auto [delta, shown] : steps) {
        ZKDLogIndent(log.handle(), delta);
        ZKDLogOut(log.handle(), "f", 1, 0x0B, "%s", std::strrchr(shown, ' ') + 1);
    }
    auto lines = log.file_lines();
    ASSERT_EQ(lines.size(), 3u);
    for (int i = 0; i < 3; ++i) EXPECT_NE(lines[i].find(steps[i].second), std::string::npos) << lines[i];
}

TEST(DLog, NullHandlesAndNames) {
    EXPECT_EQ(ZKDLogOut(nullptr, "f", 1, 0xFFFF, "x"), 87u);
    EXPECT_EQ(ZKDLogIndent(nullptr, 1), 87u);
    EXPECT_EQ(ZKDLogLoadCfg(nullptr, 0, nullptr, 0, 0), 87u);
    EXPECT_EQ(ZKDLogDestroy(nullptr, 0), 6u);
    EXPECT_EQ(ZKDLogCreate("x", 0, nullptr), 87u);
    std::string long_name(400, 'n');
    PZKDLOG_HANDLE log = nullptr;
    ASSERT_EQ(ZKDLogCreate(long_name.c_str(), 0, &log), 0u);
    EXPECT_EQ(std::string(log->szName), long_name.substr(0, 260));
    EXPECT_EQ(ZKDLogDestroy(log, 0), 0u);
}

// Writers of two processes, several threads each, append to one file
// through the file's named mutex: every line arrives whole, none is lost.
constexpr int kThreads = 4;
constexpr int kRecords = 150;

void write_records(const std::string& path, const char* who) {
    PZKDLOG_HANDLE log = nullptr;
    ZKDLogCreate("Stress", 0, &log);
    set_file_output(log, path, 0);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([log, t, who] {
            for (int i = 0; i < kRecords; ++i)
                ZKDLogOut(log, "stress", __LINE__, 0xC0010, "%s thread %d record %d end", who, t, i);
        });
    }
    for (auto& th : threads) th.join();
    ZKDLogDestroy(log, 0);
}

ZKX_CHILD(dlog_writer) {
    write_records(args.at(0), "child");
    return 0;
}

TEST(DLog, TwoProcessesShareOneFileWithoutLosingALine) {
    std::string path = temp_dir() + "/shared.log";
    pid_t child = spawn_child("dlog_writer", {path});
    write_records(path, "parent");
    ASSERT_EQ(wait_child(child, 60000), 0);

    const std::string content = file_text(path);
    size_t lines = 0, pos = 0;
    while (pos < content.size()) {
        size_t end = content.find("\r\n", pos);
        ASSERT_NE(end, std::string::npos) << "unterminated tail";
        std::string line = content.substr(pos, end - pos);
        EXPECT_EQ(line.rfind("stress(", 0), 0u) << line;
        EXPECT_EQ(line.size() - line.rfind(" end"), 4u) << line;
        ++lines;
        pos = end + 2;
    }
    EXPECT_EQ(lines, size_t(2 * kThreads * kRecords));
}

}  // namespace
