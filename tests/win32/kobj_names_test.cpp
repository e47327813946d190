// Names of kernel objects, the namespace that holds them, and its limits.
#include "kobj_test_util.h"

using namespace zkx::test;

TEST(Names, CreatingAnExistingNameOpensItOfTheSameTypeOnly) {
    std::string name = unique_name("ev");
    HANDLE a = CreateEventA(nullptr, TRUE, FALSE, name.c_str());
    HANDLE b = CreateEventA(nullptr, FALSE, TRUE, name.c_str());  // keeps the first one's state and kind
    EXPECT_EQ(GetLastError(), DWORD(ERROR_ALREADY_EXISTS));
    ASSERT_TRUE(a && b && a != b);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(b) % 4, 0u) << "the low two bits are the caller's";
    EXPECT_EQ(WaitForSingleObject(b, 0), WAIT_TIMEOUT);
    SetEvent(a);
    EXPECT_EQ(WaitForSingleObject(b, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(b, 0), WAIT_OBJECT_0) << "still manual reset";

    CreateSemaphoreA(nullptr, 1, 4, (name + "-s").c_str());
    HANDLE s = CreateSemaphoreA(nullptr, 0, 9, (name + "-s").c_str());
    EXPECT_EQ(info_of(s).max_count, 4);
    CreateMutexA(nullptr, FALSE, (name + "-m").c_str());
    HANDLE m = CreateMutexA(nullptr, TRUE, (name + "-m").c_str());
    EXPECT_EQ(info_of(m).owner_tid, 0u) << "initial ownership applies only to a new mutex";

    // The object lives while any handle is open, and then frees its name.
    EXPECT_TRUE(CloseHandle(a));
    HANDLE c = OpenEventA(SYNCHRONIZE, FALSE, name.c_str());
    EXPECT_TRUE(c && CloseHandle(b) && CloseHandle(c));
    EXPECT_FAILS(OpenEventA(SYNCHRONIZE, FALSE, name.c_str()), ERROR_FILE_NOT_FOUND);
    // Unnamed objects (null or empty name) are distinct, each its own.
    HANDLE u1 = CreateEventA(nullptr, TRUE, FALSE, nullptr), u2 = CreateEventA(nullptr, TRUE, FALSE, "");
    SetEvent(u1);
    EXPECT_EQ(WaitForSingleObject(u2, 0), WAIT_TIMEOUT);

    // Another type under the name, no name, a name too long.
    CreateEventA(nullptr, FALSE, FALSE, name.c_str());
    SetLastError(0);
    EXPECT_FAILS(CreateMutexA(nullptr, FALSE, name.c_str()), ERROR_INVALID_HANDLE);
    EXPECT_FAILS(OpenMutexA(SYNCHRONIZE, FALSE, name.c_str()), ERROR_INVALID_HANDLE);
    EXPECT_FAILS(OpenEventA(SYNCHRONIZE, FALSE, nullptr), ERROR_INVALID_PARAMETER);

    // Names are case-sensitive; a creation clears the stale last error.
    CreateEventA(nullptr, FALSE, FALSE, ("EV" + name.substr(2)).c_str());
    EXPECT_EQ(GetLastError(), DWORD(ERROR_SUCCESS));

    std::string longest = name + std::string(MAX_PATH - name.size(), 'n');
    HANDLE l = CreateMutexA(nullptr, FALSE, longest.c_str());
    EXPECT_EQ(info_of(l).name, longest);
    SetLastError(0);
    EXPECT_FAILS(CreateMutexA(nullptr, FALSE, (longest + "x").c_str()), ERROR_FILENAME_EXCED_RANGE);
}

