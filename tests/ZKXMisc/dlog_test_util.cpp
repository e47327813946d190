#include "dlog_test_util.h"

#include <map>

#include "ZKUtil.h"

namespace zkx::test {
namespace {
std::mutex g_lock;
std::map<const ZKDLOG_OUTPUT*, std::vector<std::string>> g_lines;
}  // namespace

CapturedLog::CapturedLog(const char* name, WORD file_level, WORD debug_level) {
    ZKDLogCreate(name, 0, &log_);
    log_->aOutput[0].wLevel = file_level;
    // A configured file output has a path; a fresh handle's has none.
    if (file_level != 0xFFFF) {
        log_->aOutput[0].pszPath = static_cast<LPSTR>(LocalAlloc(LPTR, 16));
        lstrcpyA(log_->aOutput[0].pszPath, "captured");
    }
    log_->aOutput[1].wLevel = debug_level;
    log_->aOutput[0].pfnWrite = record;
    log_->aOutput[1].pfnWrite = record;
}

CapturedLog::~CapturedLog() {
    std::lock_guard<std::mutex> guard(g_lock);
    g_lines.erase(&log_->aOutput[0]);
    g_lines.erase(&log_->aOutput[1]);
    ZKDLogDestroy(log_, 0);
}

DWORD CapturedLog::record(ZKDLOG_OUTPUT* out, LPCSTR text, DWORD length) {
    if (out->wKind == 4 && !out->pszPath) return 0;  // as the file writer does
    std::lock_guard<std::mutex> guard(g_lock);
    g_lines[out].emplace_back(text, length);
    return 0;
}

std::vector<std::string> CapturedLog::file_lines() const {
    std::lock_guard<std::mutex> guard(g_lock);
    return g_lines[&log_->aOutput[0]];
}

std::vector<std::string> CapturedLog::debug_lines() const {
    std::lock_guard<std::mutex> guard(g_lock);
    return g_lines[&log_->aOutput[1]];
}

void set_file_output(PZKDLOG_HANDLE log, const std::string& path, WORD level) {
    ZKDLOG_OUTPUT& out = log->aOutput[0];
    out.pszPath = static_cast<LPSTR>(LocalAlloc(LPTR, path.size() + 1));
    lstrcpyA(out.pszPath, path.c_str());
    char name[260];
    ZKMiscMakeSysObjName("ZKDLog", "LOGExcl", path.c_str(), sizeof name, name);
    out.hFileMutex = CreateMutexA(nullptr, FALSE, name);
    out.wLevel = level;
}

}  // namespace zkx::test
