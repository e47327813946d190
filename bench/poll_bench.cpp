// Poll threads: what idle workers cost, and how long a broadcast takes.
//
// Idle: 64 workers with a 10 s interval, measured over 5 s of process CPU
// time, against 64 bare threads that wait on their own events with the same
// timeout (the platform's floor).  Broadcast: ZKPollControlAll SUSPEND then
// RESUME over 64 workers; the manager looks for the answers at once and then
// in 200 ms rounds, so a broadcast takes either about the workers' own time
// or that plus whole rounds: rounds_per_pair says how many the pair needed.
#include <benchmark/benchmark.h>
#include <time.h>

#include <mutex>
#include <vector>

#include "ZKPollPriv.h"

namespace {

constexpr int kWorkers = 64;
constexpr DWORD kInterval = 10000;
constexpr DWORD kIdleMs = 5000;

std::mutex g_lock;
std::vector<HANDLE> g_threads;

DWORD ZKAPI idle_callback(PZKPOLL_THREAD, DWORD, DWORD, LPDWORD, LPDWORD, LPDWORD, DWORD) {
    return 0;
}

DWORD ZKAPI starter(PZKPOLL_HANDLE, DWORD, DWORD, LPTHREAD_START_ROUTINE fn, LPVOID arg, LPDWORD,
                    PHANDLE ph) {
    HANDLE h = CreateThread(nullptr, 0, fn, arg, 0, nullptr);
    if (!h) return GetLastError();
    *ph = h;
    std::lock_guard<std::mutex> guard(g_lock);
    g_threads.push_back(h);
    return 0;
}

void close_threads() {
    std::lock_guard<std::mutex> guard(g_lock);
    for (HANDLE h : g_threads) {
        WaitForSingleObject(h, INFINITE);
        CloseHandle(h);
    }
    g_threads.clear();
}

double cpu_ms() {
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return ts.tv_sec * 1e3 + ts.tv_nsec / 1e6;
}

PZKPOLL_HANDLE create_workers() {
    std::vector<ZKPOLL_THDATA> defs(kWorkers);
    for (int i = 0; i < kWorkers; i++) defs[i] = {idle_callback, kInterval, DWORD(i + 1), {}};
    ZKPOLL_PARAM param{kWorkers, defs.data(), starter};
    PZKPOLL_HANDLE h = nullptr;
    ZKPollCreate(&param, &h, 0);
    return h;
}

void BM_PollIdleWorkersCpu(benchmark::State& state) {
    PZKPOLL_HANDLE h = create_workers();
    if (!h) {
        state.SkipWithError("ZKPollCreate failed");
        return;
    }
    Sleep(200);  // let the first polls pass
    double used = 0;
    for (auto _ : state) {
        double before = cpu_ms();
        Sleep(kIdleMs);
        used = cpu_ms() - before;
    }
    state.counters["cpu_ms_per_5s"] = used;
    ZKPollDestroy(h, 0, INFINITE);
    close_threads();
}
BENCHMARK(BM_PollIdleWorkersCpu)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

DWORD ZKAPI bare_wait(LPVOID event) {
    while (WaitForSingleObject(static_cast<HANDLE>(event), kInterval) == WAIT_TIMEOUT) {
    }
    return 0;
}

void BM_BareThreadsWaitingCpu(benchmark::State& state) {
    std::vector<HANDLE> events, threads;
    for (int i = 0; i < kWorkers; i++) {
        events.push_back(CreateEventA(nullptr, FALSE, FALSE, nullptr));
        threads.push_back(CreateThread(nullptr, 0, bare_wait, events.back(), 0, nullptr));
    }
    Sleep(200);
    double used = 0;
    for (auto _ : state) {
        double before = cpu_ms();
        Sleep(kIdleMs);
        used = cpu_ms() - before;
    }
    state.counters["cpu_ms_per_5s"] = used;
    for (int i = 0; i < kWorkers; i++) {
        SetEvent(events[i]);
        WaitForSingleObject(threads[i], INFINITE);
        CloseHandle(threads[i]);
        CloseHandle(events[i]);
    }
}
BENCHMARK(BM_BareThreadsWaitingCpu)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

// A broadcast scans for answers at once and then every round; it costs a
// round only when some worker has not answered by the first scan.
void BM_PollSuspendResumeAll(benchmark::State& state) {
    PZKPOLL_HANDLE h = create_workers();
    if (!h) {
        state.SkipWithError("ZKPollCreate failed");
        return;
    }
    const DWORD round = g_zkPollTiming.dwReplyRound;
    int broadcasts = 0, waited = 0;
    for (auto _ : state) {
        for (DWORD cmd : {ZKPOLL_SUSPEND, ZKPOLL_RESUME}) {
            DWORD start = GetTickCount();
            if (ZKPollControlAll(h, 0, cmd, 0, nullptr, INFINITE) != 0) {
                state.SkipWithError("ZKPollControlAll failed");
                break;
            }
            broadcasts++;
            waited += GetTickCount() - start >= round;
        }
    }
    state.counters["round_ms"] = round;
    state.counters["rounds_per_pair"] = 2.0 * waited / (broadcasts ? broadcasts : 1);
    ZKPollDestroy(h, 0, INFINITE);
    close_threads();
}
BENCHMARK(BM_PollSuspendResumeAll)->Iterations(20)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