// A namespace of the layer is the session's and the global one at once.
TEST(Names, LocalAndGlobalPrefixesNameTheSameObjectAndNothingFollowsThem) {
    std::string name = unique_name("scoped");
    HANDLE plain = CreateEventA(nullptr, TRUE, FALSE, name.c_str());
    CreateEventA(nullptr, TRUE, FALSE, ("Local\\" + name).c_str());
    EXPECT_EQ(GetLastError(), DWORD(ERROR_ALREADY_EXISTS));
#ifndef _WIN32
    // Windows keeps a session's objects apart from the global ones; a
    // namespace of the layer is both.
    HANDLE global = OpenEventA(EVENT_ALL_ACCESS, FALSE, ("Global\\" + name).c_str());
    SetEvent(global);
    EXPECT_EQ(WaitForSingleObject(plain, 0), WAIT_OBJECT_0);
    EXPECT_EQ(info_of(global).name, name);
#endif
    // Sections share the rule.
    CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, 4096, ("Local\\" + name + "-map").c_str());
    EXPECT_NE(OpenFileMappingA(FILE_MAP_READ, FALSE, (name + "-map").c_str()), nullptr);

    // A backslash after the prefix is refused, and the prefixes are
    // case-sensitive: "local\" is no prefix but a namespace that does not exist.
    // (Windows refuses a backslash after the name of an object that exists
    // otherwise: the name is fresh.)
    name = unique_name("slash");
    std::vector<std::string> bads = {name + "\\x", "Local\\" + name + "\\x", "Global\\" + name + "\\x",
                                     "local\\" + name};
#ifndef _WIN32
    // Windows resolves these through the links of its object directories;
    // the layer has no directories, so they name nothing.
    bads.insert(bads.end(), {"Global\\Local\\" + name, "Session\\1\\" + name, "\\" + name});
    for (const char* empty : {"Local\\", "Global\\"})
        EXPECT_FAILS(CreateEventA(nullptr, FALSE, FALSE, empty), ERROR_INVALID_NAME) << empty;
#endif
    for (const std::string& bad : bads) {
        SetLastError(0);
        EXPECT_FAILS(CreateMutexA(nullptr, FALSE, bad.c_str()), ERROR_PATH_NOT_FOUND) << bad;
        EXPECT_FAILS(OpenEventA(SYNCHRONIZE, FALSE, bad.c_str()), ERROR_PATH_NOT_FOUND) << bad;
    }
}

#ifndef _WIN32
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>

#include "kernel/layout.h"
#include "system/namespace_dir.h"

namespace kobj = zkx::win32::kobj;

ZKX_CHILD(create_in_namespace) {
    setenv("ZKX_NAMESPACE", args.at(0).c_str(), 1);
    return CreateEventA(nullptr, FALSE, FALSE, "probe") ? 0 : int(GetLastError() & 0x7F);
}

TEST(Namespace, ForeignOrStaleSegmentsAreReplacedUnlessSomebodyIsAttached) {
    ASSERT_NE(CreateEventA(nullptr, FALSE, FALSE, nullptr), nullptr);  // maps ours first
    std::string ns = zkx::win32::kernel_namespace();
    auto create_in = [](const std::string& ns) { return wait_child(spawn_child("create_in_namespace", {ns})); };

    // A file whose header says another layout version, and somebody else's file.
    kobj::SegmentHeader h{};
    std::memcpy(h.magic, kobj::kMagic, sizeof h.magic);
    h.version = kobj::kLayoutVersion + 1;
    h.ready = 1;
    std::string old_header(reinterpret_cast<const char*>(&h), sizeof h);
    old_header.resize(1 << 20);
    for (const auto& [suffix, content] : {std::pair<std::string, std::string>{".old", old_header},
                                          {".foreign", std::string(8192, 'x')}}) {
        zkx::win32::NamespaceDirectory other;
        ASSERT_EQ(zkx::win32::namespace_directory_for(ns + suffix, &other), 0u);
        const std::string file = other.path + "/segment";
        int fd = open(file.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0600);
        ASSERT_EQ(write(fd, content.data(), content.size()), ssize_t(content.size()));
        // While a process of that build is attached (it holds the shared
        // lock), the file is refused and left as it is...
        ASSERT_EQ(flock(fd, LOCK_SH), 0);
        EXPECT_EQ(create_in(ns + suffix), int(ERROR_INVALID_DATA)) << suffix;
        struct stat before {}, after {};
        EXPECT_TRUE(fstat(fd, &before) == 0 && stat(file.c_str(), &after) == 0);
        EXPECT_EQ(before.st_ino, after.st_ino) << suffix;
        // ...and once nobody is, it is replaced by a working segment.
        close(fd);
        EXPECT_EQ(create_in(ns + suffix), 0) << suffix;
        zkx::win32::remove_private_namespace(ns + suffix);
    }
    EXPECT_EQ(create_in("bad/name"), int(ERROR_INVALID_NAME));
    EXPECT_EQ(access(zkx::win32::kernel_segment_path().c_str(), F_OK), 0) << "ours is left alone";
}

