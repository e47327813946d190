#include <gtest/gtest.h>

#include <string>

#include "fs_test_helpers.h"

using namespace zkx::test;

namespace {

std::string info(DWORD type, LCID lcid = LOCALE_USER_DEFAULT) {
    char buf[32];
    int n = GetLocaleInfoA(lcid, type, buf, sizeof buf);
    return n > 0 ? std::string(buf, size_t(n - 1)) : "error " + std::to_string(GetLastError());
}

// Only LANG set, as on most desktops.
struct LangOnly {
    ScopedEnv all{"LC_ALL", std::nullopt}, messages{"LC_MESSAGES", std::nullopt}, lang;
    explicit LangOnly(const char* value) : lang("LANG", std::string(value)) {}
};

}  // namespace

// The installation settings keep the first two letters of the language
// abbreviation as their language code, so every language they know must
// come out right, besides the usual spellings of POSIX locale names.
TEST(Locale, AbbreviationsFollowThePosixLocale) {
    const char* const cases[][3] = {
        {"en_US.UTF-8", "ENU", "USA"}, {"de_DE", "DEU", "DEU"},      {"fr_FR@euro", "FRA", "FRA"},
        {"it_IT", "ITA", "ITA"},       {"es_ES", "ESN", "ESP"},      {"nl_NL", "NLD", "NLD"},
        {"sv_SE", "SVE", "SWE"},       {"da_DK", "DAN", "DNK"},      {"nb_NO", "NOR", "NOR"},
        {"cs_CZ", "CSY", "CZE"},       {"hu_HU", "HUN", "HUN"},      {"pt_BR", "PTB", "BRA"},
        {"pl_PL", "PLK", "POL"},       {"fi_FI", "FIN", "FIN"},      {"ja_JP.eucJP", "JPN", "JPN"},
        {"ru_RU", "RUS", "RUS"},       {"sk_SK", "SKY", "SVK"},      {"zh_TW.Big5", "CHT", "TWN"},
        {"ko_KR", "KOR", "KOR"},       {"tr_TR", "TRK", "TUR"},      {"el_GR", "ELL", "GRC"},
        {"is_IS", "ISL", "ISL"},       {"en_GB", "ENG", "GBR"},      {"fr_CA", "FRC", "CAN"},
        {"de", "DEU", "DEU"},          {"de_BE", "DEU", "BEL"},      {"C", "ENU", "USA"},
        {"POSIX", "ENU", "USA"},       {"C.UTF-8", "ENU", "USA"},    {"xx_YY", "ENU", "USA"},
        {"", "ENU", "USA"},
    };
    for (const auto& k : cases) {
        LangOnly env(k[0]);
        EXPECT_EQ(info(LOCALE_SABBREVLANGNAME), k[1]) << k[0];
        EXPECT_EQ(info(LOCALE_SABBREVCTRYNAME, LOCALE_SYSTEM_DEFAULT), k[2]) << k[0];
    }
    // LC_ALL, then LC_MESSAGES, then LANG; empty counts as unset.
    ScopedEnv lang("LANG", "de_DE.UTF-8"), messages("LC_MESSAGES", "fr_FR"), all("LC_ALL", "");
    EXPECT_EQ(info(LOCALE_SABBREVLANGNAME), "FRA");
    ScopedEnv all_set("LC_ALL", "ja_JP");
    EXPECT_EQ(info(LOCALE_SABBREVLANGNAME), "JPN");
}

TEST(Locale, BufferRulesAndOtherFields) {
    LangOnly env("fr_CA.UTF-8");
    char buf[8] = "#######";
    auto get = [&](LPSTR out, int size) { return GetLocaleInfoA(LOCALE_USER_DEFAULT, LOCALE_SABBREVLANGNAME, out, size); };
    EXPECT_EQ(get(nullptr, 0), 4);
    EXPECT_EQ(failure(get(buf, 3) == 0), DWORD(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(buf[0], '#');
    EXPECT_EQ(get(buf, 4), 4);
    EXPECT_STREQ(buf, "FRC");
    EXPECT_EQ(failure(get(buf, -1) == 0), DWORD(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(failure(get(nullptr, 4) == 0), DWORD(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(info(0x1234), "error 1004");
    EXPECT_EQ(info(LOCALE_SABBREVLANGNAME, 0x9999), "error 87");

    EXPECT_EQ(info(LOCALE_ILANGUAGE) + info(LOCALE_SISO639LANGNAME) + info(LOCALE_SISO3166CTRYNAME), "0c0cfrCA");
    EXPECT_EQ(info(LOCALE_SABBREVLANGNAME, 0x0407) + info(LOCALE_SABBREVCTRYNAME, 0x0816), "DEUPRT");
}
