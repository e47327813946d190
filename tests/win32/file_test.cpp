#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "fs_test_helpers.h"

using namespace zkx::test;

namespace {

class Files : public ::testing::Test {
protected:
    std::string c_ = make_dir("c");
    ScopedEnv drive_c_{"ZKX_DRIVE_C", c_};
};

}  // namespace

TEST_F(Files, CreationDispositionsAndTheirLastErrors) {
    // disposition, file there before, error of a failure or 0, last error
    // after success, content afterwards (null: no file)
    struct { DWORD disposition; bool exists; DWORD failure, last_error; const char* content; } const cases[] = {
        {CREATE_NEW, false, 0, 0, ""},           {CREATE_NEW, true, ERROR_FILE_EXISTS, 0, "old"},
        {CREATE_ALWAYS, false, 0, 0, ""},        {CREATE_ALWAYS, true, 0, ERROR_ALREADY_EXISTS, ""},
        {OPEN_EXISTING, false, 2, 0, nullptr},   {OPEN_EXISTING, true, 0, 0, "old"},
        {OPEN_ALWAYS, false, 0, 0, ""},          {OPEN_ALWAYS, true, 0, ERROR_ALREADY_EXISTS, "old"},
        {TRUNCATE_EXISTING, false, 2, 0, nullptr}, {TRUNCATE_EXISTING, true, 0, 0, ""},
    };
    std::string host = c_ + "/f.txt";
    for (const auto& k : cases) {
        SCOPED_TRACE(testing::Message() << "disposition " << k.disposition << (k.exists ? " on a file" : ""));
        unlink(host.c_str());
        if (k.exists) write_text(host, "old");
        SetLastError(12345);
        HANDLE h = open_path("C:\\f.txt", GENERIC_WRITE, 0, k.disposition);
        EXPECT_EQ(h == INVALID_HANDLE_VALUE ? GetLastError() : 0, k.failure);
        if (h != INVALID_HANDLE_VALUE) {
            EXPECT_EQ(GetLastError(), k.last_error);
            EXPECT_TRUE(CloseHandle(h));
        }
        EXPECT_EQ(read_text(host), k.content ? k.content : "");
        EXPECT_EQ(access(host.c_str(), F_OK) == 0, k.content != nullptr);
    }
    make_dir("c/dir");
    EXPECT_EQ(open_result("C:\\no\\new", GENERIC_WRITE, 0, CREATE_ALWAYS), DWORD(ERROR_PATH_NOT_FOUND));
    EXPECT_EQ(open_result("C:\\f.txt\\below", GENERIC_READ, 0, OPEN_EXISTING), DWORD(ERROR_PATH_NOT_FOUND));
    EXPECT_EQ(open_result("C:\\dir", GENERIC_READ, 0, OPEN_EXISTING), DWORD(ERROR_ACCESS_DENIED));
    EXPECT_EQ(open_result("C:\\f.txt", GENERIC_READ, 0, 6), DWORD(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(open_result("C:\\f.txt", GENERIC_READ, 0, TRUNCATE_EXISTING), DWORD(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(open_result("C:\\f.txt", GENERIC_READ, 0x100, OPEN_EXISTING), DWORD(ERROR_INVALID_PARAMETER));
}

TEST_F(Files, ReadWriteSeekSizeAndTheChecksOfHandleAccessAndArguments) {
    HANDLE h = open_path("C:\\data.bin", GENERIC_READ | GENERIC_WRITE, 0, CREATE_NEW);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    DWORD n = 0;
    ASSERT_TRUE(WriteFile(h, "hello world", 11, &n, nullptr) && n == 11u);
    EXPECT_EQ(GetFileSize(h, nullptr), 11u);
    EXPECT_EQ(SetFilePointer(h, 6, nullptr, FILE_BEGIN), 6u);
    char buf[64];
    ASSERT_TRUE(ReadFile(h, buf, sizeof buf, &n, nullptr));
    EXPECT_EQ(std::string(buf, n), "world");
    EXPECT_TRUE(ReadFile(h, buf, sizeof buf, &n, nullptr));  // end of file is no failure
    EXPECT_EQ(n, 0u);
    EXPECT_EQ(SetFilePointer(h, -3, nullptr, FILE_END), 8u);
    EXPECT_EQ(SetFilePointer(h, -100, nullptr, FILE_CURRENT), INVALID_SET_FILE_POINTER);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_NEGATIVE_SEEK));
    EXPECT_EQ(SetFilePointer(h, 1, nullptr, FILE_CURRENT), 9u);  // the failure did not move it

    // Past 4 GiB only with the high part, in both directions.
    LONG high = 1;
    EXPECT_EQ(SetFilePointer(h, 0x40000000, &high, FILE_BEGIN), 0x40000000u);
    ASSERT_TRUE(WriteFile(h, "z", 1, &n, nullptr));
    DWORD size_high = 0;
    EXPECT_EQ(GetFileSize(h, &size_high), 0x40000001u);
    EXPECT_EQ(size_high, 1u);
    EXPECT_EQ(SetFilePointer(h, 0, nullptr, FILE_END), INVALID_SET_FILE_POINTER);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_PARAMETER));
    high = 0;
    SetLastError(99);
    EXPECT_EQ(SetFilePointer(h, -1, &high, FILE_BEGIN), 0xFFFFFFFFu);  // a position, not a failure
    EXPECT_EQ(GetLastError(), 0u);
    high = -1;
    EXPECT_EQ(SetFilePointer(h, 0, &high, FILE_BEGIN), INVALID_SET_FILE_POINTER);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_NEGATIVE_SEEK));
    EXPECT_TRUE(CloseHandle(h));

    // Each handle may do only what it was opened for.
    HANDLE w = open_path("C:\\data.bin", GENERIC_WRITE, FILE_SHARE_READ, OPEN_EXISTING);
    HANDLE r = open_path("C:\\data.bin", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING);
    ASSERT_TRUE(w != INVALID_HANDLE_VALUE && r != INVALID_HANDLE_VALUE);
    n = 7;
    EXPECT_EQ(failure(!ReadFile(w, buf, sizeof buf, &n, nullptr)), DWORD(ERROR_ACCESS_DENIED));
    EXPECT_EQ(n, 0u);
    EXPECT_EQ(failure(!WriteFile(r, "x", 1, &n, nullptr)), DWORD(ERROR_ACCESS_DENIED));
    EXPECT_TRUE(CloseHandle(w) && CloseHandle(r));
    for (HANDLE bad : {w, HANDLE(nullptr), INVALID_HANDLE_VALUE}) {
        EXPECT_EQ(failure(!WriteFile(bad, "x", 1, &n, nullptr)), DWORD(ERROR_INVALID_HANDLE));
        EXPECT_EQ(failure(GetFileSize(bad, nullptr) == INVALID_FILE_SIZE), DWORD(ERROR_INVALID_HANDLE));
    }
}

