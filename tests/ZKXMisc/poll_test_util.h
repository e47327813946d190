// Helpers for tests of the poll threads: a scripted callback that records
// its calls, a thread starter on CreateThread, and a capture of the traces.
#ifndef ZKX_TESTS_POLL_TEST_UTIL_H
#define ZKX_TESTS_POLL_TEST_UTIL_H

#include "ZKMiscPriv.h"
#include "ZKPollPriv.h"
#include "dlog_test_util.h"

namespace zkx::test {

inline std::mutex g_poll_lock;
inline std::vector<class PollScript*> g_scripts;
inline std::vector<HANDLE> g_threads;

// What a worker's callback answers and the calls it has seen.  A worker
// finds its script through adwUser[0]; adwUser[1], when nonzero, makes
// test_starter begin the worker that many ms late.
class PollScript {
public:
    PollScript() {
        std::lock_guard<std::mutex> guard(g_poll_lock);
        slot_ = DWORD(g_scripts.size());
        g_scripts.push_back(this);
    }
    ~PollScript() {
        release();
        std::lock_guard<std::mutex> guard(g_poll_lock);
        g_scripts[slot_] = nullptr;
    }
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

    std::vector<DWORD> events() const { return column(&Call::event); }
    // When the calls with this event came, in ms since the script was made.
    std::vector<long> times(DWORD event) const { return column(&Call::ms, event); }
    int count(DWORD event) const { return int(times(event).size()); }
    bool wait_count(DWORD event, int n, int timeout_ms = 10000) const {
        return wait_until([&] { return count(event) >= n; }, timeout_ms);
    }

    static DWORD ZKAPI callback(PZKPOLL_THREAD pTh, DWORD, DWORD event, LPDWORD user, LPDWORD, LPDWORD action,
                                DWORD) {
        PollScript* s;
        {
            std::lock_guard<std::mutex> guard(g_poll_lock);
            s = g_scripts[user[0]];
        }
        std::pair<DWORD, DWORD> reply{0, 0};
        {
            std::lock_guard<std::mutex> guard(s->lock_);
            s->calls_.push_back({event, elapsed_ms(s->born_)});
            if (s->answers_.count(event)) reply = s->answers_[event];
        }
        // No lock is held while holding: a terminated worker leaves none behind.
        if (s->held_ == event) {
            s->holding_ = true;
            while (!s->released_) Sleep(2);
            s->holding_ = false;
        }
        if (s->probe) s->probe(pTh, event);
        *action = reply.second;
        return reply.first;
    }

private:
    struct Call {
        DWORD event;
        long ms;
    };
    // One field of the calls with `event`, or of all calls.
    template <class T> std::vector<T> column(T Call::*field, DWORD event = 0) const {
        std::lock_guard<std::mutex> guard(lock_);
        std::vector<T> out;
        for (auto& c : calls_)
            if (!event || c.event == event) out.push_back(c.*field);
        return out;
    }

    DWORD slot_;
    std::chrono::steady_clock::time_point born_ = std::chrono::steady_clock::now();
    mutable std::mutex lock_;
    std::vector<Call> calls_;
    std::map<DWORD, std::pair<DWORD, DWORD>> answers_;
    std::atomic<DWORD> held_{0};
    std::atomic<bool> released_{false}, holding_{false};
};

struct LateStart {
    LPTHREAD_START_ROUTINE fn;
    LPVOID arg;
    DWORD delay;
};

inline DWORD ZKAPI start_late(LPVOID p) {
    LateStart late = *static_cast<LateStart*>(p);
    delete static_cast<LateStart*>(p);
    Sleep(late.delay);  // as a thread the system has not scheduled yet
    return late.fn(late.arg);
}

inline DWORD ZKAPI test_starter(PZKPOLL_HANDLE, DWORD, DWORD, LPTHREAD_START_ROUTINE fn, LPVOID arg, LPDWORD user,
                                PHANDLE thread) {
    LateStart* late = user && user[1] ? new LateStart{fn, arg, user[1]} : nullptr;
    HANDLE h = late ? CreateThread(nullptr, 0, start_late, late, 0, nullptr)
                    : CreateThread(nullptr, 0, fn, arg, 0, nullptr);
    if (!h) {
        delete late;
        return GetLastError();
    }
    *thread = h;
    std::lock_guard<std::mutex> guard(g_poll_lock);
    g_threads.push_back(h);
    return 0;
}

inline std::vector<HANDLE> started_threads() {  // oldest first
    std::lock_guard<std::mutex> guard(g_poll_lock);
    return g_threads;
}

inline bool started_threads_ended(int timeout_ms = 10000) {
    for (HANDLE h : started_threads())
        if (WaitForSingleObject(h, DWORD(timeout_ms)) != WAIT_OBJECT_0) return false;
    return true;
}

inline void close_started_threads() {
    std::lock_guard<std::mutex> guard(g_poll_lock);
    for (HANDLE h : g_threads) CloseHandle(h);
    g_threads.clear();
}

inline DWORD exit_code_of(HANDLE thread) {
    DWORD code = 12345;
    GetExitCodeThread(thread, &code);
    return code;
}

// Shortens the manager's rounds so that tests run many of them quickly.
inline void use_fast_rounds() { g_zkPollTiming = {1, 1, 1, 1, 200}; }

// The library's trace log, captured at every level.
struct TraceCapture : CapturedLog {
    TraceCapture() : CapturedLog("ZKMisc", ZKDLOG_LO) { g_hZKMiscLog = handle(); }
    ~TraceCapture() { g_hZKMiscLog = nullptr; }
};

// A record's words as the manager reads them while its worker runs.
inline DWORD status_of(PZKPOLL_THREAD pTh) { return zkpoll_load(&pTh->dwStatus); }
inline DWORD state_of(PZKPOLL_THREAD pTh) { return zkpoll_load(&pTh->dwState); }

}  // namespace zkx::test

#endif
