// Helpers for tests of the poll threads: a scripted callback that records
// its calls, a thread starter on the platform's CreateThread, and a capture
// of the library's trace lines.
#ifndef ZKX_TESTS_POLL_TEST_UTIL_H
#define ZKX_TESTS_POLL_TEST_UTIL_H

#include <atomic>
#include <chrono>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "ZKPollPriv.h"
#include "ZKDLogPriv.h"

namespace zkx::test {

// What one worker's callback answers, and the calls it has seen.  A worker
// finds its script through adwUser[0] of its definition.
class PollScript {
public:
    PollScript();
    ~PollScript();
    PollScript(const PollScript&) = delete;
    PollScript& operator=(const PollScript&) = delete;

    // Calls with this event return the result and set the action word.
    void answer(DWORD event, DWORD result, DWORD action = 0);
    // Calls with this event spin (holding no lock) until release().
    void hold(DWORD event);
    void release();
    // Calls with this event last this long.
    void delay(DWORD event, DWORD ms);
    // Runs inside every call, after any hold, before it answers.
    std::function<void(PZKPOLL_THREAD, DWORD event)> probe;

    ZKPOLL_THDATA def(DWORD id, DWORD interval) const;
    std::vector<DWORD> events() const;
    int count(DWORD event) const;
    std::vector<long> times(DWORD event) const;  // ms since the script was made
    bool wait_count(DWORD event, int n, int timeout_ms = 5000) const;
    bool holding() const { return holding_.load(); }
    bool wait_holding(int timeout_ms = 5000) const;

    static DWORD ZKAPI callback(PZKPOLL_THREAD pTh, DWORD dwId, DWORD dwEvent, LPDWORD pdwUser,
                                LPDWORD pdwWork, LPDWORD pdwAction, DWORD dwReserved);

private:
    DWORD slot_;
    std::chrono::steady_clock::time_point born_ = std::chrono::steady_clock::now();
    mutable std::mutex lock_;
    std::vector<std::pair<DWORD, long>> calls_;
    std::map<DWORD, std::pair<DWORD, DWORD>> answers_;
    std::map<DWORD, DWORD> delays_;
    std::atomic<DWORD> held_event_{0};
    std::atomic<bool> released_{false};
    std::atomic<bool> holding_{false};
};

// A thread starter on CreateThread; it keeps every handle it gave out.  A
// worker whose adwUser[1] is nonzero begins that many ms after its start.
DWORD ZKAPI test_starter(PZKPOLL_HANDLE hPoll, DWORD dwId, DWORD dwReserved,
                         LPTHREAD_START_ROUTINE pfnThread, LPVOID pvArg, LPDWORD padwUser,
                         PHANDLE phThread);
// Handles of the threads test_starter started, oldest first.
std::vector<HANDLE> started_threads();
// True when every started thread has ended within the time.
bool started_threads_ended(int timeout_ms = 5000);
void close_started_threads();

// Runs a bare record's worker on a new thread, as a starter would.
HANDLE run_worker(PZKPOLL_THREAD pTh);

// Shortens the manager's rounds so that tests run many of them quickly.
void use_fast_rounds();

// Points the library's log at a capture that takes every level.  The hook,
// when set, runs on the tracing thread for each line as it is written.
class TraceCapture {
public:
    TraceCapture();
    ~TraceCapture();
    std::vector<std::string> lines() const;
    int count(const std::string& text) const;
    LONG indent() const { return log_->nIndent; }
    static std::function<void(const std::string&)> hook;

private:
    static DWORD record(ZKDLOG_OUTPUT* out, LPCSTR text, DWORD length);
    PZKDLOG_HANDLE log_ = nullptr;
};

// Collects replies from a bare record until one arrives or time runs out;
// dwCode is 0 when none came.
ZKPOLL_MSG next_reply(PZKPOLL_THREAD pTh, int timeout_ms = 5000);

long ms_since(std::chrono::steady_clock::time_point start);

// A record's words as the manager reads them while its worker runs.
inline DWORD status_of(PZKPOLL_THREAD pTh) {
    DWORD status;
    get_th_status(pTh, &status);
    return status;
}
inline DWORD state_of(PZKPOLL_THREAD pTh) {
    DWORD state;
    get_th_state(pTh, &state);
    return state;
}

}  // namespace zkx::test

#endif
