// The child entry points and the child side of the command line; starting,
// waiting for and killing children is the platform's (child_posix.cpp,
// child_windows.cpp).
#include "child.h"

#include <cstdio>
#include <cstring>
#include <map>

namespace zkx::test {
namespace {

std::map<std::string, ChildMain>& registry() {
    static std::map<std::string, ChildMain> children;
    return children;
}

}  // namespace

ChildRegistrar::ChildRegistrar(const char* name, ChildMain fn) { registry()[name] = fn; }

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
