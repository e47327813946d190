#include "test_env.h"

#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <string>

namespace zkx::test {
namespace {
std::string g_dir;
}

TestEnvironment::TestEnvironment() {
    if (const char* ns = getenv("ZKX_NAMESPACE")) {
        ns_ = ns;
    } else {
        ns_ = "test-" + std::to_string(getpid());
        setenv("ZKX_NAMESPACE", ns_.c_str(), 1);
        own_ns_ = true;
    }
    char tmpl[] = "/tmp/zkx-test-XXXXXX";
    if (char* d = mkdtemp(tmpl)) {
        dir_ = d;
        own_dir_ = true;
    }
    g_dir = dir_;
    if (!getenv("ZKX_REGISTRY") && !dir_.empty()) {
        std::string reg = dir_ + "/registry";
        setenv("ZKX_REGISTRY", reg.c_str(), 1);
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