// --- The namespace's tables filled for real: objects and blocked threads.
// The one beyond the end gets ERROR_NO_SYSTEM_RESOURCES, never a hang; the
// table works again once a place is free.
TEST(Limits, TheObjectOrTheWaiterBeyondTheTableIsRefusedAtOnce) {
    std::vector<HANDLE> made;
    for (HANDLE h; made.size() <= kobj::kMaxObjects && (h = CreateEventA(nullptr, TRUE, FALSE, nullptr));)
        made.push_back(h);
    EXPECT_FAILS(CreateMutexA(nullptr, FALSE, unique_name("one-more").c_str()), ERROR_NO_SYSTEM_RESOURCES);
    ASSERT_TRUE(made.size() > kobj::kMaxObjects - 64u && made.size() <= kobj::kMaxObjects) << made.size();
    CloseHandle(made.back());
    HANDLE gate = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    ASSERT_NE(gate, nullptr) << "a closed object makes room";

    std::vector<DWORD> results(kobj::kMaxRecords, WAIT_FAILED);
    std::vector<std::thread> threads;
    for (DWORD& r : results) threads.emplace_back([&r, gate] { r = WaitForSingleObject(gate, 60000); });
    ASSERT_TRUE(wait_for_waiters(gate, kobj::kMaxRecords, 60000));

    auto start = std::chrono::steady_clock::now();
    EXPECT_FAILS(WaitForSingleObject(gate, 10000), ERROR_NO_SYSTEM_RESOURCES);
    EXPECT_LT(elapsed_ms(start), 5000) << "refused, not left to wait";
    EXPECT_EQ(WaitForSingleObject(gate, 0), WAIT_TIMEOUT) << "a wait that need not block still works";
    SetEvent(gate);
    for (auto& t : threads) t.join();
    EXPECT_EQ(std::count(results.begin(), results.end(), DWORD(WAIT_OBJECT_0)), long(results.size()));
}

// A forked member registers on its first call (opening a name that does
// not exist), reports that call's error and stays until it is killed.
pid_t fork_member(int report_fd) {
    pid_t pid = fork();
    if (pid != 0) return pid;
    DWORD error = OpenEventA(SYNCHRONIZE, FALSE, "nobody") ? ERROR_SUCCESS : GetLastError();
    if (write(report_fd, &error, sizeof error) == sizeof error)
        for (;;) pause();
    _exit(0);
}

// No object lives in the namespace meanwhile: the row just past the process
// table then reads as free, so a full check one row too far would let the
// next process in.
TEST(Limits, TheProcessBeyondTheTableIsRefusedUntilARowIsFree) {
    EXPECT_FAILS(OpenEventA(SYNCHRONIZE, FALSE, "nobody"), ERROR_FILE_NOT_FOUND) << "this process takes a row";
    int report[2];
    ASSERT_EQ(pipe(report), 0);
    std::vector<pid_t> members;
    auto join = [&] {
        members.push_back(fork_member(report[1]));
        DWORD error = 0;
        return read(report[0], &error, sizeof error) == ssize_t(sizeof error) ? error : DWORD(-1);
    };
    auto end = [](pid_t member) {
        kill_child(member);
        wait_child(member);
    };
    uint32_t rows = 1;
    while (rows < kobj::kMaxProcesses && join() == ERROR_FILE_NOT_FOUND) ++rows;
    EXPECT_EQ(rows, kobj::kMaxProcesses);
    EXPECT_EQ(join(), DWORD(ERROR_NO_SYSTEM_RESOURCES));
    end(members.front());
    EXPECT_EQ(join(), DWORD(ERROR_FILE_NOT_FOUND)) << "a member that ends makes room";
    std::for_each(members.begin() + 1, members.end(), end);
    close(report[0]);
    close(report[1]);
}
#endif
