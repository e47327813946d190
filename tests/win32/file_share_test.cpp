// Share modes, within one process and across processes, and the log
// writer's pattern: many processes appending one record at a time.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <sstream>
#include <string>
#include <vector>

#include "child.h"
#include "fs_test_helpers.h"
#include "zkxwin32.h"

using namespace zkx::test;

namespace {

constexpr DWORD kRW = GENERIC_READ | GENERIC_WRITE;
constexpr DWORD kShareRW = FILE_SHARE_READ | FILE_SHARE_WRITE;

HANDLE open_path(const std::string& path, DWORD access, DWORD share, DWORD disposition = OPEN_ALWAYS) {
    return CreateFileA(path.c_str(), access, share, nullptr, disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
}

bool wait_for_file(const std::string& path, int timeout_ms = 20000) {
    struct stat st;
    for (int waited = 0; waited < timeout_ms; waited += 2) {
        if (stat(path.c_str(), &st) == 0) return true;
        usleep(2000);
    }
    return false;
}

struct ShareCase {
    DWORD first_access, first_share, second_access, second_share;
    bool second_opens;
};

}  // namespace

TEST(FileShare, SecondOpenMustAgreeWithTheFirst) {
    std::string path = make_dir("share") + "/f";
    const ShareCase cases[] = {
        {GENERIC_WRITE, FILE_SHARE_READ, GENERIC_WRITE, FILE_SHARE_READ, false},
        {GENERIC_WRITE, FILE_SHARE_READ, GENERIC_READ, kShareRW, true},
        {GENERIC_WRITE, FILE_SHARE_READ, GENERIC_READ, FILE_SHARE_READ, false},  // would deny the writer
        {GENERIC_WRITE, FILE_SHARE_READ, 0, 0, true},                           // attributes only
        {GENERIC_READ, 0, GENERIC_READ, kShareRW, false},
        {GENERIC_READ, FILE_SHARE_READ, GENERIC_READ, FILE_SHARE_READ, true},
        {GENERIC_READ, FILE_SHARE_READ, GENERIC_WRITE, kShareRW, false},
        {kRW, kShareRW, kRW, kShareRW, true},
        {kRW, kShareRW, DELETE, kShareRW, false},
        {DELETE, kShareRW | FILE_SHARE_DELETE, DELETE, kShareRW | FILE_SHARE_DELETE, true},
    };
    for (const auto& k : cases) {
        SCOPED_TRACE(testing::Message() << std::hex << "first " << k.first_access << "/" << k.first_share
                                        << ", second " << k.second_access << "/" << k.second_share);
        HANDLE a = open_path(path, k.first_access, k.first_share);
        ASSERT_NE(a, INVALID_HANDLE_VALUE);
        SetLastError(0);
        HANDLE b = open_path(path, k.second_access, k.second_share);
        EXPECT_EQ(b != INVALID_HANDLE_VALUE, k.second_opens);
        if (b != INVALID_HANDLE_VALUE) {
            CloseHandle(b);
        } else {
            EXPECT_EQ(GetLastError(), DWORD(ERROR_SHARING_VIOLATION));
        }
        CloseHandle(a);
        // Closing gives the file up completely.
        b = open_path(path, kRW, 0);
        EXPECT_NE(b, INVALID_HANDLE_VALUE);
        CloseHandle(b);
    }
}

TEST(FileShare, RefusedOpensAndDeletesLeaveTheFileAlone) {
    std::string path = make_dir("share") + "/f";
    write_text(path, "content");
    HANDLE reader = open_path(path, GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING);
    ASSERT_NE(reader, INVALID_HANDLE_VALUE);
    EXPECT_EQ(open_path(path, GENERIC_WRITE, kShareRW, CREATE_ALWAYS), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_SHARING_VIOLATION));
    EXPECT_EQ(read_text(path), "content");
    EXPECT_FALSE(DeleteFileA(path.c_str()));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_SHARING_VIOLATION));
    CloseHandle(reader);

    reader = open_path(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, OPEN_EXISTING);
    ASSERT_NE(reader, INVALID_HANDLE_VALUE);
    EXPECT_TRUE(DeleteFileA(path.c_str()));
    CloseHandle(reader);
}

ZKX_CHILD(hold_exclusively) {
    HANDLE h = open_path(args[0], kRW, 0);
    if (h == INVALID_HANDLE_VALUE) return 1;
    write_text(args[1], "ready");
    pause();  // until killed
    return 0;
}

