#include <gtest/gtest.h>

#include <cstring>

#include "zkxwin32.h"

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
    expect_refused(lstrcpynA(buf, "a", -1));
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
