#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "fs_test_helpers.h"
#include "zkxwin32.h"

using namespace zkx::test;

namespace {

std::string info(DWORD type, LCID lcid = LOCALE_USER_DEFAULT) {
    char buf[32];
    int n = GetLocaleInfoA(lcid, type, buf, sizeof buf);
    return n > 0 ? std::string(buf, size_t(n - 1)) : "error " + std::to_string(GetLastError());
}

// Only LANG set, the usual case on a desktop.
struct LangOnly {
    ScopedEnv all{"LC_ALL", std::nullopt};
    ScopedEnv messages{"LC_MESSAGES", std::nullopt};
    ScopedEnv lang;
    explicit LangOnly(const char* value) : lang("LANG", std::string(value)) {}
};

}  // namespace

TEST(Locale, AbbreviationsFollowThePosixLocale) {
    struct {
        const char* posix;
        const char* lang;
        const char* country;
    } const cases[] = {
        {"en_US.UTF-8", "ENU", "USA"}, {"de_DE", "DEU", "DEU"},       {"ja_JP.eucJP", "JPN", "JPN"},
        {"C", "ENU", "USA"},           {"POSIX", "ENU", "USA"},       {"C.UTF-8", "ENU", "USA"},
        {"en_GB.UTF-8", "ENG", "GBR"}, {"fr_FR@euro", "FRA", "FRA"},  {"fr_CA", "FRC", "CAN"},
        {"de_CH", "DES", "CHE"},       {"pt_PT", "PTG", "PRT"},       {"zh_TW.Big5", "CHT", "TWN"},
        {"nn_NO", "NON", "NOR"},       {"de", "DEU", "DEU"},          {"de_BE", "DEU", "BEL"},
        {"xx_YY", "ENU", "USA"},       {"", "ENU", "USA"},            {"es_ES.UTF-8", "ESN", "ESP"},
    };
    for (const auto& k : cases) {
        LangOnly env(k.posix);
        EXPECT_EQ(info(LOCALE_SABBREVLANGNAME), k.lang) << k.posix;
        EXPECT_EQ(info(LOCALE_SABBREVCTRYNAME), k.country) << k.posix;
        EXPECT_EQ(info(LOCALE_SABBREVLANGNAME, LOCALE_SYSTEM_DEFAULT), k.lang) << k.posix;
    }
}

// The installation settings keep the first two letters of the abbreviation
// as the language code and look that up in their own table: every language
// of that table must come out with its code.
TEST(Locale, EveryLanguageOfTheSettingsTableGivesItsCode) {
    const char* const pairs[][2] = {
        {"en_US", "EN"}, {"de_DE", "DE"}, {"fr_FR", "FR"}, {"it_IT", "IT"}, {"es_ES", "ES"}, {"nl_NL", "NL"},
        {"sv_SE", "SV"}, {"da_DK", "DA"}, {"nb_NO", "NO"}, {"cs_CZ", "CS"}, {"hu_HU", "HU"}, {"pt_BR", "PT"},
        {"pl_PL", "PL"}, {"fi_FI", "FI"}, {"ja_JP", "JP"}, {"ru_RU", "RU"}, {"sk_SK", "SK"}, {"zh_TW", "CH"},
        {"ko_KR", "KO"}, {"tr_TR", "TR"}, {"el_GR", "EL"}, {"is_IS", "IS"},
    };
    for (const auto& p : pairs) {
        LangOnly env(p[0]);
        std::string lang = info(LOCALE_SABBREVLANGNAME);
        std::string country = info(LOCALE_SABBREVCTRYNAME);
        EXPECT_EQ(lang.size(), 3u) << p[0];
        EXPECT_EQ(lang.substr(0, 2), p[1]) << p[0];
        EXPECT_EQ(country.size(), 3u) << p[0];
        EXPECT_EQ(country.substr(0, 1), std::string(p[0] + 3, 1)) << p[0];
    }
}

TEST(Locale, LcAllThenLcMessagesThenLang) {
    ScopedEnv lang("LANG", "de_DE.UTF-8");
    ScopedEnv messages("LC_MESSAGES", "fr_FR.UTF-8");
    ScopedEnv all("LC_ALL", "ja_JP.UTF-8");
    EXPECT_EQ(info(LOCALE_SABBREVLANGNAME), "JPN");
    {
        ScopedEnv no_all("LC_ALL", "");  // empty counts as unset
        EXPECT_EQ(info(LOCALE_SABBREVLANGNAME), "FRA");
        ScopedEnv no_messages("LC_MESSAGES", std::nullopt);
        EXPECT_EQ(info(LOCALE_SABBREVLANGNAME), "DEU");
    }
}

TEST(Locale, BufferRulesAndOtherFields) {
    LangOnly env("fr_CA.UTF-8");
    char buf[8];
    EXPECT_EQ(GetLocaleInfoA(LOCALE_USER_DEFAULT, LOCALE_SABBREVLANGNAME, nullptr, 0), 4);
    memset(buf, '#', sizeof buf);
    SetLastError(0);
    EXPECT_EQ(GetLocaleInfoA(LOCALE_USER_DEFAULT, LOCALE_SABBREVLANGNAME, buf, 3), 0);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(GetLocaleInfoA(LOCALE_USER_DEFAULT, LOCALE_SABBREVLANGNAME, buf, 4), 4);
    EXPECT_STREQ(buf, "FRC");
    EXPECT_EQ(GetLocaleInfoA(LOCALE_USER_DEFAULT, LOCALE_SABBREVLANGNAME, buf, -1), 0);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(GetLocaleInfoA(LOCALE_USER_DEFAULT, LOCALE_SABBREVLANGNAME, nullptr, 4), 0);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(GetLocaleInfoA(LOCALE_USER_DEFAULT, 0x1234, buf, sizeof buf), 0);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_FLAGS));
    EXPECT_EQ(GetLocaleInfoA(0x9999, LOCALE_SABBREVLANGNAME, buf, sizeof buf), 0);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_PARAMETER));

    EXPECT_EQ(info(LOCALE_SABBREVCTRYNAME | LOCALE_NOUSEROVERRIDE), "CAN");
    EXPECT_EQ(info(LOCALE_ILANGUAGE), "0c0c");
    EXPECT_EQ(info(LOCALE_SISO639LANGNAME), "fr");
    EXPECT_EQ(info(LOCALE_SISO3166CTRYNAME), "CA");
    EXPECT_EQ(info(LOCALE_SABBREVLANGNAME, 0x0407), "DEU");
    EXPECT_EQ(info(LOCALE_SABBREVCTRYNAME, 0x0816), "PRT");
}
