#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "fs_test_helpers.h"
#include "zkxwin32.h"

using namespace zkx::test;

namespace {

class Files : public ::testing::Test {
protected:
    std::string c_ = make_dir("c");
    ScopedEnv drive_c_{"ZKX_DRIVE_C", c_};

    HANDLE open(const char* path, DWORD access, DWORD share, DWORD disposition) {
        return CreateFileA(path, access, share, nullptr, disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
    }
};

struct DispositionCase {
    DWORD disposition;
    bool exists;
    bool opens;
    DWORD last_error;
    const char* content_after;  // nullptr: the file must not exist afterwards
};

}  // namespace

TEST_F(Files, CreationDispositionsAndTheirLastErrors) {
    const DispositionCase cases[] = {
        {CREATE_NEW, false, true, 0, ""},
        {CREATE_NEW, true, false, ERROR_FILE_EXISTS, "old"},
        {CREATE_ALWAYS, false, true, 0, ""},
        {CREATE_ALWAYS, true, true, ERROR_ALREADY_EXISTS, ""},
        {OPEN_EXISTING, false, false, ERROR_FILE_NOT_FOUND, nullptr},
        {OPEN_EXISTING, true, true, 0, "old"},
        {OPEN_ALWAYS, false, true, 0, ""},
        {OPEN_ALWAYS, true, true, ERROR_ALREADY_EXISTS, "old"},
        {TRUNCATE_EXISTING, false, false, ERROR_FILE_NOT_FOUND, nullptr},
        {TRUNCATE_EXISTING, true, true, 0, ""},
    };
    for (const auto& k : cases) {
        std::string host = c_ + "/f.txt";
        unlink(host.c_str());
        if (k.exists) write_text(host, "old");
        SetLastError(12345);
        HANDLE h = open("C:\\f.txt", GENERIC_WRITE, 0, k.disposition);
        SCOPED_TRACE("disposition " + std::to_string(k.disposition) + (k.exists ? " on a file" : " on nothing"));
        EXPECT_EQ(h != INVALID_HANDLE_VALUE, k.opens);
        EXPECT_EQ(GetLastError(), k.last_error);
        if (h != INVALID_HANDLE_VALUE) {
            EXPECT_TRUE(CloseHandle(h));
        }
        struct stat st;
        if (k.content_after) {
            EXPECT_EQ(read_text(host), k.content_after);
        } else {
            EXPECT_NE(stat(host.c_str(), &st), 0);
        }
    }
}

TEST_F(Files, OpenFailuresSayWhatIsWrong) {
    SetLastError(0);
    EXPECT_EQ(open("C:\\no\\such\\file", GENERIC_READ, 0, OPEN_EXISTING), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_PATH_NOT_FOUND));
    EXPECT_EQ(open("C:\\no\\new", GENERIC_WRITE, 0, CREATE_ALWAYS), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_PATH_NOT_FOUND));
    write_text(c_ + "/plain", "x");
    EXPECT_EQ(open("C:\\plain\\below", GENERIC_READ, 0, OPEN_EXISTING), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_PATH_NOT_FOUND));

    make_dir("c/dir");
    EXPECT_EQ(open("C:\\dir", GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_ACCESS_DENIED));
    EXPECT_EQ(open("C:\\dir", GENERIC_WRITE, 0, OPEN_ALWAYS), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_ACCESS_DENIED));

    EXPECT_EQ(open("C:\\plain", GENERIC_READ, 0, 0), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(open("C:\\plain", GENERIC_READ, 0, 6), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(open("C:\\plain", GENERIC_READ, 0, TRUNCATE_EXISTING), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(open("C:\\plain", GENERIC_READ, 0x100, OPEN_EXISTING), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(open(nullptr, GENERIC_READ, 0, OPEN_EXISTING), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(open("Q:\\x", GENERIC_READ, 0, OPEN_EXISTING), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_PATH_NOT_FOUND));
    EXPECT_EQ(read_text(c_ + "/plain"), "x");
}

TEST_F(Files, PermissionsAreEnforcedForOrdinaryUsers) {
    if (geteuid() == 0) GTEST_SKIP() << "root ignores file permissions";
    write_text(c_ + "/ro", "keep");
    chmod((c_ + "/ro").c_str(), 0444);
    SetLastError(0);
    EXPECT_EQ(open("C:\\ro", GENERIC_WRITE, 0, OPEN_EXISTING), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_ACCESS_DENIED));
    HANDLE h = open("C:\\ro", GENERIC_READ, 0, OPEN_EXISTING);
    EXPECT_NE(h, INVALID_HANDLE_VALUE);
    CloseHandle(h);
}

TEST_F(Files, ReadWriteSeekAndSize) {
    HANDLE h = open("C:\\data.bin", GENERIC_READ | GENERIC_WRITE, 0, CREATE_NEW);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    DWORD n = 0;
    ASSERT_TRUE(WriteFile(h, "hello world", 11, &n, nullptr));
    EXPECT_EQ(n, 11u);
    EXPECT_EQ(GetFileSize(h, nullptr), 11u);
    EXPECT_EQ(SetFilePointer(h, 6, nullptr, FILE_BEGIN), 6u);
    char buf[64] = {};
    ASSERT_TRUE(ReadFile(h, buf, sizeof buf, &n, nullptr));
    EXPECT_EQ(std::string(buf, n), "world");
    ASSERT_TRUE(ReadFile(h, buf, sizeof buf, &n, nullptr));  // end of file is no failure
    EXPECT_EQ(n, 0u);
    EXPECT_EQ(SetFilePointer(h, -3, nullptr, FILE_END), 8u);
    EXPECT_EQ(SetFilePointer(h, 1, nullptr, FILE_CURRENT), 9u);

    SetLastError(0);
    EXPECT_EQ(SetFilePointer(h, -100, nullptr, FILE_CURRENT), INVALID_SET_FILE_POINTER);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_NEGATIVE_SEEK));
    EXPECT_EQ(SetFilePointer(h, 0, nullptr, FILE_CURRENT), 9u);  // unmoved
    EXPECT_EQ(SetFilePointer(h, 0, nullptr, 3), INVALID_SET_FILE_POINTER);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_PARAMETER));

    // Positions past 4 GiB need the high part, in both directions.
    LONG high = 1;
    EXPECT_EQ(SetFilePointer(h, 0x40000000, &high, FILE_BEGIN), 0x40000000u);
    EXPECT_EQ(high, 1);
    ASSERT_TRUE(WriteFile(h, "z", 1, &n, nullptr));
    DWORD size_high = 0;
    EXPECT_EQ(GetFileSize(h, &size_high), 0x40000001u);
    EXPECT_EQ(size_high, 1u);
    EXPECT_EQ(SetFilePointer(h, 0, nullptr, FILE_END), INVALID_SET_FILE_POINTER);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_PARAMETER));
    high = 0;
    SetLastError(99);
    EXPECT_EQ(SetFilePointer(h, -1, &high, FILE_BEGIN), INVALID_SET_FILE_POINTER);  // 0xFFFFFFFF is a position
    EXPECT_EQ(GetLastError(), 0u);
    high = -1;
    EXPECT_EQ(SetFilePointer(h, 0, &high, FILE_BEGIN), INVALID_SET_FILE_POINTER);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_NEGATIVE_SEEK));
    EXPECT_TRUE(CloseHandle(h));
}

