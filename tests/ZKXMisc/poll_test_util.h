// Helpers for tests of the poll threads: a scripted callback that records
// its calls, a thread starter on CreateThread, and a capture of the traces.
#ifndef ZKX_TESTS_POLL_TEST_UTIL_H
#define ZKX_TESTS_POLL_TEST_UTIL_H

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "ZKDLogPriv.h"
#include "ZKPollPriv.h"
#include "misc_test_util.h"

namespace zkx::test {

// Polls done() every ms for up to timeout_ms.
bool wait_until(const std::function<bool()>& done, int timeout_ms = 5000);

// What a worker's callback answers and the calls it has seen.  A worker
// finds its script through adwUser[0]; adwUser[1], when nonzero, makes
// test_starter begin the worker that many ms late.
class PollScript {
public:
    PollScript();
    ~PollScript();
    ZKPOLL_THDATA def(DWORD id, DWORD interval, DWORD late_ms = 0) const {
        return ZKPOLL_THDATA{&PollScript::callback, interval, id, {slot_, late_ms}};
    }
    void answer(DWORD event, DWORD result, DWORD action = 0) {
        std::lock_guard<std::mutex> guard(lock_);
        answers_[event] = {result, action};
    }
    // Calls with this event spin, holding no lock, until release().
    void hold(DWORD event) { released_ = false, held_ = event; }
    void release() { released_ = true; }
    bool wait_holding() const { return wait_until([this] { return holding_.load(); }); }
    // Runs in every call after any hold.
    std::function<void(PZKPOLL_THREAD, DWORD event)> probe;

    std::vector<DWORD> events() const;
    std::vector<long> times(DWORD event) const;  // ms since the script was made
    int count(DWORD event) const { return int(times(event).size()); }
    bool wait_count(DWORD event, int n, int timeout_ms = 5000) const {
        return wait_until([&] { return count(event) >= n; }, timeout_ms);
    }

    static DWORD ZKAPI callback(PZKPOLL_THREAD, DWORD, DWORD, LPDWORD, LPDWORD, LPDWORD, DWORD);

private:
    DWORD slot_;
    std::chrono::steady_clock::time_point born_ = std::chrono::steady_clock::now();
    mutable std::mutex lock_;
    std::vector<std::pair<DWORD, long>> calls_;
    std::map<DWORD, std::pair<DWORD, DWORD>> answers_;
    std::atomic<DWORD> held_{0};
    std::atomic<bool> released_{false}, holding_{false};
};

DWORD ZKAPI test_starter(PZKPOLL_HANDLE, DWORD, DWORD, LPTHREAD_START_ROUTINE pfnThread,
                         LPVOID pvArg, LPDWORD padwUser, PHANDLE phThread);
std::vector<HANDLE> started_threads();  // oldest first
bool started_threads_ended(int timeout_ms = 5000);
void close_started_threads();
// A bare record's worker, as a starter would run it.
inline HANDLE run_worker(PZKPOLL_THREAD pTh) {
    HANDLE h = nullptr;
    test_starter(nullptr, 0, 0, thPoll, pTh, nullptr, &h);
    return h;
}

// Shortens the manager's rounds so that tests run many of them quickly.
inline void use_fast_rounds() { g_zkPollTiming = {1, 1, 1, 1, 200}; }

// Points the library's log at a capture of every level.  The hook runs on
// the tracing thread for each line as it is written.
class TraceCapture {
public:
    TraceCapture();
    ~TraceCapture();
    std::vector<std::string> lines() const;
    int count(const std::string& text) const;
    LONG indent() const { return log_->nIndent; }
    static std::function<void(const std::string&)> hook;

private:
    static DWORD record(ZKDLOG_OUTPUT*, LPCSTR text, DWORD length);
    PZKDLOG_HANDLE log_ = nullptr;
};

// The next reply of a bare record, or dwCode 0 when none comes in time.
inline ZKPOLL_MSG next_reply(PZKPOLL_THREAD pTh, int timeout_ms = 5000) {
    ZKPOLL_MSG msg{};
    wait_until([&] { return pop_reply(pTh, &msg) == 0 && msg.dwCode != 0; }, timeout_ms);
    return msg;
}

// A record's words as the manager reads them while its worker runs.
inline DWORD status_of(PZKPOLL_THREAD pTh) { return zkpoll_load(&pTh->dwStatus); }
inline DWORD state_of(PZKPOLL_THREAD pTh) { return zkpoll_load(&pTh->dwState); }

// A poll handle over scripted workers, run with short rounds; after each
// test it is destroyed, the log's indentation must be back at 0 and every
// started thread must have ended.
class PollFixture : public ::testing::Test {
protected:
    void SetUp() override { use_fast_rounds(); }
    void TearDown() override;
    DWORD create(std::vector<ZKPOLL_THDATA> defs, PFN_ZKPOLL_START_THREAD starter = test_starter) {
        ZKPOLL_THDATA none{};  // the array must exist even when it is empty
        ZKPOLL_PARAM param{DWORD(defs.size()), defs.empty() ? &none : defs.data(), starter};
        return ZKPollCreate(&param, &h, 0);
    }

    TraceCapture trace;
    PollScript a, b, c;
    PZKPOLL_HANDLE h = nullptr;
};

}  // namespace zkx::test

#endif
