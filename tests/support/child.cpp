#include "child.h"

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <map>

extern char** environ;

namespace zkx::test {
namespace {

std::map<std::string, ChildMain>& registry() {
    static std::map<std::string, ChildMain> children;
    return children;
}

const char kChildFlag[] = "--zkx-child";

std::string self_path() {
    char buf[4096];
    ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
    if (n <= 0) return "/proc/self/exe";
    buf[n] = 0;
    return buf;
}

}  // namespace

ChildRegistrar::ChildRegistrar(const char* name, ChildMain fn) { registry()[name] = fn; }

pid_t spawn_child(const std::string& name, const std::vector<std::string>& args) {
    std::string exe = self_path();
    std::vector<std::string> argv_s{exe, kChildFlag, name};
    argv_s.insert(argv_s.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& s : argv_s) argv.push_back(const_cast<char*>(s.c_str()));
    argv.push_back(nullptr);
    pid_t pid = -1;
    if (posix_spawn(&pid, exe.c_str(), nullptr, nullptr, argv.data(), environ) != 0) return -1;
    return pid;
}

int wait_child(pid_t pid, int timeout_ms) {
    timespec start{};
    clock_gettime(CLOCK_MONOTONIC, &start);
    for (;;) {
        int status = 0;
        pid_t r = waitpid(pid, &status, WNOHANG);
        if (r == pid) {
            if (WIFEXITED(status)) return WEXITSTATUS(status);
            if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
            return -1;
        }
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

bool run_child_if_requested(int argc, char** argv, int* exit_code) {
    if (argc < 3 || std::strcmp(argv[1], kChildFlag) != 0) return false;
    auto it = registry().find(argv[2]);
    if (it == registry().end()) {
        std::fprintf(stderr, "unknown child entry point: %s\n", argv[2]);
        *exit_code = 99;
        return true;
    }
    std::vector<std::string> args(argv + 3, argv + argc);
    *exit_code = it->second(args);
    return true;
}

}  // namespace zkx::test
