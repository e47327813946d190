// Runs the built zkx binary as a user would, in this test's registry and
// object namespace (it inherits the environment).
#ifndef ZKX_TESTS_ZKX_RUN_H
#define ZKX_TESTS_ZKX_RUN_H

#include "test_util.h"

namespace zkx::test {

struct ZkxResult {
    int exit_code = -1;
    std::string out, err;
};

// Starts zkx with `input` as its stdin and stdout and stderr going to files;
// finish_zkx waits (killing it after timeout_ms) and collects them.
struct ZkxProcess {
    pid_t pid = -1;
    std::string out_path, err_path;
};
ZkxProcess start_zkx(const std::vector<std::string>& args, const std::string& input = "");
ZkxResult finish_zkx(const ZkxProcess& p, int timeout_ms = 20000);
inline ZkxResult run_zkx(const std::vector<std::string>& args, const std::string& input = "") {
    return finish_zkx(start_zkx(args, input), 60000);
}

inline bool has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

}  // namespace zkx::test

#endif
