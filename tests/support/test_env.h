#ifndef ZKX_TESTS_TEST_ENV_H
#define ZKX_TESTS_TEST_ENV_H

#include <string>

namespace zkx::test {

// Gives the process (unless it is a child a test started) its own
// ZKX_NAMESPACE and a fresh ZKX_REGISTRY directory, and removes both at exit.
// On Windows ns() is the registry key that stands in for the store.
class TestEnvironment {
public:
    TestEnvironment();
    ~TestEnvironment();
    const std::string& ns() const { return ns_; }
    const std::string& temp_dir() const { return dir_; }

private:
    std::string ns_;
    std::string dir_;
    bool own_ns_ = false;
    bool own_dir_ = false;
};

// In a child process: joins the environment of the test process that
// started it (Linux: the inherited variables already do that).
void adopt_test_environment();

// True when the suite runs under Wine and Wine departs from Windows in the
// behaviour `what` describes; the caller then leaves that check out.  The
// departure is printed, so that every skipped check shows in the log.
bool wine_departs(const char* what);

// True on Windows, where the call `what` describes faults or misbehaves
// where the layer, by its rule that bad input gets a clear error, refuses
// it; the caller then leaves that check out.
bool windows_faults_on(const char* what);

// The temporary directory of this test process (removed at exit).
const std::string& temp_dir();

}  // namespace zkx::test

#endif
