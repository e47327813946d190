// Code pages, character stepping, the lstr calls and wsprintf.
#include "test_util.h"
#include "zkxwin32.h"

// The lstr calls in the default code page.
TEST(Lstr, CopyConcatenateLengthAndCompare) {
    char buf[16];
    EXPECT_EQ(lstrlenA(nullptr), 0);
    EXPECT_EQ(lstrlenA(lstrcatA(lstrcpyA(buf, "abc"), "def")), 6);
    EXPECT_STREQ(buf, "abcdef");

    // lstrcpynA copies n - 1 characters, terminates, and writes nothing more.
    const struct { const char* from; int n; std::string after; } copies[] = {
        {"abcdef", 4, {"abc\0z", 5}}, {"ab", 10, {"ab\0z", 4}}, {"ab", 1, {"\0z", 2}}, {"ab", 0, "z"}};
    for (const auto& k : copies) {
        std::memset(buf, 'z', sizeof buf);
        EXPECT_EQ(lstrcpynA(buf, k.from, k.n), buf);
        EXPECT_EQ(std::string(buf, k.after.size()), k.after) << k.from << ", " << k.n;
    }

    // Overlapping copies behave as if through a temporary buffer.
    lstrcpyA(buf + 2, lstrcpyA(buf, "abcdef"));
    EXPECT_STREQ(buf, "ababcdef");

    // Refused: a null result and the last error set afresh by each call.
    auto refused = [](LPSTR result) {
        DWORD e = result ? 0 : GetLastError();
        SetLastError(0);
        return e;
    };
    std::vector<DWORD> errors = {refused(lstrcpyA(nullptr, "a")), refused(lstrcpyA(buf, nullptr)),
                                 refused(lstrcpynA(buf, nullptr, 4)), refused(lstrcatA(nullptr, "a")),
                                 refused(lstrcatA(buf, nullptr))};
    if (!zkx::test::windows_faults_on("lstrcpynA takes a negative length as no limit")) {
        errors.push_back(refused(lstrcpynA(buf, "a", -1)));
    }
    EXPECT_EQ(errors, std::vector<DWORD>(errors.size(), ERROR_INVALID_PARAMETER));

    // Sorted as Windows sorts them: case-insensitive first, lower case first
    // on a tie.
    const char* sorted[] = {"", "1", "a", "A", "ab", "Ab", "abc", "apple", "b", "Banana", "z_"};
    const size_t n = sizeof sorted / sizeof sorted[0];
    for (size_t i = 0; i < n; ++i) {
        for (size_t j = 0; j < n; ++j) {
            int want = i < j ? -1 : (i > j ? 1 : 0);
            EXPECT_EQ(lstrcmpA(sorted[i], sorted[j]), want) << sorted[i] << " vs " << sorted[j];
        }
    }
    EXPECT_LT(lstrcmpiA("_", "a"), 0);  // folds to lower case, as the linguistic sort agrees
    EXPECT_EQ(lstrcmpiA("\xC9t\xC9", "\xE9T\xE9"), 0);  // accented capitals of 1252
    EXPECT_NE(lstrcmpiA("\xD7", "\xF7"), 0);            // multiplication and division signs
    EXPECT_EQ(lstrcmpA(nullptr, nullptr), 0);
    EXPECT_LT(lstrcmpA(nullptr, ""), 0);
    EXPECT_GT(lstrcmpiA("", nullptr), 0);
}

// --- The layer's own code-page tables and formatter, not built for Windows -----
#ifndef _WIN32
#include <climits>

#include "text/codepage.h"
#include "text/format_engine.h"

