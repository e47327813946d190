// Helpers for tests of the debug log: capture what a handle's outputs get.
#ifndef ZKX_TESTS_DLOG_TEST_UTIL_H
#define ZKX_TESTS_DLOG_TEST_UTIL_H

#include <mutex>
#include <string>
#include <vector>

#include "ZKDLogPriv.h"

namespace zkx::test {

// Replaces both writers of a log by recorders and sets their thresholds.
class CapturedLog {
public:
    explicit CapturedLog(const char* name = "Test", WORD file_level = 0xFFFF,
                         WORD debug_level = 0xFFFF);
    ~CapturedLog();
    PZKDLOG_HANDLE handle() const { return log_; }
    std::vector<std::string> file_lines() const;
    std::vector<std::string> debug_lines() const;

private:
    static DWORD record(ZKDLOG_OUTPUT* out, LPCSTR text, DWORD length);
    PZKDLOG_HANDLE log_ = nullptr;
};

// Points a log's file output at a path with its named mutex, as a loaded
// configuration would.
void set_file_output(PZKDLOG_HANDLE log, const std::string& path, WORD level);

}  // namespace zkx::test

#endif
