// What most test files need: GoogleTest, child processes, the test
// environment, and the small helpers that several files would otherwise
// each write again (files, waiting, names).
#ifndef ZKX_TESTS_TEST_UTIL_H
#define ZKX_TESTS_TEST_UTIL_H

#include <gtest/gtest.h>
#ifdef _WIN32
#include <process.h>
#else
#include <unistd.h>
#endif

#include <atomic>
#include <chrono>
#include <cstring>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "child.h"
#include "test_env.h"

namespace zkx::test {

inline std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

inline void write_file(const std::string& path, const std::string& text) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
}

inline long elapsed_ms(std::chrono::steady_clock::time_point since) {
    return long(std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - since)
                    .count());
}

// Polls `done` every millisecond; false once `timeout_ms` has passed.
inline bool wait_until(const std::function<bool()>& done, int timeout_ms = 10000) {
    for (auto start = std::chrono::steady_clock::now(); !done();
         std::this_thread::sleep_for(std::chrono::milliseconds(1)))
        if (elapsed_ms(start) > timeout_ms) return false;
    return true;
}

// A name of this test process's own; every test runs in a process of its
// own, so parallel runs never meet.
inline std::string unique_name(const std::string& base) {
#ifdef _WIN32
    return base + "-" + std::to_string(_getpid());
#else
    return base + "-" + std::to_string(getpid());
#endif
}

}  // namespace zkx::test

#endif
