// Code pages, character stepping and the lstr calls.
#include <gtest/gtest.h>

#include <stdlib.h>

#include <cstring>
#include <string>

#include "test_env.h"
#include "zkxwin32.h"

#ifndef _WIN32  // the layer's own code-page tables
#include "text/codepage.h"

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

}  // namespace

TEST_F(CodePage, SelectionLeadByteRangesAndSingleByteStepping) {
    use(nullptr);
    EXPECT_EQ(GetACP(), 1252u);
    for (int b = 0; b < 256; ++b) EXPECT_FALSE(lead(b)) << b;
    const char s[] = "a\x81\x5C";
    EXPECT_EQ(CharNextA(s + 1), s + 2);
    EXPECT_EQ(CharPrevA(s, s + 3), s + 2);
    EXPECT_EQ(CharPrevA(s, s), s);
    for (const char* bad : {"abc", "932x", "0", "70000", ""}) {
        use(bad);
        EXPECT_EQ(GetACP(), 1252u) << bad;
    }
    use("1250");
    EXPECT_EQ(GetACP(), 1250u);

    use("932");
    EXPECT_EQ(GetACP(), 932u);
    for (int b : {0x81, 0x9F, 0xE0, 0xFC}) EXPECT_TRUE(lead(b)) << b;
    for (int b : {0x5C, 0x80, 0xA0, 0xDF, 0xFD, 0xFF}) EXPECT_FALSE(lead(b)) << b;
    for (const char* cp : {"936", "949", "950"}) {
        use(cp);
        EXPECT_TRUE(lead(0x81) && lead(0xA0) && lead(0xFE)) << cp;
        EXPECT_FALSE(lead(0x80) || lead(0xFF) || lead('A')) << cp;
    }
}

TEST_F(CodePage, DoubleByteSteppingIn932) {
    use("932");
    // 'a', a character whose trail byte is '\\', a pair of characters made of
    // bytes that are all in the lead range, 'b', and a lone lead byte at the end.
    const char s[] = "a\x95\x5C\x81\x81\x81\x81" "b\x82";
    const int starts[] = {0, 1, 3, 5, 7, 8, 9};
    const char* p = s;
    for (size_t i = 1; i < sizeof starts / sizeof starts[0]; ++i) {
        p = CharNextA(p);
        EXPECT_EQ(p - s, starts[i]);
    }
    EXPECT_EQ(CharNextA(p), p);  // stays on the terminator
    for (size_t i = sizeof starts / sizeof starts[0] - 1; i > 0; --i) {
        EXPECT_EQ(CharPrevA(s, s + starts[i]) - s, starts[i - 1]) << i;
    }
    EXPECT_EQ(CharPrevA(s, s + 2), s + 1);  // from inside a character to its start
    EXPECT_EQ(CharPrevA(s + 1, s), s + 1);  // never before the start
    EXPECT_EQ(CharNextA(nullptr), nullptr);
    EXPECT_EQ(CharPrevA(nullptr, s), nullptr);
}

TEST_F(CodePage, TextRoutinesRespectDoubleByteCharacters) {
    use("932");
    // Trail bytes are not letters: folding them would equate two characters.
    EXPECT_NE(lstrcmpiA("\x82\x61", "\x82\x41"), 0);
    EXPECT_EQ(lstrcmpiA("A\x82\x61", "a\x82\x61"), 0);
    EXPECT_NE(lstrcmpiA("\xC9", "\xE9"), 0);  // no Latin-1 case pairs outside 1252

    // A cut at the cap never leaves a lead byte without its trail byte.
    std::string text(1022, 'a');
    text += "\x82\xA0";
    char buf[1024];
    EXPECT_EQ(wsprintfA(buf, "%s", text.c_str()), 1022);
    EXPECT_EQ(std::string(buf), std::string(1022, 'a'));
    EXPECT_EQ(wsprintfA(buf, "%s", text.c_str() + 1), 1023);  // fits whole

    const uint16_t e_acute[] = {0xE9, 0};
    wsprintfA(buf, "%ls", e_acute);
    EXPECT_STREQ(buf, "?");
}

#endif

// --- The lstr calls in the default code page -------------------------------------

namespace {
void expect_refused(LPSTR result) {
    EXPECT_EQ(result, nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    SetLastError(0);
}
}  // namespace

TEST(Lstr, CopyConcatenateAndLength) {
    char buf[16];
    EXPECT_EQ(lstrlenA(nullptr), 0);
    EXPECT_EQ(lstrcpyA(buf, "abc"), buf);
    EXPECT_EQ(lstrcatA(buf, "def"), buf);
    EXPECT_STREQ(buf, "abcdef");
    EXPECT_EQ(lstrlenA(buf), 6);

    // lstrcpynA copies n - 1 characters, terminates, and writes nothing more.
    std::memset(buf, 'z', sizeof buf);
    EXPECT_EQ(lstrcpynA(buf, "abcdef", 4), buf);
    EXPECT_STREQ(buf, "abc");
    EXPECT_EQ(buf[4], 'z');
    std::memset(buf, 'z', sizeof buf);
    lstrcpynA(buf, "ab", 10);
    EXPECT_STREQ(buf, "ab");
    EXPECT_EQ(buf[3], 'z');
    lstrcpynA(buf, "ab", 1);
    EXPECT_STREQ(buf, "");
    buf[0] = 'q';
    EXPECT_EQ(lstrcpynA(buf, "ab", 0), buf);
    EXPECT_EQ(buf[0], 'q');

    // Overlapping copies behave as if through a temporary buffer.
    lstrcpyA(buf, "abcdef");
    lstrcpyA(buf + 2, buf);
    EXPECT_STREQ(buf, "ababcdef");

    expect_refused(lstrcpyA(nullptr, "a"));
    expect_refused(lstrcpyA(buf, nullptr));
    expect_refused(lstrcpynA(buf, nullptr, 4));
    if (!zkx::test::windows_faults_on("lstrcpynA takes a negative length as no limit")) {
        expect_refused(lstrcpynA(buf, "a", -1));
    }
    expect_refused(lstrcatA(nullptr, "a"));
    expect_refused(lstrcatA(buf, nullptr));
}

TEST(Lstr, ComparisonOrdersLikeWindowsForLettersAndDigits) {
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
    EXPECT_EQ(lstrcmpiA("ABC", "abc"), 0);
    EXPECT_LT(lstrcmpiA("ab", "ABC"), 0);
    EXPECT_LT(lstrcmpiA("_", "a"), 0);  // folds to lower case, as the linguistic sort agrees
    EXPECT_EQ(lstrcmpiA("\xC9t\xC9", "\xE9T\xE9"), 0);  // accented capitals of 1252
    EXPECT_NE(lstrcmpiA("\xD7", "\xF7"), 0);            // multiplication and division signs
    EXPECT_EQ(lstrcmpA(nullptr, nullptr), 0);
    EXPECT_LT(lstrcmpA(nullptr, ""), 0);
    EXPECT_GT(lstrcmpiA("", nullptr), 0);
}
