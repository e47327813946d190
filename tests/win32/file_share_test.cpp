// Share modes, within one process and across processes, and the debug log's
// pattern: processes appending one record at a time while others read.
#include <algorithm>

#include "fs_test_helpers.h"

using namespace zkx::test;

namespace {

constexpr DWORD kRW = GENERIC_READ | GENERIC_WRITE;
constexpr DWORD kShareRW = FILE_SHARE_READ | FILE_SHARE_WRITE;
constexpr int kRecords = 300;

}  // namespace

TEST(FileShare, SecondOpenMustAgreeWithTheFirstAndRefusalsChangeNothing) {
    std::string path = make_dir("share") + "/f";
    struct { DWORD access1, share1, access2, share2; bool second_opens; } const cases[] = {
        {GENERIC_WRITE, FILE_SHARE_READ, GENERIC_WRITE, FILE_SHARE_READ, false},
        {GENERIC_WRITE, FILE_SHARE_READ, GENERIC_READ, kShareRW, true},
        {GENERIC_WRITE, FILE_SHARE_READ, GENERIC_READ, FILE_SHARE_READ, false},  // would deny the writer
        {GENERIC_WRITE, FILE_SHARE_READ, 0, 0, true},                           // attributes only
        {GENERIC_READ, 0, GENERIC_READ, kShareRW, false},
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

    // Refused opens and deletes leave the file alone.
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

// Appends the record args[1] to the log args[0], one open at a time.  The
// writers take turns as the log's named mutex makes them, here by an
// unshared open of a file of their own: two such opens that race must never
// both get in, or one record would land on top of the other.
ZKX_CHILD(append_records) {
    for (int i = 0; i < kRecords; ++i) {
        HANDLE turn;
        while ((turn = open_path(args[0] + ".turn", GENERIC_WRITE, 0)) == INVALID_HANDLE_VALUE) {
            if (GetLastError() != ERROR_SHARING_VIOLATION) return 2;
        }
        HANDLE h = open_path(args[0], GENERIC_WRITE, FILE_SHARE_READ);
        DWORD n = 0;
        bool ok = SetFilePointer(h, 0, nullptr, FILE_END) != INVALID_SET_FILE_POINTER &&
                  WriteFile(h, args[1].data(), DWORD(args[1].size()), &n, nullptr);
        CloseHandle(h);
        CloseHandle(turn);
        if (!ok) return 3;
    }
    return 0;
}

TEST(FileShare, ProcessesAppendWholeRecordsWhileOthersReadOnceAKilledHolderLetsGo) {
    const std::string dir = make_dir("log"), log = dir + "/Trace.log";
    // Conflicts reach across processes, and end with the holder.
    pid_t holder = spawn_child("hold_exclusively", {log + ".turn", dir + "/ready"});
    ASSERT_TRUE(wait_until([&] { return !read_file(dir + "/ready").empty(); }, 20000));
    EXPECT_EQ(open_result(log + ".turn", GENERIC_READ, kShareRW, OPEN_EXISTING), DWORD(ERROR_SHARING_VIOLATION));
    pid_t a = spawn_child("append_records", {log, "A\n"}), b = spawn_child("append_records", {log, "B\n"});
    kill_child(holder);
    EXPECT_EQ(wait_child(holder), kKilledStatus);
    // A reader that shares read and write gets in at any moment.
    int refused = 0, status = -1;
    EXPECT_TRUE(wait_until([&] {
        refused += open_result(log, GENERIC_READ, kShareRW, OPEN_EXISTING) == ERROR_SHARING_VIOLATION;
        return child_exited(a, &status);
    }, 60000));
    if (status == -1) status = wait_child(a, 0);  // hung: do not leave it behind
    EXPECT_EQ(status, 0);
    EXPECT_EQ(wait_child(b), 0);
    EXPECT_EQ(refused, 0);
    const std::string text = read_file(log);
    EXPECT_EQ(text.size(), 4u * kRecords);
    EXPECT_EQ(std::count(text.begin(), text.end(), 'A'), kRecords);
}
