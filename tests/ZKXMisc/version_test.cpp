// Version strings compared part by part, and the eight-byte stamp's file, text and path.
#ifndef _WIN32
#include <signal.h>
#include <sys/resource.h>
#endif

#include <filesystem>

#include "ZKVer.h"
#include "ZKVerPriv.h"
#include "misc_test_util.h"

using namespace zkx::test;

namespace {

TEST(CompareVersion, OrdersPartByPart) {
    const std::string fits(255, '1'), too_long(256, '1');
    const struct { std::string a, b; DWORD result; LONG order; } cases[] = {
        {"1.2", "1.2.0", 0, 0},  {"1.2.", "1.2", 0, 0},    {"1..2", "1.0.2", 0, 0},  {"1.10", "1.9", 0, 1},
        {"010", "10", 0, 0},     {"1.2a", "1.2b", 0, -1}, {"1.2Az", "1.2aZ", 0, 0}, {"1.2z", "1.3", 0, -1},
        {"1.2zz", "1.3", 0, 1},  {"1.1a2", "1.12a", 0, 0}, {"1 .2", "1.2", 0, 0},   {"", "0.1", 0, -1},
        {"1.1", "1.0.\xE9", 0, 1}, {"1-2", "1", ERROR_INVALID_PARAMETER, 0}, {fits, fits, 0, 0},
        {"1.0", "1.0.\xE9", ERROR_INVALID_PARAMETER, 0}, {too_long, "1", ERROR_INVALID_PARAMETER, 0},
        // 32 * 134217727 + 26 + 5 is 0xFFFFFFFF, the invalid mark, however
        // it was reached; one less is an ordinary part.
        {"134217727ze", "1", ERROR_INVALID_PARAMETER, 0}, {"1", "134217727ez", ERROR_INVALID_PARAMETER, 0},
        {"134217727zd", "1", 0, 1},
    };
    for (const auto& c : cases) {
        LONG order = 77;
        EXPECT_EQ(ZKCompareVersion(c.a.c_str(), c.b.c_str(), &order), c.result) << c.a << " vs " << c.b;
        EXPECT_EQ(order, c.order) << c.a << " vs " << c.b;
    }
    LONG order = 5;
    EXPECT_EQ(ZKCompareVersion(nullptr, "1", &order), DWORD(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(ZKCompareVersion("1", "1", nullptr), DWORD(ERROR_INVALID_PARAMETER));
}

#ifndef _WIN32
// A save that cannot write its 8 bytes (a full disk; here a 4-byte size limit) fails.
ZKX_CHILD(save_past_a_file_size_limit) {
    signal(SIGXFSZ, SIG_IGN);
    rlimit limit{4, 4};
    setrlimit(RLIMIT_FSIZE, &limit);
    ZKVER_STAMP stamp = {5, 6, 7, 8, 0, {0, 0, 0}};
    return zkver_save_to(args[0].c_str(), &stamp) == nullptr ? 0 : 1;
}
#endif

// A save leaves exactly the 8 bytes in the file; one that fails leaves the old
// stamp whole, with no temporary file beside it.  The text is signed and never
// cut; the module's file name gives way to "zkx.ver", which must fit.
TEST(VersionStamp, FileTextAndPathHoldWholeOrFail) {
    const std::string dir = temp_dir() + "/ver", file = dir + "/zkx.ver";
    std::filesystem::create_directories(dir);
    write_file(file, std::string(40, 'o'));
    ZKVER_STAMP stamp = {1, 2, 3, -4, 'b', {0x00, 0xFF, 0x7E}}, loaded;
    ASSERT_EQ(zkver_save_to(file.c_str(), &stamp), &stamp);
    EXPECT_EQ(read_file(file), std::string("\x01\x02\x03\xFC" "b\x00\xFF\x7E", 8));
    EXPECT_EQ(zkver_save_to((file + "/no/such/dir").c_str(), &stamp), nullptr);
#ifndef _WIN32
    EXPECT_EQ(wait_child(spawn_child("save_past_a_file_size_limit", {file})), 0) << "the save reported success";
#endif
    ASSERT_EQ(zkver_load_from(file.c_str(), &loaded), &loaded);
    EXPECT_EQ(std::memcmp(&loaded, &stamp, 8), 0);
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir), {}), 1);

    char buf[32], path[ZKVER_PATH_SIZE + 8];
    ASSERT_TRUE(zkver_format(&stamp, buf, 10));
    EXPECT_STREQ(buf, "1.2.3.-4b");
    const ZKVER_STAMP widest = {-128, -128, -128, -128, 'z', {}};
    std::memset(buf, '#', sizeof buf);
    EXPECT_FALSE(zkver_format(&widest, buf, ZKVER_TEXT_SIZE - 1));
    EXPECT_EQ(buf[0], '#');
    ASSERT_TRUE(zkver_format(&widest, buf, ZKVER_TEXT_SIZE));
    EXPECT_STREQ(buf, "-128.-128.-128.-128z");

    std::string deep = "C:\\" + std::string(250, 'd') + "\\a.so";
    std::memset(path, '#', sizeof path);
    EXPECT_FALSE(zkver_file_path(deep.c_str(), DWORD(deep.size()), path));
    EXPECT_EQ(path[ZKVER_PATH_SIZE], '#');
    deep.erase(3, 1);  // now "zkx.ver" ends exactly at the 260th character
    ASSERT_TRUE(zkver_file_path(deep.c_str(), DWORD(deep.size()), path));
    EXPECT_EQ(std::string(path), deep.substr(0, deep.size() - 4) + "zkx.ver");
}

}  // namespace
