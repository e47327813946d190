// Multi-process tests: the test binary starts itself again in a child mode
// that runs one named entry point instead of the test suite.
#ifndef ZKX_TESTS_CHILD_H
#define ZKX_TESTS_CHILD_H

#include <sys/types.h>

#include <string>
#include <vector>

namespace zkx::test {

using ChildMain = int (*)(const std::vector<std::string>& args);

struct ChildRegistrar {
    ChildRegistrar(const char* name, ChildMain fn);
};

// Defines a child entry point:  ZKX_CHILD(holds_mutex) { ...; return 0; }
// The body sees `args`, the arguments given to spawn_child.
#define ZKX_CHILD(name)                                                        \
    static int zkx_child_##name(const std::vector<std::string>& args);        \
    static ::zkx::test::ChildRegistrar zkx_child_reg_##name(#name,             \
                                                            zkx_child_##name); \
    static int zkx_child_##name(const std::vector<std::string>& args)

// The command-line flag that selects a child entry point.
inline constexpr char kChildFlag[] = "--zkx-child";

// What wait_child reports for a child that kill_child ended: 128 + SIGKILL,
// the shell's way of saying "killed"; on Windows the exit code that
// TerminateProcess gives it.
inline constexpr int kKilledStatus = 128 + 9;

// Starts the named child entry point in a new process of this binary.  The
// child inherits the environment, so it shares the test's object namespace
// and registry.
pid_t spawn_child(const std::string& name, const std::vector<std::string>& args = {});

// Waits up to timeout_ms for the child: its exit code, 128 + signal number
// when a signal ended it, or -1 on timeout (the child is then killed).
int wait_child(pid_t pid, int timeout_ms = 30000);

// True, with its exit status as wait_child gives it, once the child has
// ended (it is then reaped); false while it runs.  Never blocks.
bool child_exited(pid_t pid, int* status);

// Ends the child at once, the way a crash would (SIGKILL; TerminateProcess
// on Windows); wait_child then reports kKilledStatus.
void kill_child(pid_t pid);

#ifndef _WIN32
// Makes the calling process another user, the way a login does:
// supplementary groups, then gid, then uid.  False when a step fails (only
// root may change users).
bool become_user(uid_t uid, gid_t gid, const std::vector<gid_t>& groups = {});

// spawn_child, with the child made another user before it runs.  Of this
// process's descriptors it keeps only `keep` and those not close-on-exec.
pid_t spawn_child_as(uid_t uid, gid_t gid, const std::vector<gid_t>& groups, const std::string& name,
                     const std::vector<std::string>& args = {}, const std::vector<int>& keep = {});
#endif

// Runs a child entry point when argv asks for one; called from main.
bool run_child_if_requested(int argc, char** argv, int* exit_code);

}  // namespace zkx::test

#endif
