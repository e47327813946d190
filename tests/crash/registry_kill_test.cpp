// Registry writers killed at random moments: every value reads as its old
// or its new contents, never a mix, and the key stays usable.
#include <gtest/gtest.h>

#include <string>

#include "child.h"
#include "crash_util.h"

namespace {

using namespace zkx::test;

const char kKey[] = "SOFTWARE\\CrashReg";
const size_t kValueSize = 6000;

LONG set_text(HKEY key, const char* name, const std::string& text) {
    return RegSetValueExA(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                          DWORD(text.size() + 1));
}

std::string get_text(HKEY key, const char* name, LONG* rc) {
    std::string out(kValueSize + 16, '\0');
    DWORD size = DWORD(out.size()), type = 0;
    *rc = RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<BYTE*>(&out[0]), &size);
    out.resize(*rc == 0 && size > 0 ? size - 1 : 0);
    return out;
}

// Rewrites two values and adds subkeys until it is killed.
ZKX_CHILD(reg_writer) {
    HKEY key = nullptr;
    if (RegCreateKeyA(HKEY_LOCAL_MACHINE, kKey, &key) != 0) return 2;
    for (unsigned turn = 0;; ++turn) {
        set_text(key, "big", std::string(kValueSize, char('a' + turn % 26)));
        set_text(key, "small", std::to_string(turn));
        HKEY sub = nullptr;
        std::string name = "sub" + std::to_string(turn % 8);
        if (RegCreateKeyA(key, name.c_str(), &sub) == 0) {
            set_text(sub, "v", name);
            RegCloseKey(sub);
        }
        if (turn == 0) signal_ready(args.at(0));
    }
}

bool uniform(const std::string& text) {
    return text.size() == kValueSize && text.find_first_not_of(text[0]) == std::string::npos;
}

TEST(RegistryKill, WritersKilledMidWriteLeaveOldOrNewValues) {
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyA(HKEY_LOCAL_MACHINE, kKey, &key), 0);
    ASSERT_EQ(set_text(key, "big", std::string(kValueSize, 'Z')), 0);
    ASSERT_EQ(set_text(key, "keep", "untouched"), 0);
    for (int round = 0; another_round(round, 8); ++round) {
        std::string ready = "crash-reg-ready-" + std::to_string(round);
        pid_t a = spawn_working_child("reg_writer", ready + "a", {ready + "a"});
        pid_t b = spawn_working_child("reg_writer", ready + "b", {ready + "b"});
        ASSERT_TRUE(a && b);
        EXPECT_TRUE(kill_at_random_moment(a, 30));
        EXPECT_TRUE(kill_at_random_moment(b, 10));
        LONG rc = -1;
        std::string big = get_text(key, "big", &rc);
        ASSERT_EQ(rc, 0);
        EXPECT_TRUE(uniform(big)) << "torn value of " << big.size() << " bytes";
        EXPECT_EQ(get_text(key, "keep", &rc), "untouched");
        std::string small = get_text(key, "small", &rc);
        EXPECT_TRUE(rc == 0 && !small.empty() && small.find_first_not_of("0123456789") == std::string::npos) << small;
        // The survivor keeps writing and reading back.
        std::string mine(kValueSize, char('0' + round));
        ASSERT_EQ(set_text(key, "big", mine), 0);
        EXPECT_EQ(get_text(key, "big", &rc), mine);
    }
    for (int i = 0; i < 8; ++i) {
        HKEY sub = nullptr;
        std::string name = "sub" + std::to_string(i);
        if (RegOpenKeyA(key, name.c_str(), &sub) != 0) continue;
        LONG rc = -1;
        std::string v = get_text(sub, "v", &rc);
        EXPECT_TRUE(rc == ERROR_FILE_NOT_FOUND || v == name) << name << ": " << v;
        RegCloseKey(sub);
    }
    RegCloseKey(key);
}

}  // namespace
