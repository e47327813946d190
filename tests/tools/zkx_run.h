// Runs the built zkx binary as a user would, in this test's registry and
// object namespace (it inherits the environment).
#ifndef ZKX_TESTS_ZKX_RUN_H
#define ZKX_TESTS_ZKX_RUN_H

#include <fcntl.h>
#include <spawn.h>

#include "test_util.h"

extern char** environ;

namespace zkx::test {

// zkx's exit codes besides 0: the command failed; the command line was wrong.
constexpr int kExitFailed = 1, kExitUsage = 2;

struct ZkxResult {
    int exit_code = -1;
    std::string out, err;
};

// A zkx started with `input` as its stdin and stdout and stderr going to
// files; finish_zkx waits (killing it after timeout_ms) and collects them.
struct ZkxProcess {
    pid_t pid = -1;
    std::string out_path, err_path;
};

inline ZkxProcess start_zkx(const std::vector<std::string>& args, const std::string& input = "") {
    static std::atomic<int> serial{0};
    const std::string stem = temp_dir() + "/zkx-" + std::to_string(serial++);
    ZkxProcess p{-1, stem + ".out", stem + ".err"};
    write_file(stem + ".in", input);
    std::vector<char*> argv{const_cast<char*>(ZKX_BINARY)};
    for (const auto& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 0, (stem + ".in").c_str(), O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&fa, 1, p.out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_addopen(&fa, 2, p.err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (posix_spawn(&p.pid, ZKX_BINARY, &fa, nullptr, argv.data(), environ) != 0) p.pid = -1;
    posix_spawn_file_actions_destroy(&fa);
    return p;
}
inline ZkxResult finish_zkx(const ZkxProcess& p, int timeout_ms = 20000) {
    return {p.pid > 0 ? wait_child(p.pid, timeout_ms) : -1, read_file(p.out_path), read_file(p.err_path)};
}
inline ZkxResult run_zkx(const std::vector<std::string>& args, const std::string& input = "") {
    return finish_zkx(start_zkx(args, input), 60000);
}

inline bool has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

}  // namespace zkx::test

#endif
