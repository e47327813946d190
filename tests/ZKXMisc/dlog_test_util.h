// Helpers for tests of the debug log: capture what a handle's outputs get.
#ifndef ZKX_TESTS_DLOG_TEST_UTIL_H
#define ZKX_TESTS_DLOG_TEST_UTIL_H

#include <map>
#include <mutex>

#include "ZKDLogPriv.h"
#include "ZKUtil.h"
#include "test_util.h"

namespace zkx::test {

// Replaces both writers of a log by recorders and sets their thresholds
// (unlike the file writer, the recorder needs no path).  `hook`, when set,
// sees each line on the writing thread as it is written.
class CapturedLog {
public:
    explicit CapturedLog(const char* name = "Test", WORD file_level = 0xFFFF, WORD debug_level = 0xFFFF) {
        ZKDLogCreate(name, 0, &log_);
        log_->aOutput[0].wLevel = file_level;
        log_->aOutput[1].wLevel = debug_level;
        log_->aOutput[0].pfnWrite = log_->aOutput[1].pfnWrite = record;
    }
    ~CapturedLog() {
        hook = nullptr;
        std::lock_guard<std::mutex> guard(lock_);
        lines_.erase(&log_->aOutput[0]);
        lines_.erase(&log_->aOutput[1]);
        ZKDLogDestroy(log_, 0);
    }
    PZKDLOG_HANDLE handle() const { return log_; }
    std::vector<std::string> file_lines() const { return lines(0); }
    std::vector<std::string> debug_lines() const { return lines(1); }
    static inline std::function<void(const std::string&)> hook;

private:
    static DWORD record(ZKDLOG_OUTPUT* out, LPCSTR text, DWORD length) {
        std::string line(text, length);
        if (hook) hook(line);
        std::lock_guard<std::mutex> guard(lock_);
        lines_[out].push_back(std::move(line));
        return 0;
    }
    std::vector<std::string> lines(int output) const {
        std::lock_guard<std::mutex> guard(lock_);
        return lines_[&log_->aOutput[output]];
    }
    static inline std::mutex lock_;
    static inline std::map<const ZKDLOG_OUTPUT*, std::vector<std::string>> lines_;
    PZKDLOG_HANDLE log_ = nullptr;
};

// The name of a log file's mutex, as the log makes it.
inline std::string file_mutex_name(const std::string& path) {
    char name[260];
    ZKMiscMakeSysObjName("ZKDLog", "LOGExcl", path.c_str(), sizeof name, name);
    return name;
}

// Points a log's file output at a path with its named mutex, as a loaded
// configuration would.
inline void set_file_output(PZKDLOG_HANDLE log, const std::string& path, WORD level) {
    ZKDLOG_OUTPUT& out = log->aOutput[ZKDLOG_OUT_FILE];
    out.pszPath = static_cast<LPSTR>(LocalAlloc(LPTR, path.size() + 1));
    lstrcpyA(out.pszPath, path.c_str());
    out.hFileMutex = CreateMutexA(nullptr, FALSE, file_mutex_name(path).c_str());
    out.wLevel = level;
}

}  // namespace zkx::test

#endif