namespace {

// Each test picks its code page; the module reads it again after the reset.
class CodePage : public ::testing::Test {
protected:
    void use(const char* value) {
        value ? setenv("ZKX_CODEPAGE", value, 1) : unsetenv("ZKX_CODEPAGE");
        zkx::win32::reset_code_page_for_tests();
    }
    void TearDown() override { use(nullptr); }
};

bool lead(int b) { return IsDBCSLeadByte(static_cast<BYTE>(b)) != FALSE; }

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

TEST_F(CodePage, SelectionLeadBytesAndDoubleByteCharacters) {
    for (const char* bad : {(const char*)nullptr, "abc", "932x", "0", "70000", ""}) {
        use(bad);
        EXPECT_EQ(GetACP(), 1252u) << (bad ? bad : "unset");
    }
    for (int b = 0; b < 256; ++b) EXPECT_FALSE(lead(b)) << b;
    for (const char* cp : {"936", "949", "950"}) {
        use(cp);
        EXPECT_TRUE(lead(0x81) && lead(0xA0) && lead(0xFE) && !lead(0x80) && !lead(0xFF) && !lead('A')) << cp;
    }
    use("932");
    EXPECT_EQ(GetACP(), 932u);
    for (int b : {0x81, 0x9F, 0xE0, 0xFC}) EXPECT_TRUE(lead(b)) << b;
    for (int b : {0x5C, 0x80, 0xA0, 0xDF, 0xFD, 0xFF}) EXPECT_FALSE(lead(b)) << b;

    // 'a', a character whose trail byte is '\\', a pair of characters made of
    // bytes that are all in the lead range, 'b', and a lone lead byte at the end;
    // forward until it stays on the terminator, then back.
    const char s[] = "a\x95\x5C\x81\x81\x81\x81" "b\x82";
    std::vector<long> next = {0}, prev;
    for (const char* p = s; CharNextA(p) != p && next.size() < 16; p = CharNextA(p)) next.push_back(CharNextA(p) - s);
    for (size_t i = 1; i < next.size(); ++i) prev.push_back(CharPrevA(s, s + next[i]) - s);
    EXPECT_EQ(next, (std::vector<long>{0, 1, 3, 5, 7, 8, 9}));
    EXPECT_EQ(prev, std::vector<long>(next.begin(), next.end() - 1));
    EXPECT_EQ(CharPrevA(s, s + 2), s + 1);  // from inside a character to its start
    EXPECT_EQ(CharPrevA(s + 1, s), s + 1);  // never before the start
    EXPECT_EQ(CharPrevA(s, s), s);

    // Trail bytes are not letters: folding them would equate two characters.
    EXPECT_NE(lstrcmpiA("\x82\x61", "\x82\x41"), 0);
    EXPECT_EQ(lstrcmpiA("A\x82\x61", "a\x82\x61"), 0);
    EXPECT_NE(lstrcmpiA("\xC9", "\xE9"), 0);  // no Latin-1 case pairs outside 1252

    // A cut at the cap never leaves a lead byte without its trail byte.
    const std::string text = std::string(1022, 'a') + "\x82\xA0";
    EXPECT_EQ(F("%s", text.c_str()), std::string(1022, 'a'));
    EXPECT_EQ(F("%s", text.c_str() + 1), text.substr(1));  // fits whole

    EXPECT_EQ(F("%ls", W(u"\u00E9")), "?");
}

TEST(Wsprintf, ConversionsFlagsWidthPrecisionNullsAndTheCap) {
    EXPECT_EQ(F("%d|%i|%u", -42, INT_MIN, 0xFFFFFFFFu), "-42|-2147483648|4294967295");
    EXPECT_EQ(F("%x|%X|%c|%s", 0xBEEFu, 0xBEEFu, 'A', "abc"), "beef|BEEF|A|abc");
    // l is Win32's 32-bit LONG even on this LP64 host.
    EXPECT_EQ(F("%ld|%lu|%lX", static_cast<LONG>(-1), DWORD(0xFFFFFFFF), DWORD(0xABCD)), "-1|4294967295|ABCD");
    EXPECT_EQ(F("%hd|%hu|%hx", 0xFFFF, 0x12345, 0x1ABCD), "-1|9029|abcd");
    EXPECT_EQ(F("%I64d|%I64x|%I32u", INT64_MIN, 0x123456789ABCull, 7u), "-9223372036854775808|123456789abc|7");
    EXPECT_EQ(F("%p", reinterpret_cast<void*>(0x1234)), "0000000000001234");
    EXPECT_EQ(F("%hs|%ls|%S|%hc|%C", "a", W(u"b\u00E9\u00FF"), W(u"\u20AC\u4E00"), 'c', 'd'), "a|b\xE9\xFF|\x80?|c|d");

    struct Case { const char* format; int value; const char* want; } cases[] = {
        {"[%-5d]", 42, "[42   ]"},   {"[%05d]", -42, "[-0042]"},      {"[%-05d]", 42, "[42000]"},
        {"[%#X]", 255, "[0XFF]"},    {"[%#010x]", 255, "[0x000000ff]"}, {"[%#x]", 0, "[0x0]"},
        {"[%#d]", 5, "[5]"},         {"[%8.5d]", -42, "[  -00042]"},  {"[%.0d]", 0, "[0]"},
        {"[%3c]", 'x', "[  x]"},     {"[%0-5u]", 7, "[70000]"},       {"[%2d]", 12345, "[12345]"},
    };
    for (const auto& c : cases) EXPECT_EQ(F(c.format, c.value), c.want) << c.format;
    EXPECT_EQ(F("[%.3s][%-6.2s][%6s][%06s][%.0s]", "abcdef", "abcdef", "ab", "ab", "abc"),
              "[abc][ab    ][    ab][0000ab][]");

    EXPECT_EQ(F("100%%"), "100%");
    // Unknown conversions print themselves and read no argument.
    EXPECT_EQ(F("%q%5y%+d|%f%d", 3), "qy+d|f3");
    EXPECT_EQ(F("abc%"), "abc");
    EXPECT_EQ(F("abc%-08.3l"), "abc");
    EXPECT_EQ(F("[%s][%.3s][%8s][%ls]", nullptr, nullptr, nullptr, nullptr), "[(null)][(nu][  (null)][(null)]");
    EXPECT_EQ(F("a%cb[%3c]", 0, 0), "ab[   ]");

    // Output stops at the cap.
    std::string fits(kCap - 1, 'f');
    SetLastError(0);
    EXPECT_EQ(F("%s", fits.c_str()), fits);
    EXPECT_EQ(GetLastError(), 0u);

    std::string longer(3000, 'g'), cut(kCap - 1, 'g');
    EXPECT_EQ(F("%s", longer.c_str()), cut);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(F("%2000d", 1), std::string(kCap - 1, ' '));
    EXPECT_EQ(F("%-99999999999999999999d", 1), "1" + std::string(kCap - 2, ' '));
    EXPECT_EQ(F("%.99999999999d", 5), std::string(kCap - 1, '0'));
    EXPECT_EQ(F(("%s" + std::string(kCap, 'h')).c_str(), "abc"), "abc" + std::string(kCap - 4, 'h'));
}

#endif
