#include "test_env.h"

#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

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
    // The namespace is a directory of this user's: root's under /run/zkx,
    // another user's under $XDG_RUNTIME_DIR/zkx or /dev/shm/zkx-<uid>.
    if (own_ns_) {
        std::vector<std::string> dirs = {"/run/zkx/" + ns_,
                                         "/dev/shm/zkx-" + std::to_string(geteuid()) + "/" + ns_};
        if (const char* xdg = getenv("XDG_RUNTIME_DIR")) dirs.push_back(std::string(xdg) + "/zkx/" + ns_);
        for (const std::string& d : dirs) {
            struct stat st {};
            if (lstat(d.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == geteuid())
                std::filesystem::remove_all(d, ec);
        }
    }
}

void adopt_test_environment() {}

bool wine_departs(const char*) { return false; }
bool windows_faults_on(const char*) { return false; }

const std::string& temp_dir() { return g_dir; }

}  // namespace zkx::test