TEST_F(Files, CallsByNameAndTheProcessErrorMode) {
    write_text(c_ + "/file", "x");
    EXPECT_TRUE(CreateDirectoryA("C:\\New", nullptr));
    EXPECT_EQ(GetFileAttributesA("c:\\new\\"), DWORD(FILE_ATTRIBUTE_DIRECTORY));
    EXPECT_EQ(failure(!CreateDirectoryA("C:\\NEW", nullptr)), DWORD(ERROR_ALREADY_EXISTS));
    EXPECT_EQ(failure(!CreateDirectoryA("C:\\a\\b", nullptr)), DWORD(ERROR_PATH_NOT_FOUND));
    EXPECT_EQ(failure(!CreateDirectoryA(("C:\\" + std::string(245, 'x')).c_str(), nullptr)),
              DWORD(ERROR_FILENAME_EXCED_RANGE));
    chmod((c_ + "/file").c_str(), 0444);
    EXPECT_EQ(GetFileAttributesA("C:\\file"), DWORD(FILE_ATTRIBUTE_READONLY));
    EXPECT_EQ(failure(GetFileAttributesA("C:\\none") == INVALID_FILE_ATTRIBUTES), DWORD(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(failure(GetFileAttributesA("C:\\none\\x") == INVALID_FILE_ATTRIBUTES), DWORD(ERROR_PATH_NOT_FOUND));

    EXPECT_EQ(failure(!DeleteFileA("C:\\new")), DWORD(ERROR_ACCESS_DENIED));
    EXPECT_TRUE(DeleteFileA("C:\\File"));
    EXPECT_EQ(failure(!DeleteFileA("C:\\file")), DWORD(ERROR_FILE_NOT_FOUND));

    // fopen takes Windows paths too.
    FILE* f = zkx_fopen("C:\\new\\zkx.ver", "wb");
    ASSERT_NE(f, nullptr);
    fwrite("12345678", 1, 8, f);
    fclose(f);
    EXPECT_EQ(read_text(c_ + "/New/zkx.ver"), "12345678");
    EXPECT_EQ(failure(zkx_fopen("C:\\new\\missing", "rb") == nullptr), DWORD(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(errno, ENOENT);
    EXPECT_EQ(failure(zkx_fopen("Q:\\x", "rb") == nullptr), DWORD(ERROR_PATH_NOT_FOUND));
    EXPECT_EQ(failure(zkx_fopen("C:\\x", nullptr) == nullptr), DWORD(ERROR_INVALID_PARAMETER));

    // The error mode is process-wide and keeps the alignment bit once set.
    SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX);
    EXPECT_EQ(SetErrorMode(SEM_NOALIGNMENTFAULTEXCEPT), SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX);
    EXPECT_EQ(SetErrorMode(SEM_FAILCRITICALERRORS), SEM_NOALIGNMENTFAULTEXCEPT);
    EXPECT_EQ(GetErrorMode(), SEM_FAILCRITICALERRORS | SEM_NOALIGNMENTFAULTEXCEPT);
}
