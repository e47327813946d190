// Regions in which TerminateThread has to wait.
//
// TerminateThread stops a thread from outside with a signal whose handler
// jumps back into the thread's start trampoline.  That is only safe where the
// thread holds nothing shared: not the segment lock, not a process-local
// mutex, not the middle of an allocation.  Code that does hold such things
// runs inside a NoTerminate region; a termination that arrives there is kept
// pending and carried out when the outermost region ends.
#ifndef ZKXWIN32_THREAD_GUARD_H
#define ZKXWIN32_THREAD_GUARD_H

namespace zkx::win32 {

struct TerminationState {
    int depth;
    int pending;
};

// initial-exec: the signal handler reads it, and it must not allocate there.
// __thread rather than thread_local: an extern thread_local is reached
// through a wrapper call, and every region entry would pay for it.
extern __thread TerminationState t_termination __attribute__((tls_model("initial-exec")));

// Carries out a termination that was kept pending; does not return when it
// ends the thread.  Defined with the threads.
void run_pending_termination();

class NoTerminate {
public:
    NoTerminate() { ++t_termination.depth; }
    ~NoTerminate() {
        if (--t_termination.depth == 0 && t_termination.pending) run_pending_termination();
    }
    NoTerminate(const NoTerminate&) = delete;
    NoTerminate& operator=(const NoTerminate&) = delete;
};

}  // namespace zkx::win32

#endif
