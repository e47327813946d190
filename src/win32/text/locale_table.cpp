#include "text/locale_table.h"

#include <cstring>
#include <string>

namespace zkx::win32 {
namespace {

// The first row of a language is the one a bare language name picks.
constexpr LocaleNames kLocales[] = {
    {0x0409, "en", "US", "ENU", "USA"},
    {0x0809, "en", "GB", "ENG", "GBR"},
    {0x0C09, "en", "AU", "ENA", "AUS"},
    {0x1009, "en", "CA", "ENC", "CAN"},
    {0x1409, "en", "NZ", "ENZ", "NZL"},
    {0x1809, "en", "IE", "ENI", "IRL"},
    {0x1C09, "en", "ZA", "ENS", "ZAF"},
    {0x0407, "de", "DE", "DEU", "DEU"},
    {0x0807, "de", "CH", "DES", "CHE"},
    {0x0C07, "de", "AT", "DEA", "AUT"},
    {0x1007, "de", "LU", "DEL", "LUX"},
    {0x1407, "de", "LI", "DEC", "LIE"},
    {0x040C, "fr", "FR", "FRA", "FRA"},
    {0x080C, "fr", "BE", "FRB", "BEL"},
    {0x0C0C, "fr", "CA", "FRC", "CAN"},
    {0x100C, "fr", "CH", "FRS", "CHE"},
    {0x140C, "fr", "LU", "FRL", "LUX"},
    {0x0410, "it", "IT", "ITA", "ITA"},
    {0x0810, "it", "CH", "ITS", "CHE"},
    {0x0C0A, "es", "ES", "ESN", "ESP"},  // modern sort, the default
    {0x040A, "es", "ES", "ESP", "ESP"},  // traditional sort, by id only
    {0x080A, "es", "MX", "ESM", "MEX"},
    {0x2C0A, "es", "AR", "ESS", "ARG"},
    {0x0413, "nl", "NL", "NLD", "NLD"},
    {0x0813, "nl", "BE", "NLB", "BEL"},
    {0x041D, "sv", "SE", "SVE", "SWE"},
    {0x081D, "sv", "FI", "SVF", "FIN"},
    {0x0406, "da", "DK", "DAN", "DNK"},
    {0x0414, "nb", "NO", "NOR", "NOR"},
    {0x0414, "no", "NO", "NOR", "NOR"},  // the older POSIX name of Bokmal
    {0x0814, "nn", "NO", "NON", "NOR"},
    {0x0405, "cs", "CZ", "CSY", "CZE"},
    {0x040E, "hu", "HU", "HUN", "HUN"},
    {0x0416, "pt", "BR", "PTB", "BRA"},
    {0x0816, "pt", "PT", "PTG", "PRT"},
    {0x0415, "pl", "PL", "PLK", "POL"},
    {0x040B, "fi", "FI", "FIN", "FIN"},
    {0x0411, "ja", "JP", "JPN", "JPN"},
    {0x0419, "ru", "RU", "RUS", "RUS"},
    {0x041B, "sk", "SK", "SKY", "SVK"},
    {0x0804, "zh", "CN", "CHS", "CHN"},
    {0x0404, "zh", "TW", "CHT", "TWN"},
    {0x0C04, "zh", "HK", "ZHH", "HKG"},
    {0x1004, "zh", "SG", "ZHI", "SGP"},
    {0x1404, "zh", "MO", "ZHM", "MAC"},
    {0x0412, "ko", "KR", "KOR", "KOR"},
    {0x041F, "tr", "TR", "TRK", "TUR"},
    {0x0408, "el", "GR", "ELL", "GRC"},
    {0x040F, "is", "IS", "ISL", "ISL"},
};

bool same_ignoring_case(const std::string& a, const char* b) {
    if (a.size() != strlen(b)) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        char x = a[i], y = b[i];
        if (x >= 'A' && x <= 'Z') x = char(x - 'A' + 'a');
        if (y >= 'A' && y <= 'Z') y = char(y - 'A' + 'a');
        if (x != y) return false;
    }
    return true;
}

}  // namespace

LocaleNames locale_from_posix(const char* name) {
    // language[_territory][.codeset][@modifier]
    std::string language, country;
    if (name) {
        const char* p = name;
        while (*p && *p != '_' && *p != '.' && *p != '@') language += *p++;
        if (*p == '_') {
            ++p;
            while (*p && *p != '.' && *p != '@') country += *p++;
        }
    }
    const LocaleNames* lang_row = nullptr;
    for (auto& row : kLocales) {
        if (!same_ignoring_case(language, row.language)) continue;
        if (same_ignoring_case(country, row.country)) return row;
        if (!lang_row) lang_row = &row;
    }
    if (!lang_row) return kLocales[0];  // C, POSIX and languages we do not know
    LocaleNames out = *lang_row;
    for (auto& row : kLocales) {
        if (same_ignoring_case(country, row.country)) {
            out.country = row.country;
            out.abbrev_ctry = row.abbrev_ctry;
            break;
        }
    }
    return out;
}

bool locale_from_lcid(LCID lcid, LocaleNames* out) {
    for (auto& row : kLocales) {
        if (row.lcid == lcid) {
            *out = row;
            return true;
        }
    }
    return false;
}

}  // namespace zkx::win32
