// Small helpers for the file, path and module tests.
#ifndef ZKX_TESTS_FS_TEST_HELPERS_H
#define ZKX_TESTS_FS_TEST_HELPERS_H

#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>

#include "test_env.h"

namespace zkx::test {

// Sets (or, with nullopt, removes) an environment variable for one scope.
class ScopedEnv {
public:
    ScopedEnv(const char* name, std::optional<std::string> value) : name_(name) {
        if (const char* old = getenv(name)) old_ = old;
        if (value) {
            setenv(name, value->c_str(), 1);
        } else {
            unsetenv(name);
        }
    }
    ~ScopedEnv() {
        if (old_) {
            setenv(name_.c_str(), old_->c_str(), 1);
        } else {
            unsetenv(name_.c_str());
        }
    }

private:
    std::string name_;
    std::optional<std::string> old_;
};

class ScopedCwd {
public:
    explicit ScopedCwd(const std::string& dir) : old_(std::filesystem::current_path()) {
        std::filesystem::current_path(dir);
    }
    ~ScopedCwd() { std::filesystem::current_path(old_); }

private:
    std::filesystem::path old_;
};

// A fresh directory below the test's temporary directory.
inline std::string make_dir(const std::string& name) {
    std::string dir = temp_dir() + "/" + name;
    std::filesystem::create_directories(dir);
    return dir;
}

inline void write_text(const std::string& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
}

inline std::string read_text(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

// The Windows form of a host path under drive Z:.
inline std::string on_drive_z(std::string host) {
    for (char& c : host) {
        if (c == '/') c = '\\';
    }
    return "Z:" + host;
}

}  // namespace zkx::test

#endif
