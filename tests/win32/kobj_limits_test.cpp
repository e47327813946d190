// The namespace's tables filled for real: processes, objects, blocked
// threads.  The one beyond the end gets ERROR_NO_SYSTEM_RESOURCES and one
// line on stderr, never a hang; the table works again once a place is free.
#ifndef _WIN32
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/wait.h>

#include "kernel/layout.h"
#include "kobj_test_util.h"
#include "test_util.h"

using namespace zkx::test;
using namespace zkx::win32::kobj;

namespace {

int count_of(const std::string& text, const std::string& what) {
    int n = 0;
    for (size_t at = 0; (at = text.find(what, at)) != std::string::npos; at += what.size()) ++n;
    return n;
}

TEST(Limits, TheObjectBeyondTheLastSlotIsRefusedWithOneMessage) {
    std::vector<HANDLE> made;
    testing::internal::CaptureStderr();
    for (HANDLE h; made.size() <= kMaxObjects && (h = CreateEventA(nullptr, TRUE, FALSE, nullptr));) made.push_back(h);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_NO_SYSTEM_RESOURCES));
    EXPECT_FAILS(CreateMutexA(nullptr, FALSE, unique_name("one-more").c_str()), ERROR_NO_SYSTEM_RESOURCES);
    std::string said = testing::internal::GetCapturedStderr();
    EXPECT_EQ(count_of(said, "object table is full"), 1) << said;
    ASSERT_GT(made.size(), kMaxObjects - 64u);
    ASSERT_LE(made.size(), kMaxObjects);

    CloseHandle(made.back());
    made.back() = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    EXPECT_NE(made.back(), nullptr) << "a closed object makes room";
    for (HANDLE h : made) CloseHandle(h);
}

void* wait_on(void* event) {
    return reinterpret_cast<void*>(uintptr_t(WaitForSingleObject(static_cast<HANDLE>(event), 60000)));
}

TEST(Limits, TheWaiterBeyondTheLastRecordIsRefusedAtOnce) {
    HANDLE gate = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    std::vector<pthread_t> threads(kMaxRecords);
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setstacksize(&attr, 256 * 1024);
    for (auto& t : threads) ASSERT_EQ(pthread_create(&t, &attr, wait_on, gate), 0);
    ASSERT_TRUE(wait_for_waiters(gate, kMaxRecords, 60000));

    testing::internal::CaptureStderr();
    auto start = std::chrono::steady_clock::now();
    EXPECT_FAILS(WaitForSingleObject(gate, 10000), ERROR_NO_SYSTEM_RESOURCES);
    EXPECT_EQ(WaitForSingleObject(gate, 10000), WAIT_FAILED);
    EXPECT_LT(elapsed_ms(start), 5000) << "refused, not left to wait";
    std::string said = testing::internal::GetCapturedStderr();
    EXPECT_EQ(count_of(said, "wait table is full"), 1) << said;
    EXPECT_EQ(WaitForSingleObject(gate, 0), WAIT_TIMEOUT) << "a wait that need not block still works";

    EXPECT_TRUE(SetEvent(gate));
    for (auto& t : threads) {
        void* result = nullptr;
        pthread_join(t, &result);
        EXPECT_EQ(uintptr_t(result), WAIT_OBJECT_0);
    }
    CloseHandle(gate);
}

// A forked child registers as a process of its own on its first call,
// reports how two creations went and stays until `hold` is closed.
pid_t fork_member(int report_fd, int hold_fd, int stderr_fd = -1) {
    pid_t pid = fork();
    if (pid != 0) return pid;
    if (stderr_fd >= 0) dup2(stderr_fd, 2);
    DWORD results[2];
    for (DWORD& r : results) r = CreateEventA(nullptr, TRUE, FALSE, nullptr) ? 0 : GetLastError();
    if (write(report_fd, results, sizeof results) == sizeof results)
        for (char c; read(hold_fd, &c, 1) > 0;) {
        }
    _exit(0);
}

TEST(Limits, TheProcessBeyondTheTableIsRefusedWithOneMessage) {
    ASSERT_NE(CreateEventA(nullptr, TRUE, FALSE, nullptr), nullptr) << "this process is registered";
    int report[2], hold[2], err[2];
    ASSERT_TRUE(pipe(report) == 0 && pipe(hold) == 0 && pipe(err) == 0);
    std::vector<pid_t> members;
    DWORD r[2] = {};
    auto join = [&](int stderr_fd = -1) {
        members.push_back(fork_member(report[1], hold[0], stderr_fd));
        return read(report[0], r, sizeof r) == ssize_t(sizeof r);
    };
    for (uint32_t i = 1; i < kMaxProcesses; ++i) {
        ASSERT_TRUE(join());
        if (r[0] != 0) break;  // others of the namespace could hold rows
    }
    ASSERT_TRUE(join(err[1]));
    EXPECT_EQ(r[0], DWORD(ERROR_NO_SYSTEM_RESOURCES));
    EXPECT_EQ(r[1], DWORD(ERROR_NO_SYSTEM_RESOURCES));
    // The other members hold the pipe open too: take what is there.
    fcntl(err[0], F_SETFL, O_NONBLOCK);
    std::string said;
    char buf[512];
    for (ssize_t n; (n = read(err[0], buf, sizeof buf)) > 0;) said.append(buf, size_t(n));
    EXPECT_EQ(count_of(said, "process table is full"), 1) << said;
    EXPECT_EQ(count_of(said, "\n"), 1) << said;

    // A member that ends makes room for the next.
    for (int i = 0; i < 2; ++i) {
        kill(members.back(), SIGKILL);
        waitpid(members.back(), nullptr, 0);
        members.pop_back();
    }
    ASSERT_TRUE(join());
    EXPECT_EQ(r[0], 0u);

    for (pid_t p : members) kill(p, SIGKILL);
    for (pid_t p : members) waitpid(p, nullptr, 0);
    for (int fd : {report[0], report[1], hold[0], hold[1], err[0], err[1]}) close(fd);
}

}  // namespace
#endif
