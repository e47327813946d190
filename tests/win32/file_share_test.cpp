// Share modes, within one process and across processes, and the debug log's
// pattern: processes appending one record at a time while others read.
#include <fcntl.h>
#ifndef _WIN32
#include <sys/file.h>
#endif

#include <algorithm>
#include <cstdio>
#include <sstream>

#include "fs_test_helpers.h"

using namespace zkx::test;

namespace {

constexpr DWORD kRW = GENERIC_READ | GENERIC_WRITE;
constexpr DWORD kShareRW = FILE_SHARE_READ | FILE_SHARE_WRITE;

}  // namespace

TEST(FileShare, SecondOpenMustAgreeWithTheFirst) {
    std::string path = make_dir("share") + "/f";
    struct {
        DWORD access1, share1, access2, share2;
        bool second_opens;
    } const cases[] = {
        {GENERIC_WRITE, FILE_SHARE_READ, GENERIC_WRITE, FILE_SHARE_READ, false},
        {GENERIC_WRITE, FILE_SHARE_READ, GENERIC_READ, kShareRW, true},
        {GENERIC_WRITE, FILE_SHARE_READ, GENERIC_READ, FILE_SHARE_READ, false},  // would deny the writer
        {GENERIC_WRITE, FILE_SHARE_READ, 0, 0, true},                           // attributes only
        {GENERIC_READ, 0, GENERIC_READ, kShareRW, false},
        {GENERIC_READ, FILE_SHARE_READ, GENERIC_READ, FILE_SHARE_READ, true},
        {kRW, kShareRW, kRW, kShareRW, true},
        {kRW, kShareRW, DELETE, kShareRW, false},
    };
    for (const auto& k : cases) {
        SCOPED_TRACE(testing::Message() << std::hex << k.access1 << "/" << k.share1 << " then " << k.access2
                                        << "/" << k.share2);
        HANDLE first = open_path(path, k.access1, k.share1);
        ASSERT_NE(first, INVALID_HANDLE_VALUE);
        EXPECT_EQ(open_result(path, k.access2, k.share2, OPEN_EXISTING),
                  k.second_opens ? 0 : DWORD(ERROR_SHARING_VIOLATION));
        CloseHandle(first);
        EXPECT_EQ(open_result(path, kRW, 0, OPEN_EXISTING), 0u);  // closing gave it up entirely
    }
}

TEST(FileShare, RefusedOpensAndDeletesLeaveTheFileAlone) {
    std::string path = make_dir("share") + "/f";
    write_file(path, "content");
    HANDLE reader = open_path(path, GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING);
    EXPECT_EQ(open_result(path, GENERIC_WRITE, kShareRW, CREATE_ALWAYS), DWORD(ERROR_SHARING_VIOLATION));
    EXPECT_EQ(read_file(path), "content");
    EXPECT_EQ(failure(!DeleteFileA(path.c_str())), DWORD(ERROR_SHARING_VIOLATION));
    CloseHandle(reader);
    reader = open_path(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, OPEN_EXISTING);
    EXPECT_TRUE(DeleteFileA(path.c_str()));
    CloseHandle(reader);
}

ZKX_CHILD(hold_exclusively) {
    if (open_path(args[0], kRW, 0) == INVALID_HANDLE_VALUE) return 1;
    write_file(args[1], "ready");
    for (;;) Sleep(60000);  // until killed
}

TEST(FileShare, ConflictsReachAcrossProcessesAndEndWithTheHolder) {
    std::string dir = make_dir("share");
    pid_t child = spawn_child("hold_exclusively", {dir + "/f", dir + "/ready"});
    ASSERT_GT(child, 0);
    ASSERT_TRUE(wait_until([&] { return !read_file(dir + "/ready").empty(); }, 20000));
    EXPECT_EQ(open_result(dir + "/f", GENERIC_READ, kShareRW, OPEN_EXISTING), DWORD(ERROR_SHARING_VIOLATION));
    kill_child(child);
    EXPECT_EQ(wait_child(child), kKilledStatus);
    EXPECT_EQ(open_result(dir + "/f", GENERIC_READ, 0, OPEN_EXISTING), 0u);
}

