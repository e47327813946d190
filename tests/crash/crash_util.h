// Helpers for the crash tests: children that work in a loop until they are
// killed, and kills at random moments of that loop.
#ifndef ZKX_TESTS_CRASH_UTIL_H
#define ZKX_TESTS_CRASH_UTIL_H

#include <stdlib.h>

#include <random>
#include <utility>

#include "test_util.h"
#include "zkxwin32.h"

namespace zkx::test {

// The child side: signals the named event once its loop has done one turn,
// so the parent kills it in the middle of real work.  The handle stays open:
// the event must outlive a parent that has not opened it yet, and the kill
// closes it anyway.
inline void signal_ready(const std::string& event_name) {
    HANDLE ready = CreateEventA(nullptr, TRUE, FALSE, event_name.c_str());
    if (ready) SetEvent(ready);
}

// SIGKILL now and reap; true when SIGKILL ended it.
inline bool kill_now(pid_t pid) {
    kill_child(pid);
    return wait_child(pid, 10000) == kKilledStatus;
}

// Starts a child loop and waits until it reports ready; 0 when the child
// never got there (it is killed and reaped then).
inline pid_t spawn_working_child(const std::string& name, const std::string& ready_event,
                                 const std::vector<std::string>& args = {}) {
    HANDLE ready = CreateEventA(nullptr, TRUE, FALSE, ready_event.c_str());
    if (!ready) return 0;
    ResetEvent(ready);
    pid_t pid = spawn_child(name, args);
    // Generous: a loaded machine may take long to start a sanitized child.
    DWORD wait = WaitForSingleObject(ready, 30000);
    CloseHandle(ready);
    if (wait == WAIT_OBJECT_0) return pid;
    kill_now(pid);
    return 0;
}

// Two working children of entry point `name` for round `round`; each gets
// its own ready event as its first argument, then `more`.
inline std::pair<pid_t, pid_t> spawn_two_working(const std::string& name, int round,
                                                 std::vector<std::string> more = {}) {
    const std::string ready = name + "-ready-" + std::to_string(round);
    more.insert(more.begin(), ready + "a");
    const pid_t a = spawn_working_child(name, ready + "a", more);
    more[0] = ready + "b";
    return {a, spawn_working_child(name, ready + "b", more)};
}

// Lets the child run for a random 0..max_ms milliseconds, then SIGKILLs it
// and reaps it.  True when SIGKILL is what ended it.
inline bool kill_at_random_moment(pid_t pid, int max_ms) {
    static std::mt19937 rng(std::random_device{}());
    std::this_thread::sleep_for(std::chrono::milliseconds(std::uniform_int_distribution<int>(0, max_ms)(rng)));
    return kill_now(pid);
}

// Whether a test's loop runs round `round`: the first `rounds` in a normal
// run; under scripts/soak.sh (ZKX_SOAK_SECONDS set) until that many seconds
// have passed since the first call.
inline bool another_round(int round, int rounds) {
    static const auto start = std::chrono::steady_clock::now();
    const char* soak = getenv("ZKX_SOAK_SECONDS");
    if (!soak) return round < rounds;
    return std::chrono::steady_clock::now() - start < std::chrono::seconds(atoi(soak));
}

}  // namespace zkx::test

#endif
