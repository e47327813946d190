// zkx settings and zkx ver: what the library's getters return after the
// tool changed it through the setters, in a new process each time.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "zkx_run.h"

namespace zkx::test {
namespace {

bool shows(const ZkxResult& r, const std::string& line) { return r.out.find(line + "\n") != std::string::npos; }

TEST(SettingsTool, SetThenShowInANewProcessAndUnsetBackToDefaults) {
    ZkxResult before = run_zkx({"settings"});
    ASSERT_EQ(before.exit_code, 0) << before.err;
    EXPECT_TRUE(shows(before, "OEM type        not set")) << before.out;
    EXPECT_TRUE(shows(before, "system type     0"));

    for (auto [what, value] : {std::pair<const char*, const char*>{"zkdir", "C:\\Prod\\"}, {"lang", "zh"},
                               {"country", "CN"}, {"systemtype", "0x10"}, {"oemtype", "1"}, {"product", "Tool Test"}})
        EXPECT_EQ(run_zkx({"settings", "set", what, value}).exit_code, 0) << what;
    ZkxResult after = run_zkx({"settings", "show"});
    for (const char* line : {"ZK directory    C:\\Prod", "data directory  C:\\Prod\\ZKWData",
                             "language code   zh (no language id)", "localize code   CN", "system type     16",
                             "OEM type        1", "product name    Tool Test"})
        EXPECT_TRUE(shows(after, line)) << line << " in\n" << after.out;

    for (const char* what : {"zkdir", "oemtype"}) EXPECT_EQ(run_zkx({"settings", "unset", what}).exit_code, 0);
    ZkxResult reset = run_zkx({"settings"});
    EXPECT_EQ(reset.out.find("C:\\Prod"), std::string::npos) << reset.out;
    EXPECT_TRUE(shows(reset, "OEM type        not set"));

    for (auto [what, value] : {std::pair<std::string, std::string>{"oemtype", "2"}, {"colour", "red"},
                               {"zkdir", std::string(300, 'd')}})
        EXPECT_EQ(run_zkx({"settings", "set", what, value}).exit_code, 2) << what;
}

TEST(VerTool, SaveShowAndCompare) {
    ZkxResult saved = run_zkx({"ver", "save", "1.2.-3.4a"});
    ASSERT_EQ(saved.exit_code, 0) << saved.err;
    ZkxResult shown = run_zkx({"ver", "show"});
    EXPECT_EQ(shown.out.rfind("1.2.-3.4a\n", 0), 0u) << shown.out;
    size_t at = shown.out.find("stamp file ");
    ASSERT_NE(at, std::string::npos);
    std::string file = shown.out.substr(at + 11, shown.out.find('\n', at) - at - 11);
    EXPECT_EQ(read_file(file).size(), 8u);
    std::remove(file.c_str());
    EXPECT_EQ(run_zkx({"ver", "show"}).exit_code, 1);

    for (const char* bad : {"1.2.3", "1.2.3.128", "1.2.3.4ab", "a.b.c.d", "1.2.3.4."})
        EXPECT_EQ(run_zkx({"ver", "save", bad}).exit_code, 2) << bad;

    EXPECT_EQ(run_zkx({"ver", "compare", "2.10.3b", "2.9"}).out, "2.10.3b > 2.9\n");
    EXPECT_EQ(run_zkx({"ver", "compare", "1.2", "1.2.0"}).out, "1.2 = 1.2.0\n");
    EXPECT_EQ(run_zkx({"ver", "compare", "1-2", "1"}).exit_code, 1);
}

}  // namespace
}  // namespace zkx::test
