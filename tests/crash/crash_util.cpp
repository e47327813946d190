#include "crash_util.h"

#include <unistd.h>

#include <stdlib.h>

#include <chrono>
#include <random>
#include <thread>

#include "child.h"

namespace zkx::test {

void signal_ready(const std::string& event_name) {
    HANDLE ready = CreateEventA(nullptr, TRUE, FALSE, event_name.c_str());
    if (ready) SetEvent(ready);
    // The handle stays open: the event must outlive a parent that has not
    // opened it yet, and the kill closes it anyway.
}

pid_t spawn_working_child(const std::string& name, const std::string& ready_event,
                          const std::vector<std::string>& args) {
    HANDLE ready = CreateEventA(nullptr, TRUE, FALSE, ready_event.c_str());
    if (!ready) return 0;
    ResetEvent(ready);
    pid_t pid = spawn_child(name, args);
    // Generous: a loaded machine may take long to start a sanitized child.
    DWORD wait = WaitForSingleObject(ready, 30000);
    CloseHandle(ready);
    if (wait != WAIT_OBJECT_0) {
        kill_now(pid);
        return 0;
    }
    return pid;
}

bool kill_at_random_moment(pid_t pid, int max_ms) {
    static std::mt19937 rng(std::random_device{}());
    int ms = std::uniform_int_distribution<int>(0, max_ms)(rng);
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
    return kill_now(pid);
}

bool kill_now(pid_t pid) {
    kill_child(pid);
    return wait_child(pid, 10000) == kKilledStatus;
}


bool another_round(int round, int rounds) {
    static const auto start = std::chrono::steady_clock::now();
    const char* soak = getenv("ZKX_SOAK_SECONDS");
    if (!soak) return round < rounds;
    return std::chrono::steady_clock::now() - start < std::chrono::seconds(atoi(soak));
}

}  // namespace zkx::test
