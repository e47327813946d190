#include <gtest/gtest.h>

#include <string>

#include "dlog_test_util.h"

namespace {

ZKDLOG_RECORD example_record() {
    ZKDLOG_RECORD rec{};
    rec.pszFile = "trace";
    rec.dwLine = 92;
    rec.time = SYSTEMTIME{2026, 12, 5, 4, 18, 29, 48, 123};
    rec.dwProcessId = 0x1A0;
    rec.dwThreadId = 0x2C4;
    rec.pszModule = "ZKMisc";
    rec.wLevel = 0x0008;
    return rec;
}

std::string format(const ZKDLOG_RECORD& rec, const char* fmt, ...) {
    char line[ZKDLOG_LINE_SIZE];
    va_list args;
    va_start(args, fmt);
    int n = zkdlog_format_record(line, rec, fmt, args);
    va_end(args);
    return std::string(line, n);
}

const char kExample[] =
    "trace(  92)       , 12/04, 18:29:48.123, 0x000001A0, 0x000002C4, ZKMisc  , COM, "
    "PROCESS_ATTACH";

TEST(DLogFormat, ReferenceLineSourceFieldAndModuleName) {
    ZKDLOG_RECORD rec = example_record();
    EXPECT_EQ(format(rec, "PROCESS_ATTACH"), std::string(kExample) + "\r\n");
    rec.pszFile = "C:\\src\\zk\\ZKPollM.cpp";
    EXPECT_EQ(format(rec, nullptr).substr(0, 20), "ZKPollM.cpp(  92) , ");
    rec.pszFile = "D:ZKUtil";
    rec.dwLine = 123456;
    EXPECT_EQ(format(rec, nullptr).substr(0, 16), "ZKUtil(123456)  ");
    rec.pszFile = "AVeryLongSourceFileName.cpp";
    EXPECT_EQ(format(rec, nullptr).substr(0, 37), "AVeryLongSourceFileName.cpp(123456), ");
    rec = example_record();
    rec.pszModule = "ZKShMemLonger";
    EXPECT_NE(format(rec, "x").find(", ZKShMemLonger, COM, x"), std::string::npos);
    rec.pszModule = "A";
    EXPECT_NE(format(rec, "x").find(", A       , COM, x"), std::string::npos);
}

TEST(DLogFormat, LevelNamesIndentationAndLineEnds) {
    ZKDLOG_RECORD rec = example_record();
    const std::pair<WORD, const char*> names[] = {
        {0x0001, "LO"},  {0x000A, "END"}, {0x000B, "STA"}, {0x0010, "DBG"}, {0x0080, "CHK"},
        {0x0300, "NTA"}, {0x0800, "ATT"}, {0x1000, "STD"}, {0x8000, "ERR"}, {0xA000, "EMR"},
        {0xFFFF, "HI"},  {0x0002, "???"}, {0x0000, "???"}};
    for (auto [level, name] : names) {
        rec.wLevel = level;
        EXPECT_NE(format(rec, "m").find(std::string(", ") + name + ", m\r\n"), std::string::npos)
            << name;
    }
    rec = example_record();
    rec.nIndent = 2;
    std::string header = std::string(kExample).substr(0, 80);
    EXPECT_EQ(format(rec, "} done (%u)", 0u), header + "    } done (0)\r\n");
    EXPECT_EQ(format(rec, nullptr), header + "    \r\n");
    rec.nIndent = 0;
    EXPECT_EQ(format(rec, "a\n"), header + "a\r\n");
    EXPECT_EQ(format(rec, "a\r\n"), header + "a\r\r\n");
    EXPECT_EQ(format(rec, "a\n\n"), header + "a\n\r\n");
}

TEST(DLogFormat, OverlongRecordsAreCutBeforeTheLineEnd) {
    ZKDLOG_RECORD rec = example_record();
    std::string big(3000, 'm');
    std::string line = format(rec, "%s%s", big.c_str(), big.c_str());
    ASSERT_EQ(line.size(), size_t(ZKDLOG_LINE_SIZE));
    EXPECT_EQ(line.substr(line.size() - 3), "m\r\n");
    rec.nIndent = 100000;
    line = format(rec, "tail");
    ASSERT_EQ(line.size(), size_t(ZKDLOG_LINE_SIZE));
    EXPECT_EQ(line.substr(line.size() - 3), " \r\n");
    std::string long_name(900, 'f');
    rec = example_record();
    rec.pszFile = long_name.c_str();
    line = format(rec, "x");
    EXPECT_LE(line.size(), size_t(ZKDLOG_LINE_SIZE));
    EXPECT_EQ(line.substr(line.size() - 2), "\r\n");
}

}  // namespace
