// Registry writers killed at random moments: every value reads as its old or its new contents,
// never a mix, and the key stays usable.
#include "../win32/registry_test_util.h"
#include "crash_util.h"

namespace {

using namespace zkx::test;

const char kKey[] = "SOFTWARE\\CrashReg";
const size_t kValueSize = 6000;

// Rewrites two values and adds subkeys until it is killed.
ZKX_CHILD(reg_writer) {
    HKEY key = create_key(HKEY_LOCAL_MACHINE, kKey);
    for (unsigned turn = 0;; ++turn) {
        set_string(key, "big", std::string(kValueSize, char('a' + turn % 26)));
        set_string(key, "small", std::to_string(turn));
        std::string name = "sub" + std::to_string(turn % 8);
        if (HKEY sub = create_key(key, name.c_str())) set_string(sub, "v", name);
        if (turn == 0) signal_ready(args.at(0));
    }
}

TEST(RegistryKill, WritersKilledMidWriteLeaveOldOrNewValues) {
    HKEY key = create_key(HKEY_LOCAL_MACHINE, kKey);
    ASSERT_EQ(set_string(key, "big", std::string(kValueSize, 'Z')), ERROR_SUCCESS);
    for (int round = 0; another_round(round, 8); ++round) {
        auto [a, b] = spawn_two_working("reg_writer", round);
        ASSERT_TRUE(a && b);
        EXPECT_TRUE(kill_at_random_moment(a, 30));
        EXPECT_TRUE(kill_at_random_moment(b, 10));
        std::string big = get_bytes(key, "big");
        EXPECT_EQ(big, std::string(kValueSize, big[0]) + '\0') << "a torn value";
        // The survivor keeps writing and reading back.
        std::string mine(kValueSize, char('0' + round));
        ASSERT_EQ(set_string(key, "big", mine), ERROR_SUCCESS);
        EXPECT_EQ(get_bytes(key, "big"), mine + '\0');
    }
    // A subkey a kill cut short of its value is still whole and usable.
    for (const std::string& name : names_of(key)) {
        LONG rc = 0;
        std::string v = get_bytes(create_key(key, name.c_str()), "v", &rc);
        EXPECT_TRUE(name.rfind("sub", 0) == 0 && (rc == ERROR_FILE_NOT_FOUND || v == name + '\0')) << name << ": " << v;
    }
}

}  // namespace
