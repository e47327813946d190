// Share modes, within one process and across processes, and the debug log's
// pattern: processes appending one record at a time while others read.
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
        {GENERIC_READ, kShareRW, GENERIC_WRITE, FILE_SHARE_READ, true},  // the log's writer after its reader
        {kRW, kShareRW, kRW, kShareRW, true},
        {kRW, kShareRW, DELETE, kShareRW, false},
    };
    for (const auto& k : cases) {
        HANDLE first = open_path(path, k.access1, k.share1);
        ASSERT_NE(first, INVALID_HANDLE_VALUE);
        EXPECT_EQ(open_result(path, k.access2, k.share2, OPEN_EXISTING),
                  k.second_opens ? 0 : DWORD(ERROR_SHARING_VIOLATION)) << "case " << &k - cases;
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

}  // namespace

// Appends its records one open of the log at a time.  The writers take
// turns as the log's named mutex makes them, here by holding a file of
// their own unshared, so that the log's share modes alone decide whether a
// reader ever keeps a writer out: it must not.
ZKX_CHILD(append_records) {
    for (int i = 0; i < kRecords; ++i) {
        std::string line = record(args[1][0], i);
        HANDLE turn;
        while ((turn = open_path(args[0] + ".turn", GENERIC_WRITE, 0)) == INVALID_HANDLE_VALUE) {
            if (GetLastError() != ERROR_SHARING_VIOLATION) return 2;
            Sleep(0);
        }
        HANDLE h = open_path(args[0], GENERIC_WRITE, FILE_SHARE_READ);
        DWORD n = 0;
        bool ok = h != INVALID_HANDLE_VALUE && SetFilePointer(h, 0, nullptr, FILE_END) != INVALID_SET_FILE_POINTER &&
                  WriteFile(h, line.data(), DWORD(line.size()), &n, nullptr) && n == line.size();
        CloseHandle(h);
        CloseHandle(turn);
        if (!ok) return 3;
    }
    return 0;
}

TEST(FileShare, ProcessesAppendWholeRecordsWhileOthersRead) {
    std::string log = make_dir("log") + "/Trace.log";
    pid_t pids[2] = {spawn_child("append_records", {log, "A"}), spawn_child("append_records", {log, "B"})};
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

    std::istringstream in(read_file(log));
    int next[2] = {0, 0};
    for (std::string line; std::getline(in, line); ++next[line[0] == 'B']) {
        ASSERT_EQ(line + "\n", record(line[0], next[line[0] == 'B'])) << "after " << next[0] + next[1] << " lines";
    }
    EXPECT_EQ(next[0], kRecords);
    EXPECT_EQ(next[1], kRecords);
}
