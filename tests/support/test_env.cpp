#include "test_env.h"

#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <string>

namespace zkx::test {
namespace {
std::string g_dir;

// A child that a test process starts carries this mark, set to the
// namespace it is to join; a user's shell never has it.  Everyone else gets
// a namespace and a registry of its own, whatever ZKX_NAMESPACE and
// ZKX_REGISTRY a developer's shell holds, so parallel tests never share them.
const char kChildMark[] = "ZKX_TEST_ENVIRONMENT";

bool is_child_of_a_test() {
    const char* mark = getenv(kChildMark);
    const char* ns = getenv("ZKX_NAMESPACE");
    return mark && ns && std::string(mark) == ns && getenv("ZKX_REGISTRY");
}
}  // namespace

TestEnvironment::TestEnvironment() {
    const bool child = is_child_of_a_test();
    char tmpl[] = "/tmp/zkx-test-XXXXXX";
    if (char* d = mkdtemp(tmpl)) {
        dir_ = d;
        own_dir_ = true;
    }
    g_dir = dir_;
    if (child) {
        ns_ = getenv("ZKX_NAMESPACE");
        return;
    }
    ns_ = "test-" + std::to_string(getpid());
    own_ns_ = true;
    setenv("ZKX_NAMESPACE", ns_.c_str(), 1);
    setenv(kChildMark, ns_.c_str(), 1);
    if (dir_.empty()) {
        std::fprintf(stderr, "test environment: cannot make a temporary directory\n");
        unsetenv("ZKX_REGISTRY");
    } else {
        setenv("ZKX_REGISTRY", (dir_ + "/registry").c_str(), 1);
    }
}

TestEnvironment::~TestEnvironment() {
    std::error_code ec;
    if (own_dir_) std::filesystem::remove_all(dir_, ec);
    // The namespace's backing files are named after it under /dev/shm.
    if (own_ns_) {
        for (auto& e : std::filesystem::directory_iterator("/dev/shm", ec)) {
            std::string name = e.path().filename().string();
            if (name.find("zkx." + ns_) == 0) std::filesystem::remove(e.path(), ec);
        }
    }
}

void adopt_test_environment() {}

bool wine_departs(const char*) { return false; }
bool windows_faults_on(const char*) { return false; }

const std::string& temp_dir() { return g_dir; }

}  // namespace zkx::test
