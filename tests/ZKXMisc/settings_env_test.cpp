#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "ZKEnv.h"
#include "settings_test_util.h"

using namespace zkx::test;

namespace {

class Environment : public FreshSettings {
protected:
    ZKMISC_ENVIRONMENT env;

    DWORD get(DWORD size = sizeof(ZKMISC_ENVIRONMENT)) {
        std::memset(&env, 0x5A, sizeof env);
        return ZKMiscGetEnvironment(1, &env, &size);
    }
    bool name_unknown() const { return std::memcmp(env.szProductName, "\xFF\xFF\xFF\xFF", 4) == 0; }
    // A record for the setter: the OEM type and a name, cleared behind it;
    // a null name leaves the field unknown.
    static ZKMISC_ENVIRONMENT record(DWORD oem_type, const char* name) {
        ZKMISC_ENVIRONMENT r;
        std::memset(&r, 0, sizeof r);
        r.dwOemType = oem_type;
        if (name) std::strcpy(r.szProductName, name);
        else std::memset(r.szProductName, 0xFF, 4);
        return r;
    }
};

TEST_F(Environment, LevelCapacityAndArguments) {
    ZKMISC_ENVIRONMENT r = record(0, nullptr);
    DWORD size = 140;
    EXPECT_EQ(ZKMiscGetEnvironment(2, &r, &size), 124u);
    EXPECT_EQ(ZKMiscSetEnvironment(2, &r, 0), 124u);
    EXPECT_EQ(ZKMiscGetEnvironment(1, nullptr, &size), 87u);
    EXPECT_EQ(ZKMiscGetEnvironment(1, &r, nullptr), 87u);
    EXPECT_EQ(ZKMiscSetEnvironment(1, nullptr, 0), 87u);
    EXPECT_EQ(ZKMiscSetEnvironment(1, &r, 1), 87u);

    put_number("ZKOemType", 1);
    EXPECT_EQ(get(100), 122u);
    EXPECT_EQ(env.dwOemTypeResult, 0x5A5A5A5Au) << "the record is not written";
    size = 100;
    ZKMiscGetEnvironment(1, &env, &size);
    EXPECT_EQ(size, 140u);
    EXPECT_EQ(get(140), 0u);
    EXPECT_EQ(get(200), 0u);
    EXPECT_EQ(env.dwOemType, 1u);
}

TEST_F(Environment, ResultFieldsAndMarkers) {
    put_text("Other", "x");  // the key exists, neither value does
    EXPECT_EQ(get(), 1u);
    EXPECT_EQ(env.dwOemTypeResult, 232u);
    EXPECT_EQ(env.dwOemType, 0xFFFFFFFFu);
    EXPECT_EQ(env.dwProductNameResult, 232u);
    EXPECT_TRUE(name_unknown());

    put_text("ZKOemType", "1");  // the wrong type: not stored, looked for again
    EXPECT_EQ(get(), 1u);
    put_number("ZKOemType", 1);
    EXPECT_EQ(get(), 0u);
    EXPECT_EQ(env.dwOemTypeResult, 0u);
    EXPECT_EQ(env.dwOemType, 1u);
    EXPECT_EQ(env.dwProductNameResult, 232u);
    EXPECT_TRUE(name_unknown());

    // A name too long for the record is a failed read; the marker stays.
    put_text("ZKProductName", std::string(128, 'n'));
    EXPECT_EQ(get(), 234u);
    EXPECT_TRUE(name_unknown());
    // The result is that of the last read made in the call.
    put_text("ZKProductName", "ZK Admin");
    zkutil_reset_environment_cache();
    put_setting("ZKOemType", REG_BINARY, "12345678", 8);
    EXPECT_EQ(get(), 0u) << "the name's read came last and succeeded";
    EXPECT_EQ(env.dwOemTypeResult, 234u);
    EXPECT_STREQ(env.szProductName, "ZK Admin");
    EXPECT_EQ(get(), 234u) << "now the OEM type's read is the only one";
}

TEST_F(Environment, SetterWritesOnlyWhatIsGiven) {
    ZKMISC_ENVIRONMENT r = record(1, nullptr);
    EXPECT_EQ(ZKMiscSetEnvironment(1, &r, 0), 5u) << "the key is never created";
    r = record(ZKMISC_OEMTYPE_UNKNOWN, "Name");
    EXPECT_EQ(ZKMiscSetEnvironment(1, &r, 0), 232u);

    put_text("Other", "x");
    r = record(2, "Name");
    EXPECT_EQ(ZKMiscSetEnvironment(1, &r, 0), 13u);
    r = record(0, nullptr);
    std::memset(r.szProductName, 'n', sizeof r.szProductName);  // no terminator
    EXPECT_EQ(ZKMiscSetEnvironment(1, &r, 0), 87u);
    r = record(ZKMISC_OEMTYPE_UNKNOWN, nullptr);
    std::memcpy(r.szProductName, "A", 2);  // 'A', 0, 0xFF, 0xFF: still unknown
    EXPECT_EQ(ZKMiscSetEnvironment(1, &r, 0), 0u);
    EXPECT_EQ(stored("ZKOemType"), "absent");
    EXPECT_EQ(stored("ZKProductName"), "absent");

    // The setter leaves this process's cached record alone.
    put_number("ZKOemType", 0);
    EXPECT_EQ(get(), 0u);
    r = record(1, std::string(127, 'n').c_str());
    EXPECT_EQ(ZKMiscSetEnvironment(1, &r, 0), 0u);
    get();
    EXPECT_EQ(env.dwOemType, 0u);
    EXPECT_EQ(std::string(env.szProductName), std::string(127, 'n'))
        << "a field not cached yet is read anew";
}

}  // namespace
