#include <fcntl.h>
#include <grp.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include "child.h"

extern char** environ;

namespace zkx::test {
namespace {

// This binary, the child flag, the entry point and its arguments; `keep` holds the strings.
std::vector<char*> child_argv(const std::string& exe, const std::string& name,
                              const std::vector<std::string>& args, std::vector<std::string>* keep) {
    *keep = {exe, kChildFlag, name};
    keep->insert(keep->end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& s : *keep) argv.push_back(const_cast<char*>(s.c_str()));
    argv.push_back(nullptr);
    return argv;
}

std::string self_path() {
    char buf[4096];
    ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
    if (n <= 0) return "/proc/self/exe";
    buf[n] = 0;
    return buf;
}

int exit_status(int st) { return WIFEXITED(st) ? WEXITSTATUS(st) : WIFSIGNALED(st) ? 128 + WTERMSIG(st) : -1; }

}  // namespace

pid_t spawn_child(const std::string& name, const std::vector<std::string>& args) {
    const std::string exe = self_path();
    std::vector<std::string> strings;
    std::vector<char*> argv = child_argv(exe, name, args, &strings);
    pid_t pid = -1;
    return posix_spawn(&pid, exe.c_str(), nullptr, nullptr, argv.data(), environ) == 0 ? pid : -1;
}

bool become_user(uid_t uid, gid_t gid, const std::vector<gid_t>& groups) {
    return setgroups(groups.size(), groups.data()) == 0 && setresgid(gid, gid, gid) == 0 &&
           setresuid(uid, uid, uid) == 0;
}

pid_t spawn_child_as(uid_t uid, gid_t gid, const std::vector<gid_t>& groups, const std::string& name,
                     const std::vector<std::string>& args, const std::vector<int>& keep) {
    const std::string exe = self_path();
    std::vector<std::string> strings;
    std::vector<char*> argv = child_argv(exe, name, args, &strings);
    pid_t pid = fork();
    if (pid == 0) {
        if (!become_user(uid, gid, groups)) _exit(120);
        for (int fd : keep) fcntl(fd, F_SETFD, 0);
        execv(exe.c_str(), argv.data());
        _exit(121);
    }
    return pid;
}

int wait_child(pid_t pid, int timeout_ms) {
    timespec start{};
    clock_gettime(CLOCK_MONOTONIC, &start);
    for (;;) {
        int status = 0;
        pid_t r = waitpid(pid, &status, WNOHANG);
        if (r == pid) return exit_status(status);
        if (r < 0) return -1;
        timespec now{};
        clock_gettime(CLOCK_MONOTONIC, &now);
        long elapsed = (now.tv_sec - start.tv_sec) * 1000 + (now.tv_nsec - start.tv_nsec) / 1000000;
        if (elapsed > timeout_ms) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            return -1;
        }
        usleep(2000);
    }
}

bool child_exited(pid_t pid, int* status) {
    int st = 0;
    if (waitpid(pid, &st, WNOHANG) != pid) return false;
    *status = exit_status(st);
    return true;
}

void kill_child(pid_t pid) { kill(pid, SIGKILL); }

}  // namespace zkx::test
