// What zkx prints of names and values that others chose: no byte reaches
// the terminal that it would act on, and the escapes cannot be confused
// with text that merely looks like one.
#include <gtest/gtest.h>

#include <string>

#include "ZKPlatform.h"
#include "test_env.h"
#include "zkx_run.h"

namespace zkx::test {
namespace {

bool has_control_bytes(const std::string& out) {
    for (unsigned char c : out)
        if ((c < 0x20 && c != '\n') || c >= 0x7F) return true;
    return false;
}

TEST(EscapedOutput, ObjectNamesAndRegistryDataCarryNoTerminalControls) {
    // A title-setting sequence in an object name.
    const std::string name = "Evil\x1b]0;owned\x07Name";
    HANDLE event = CreateEventA(nullptr, TRUE, FALSE, name.c_str());
    ASSERT_NE(event, nullptr);
    ZkxResult objects = run_zkx({"objects", "--type", "event"});
    EXPECT_EQ(objects.exit_code, 0) << objects.err;
    EXPECT_FALSE(has_control_bytes(objects.out)) << objects.out;
    EXPECT_NE(objects.out.find("Evil\\x1b]0;owned\\x07Name"), std::string::npos) << objects.out;
    CloseHandle(event);

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
    EXPECT_EQ(query.exit_code, 0) << query.err;
    EXPECT_FALSE(has_control_bytes(query.out)) << query.out;
    EXPECT_NE(query.out.find("HKEY_LOCAL_MACHINE\\SOFTWARE\\Esc\\x1b[2J\n"), std::string::npos) << query.out;
    EXPECT_NE(query.out.find("    v\\x1b    REG_SZ    red\\x1b[31m\\xe9 \\\\x41 \\\\\\ end\\\n"),
              std::string::npos) << query.out;

    // Errors that repeat what the user typed are escaped too.
    ZkxResult bad = run_zkx({"log", "set", "M", "--level", "\x1b[5m"});
    EXPECT_EQ(bad.exit_code, 2);
    EXPECT_NE(bad.err.find("'\\x1b[5m'"), std::string::npos) << bad.err;
}

}  // namespace
}  // namespace zkx::test
