#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "misc_test_util.h"
#include "settings_test_util.h"

using namespace zkx::test;

namespace {

using Codes = FreshSettings;

DWORD system_type() {
    DWORD value = 77;
    EXPECT_EQ(ZKMiscGetSystemType(0, 0, 0, &value), 0u);
    return value;
}

// "<code>/<length>/<identifier>", or "rc <code>".
std::string lang() {
    char buf[16];
    DWORD length = 99;
    WORD id = 0xBEEF;
    DWORD rc = ZKMiscGetLangCode(&id, sizeof buf, buf, &length);
    if (rc) return "rc " + std::to_string(rc);
    char out[64];
    std::snprintf(out, sizeof out, "%.*s/%u/%04X", int(length), buf, unsigned(length), id);
    return out;
}

std::string code(DWORD(ZKAPI* getter)(LPVOID, DWORD, LPSTR, LPDWORD)) {
    char buf[16];
    DWORD length = 0;
    DWORD rc = getter(nullptr, sizeof buf, buf, &length);
    return rc ? "rc " + std::to_string(rc) : std::string(buf, length);
}

TEST_F(Codes, SystemTypeIsReadUntilFoundAndSetLocally) {
    EXPECT_EQ(system_type(), 0u);
    put_number("ZKSystemType", 3);
    EXPECT_EQ(system_type(), 3u) << "the default 0 was not cached";
    put_number("ZKSystemType", 4);
    EXPECT_EQ(system_type(), 3u);
    ZKMiscSetSystemType(0, 0, 5);
    EXPECT_EQ(system_type(), 5u);
    ZKMiscSetSystemType(0, 0, 0xFFFFFFFF);
    EXPECT_EQ(system_type(), 4u) << "0xFFFFFFFF leaves the cache empty";
    ZKMiscSetSystemType(0, ZKMISC_FLAG_DELETE | ZKMISC_FLAG_STORE, 9);
    put_text("ZKSystemType", "7");
    EXPECT_EQ(system_type(), 0u) << "a REG_SZ is no system type";
    EXPECT_EQ(ZKMiscGetSystemType(0, 0, 0, nullptr), 87u);
}

TEST_F(Codes, StoredCodesAreTakenAsTheyStand) {
    put_text("ZKLangCode", "jp");
    put_text("ZKCountryCode", "Japan");
    EXPECT_EQ(lang(), "jp/2/0411");
    EXPECT_EQ(lang(), "jp/2/0411");
    EXPECT_EQ(code(ZKMiscGetLocalizeCode), "jp");
    ZKMiscSetLangCode(0, 0, "XX");
    EXPECT_EQ(lang(), "XX/2/0000");
    ZKMiscSetLangCode(0, 0, "zh");
    EXPECT_EQ(code(ZKMiscGetLocalizeCode), "Japan") << "ZH is localized by its country";
    // Deleting the country forgets only the country.
    EXPECT_EQ(ZKMiscSetCountryCode(0, ZKMISC_FLAG_DELETE, nullptr), 0u);
    put_text("ZKCountryCode", "HK");
    EXPECT_EQ(code(ZKMiscGetCountryCode), "HK");
    EXPECT_EQ(lang(), "zh/2/0000");
}

TEST_F(Codes, AnEmptyStoredCodeIsReadAsItIsAndNotCached) {
    put_text("ZKLangCode", "");
    put_text("ZKCountryCode", "");
    EXPECT_EQ(lang(), "/0/0000");
    EXPECT_EQ(code(ZKMiscGetCountryCode), "");
    EXPECT_EQ(code(ZKMiscGetLocalizeCode), "");
    char buf[2] = {'x', 'x'};
    DWORD length = 7;
    EXPECT_EQ(ZKMiscGetCountryCode(nullptr, 0, buf, &length), 0u) << "an empty code fits any buffer";
    EXPECT_EQ(length, 0u);
    put_text("ZKLangCode", "FR");
    put_text("ZKCountryCode", "BE");
    EXPECT_EQ(lang(), "FR/2/040C") << "the empty code was not cached";
    EXPECT_EQ(code(ZKMiscGetCountryCode), "BE");
}

TEST_F(Codes, BuffersAndArguments) {
    ZKMiscSetLangCode(0, 0, "ZH");
    ZKMiscSetCountryCode(0, 0, "CN");
    char buf[4] = {'x', 'x', 'x', 'x'};
    DWORD length = 0;
    EXPECT_EQ(ZKMiscGetLangCode(nullptr, 2, buf, &length), 0u);
    EXPECT_EQ(std::string(buf, 4), "ZHxx") << "no terminator without room for it";
    // The localize code recognises ZH in a buffer without a terminator.
    EXPECT_EQ(ZKMiscGetLocalizeCode(nullptr, 2, buf, &length), 0u);
    EXPECT_EQ(std::string(buf, 4), "CNxx");
    EXPECT_EQ(ZKMiscGetLangCode(nullptr, 1, buf, &length), 122u);
    EXPECT_EQ(ZKMiscGetLangCode(nullptr, 4, nullptr, &length), 87u);
    EXPECT_EQ(ZKMiscGetLangCode(nullptr, 4, buf, nullptr), 87u);
    EXPECT_EQ(ZKMiscGetCountryCode(buf, 4, buf, &length), 87u);
    EXPECT_EQ(ZKMiscGetLocalizeCode(buf, 4, buf, &length), 87u);
    EXPECT_EQ(std::string(buf, 4), "CNxx");

    const std::string longest(259, 'c');
    EXPECT_EQ(ZKMiscSetCountryCode(0, 0, (longest + "c").c_str()), 122u);
    EXPECT_EQ(ZKMiscSetCountryCode(0, 0, nullptr), 87u);
    EXPECT_EQ(code(ZKMiscGetCountryCode), "CN") << "a refused set changes nothing";
    EXPECT_EQ(ZKMiscSetCountryCode(0, ZKMISC_FLAG_STORE, longest.c_str()), 0u);
    EXPECT_EQ(stored("ZKCountryCode"), "1:" + longest + std::string(1, '\0'));
}

// In a process whose locale the parent chose; args: language line, country.
ZKX_CHILD(expect_locale_codes) {
    fresh_settings();
    if (lang() != args[0] || code(ZKMiscGetCountryCode) != args[1]) return 1;
    // A stored code that is too long or of another type falls back.
    ZKMiscSetLangCode(0, ZKMISC_FLAG_DELETE, nullptr);
    put_text("ZKLangCode", std::string(260, 'L'));
    if (lang() != args[0]) return 2;
    ZKMiscSetLangCode(0, ZKMISC_FLAG_DELETE, nullptr);
    put_number("ZKLangCode", 0x4544);
    if (lang() != args[0]) return 3;
    // An empty set empties the cache: the next get looks again.
    ZKMiscSetLangCode(0, 0, "");
    put_text("ZKLangCode", "DE");
    return lang() == "DE/2/0407" ? 0 : 4;
}

TEST_F(Codes, DefaultsComeFromTheUserLocale) {
    const std::vector<std::string> cases[] = {
        {"en_US.UTF-8", "EN/2/0409", "US"}, {"de_DE.UTF-8", "DE/2/0407", "DE"}, {"C", "EN/2/0409", "US"}};
    for (const auto& c : cases)
        EXPECT_EQ(run_child_with("LC_ALL", c[0], "expect_locale_codes", {c[1], c[2]}), 0) << c[0];
}

}  // namespace
