// The poll threads part of the demo: three workers polling at their own
// intervals, steered by broadcasts.  Call run_poll_demo() from the demo's
// main; it prints what happened and returns 0, or the first failing code.
#ifndef ZKX_DEMO_POLL_DEMO_H
#define ZKX_DEMO_POLL_DEMO_H

#include <cstdio>

#include "ZKPoll.h"

namespace poll_demo {

constexpr int kWorkers = 3;
inline LONG g_calls[kWorkers][3];  // INIT/POLL/other calls per worker
inline HANDLE g_threads[kWorkers];

inline DWORD ZKAPI callback(PZKPOLL_THREAD, DWORD dwId, DWORD dwEvent, LPDWORD, LPDWORD pdwWork,
                            LPDWORD, DWORD) {
    int kind = dwEvent == ZKPOLL_INIT ? 0 : dwEvent == ZKPOLL_POLL ? 1 : 2;
    InterlockedIncrement(&g_calls[dwId - 1][kind]);
    ++*pdwWork;  // the worker's own word, kept from call to call
    return 0;
}

// Starts each worker on a thread of its own; the handles are closed once
// the poll handle is gone.
inline DWORD ZKAPI start_thread(PZKPOLL_HANDLE, DWORD dwId, DWORD, LPTHREAD_START_ROUTINE pfnThread,
                                LPVOID pvArg, LPDWORD, PHANDLE phThread) {
    HANDLE h = CreateThread(nullptr, 0, pfnThread, pvArg, 0, nullptr);
    if (!h) return GetLastError();
    *phThread = g_threads[dwId - 1] = h;
    return 0;
}

inline void show(const char* when) {
    std::printf("  %-22s", when);
    for (int i = 0; i < kWorkers; i++)
        std::printf("  #%d polls %2ld", i + 1,
                    long(InterlockedCompareExchange(&g_calls[i][1], 0, 0)));  // an atomic read
    std::printf("\n");
}

}  // namespace poll_demo

inline int run_poll_demo() {
    using namespace poll_demo;
    std::printf("Poll threads: intervals 100 ms, 250 ms and on command only\n");
    ZKPOLL_THDATA defs[kWorkers] = {
        {callback, 100, 1, {}}, {callback, 250, 2, {}}, {callback, INFINITE, 3, {}}};
    ZKPOLL_PARAM param{kWorkers, defs, start_thread};
    PZKPOLL_HANDLE hPoll = nullptr;
    DWORD rc = ZKPollCreate(&param, &hPoll, 0);
    if (rc != 0) {
        std::printf("  ZKPollCreate failed (%u)\n", unsigned(rc));
        return int(rc);
    }
    show("after create:");
    Sleep(600);
    show("600 ms later:");
    DWORD seq = 0;
    rc = ZKPollControlAll(hPoll, 0, ZKPOLL_POLL, 0, &seq, 5000);
    show("after POLL to all:");
    if (rc == 0) rc = ZKPollControlAll(hPoll, 0, ZKPOLL_SUSPEND, 0, &seq, 5000);
    Sleep(500);
    show("suspended 500 ms:");
    if (rc == 0) rc = ZKPollControlAll(hPoll, 0, ZKPOLL_RESUME, 0, &seq, 5000);
    std::printf("  last broadcast #%u answered by all: %s\n", unsigned(seq), rc == 0 ? "yes" : "no");
    DWORD destroyed = ZKPollDestroy(hPoll, 0, 5000);
    for (HANDLE h : g_threads)
        if (h) CloseHandle(h);
    std::printf("  destroyed: %s\n", destroyed == 0 ? "all workers ended" : "timed out");
    return int(rc != 0 ? rc : destroyed);
}

#endif