namespace {

constexpr int kRecords = 300;

std::string record(char writer, int seq) {
    char line[80];
    snprintf(line, sizeof line, "%c %05d ........................................\r\n", writer, seq);
    return line;
}

// Serialises the writers as the log's named mutex does: on Linux a lock
// (flock: one per open file) on a file of its own, so that it cannot
// interfere with the file it guards (nor lean on the layer's kernel
// objects); on Windows a named mutex.
class Guard {
public:
#ifdef _WIN32
    explicit Guard(std::string path) {
        for (char& c : path) c = c == '\\' ? '/' : c;
        mutex_ = CreateMutexA(nullptr, FALSE, ("guard-" + path).c_str());
    }
    ~Guard() { CloseHandle(mutex_); }
    bool ok() const { return mutex_ != nullptr; }
    void lock() { WaitForSingleObject(mutex_, INFINITE); }
    void unlock() { ReleaseMutex(mutex_); }

private:
    HANDLE mutex_;
#else
    explicit Guard(const std::string& path) : fd_(::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600)) {}
    ~Guard() { if (fd_ >= 0) close(fd_); }
    bool ok() const { return fd_ >= 0; }
    void lock() { set(LOCK_EX); }
    void unlock() { set(LOCK_UN); }

private:
    void set(int op) {
        while (flock(fd_, op) != 0 && errno == EINTR) {
        }
    }
    int fd_;
#endif
};

}  // namespace

ZKX_CHILD(append_records) {
    Guard guard(args[1]);
    for (int i = 0; i < kRecords && guard.ok(); ++i) {
        std::string line = record(args[2][0], i);
        guard.lock();
        HANDLE h = open_path(args[0], GENERIC_WRITE, FILE_SHARE_READ);
        DWORD n = 0;
        bool ok = h != INVALID_HANDLE_VALUE && SetFilePointer(h, 0, nullptr, FILE_END) != INVALID_SET_FILE_POINTER &&
                  WriteFile(h, line.data(), DWORD(line.size()), &n, nullptr) && n == line.size();
        CloseHandle(h);
        guard.unlock();
        if (!ok) return 3;
    }
    return guard.ok() ? 0 : 2;
}

TEST(FileShare, ProcessesAppendWholeRecordsWhileOthersRead) {
    std::string dir = make_dir("log"), log = dir + "/Trace.log";
    pid_t pids[2] = {spawn_child("append_records", {log, dir + "/guard", "A"}),
                     spawn_child("append_records", {log, dir + "/guard", "B"})};
    ASSERT_GT(std::min(pids[0], pids[1]), 0);
    // A reader that shares read and write gets in at any moment.
    int refused = 0, running = 2, st = -1;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (running > 0 && std::chrono::steady_clock::now() < deadline) {
        HANDLE h = open_path(log, GENERIC_READ, kShareRW, OPEN_EXISTING);
        char buf[512];
        DWORD n = 0;
        refused += h == INVALID_HANDLE_VALUE && GetLastError() != ERROR_FILE_NOT_FOUND;
        ReadFile(h, buf, sizeof buf, &n, nullptr);
        CloseHandle(h);
        for (pid_t& pid : pids) {
            if (pid > 0 && child_exited(pid, &st)) {
                EXPECT_EQ(st, 0);
                pid = 0, --running;
            }
        }
    }
    for (pid_t pid : pids) {
        if (pid > 0) kill_child(pid), wait_child(pid);  // hung: do not leave it behind
    }
    ASSERT_EQ(running, 0);
    EXPECT_EQ(refused, 0);
    // The writers may have finished before the first look on a busy machine;
    // the reader still shares the file with whatever they left.
    HANDLE h = open_path(log, GENERIC_READ, kShareRW, OPEN_EXISTING);
    char buf[64];
    DWORD n = 0;
    EXPECT_TRUE(ReadFile(h, buf, sizeof buf, &n, nullptr) && n > 0);
    CloseHandle(h);

    std::istringstream in(read_file(log));
    int next[2] = {0, 0};
    for (std::string line; std::getline(in, line); ++next[line[0] == 'B']) {
        ASSERT_EQ(line + "\n", record(line[0], next[line[0] == 'B'])) << "after " << next[0] + next[1] << " lines";
    }
    EXPECT_EQ(next[0], kRecords);
    EXPECT_EQ(next[1], kRecords);
}
