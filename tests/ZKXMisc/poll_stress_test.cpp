// Many lifetimes of a poll handle in a row: every thread and every handle
// that a lifetime makes must be gone when it ends.
#include <gtest/gtest.h>

#include <filesystem>

#include "poll_test_util.h"
#ifdef _WIN32
#include <tlhelp32.h>
#else
#include "base/handle_table.h"
#endif

namespace {

using namespace zkx::test;

#ifdef _WIN32
size_t open_handles() {
    DWORD n = 0;
    GetProcessHandleCount(GetCurrentProcess(), &n);
    return n;
}

size_t running_threads() {
    size_t n = 0;
    HANDLE snap = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    THREADENTRY32 t{};
    t.dwSize = sizeof t;
    for (BOOL more = Thread32First(snap, &t); more; more = Thread32Next(snap, &t))
        n += t.th32OwnerProcessID == GetCurrentProcessId();
    CloseHandle(snap);
    return n;
}
#else
size_t open_handles() {
    size_t n = 0;
    zkx::win32::handle_for_each(
        [](HANDLE, const zkx::win32::HandleEntry&, void* ctx) { ++*static_cast<size_t*>(ctx); }, &n);
    return n;
}

size_t running_threads() {
    std::error_code ec;
    size_t n = 0;
    for (auto it = std::filesystem::directory_iterator("/proc/self/task", ec);
         it != std::filesystem::directory_iterator(); ++it)
        n++;
    return n;
}
#endif

TEST(PollStress, ManyLifetimesLeaveNoThreadOrHandleBehind) {
    use_fast_rounds();
    PollScript script;
    // Counted after the first lifetime, which also brings up what the
    // platform and the sanitizers start once per process.
    size_t handles = 0, threads = 0;
    const DWORD intervals[] = {1, 3, 10, INFINITE};
    auto start = std::chrono::steady_clock::now();

    for (int round = 0; round < 200; round++) {
        if (round == 1) {
            handles = open_handles();
            threads = running_threads();
        }
        SCOPED_TRACE(round);
        std::vector<ZKPOLL_THDATA> defs;
        for (DWORD i = 0; i < 8; i++) defs.push_back(script.def(i + 1, intervals[(i + round) % 4]));
        ZKPOLL_PARAM param{8, defs.data(), test_starter};
        PZKPOLL_HANDLE h = nullptr;
        ASSERT_EQ(ZKPollCreate(&param, &h, 0), 0u);
        for (DWORD cmd : {ZKPOLL_POLL, ZKPOLL_SUSPEND, ZKPOLL_RESUME, ZKPOLL_POLL})
            ASSERT_EQ(ZKPollControlAll(h, 0, cmd, 0, nullptr, 10000), 0u);
        ZKPOLL_THDATA extra = script.def(100, intervals[round % 4]);
        ASSERT_EQ(ZKPollAddThread(h, 0, &extra, 0), 0u);
        // Broadcast without waiting, then remove workers while it is out.
        ZKPollControlAll(h, 0, round % 2 ? ZKPOLL_SUSPEND : ZKPOLL_POLL, 0, nullptr, 0);
        ASSERT_EQ(ZKPollDelThread(h, 0, 1 + round % 8), 0u);
        ASSERT_EQ(ZKPollDelThread(h, 0, 100), 0u);
        ASSERT_EQ(h->dwThreads, 7u);
        ASSERT_EQ(ZKPollDestroy(h, 0, 10000), 0u);
        ASSERT_TRUE(started_threads_ended());
        close_started_threads();
    }
    EXPECT_EQ(open_handles(), handles);
    // A worker's handle is signalled on its way out; the kernel may list the
    // thread a moment longer on a loaded machine.
    for (int i = 0; i < 500 && running_threads() != threads; ++i) Sleep(10);
    EXPECT_EQ(running_threads(), threads);
    std::printf("200 lifetimes in %ld ms\n", ms_since(start));
}

}  // namespace
