#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <string>

#include "text/format_engine.h"
#include "zkxwin32.h"

namespace {

constexpr size_t kCap = zkx::win32::kWsprintfBufferSize;

// Formats through wvsprintfA into a guarded buffer and checks what every call
// must hold: the count matches the text and nothing past the cap is touched.
std::string F(const char* format, ...) {
    char buf[kCap + 64];
    std::memset(buf, 0x7E, sizeof buf);
    va_list ap;
    va_start(ap, format);
    int n = wvsprintfA(buf, format, ap);
    va_end(ap);
    EXPECT_EQ(static_cast<size_t>(n), std::strlen(buf)) << format;
    for (size_t i = kCap; i < sizeof buf; ++i) EXPECT_EQ(buf[i], 0x7E) << "overrun at " << i;
    return std::string(buf, static_cast<size_t>(n));
}

const uint16_t* W(const char16_t* s) { return reinterpret_cast<const uint16_t*>(s); }

}  // namespace

TEST(Wsprintf, ConversionsAndSizePrefixes) {
    EXPECT_EQ(F("%d|%i|%u", -42, INT_MIN, 0xFFFFFFFFu), "-42|-2147483648|4294967295");
    EXPECT_EQ(F("%x|%X|%c|%s", 0xBEEFu, 0xBEEFu, 'A', "abc"), "beef|BEEF|A|abc");
    // l is Win32's 32-bit LONG even on this LP64 host.
    EXPECT_EQ(F("%ld|%lu|%lX", static_cast<LONG>(-1), DWORD(0xFFFFFFFF), DWORD(0xABCD)),
              "-1|4294967295|ABCD");
    EXPECT_EQ(F("%hd|%hu|%hx", 0xFFFF, 0x12345, 0x1ABCD), "-1|9029|abcd");
    EXPECT_EQ(F("%I64d|%I64x|%I32u", INT64_MIN, 0x123456789ABCull, 7u),
              "-9223372036854775808|123456789abc|7");
    EXPECT_EQ(F("%p", reinterpret_cast<void*>(0x1234)), "0000000000001234");
    EXPECT_EQ(F("%hs|%ls|%S|%hc|%C", "a", W(u"b\u00E9"), W(u"\u20AC\u4E00"), 'c', 'd'),
              "a|b\xE9|\x80?|c|d");
}

TEST(Wsprintf, FlagsWidthAndPrecision) {
    struct Case { const char* format; int value; const char* want; } cases[] = {
        {"[%5d]", 42, "[   42]"},    {"[%-5d]", 42, "[42   ]"},     {"[%05d]", -42, "[-0042]"},
        {"[%-05d]", 42, "[42000]"},  {"[%#x]", 255, "[0xff]"},      {"[%#X]", 255, "[0XFF]"},
        {"[%#010x]", 255, "[0x000000ff]"}, {"[%#x]", 0, "[0x0]"},   {"[%#d]", 5, "[5]"},
        {"[%.5d]", -42, "[-00042]"}, {"[%8.5d]", -42, "[  -00042]"}, {"[%.0d]", 0, "[0]"},
        {"[%.d]", 0, "[0]"},         {"[%3c]", 'x', "[  x]"},       {"[%-3c]", 'x', "[x  ]"},
        {"[%0-5u]", 7, "[70000]"},   {"[%2d]", 12345, "[12345]"},
    };
    for (const auto& c : cases) EXPECT_EQ(F(c.format, c.value), c.want) << c.format;
    EXPECT_EQ(F("[%.3s][%-6.2s][%6s][%06s][%.0s]", "abcdef", "abcdef", "ab", "ab", "abc"),
              "[abc][ab    ][    ab][0000ab][]");
    // The debug log's record header.
    EXPECT_EQ(F("%s(%4u)", "trace", 92u), "trace(  92)");
    EXPECT_EQ(F(", %02hu/%02hu, %02hu:%02hu:%02hu.%03hu, ", 12, 4, 18, 29, 48, 123),
              ", 12/04, 18:29:48.123, ");
    EXPECT_EQ(F("0x%08lX, 0x%08lX, %-8s, %s, ", DWORD(0x1A0), DWORD(0x2C4), "ZKMisc", "COM"),
              "0x000001A0, 0x000002C4, ZKMisc  , COM, ");
}

TEST(Wsprintf, PercentUnknownConversionsAndNulls) {
    EXPECT_EQ(F("100%%"), "100%");
    // Unknown conversions print themselves and read no argument.
    EXPECT_EQ(F("%q%5y%+d|%f%d", 3), "qy+d|f3");
    EXPECT_EQ(F("abc%"), "abc");
    EXPECT_EQ(F("abc%-08.3l"), "abc");
    EXPECT_EQ(F("[%s][%.3s][%8s][%ls]", nullptr, nullptr, nullptr, nullptr),
              "[(null)][(nu][  (null)][(null)]");
    EXPECT_EQ(F("a%cb[%3c]", 0, 0), "ab[   ]");

    char buf[16] = "x";
    SetLastError(0);
    EXPECT_EQ(wsprintfA(nullptr, "abc"), 0);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    SetLastError(0);
    EXPECT_EQ(wsprintfA(buf, nullptr), 0);
    EXPECT_EQ(buf[0], 0);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}

TEST(Wsprintf, OutputStopsAtTheCap) {
    std::string fits(kCap - 1, 'f');
    SetLastError(0);
    EXPECT_EQ(F("%s", fits.c_str()), fits);
    EXPECT_EQ(GetLastError(), 0u);

    std::string longer(3000, 'g'), cut(kCap - 1, 'g');
    EXPECT_EQ(F("%s", longer.c_str()), cut);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(F(longer.c_str()), cut);
    EXPECT_EQ(F("%2000d", 1), std::string(kCap - 1, ' '));
    EXPECT_EQ(F("%-99999999999999999999d", 1), "1" + std::string(kCap - 2, ' '));
    EXPECT_EQ(F("%.99999999999d", 5), std::string(kCap - 1, '0'));
    EXPECT_EQ(F(("%s" + std::string(kCap, 'h')).c_str(), "abc"), "abc" + std::string(kCap - 4, 'h'));
}

namespace {
struct FixedArgs : zkx::win32::ArgSource {
    uint64_t next_int(IntSize) override { return 12345; }
    const char* next_string() override { return "xyz"; }
    const uint16_t* next_wide_string() override { return nullptr; }
};
}  // namespace

TEST(FormatEngine, HonoursAnyCapacity) {
    // Capacity, format, whether it was cut, the text (none: nothing written).
    struct { size_t cap; const char* format; bool truncated; const char* text; } const cases[] = {
        {0, "abc", true, nullptr}, {1, "%d", true, ""}, {6, "%s%d", true, "xyz12"}, {6, "ab%s", false, "abxyz"},
    };
    FixedArgs args;
    for (const auto& k : cases) {
        char buf[8];
        std::memset(buf, 0x7E, sizeof buf);
        auto r = zkx::win32::format(buf, k.cap, k.format, args);
        EXPECT_EQ(r.truncated, k.truncated) << k.format;
        EXPECT_EQ(r.length, k.text ? std::strlen(k.text) : 0u) << k.format;
        if (k.text) {
            EXPECT_STREQ(buf, k.text);
        }
        for (size_t i = k.text ? k.cap : 0; i < sizeof buf; ++i) EXPECT_EQ(buf[i], 0x7E) << k.format << " at " << i;
    }
}
