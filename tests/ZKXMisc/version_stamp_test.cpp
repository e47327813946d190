#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <iterator>
#include <string>

#include "ZKVerPriv.h"
#include "test_env.h"

namespace {

std::string file_bytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

void write_bytes(const std::string& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

TEST(VersionStamp, FileHoldsExactlyEightBytes) {
    const std::string path = zkx::test::temp_dir() + "/zkx.ver";
    write_bytes(path, std::string(40, 'o'));
    ZKVER_STAMP stamp = {1, 2, 3, -4, 'b', {0x00, 0xFF, 0x7E}};
    EXPECT_EQ(zkver_save_to(path.c_str(), &stamp), &stamp);
    EXPECT_EQ(file_bytes(path), std::string("\x01\x02\x03\xFC" "b\x00\xFF\x7E", 8));
    EXPECT_EQ(zkver_save_to((path + "/no/such/dir").c_str(), &stamp), nullptr);

    ZKVER_STAMP loaded;
    write_bytes(path, std::string("\x09\x08\x07\x06" "c\x01\x02\x03" "extra", 13));
    EXPECT_EQ(zkver_load_from(path.c_str(), &loaded), &loaded);
    EXPECT_EQ(std::memcmp(&loaded, "\x09\x08\x07\x06" "c\x01\x02\x03", 8), 0);
    write_bytes(path, "\x05\x05\x05\x05" "abc");
    EXPECT_EQ(zkver_load_from(path.c_str(), &loaded), nullptr);
    EXPECT_EQ(std::memcmp(&loaded, "\x05\x05\x05\x05" "abc\x03", 8), 0) << "what was read stays";
}

TEST(VersionStamp, TextIsSignedAndNeverCut) {
    char buf[32];
    ZKVER_STAMP stamp = {1, 2, 3, 4, 'a', {}};
    ASSERT_TRUE(zkver_format(&stamp, buf, 13));
    EXPECT_STREQ(buf, "1.2.3.4a");
    stamp.cSuffix = 0;
    stamp.cNumber2 = static_cast<signed char>(0xC8);
    ASSERT_TRUE(zkver_format(&stamp, buf, 13));
    EXPECT_STREQ(buf, "1.-56.3.4");

    ZKVER_STAMP widest = {-128, -128, -128, -128, 'z', {}};
    std::memset(buf, '#', sizeof buf);
    EXPECT_FALSE(zkver_format(&widest, buf, ZKVER_TEXT_SIZE - 1));
    EXPECT_EQ(buf[0], '#');
    ASSERT_TRUE(zkver_format(&widest, buf, ZKVER_TEXT_SIZE));
    EXPECT_STREQ(buf, "-128.-128.-128.-128z");
}

TEST(VersionStamp, PathReplacesTheModuleFileNameAndFits) {
    char path[ZKVER_PATH_SIZE + 8];
    ASSERT_TRUE(zkver_file_path("C:\\Prod\\bin\\ZKXMisc.dll", 23, path));
    EXPECT_STREQ(path, "C:\\Prod\\bin\\zkx.ver");
    ASSERT_TRUE(zkver_file_path("C:x.dll", 7, path));
    EXPECT_STREQ(path, "C:zkx.ver");
    ASSERT_TRUE(zkver_file_path("\\x.dll", 6, path));
    EXPECT_STREQ(path, "\\zkx.ver");
    // A short file name deep down leaves no room for "zkx.ver".
    std::string deep = "C:\\" + std::string(250, 'd') + "\\a.so";
    std::memset(path, '#', sizeof path);
    EXPECT_FALSE(zkver_file_path(deep.c_str(), DWORD(deep.size()), path));
    EXPECT_EQ(path[ZKVER_PATH_SIZE], '#');
    deep.erase(3, 1);  // now "zkx.ver" ends exactly at the 260th character
    EXPECT_TRUE(zkver_file_path(deep.c_str(), DWORD(deep.size()), path));
    EXPECT_EQ(std::strlen(path), 260u);
}

}  // namespace
