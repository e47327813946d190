// Test entry point.  Every run of a test binary gets an object namespace and
// a registry store of its own, so parallel runs never meet; the children it
// starts inherit both through the environment.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "child.h"
#include "test_env.h"

int main(int argc, char** argv) {
    int code = 0;
    if (argc > 1 && std::string(argv[1]) == zkx::test::kChildFlag) zkx::test::adopt_test_environment();
    if (zkx::test::run_child_if_requested(argc, argv, &code)) {
        fflush(nullptr);
        _exit(code);  // leave the parent's fixtures and atexit work alone
    }
    zkx::test::TestEnvironment env;
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
