#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "ZKEnv.h"
#include "settings_test_util.h"

using namespace zkx::test;

namespace {

class Environment : public ::testing::Test {
protected:
    void SetUp() override { fresh_settings(); }

    DWORD get(ZKMISC_ENVIRONMENT* env, DWORD size = sizeof(ZKMISC_ENVIRONMENT)) {
        std::memset(env, 0x5A, sizeof *env);
        return ZKMiscGetEnvironment(1, env, &size);
    }
    // A record that changes nothing, to be filled in field by field.
    static ZKMISC_ENVIRONMENT unknown() {
        ZKMISC_ENVIRONMENT env;
        std::memset(&env, 0, sizeof env);
        env.dwOemType = ZKMISC_OEMTYPE_UNKNOWN;
        std::memset(env.szProductName, 0xFF, 4);
        return env;
    }
    static ZKMISC_ENVIRONMENT with_name(const char* name) {
        ZKMISC_ENVIRONMENT env = unknown();
        std::memset(env.szProductName, 0, sizeof env.szProductName);
        std::strcpy(env.szProductName, name);
        return env;
    }
};

bool name_unknown(const ZKMISC_ENVIRONMENT& env) {
    return std::memcmp(env.szProductName, "\xFF\xFF\xFF\xFF", 4) == 0;
}

bool stored(const char* name) {
    DWORD type;
    std::string bytes;
    return read_setting(name, &type, &bytes) == 0;
}

TEST_F(Environment, LevelAndCapacity) {
    ZKMISC_ENVIRONMENT env;
    DWORD size = 140;
    EXPECT_EQ(ZKMiscGetEnvironment(2, &env, &size), 124u);
    EXPECT_EQ(ZKMiscSetEnvironment(2, &env, 0), 124u);
    EXPECT_EQ(ZKMiscGetEnvironment(1, nullptr, &size), 87u);
    EXPECT_EQ(ZKMiscGetEnvironment(1, &env, nullptr), 87u);
    EXPECT_EQ(ZKMiscSetEnvironment(1, nullptr, 0), 87u);
    EXPECT_EQ(ZKMiscSetEnvironment(1, &env, 1), 87u);

    put_number("ZKOemType", 1);
    size = 100;
    std::memset(&env, 0x5A, sizeof env);
    EXPECT_EQ(ZKMiscGetEnvironment(1, &env, &size), 122u);
    EXPECT_EQ(size, 140u);
    EXPECT_EQ(env.dwOemTypeResult, 0x5A5A5A5Au) << "the record is not written";
    EXPECT_EQ(get(&env, 140), 0u);
    EXPECT_EQ(get(&env, 200), 0u);
    EXPECT_EQ(env.dwOemType, 1u);
}

TEST_F(Environment, ResultFieldsAndMarkers) {
    ZKMISC_ENVIRONMENT env;
    put_text("Other", "x");  // the key exists, neither value does
    EXPECT_EQ(get(&env), 1u);
    EXPECT_EQ(env.dwOemTypeResult, 232u);
    EXPECT_EQ(env.dwOemType, 0xFFFFFFFFu);
    EXPECT_EQ(env.dwProductNameResult, 232u);
    EXPECT_TRUE(name_unknown(env));

    // A value of the wrong type is not stored, and is looked for again.
    put_text("ZKOemType", "1");
    EXPECT_EQ(get(&env), 1u);
    EXPECT_EQ(env.dwOemTypeResult, 232u);
    put_number("ZKOemType", 1);
    EXPECT_EQ(get(&env), 0u);
    EXPECT_EQ(env.dwOemTypeResult, 0u);
    EXPECT_EQ(env.dwOemType, 1u);
    EXPECT_EQ(env.dwProductNameResult, 232u);
    EXPECT_TRUE(name_unknown(env));

    // Once read, a value is kept; a failed read gives its code.
    put_text("ZKProductName", "ZK Admin");
    put_number("ZKOemType", 0);
    EXPECT_EQ(get(&env), 0u);
    EXPECT_STREQ(env.szProductName, "ZK Admin");
    EXPECT_EQ(env.dwOemType, 1u);
    zkutil_reset_environment_cache();
    put_setting("ZKOemType", REG_BINARY, "12345678", 8);
    EXPECT_EQ(get(&env), 0u) << "the name's read came last and succeeded";
    EXPECT_EQ(env.dwOemTypeResult, 234u);
    EXPECT_EQ(get(&env), 234u) << "now the OEM type's read is the only one";
}

TEST_F(Environment, NamesThatDoNotFitAreRefused) {
    ZKMISC_ENVIRONMENT env;
    put_text("ZKProductName", std::string(128, 'n'));
    get(&env);
    EXPECT_EQ(env.dwProductNameResult, 234u);
    EXPECT_TRUE(name_unknown(env)) << "a failed read leaves the marker";

    ZKMISC_ENVIRONMENT set = with_name(std::string(127, 'n').c_str());
    set.dwOemType = 0;
    EXPECT_EQ(ZKMiscSetEnvironment(1, &set, 0), 0u);
    get(&env);
    EXPECT_EQ(std::strlen(env.szProductName), 127u);
    EXPECT_EQ(env.dwOemType, 0u);

    fresh_settings();
    put_text("Other", "x");
    std::memset(set.szProductName, 'n', sizeof set.szProductName);  // no terminator
    EXPECT_EQ(ZKMiscSetEnvironment(1, &set, 0), 87u);
    EXPECT_FALSE(stored("ZKOemType")) << "nothing is stored when the name is refused";
}

TEST_F(Environment, SetterWritesOnlyWhatIsGiven) {
    ZKMISC_ENVIRONMENT set = unknown();
    set.dwOemType = 1;
    EXPECT_EQ(ZKMiscSetEnvironment(1, &set, 0), 5u) << "the key is never created";
    set = with_name("Name");
    EXPECT_EQ(ZKMiscSetEnvironment(1, &set, 0), 232u);

    put_text("Other", "x");
    set.dwOemType = 2;
    EXPECT_EQ(ZKMiscSetEnvironment(1, &set, 0), 13u);
    EXPECT_FALSE(stored("ZKOemType"));
    EXPECT_FALSE(stored("ZKProductName"));
    set = unknown();
    EXPECT_EQ(ZKMiscSetEnvironment(1, &set, 0), 0u);
    std::memcpy(set.szProductName, "A", 2);  // 'A', 0, 0xFF, 0xFF: still unknown
    EXPECT_EQ(ZKMiscSetEnvironment(1, &set, 0), 0u);
    EXPECT_FALSE(stored("ZKProductName"));

    // The setter leaves this process's cached record alone.
    ZKMISC_ENVIRONMENT env;
    put_number("ZKOemType", 0);
    EXPECT_EQ(get(&env), 0u);
    set = with_name("New");
    set.dwOemType = 1;
    EXPECT_EQ(ZKMiscSetEnvironment(1, &set, 0), 0u);
    get(&env);
    EXPECT_EQ(env.dwOemType, 0u);
    EXPECT_STREQ(env.szProductName, "New") << "a field not cached yet is read anew";
}

}  // namespace
