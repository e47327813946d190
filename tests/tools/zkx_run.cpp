#include "zkx_run.h"

#include <fcntl.h>
#include <spawn.h>
#include <unistd.h>

#include <atomic>
#include <fstream>
#include <sstream>

#include "child.h"
#include "test_env.h"

extern char** environ;

namespace zkx::test {
namespace {

std::atomic<int> g_serial{0};

std::string fresh_path(const char* what) {
    return temp_dir() + "/zkx-" + std::to_string(g_serial++) + "." + what;
}

pid_t spawn(const std::vector<std::string>& args, const std::string& in, const std::string& out,
            const std::string& err) {
    std::vector<std::string> argv_s{ZKX_BINARY};
    argv_s.insert(argv_s.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& s : argv_s) argv.push_back(const_cast<char*>(s.c_str()));
    argv.push_back(nullptr);
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 0, in.c_str(), O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&fa, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_addopen(&fa, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    pid_t pid = -1;
    if (posix_spawn(&pid, ZKX_BINARY, &fa, nullptr, argv.data(), environ) != 0) pid = -1;
    posix_spawn_file_actions_destroy(&fa);
    return pid;
}

}  // namespace

std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

void write_file(const std::string& path, const std::string& text) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
}

ZkxProcess start_zkx(const std::vector<std::string>& args) {
    ZkxProcess p;
    p.out_path = fresh_path("out");
    p.err_path = fresh_path("err");
    p.pid = spawn(args, "/dev/null", p.out_path, p.err_path);
    return p;
}

ZkxResult finish_zkx(const ZkxProcess& p, int timeout_ms) {
    ZkxResult r;
    if (p.pid > 0) r.exit_code = wait_child(p.pid, timeout_ms);
    r.out = read_file(p.out_path);
    r.err = read_file(p.err_path);
    return r;
}

ZkxResult run_zkx(const std::vector<std::string>& args, const std::string& input) {
    std::string in = fresh_path("in");
    write_file(in, input);
    ZkxProcess p;
    p.out_path = fresh_path("out");
    p.err_path = fresh_path("err");
    p.pid = spawn(args, in, p.out_path, p.err_path);
    return finish_zkx(p, 60000);
}

}  // namespace zkx::test