TEST_F(Files, CallsCheckTheHandleItsAccessAndTheirArguments) {
    HANDLE w = open("C:\\w", GENERIC_WRITE, FILE_SHARE_READ, CREATE_ALWAYS);
    HANDLE r = open("C:\\w", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING);
    ASSERT_NE(w, INVALID_HANDLE_VALUE);
    ASSERT_NE(r, INVALID_HANDLE_VALUE);
    char buf[4];
    DWORD n = 7;
    EXPECT_FALSE(ReadFile(w, buf, sizeof buf, &n, nullptr));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_ACCESS_DENIED));
    EXPECT_EQ(n, 0u);
    EXPECT_FALSE(WriteFile(r, "x", 1, &n, nullptr));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_ACCESS_DENIED));
    EXPECT_FALSE(WriteFile(w, nullptr, 1, &n, nullptr));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_PARAMETER));
    EXPECT_TRUE(WriteFile(w, nullptr, 0, &n, nullptr));
    OVERLAPPED* ov = reinterpret_cast<OVERLAPPED*>(buf);
    EXPECT_FALSE(WriteFile(w, "x", 1, &n, ov));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_PARAMETER));

    EXPECT_TRUE(CloseHandle(w));
    EXPECT_TRUE(CloseHandle(r));
    HANDLE event_like = nullptr;
    for (HANDLE bad : {w, event_like, INVALID_HANDLE_VALUE}) {
        SetLastError(0);
        EXPECT_FALSE(WriteFile(bad, "x", 1, &n, nullptr));
        EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_HANDLE));
        EXPECT_FALSE(ReadFile(bad, buf, 1, &n, nullptr));
        EXPECT_EQ(SetFilePointer(bad, 0, nullptr, FILE_BEGIN), INVALID_SET_FILE_POINTER);
        EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_HANDLE));
        EXPECT_EQ(GetFileSize(bad, nullptr), INVALID_FILE_SIZE);
        EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_HANDLE));
        EXPECT_FALSE(CloseHandle(bad));
    }
}

