// Helpers for the crash tests: children that work in a loop until they are
// killed, and kills at random moments of that loop.
#ifndef ZKX_TESTS_CRASH_UTIL_H
#define ZKX_TESTS_CRASH_UTIL_H

#include <sys/types.h>

#include <string>
#include <vector>

#include "zkxwin32.h"

namespace zkx::test {

// The child side: signals the named event once its loop has done one turn,
// so the parent kills it in the middle of real work.
void signal_ready(const std::string& event_name);

// Starts a child loop and waits until it reports ready; 0 when the child
// never got there (it is killed and reaped then).
pid_t spawn_working_child(const std::string& name, const std::string& ready_event,
                          const std::vector<std::string>& args = {});

// Lets the child run for a random 0..max_ms milliseconds, then SIGKILLs it
// and reaps it.  True when SIGKILL is what ended it.
bool kill_at_random_moment(pid_t pid, int max_ms);

// SIGKILL now and reap; true when SIGKILL ended it.
bool kill_now(pid_t pid);

// Whether a test's loop runs round `round`: the first `rounds` in a normal
// run; under scripts/soak.sh (ZKX_SOAK_SECONDS set) until that many seconds
// have passed since the first call.
bool another_round(int round, int rounds);

}  // namespace zkx::test

#endif
