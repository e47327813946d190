#include "test_env.h"

#include <stdlib.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

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
    // Not the pid alone: a test process that was killed leaves its namespace
    // behind, and a later process given the same pid would adopt that
    // segment in whatever state it was left, such as a lock that can no
    // longer be taken.  The start time keeps every name new.
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    ns_ = "test-" + std::to_string(getpid()) + "-" + std::to_string(uint64_t(now.tv_sec) * 1000000000u + now.tv_nsec);
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
