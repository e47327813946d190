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

    EXPECT_EQ(run_zkx({"settings", "set", "zkdir", "C:\\Prod\\"}).exit_code, 0);
    EXPECT_EQ(run_zkx({"settings", "set", "lang", "zh"}).exit_code, 0);
    EXPECT_EQ(run_zkx({"settings", "set", "country", "CN"}).exit_code, 0);
    EXPECT_EQ(run_zkx({"settings", "set", "systemtype", "0x10"}).exit_code, 0);
    EXPECT_EQ(run_zkx({"settings", "set", "oemtype", "1"}).exit_code, 0);
    EXPECT_EQ(run_zkx({"settings", "set", "product", "Tool Test"}).exit_code, 0);
    ZkxResult after = run_zkx({"settings", "show"});
    EXPECT_TRUE(shows(after, "ZK directory    C:\\Prod")) << after.out;
    EXPECT_TRUE(shows(after, "data directory  C:\\Prod\\ZKWData"));
    EXPECT_TRUE(shows(after, "language code   zh (no language id)"));
    EXPECT_TRUE(shows(after, "localize code   CN"));
    EXPECT_TRUE(shows(after, "system type     16"));
    EXPECT_TRUE(shows(after, "OEM type        1"));
    EXPECT_TRUE(shows(after, "product name    Tool Test"));

    EXPECT_EQ(run_zkx({"settings", "unset", "zkdir"}).exit_code, 0);
    EXPECT_EQ(run_zkx({"settings", "unset", "oemtype"}).exit_code, 0);
    ZkxResult reset = run_zkx({"settings"});
    EXPECT_EQ(reset.out.find("C:\\Prod"), std::string::npos) << reset.out;
    EXPECT_TRUE(shows(reset, "OEM type        not set"));

    EXPECT_EQ(run_zkx({"settings", "set", "oemtype", "2"}).exit_code, 2);
    EXPECT_EQ(run_zkx({"settings", "set", "colour", "red"}).exit_code, 2);
    EXPECT_EQ(run_zkx({"settings", "set", "zkdir", std::string(300, 'd')}).exit_code, 2);
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