TEST(FileShare, ConflictsReachAcrossProcessesAndEndWithTheHolder) {
    std::string dir = make_dir("share");
    std::string path = dir + "/f", ready = dir + "/ready";
    pid_t child = spawn_child("hold_exclusively", {path, ready});
    ASSERT_GT(child, 0);
    ASSERT_TRUE(wait_for_file(ready));
    EXPECT_EQ(open_path(path, GENERIC_READ, kShareRW), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_SHARING_VIOLATION));
    kill(child, SIGKILL);
    EXPECT_EQ(wait_child(child), 128 + SIGKILL);
    HANDLE h = open_path(path, GENERIC_READ, 0);
    EXPECT_NE(h, INVALID_HANDLE_VALUE);
    CloseHandle(h);
}

namespace {

constexpr int kRecords = 300;

std::string record(const std::string& writer, int seq) {
    char line[80];
    snprintf(line, sizeof line, "%s %05d ........................................\r\n", writer.c_str(), seq);
    return line;
}

// Serialises the writers as the log's named mutex will; an OFD lock on a
// file of its own, so it cannot interfere with what it guards.
class GuardLock {
public:
    explicit GuardLock(int fd) : fd_(fd) { set(F_WRLCK); }
    ~GuardLock() { set(F_UNLCK); }

private:
    void set(short type) {
        struct flock fl = {};
        fl.l_type = type;
        fl.l_whence = SEEK_SET;
        fl.l_len = 1;
        while (fcntl(fd_, F_OFD_SETLKW, &fl) != 0 && errno == EINTR) {
        }
    }
    int fd_;
};

}  // namespace

ZKX_CHILD(append_records) {
    const std::string& log = args[0];
    int guard_fd = ::open(args[1].c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (guard_fd < 0) return 2;
    for (int i = 0; i < kRecords; ++i) {
        std::string line = record(args[2], i);
        GuardLock guard(guard_fd);
        HANDLE h = open_path(log, GENERIC_WRITE, FILE_SHARE_READ);
        if (h == INVALID_HANDLE_VALUE) return 3;
        DWORD n = 0;
        bool ok = SetFilePointer(h, 0, nullptr, FILE_END) != INVALID_SET_FILE_POINTER &&
                  WriteFile(h, line.data(), DWORD(line.size()), &n, nullptr) && n == line.size();
        CloseHandle(h);
        if (!ok) return 4;
    }
    return 0;
}

TEST(FileShare, ProcessesAppendWholeRecordsWhileOthersRead) {
    std::string dir = make_dir("log");
    std::string log = dir + "/Trace.log", guard = dir + "/guard";
    pid_t a = spawn_child("append_records", {log, guard, "A"});
    pid_t b = spawn_child("append_records", {log, guard, "B"});
    ASSERT_GT(a, 0);
    ASSERT_GT(b, 0);

    // A reader sharing read and write must get in at any moment while the
    // writers run.
    int refused = 0, reads_with_data = 0;
    int codes[2] = {-1, -1};
    pid_t pids[2] = {a, b};
    while (codes[0] < 0 || codes[1] < 0) {
        HANDLE h = open_path(log, GENERIC_READ, kShareRW, OPEN_EXISTING);
        if (h != INVALID_HANDLE_VALUE) {
            char buf[512];
            DWORD n = 0;
            if (ReadFile(h, buf, sizeof buf, &n, nullptr) && n > 0) ++reads_with_data;
            CloseHandle(h);
        } else if (GetLastError() != ERROR_FILE_NOT_FOUND) {
            ++refused;
        }
        for (int i = 0; i < 2; ++i) {
            int st = 0;
            if (codes[i] < 0 && waitpid(pids[i], &st, WNOHANG) == pids[i]) {
                codes[i] = WIFEXITED(st) ? WEXITSTATUS(st) : 128;
            }
        }
    }
    EXPECT_EQ(refused, 0);
    EXPECT_GT(reads_with_data, 0);
    EXPECT_EQ(codes[0], 0);
    EXPECT_EQ(codes[1], 0);

    std::istringstream in(read_text(log));
    std::string line;
    int next[2] = {0, 0};
    int lines = 0;
    while (std::getline(in, line)) {
        ++lines;
        ASSERT_EQ(line + "\n", record(line.substr(0, 1), next[line[0] == 'B'])) << "line " << lines;
        ++next[line[0] == 'B'];
    }
    EXPECT_EQ(next[0], kRecords);
    EXPECT_EQ(next[1], kRecords);
}