TEST_F(Files, CallsByName) {
    write_text(c_ + "/file", "x");
    EXPECT_EQ(GetFileAttributesA("C:\\FILE"), DWORD(FILE_ATTRIBUTE_NORMAL));
    EXPECT_TRUE(CreateDirectoryA("C:\\New", nullptr));
    EXPECT_EQ(GetFileAttributesA("c:\\new\\"), DWORD(FILE_ATTRIBUTE_DIRECTORY));
    EXPECT_FALSE(CreateDirectoryA("C:\\NEW", nullptr));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_ALREADY_EXISTS));
    EXPECT_FALSE(CreateDirectoryA("C:\\a\\b", nullptr));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_PATH_NOT_FOUND));
    chmod((c_ + "/file").c_str(), 0444);
    EXPECT_EQ(GetFileAttributesA("C:\\file"), DWORD(FILE_ATTRIBUTE_READONLY));

    EXPECT_EQ(GetFileAttributesA("C:\\none"), INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(GetFileAttributesA("C:\\none\\x"), INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_PATH_NOT_FOUND));

    EXPECT_FALSE(DeleteFileA("C:\\new"));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_ACCESS_DENIED));
    EXPECT_TRUE(DeleteFileA("C:\\File"));
    EXPECT_FALSE(DeleteFileA("C:\\file"));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_FILE_NOT_FOUND));
    EXPECT_FALSE(DeleteFileA(nullptr));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_PARAMETER));
}

TEST_F(Files, ErrorModeIsProcessWideAndKeepsTheAlignmentBit) {
    UINT first = SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX);
    EXPECT_EQ(SetErrorMode(0), SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX);
    SetErrorMode(SEM_NOALIGNMENTFAULTEXCEPT);
    EXPECT_EQ(SetErrorMode(SEM_FAILCRITICALERRORS), SEM_NOALIGNMENTFAULTEXCEPT);
    EXPECT_EQ(GetErrorMode(), SEM_FAILCRITICALERRORS | SEM_NOALIGNMENTFAULTEXCEPT);
    SetErrorMode(first);
}

TEST_F(Files, FopenTakesWindowsPaths) {
    make_dir("c/Prod");
    FILE* f = zkx_fopen("C:\\prod\\zkx.ver", "wb");
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(fwrite("12345678", 1, 8, f), 8u);
    fclose(f);
    EXPECT_EQ(read_text(c_ + "/Prod/zkx.ver"), "12345678");
    f = zkx_fopen("c:/PROD/ZKX.VER", "rb");
    ASSERT_NE(f, nullptr);
    fclose(f);

    SetLastError(0);
    EXPECT_EQ(zkx_fopen("C:\\prod\\missing", "rb"), nullptr);
    EXPECT_EQ(errno, ENOENT);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(zkx_fopen("Q:\\x", "rb"), nullptr);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_PATH_NOT_FOUND));
    EXPECT_EQ(zkx_fopen(nullptr, "rb"), nullptr);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(zkx_fopen("C:\\x", nullptr), nullptr);
}
