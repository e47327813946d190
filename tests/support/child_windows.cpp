// Children on Windows: the module's own file started again with
// CreateProcessA.  The tests keep the process id; the process handle that
// waiting and killing need stays here until the child has been waited for.
#include <windows.h>

#include <map>
#include <mutex>

#include "child.h"

namespace zkx::test {
namespace {

std::mutex g_mutex;
std::map<pid_t, HANDLE> g_children;

// One argument quoted for the C runtime's command-line parser: backslashes
// double only where a quote follows them.
void append_quoted(std::string* cmd, const std::string& arg) {
    cmd->push_back(' ');
    if (!arg.empty() && arg.find_first_of(" \t\"") == std::string::npos) {
        *cmd += arg;
        return;
    }
    cmd->push_back('"');
    size_t backslashes = 0;
    for (char c : arg) {
        if (c == '\\') {
            ++backslashes;
            continue;
        }
        cmd->append(c == '"' ? backslashes * 2 + 1 : backslashes, '\\');
        backslashes = 0;
        cmd->push_back(c);
    }
    cmd->append(backslashes * 2, '\\');
    cmd->push_back('"');
}

HANDLE take_handle(pid_t pid) {
    std::lock_guard<std::mutex> lock(g_mutex);
    auto it = g_children.find(pid);
    if (it == g_children.end()) return nullptr;
    HANDLE h = it->second;
    g_children.erase(it);
    return h;
}

}  // namespace

pid_t spawn_child(const std::string& name, const std::vector<std::string>& args) {
    char exe[MAX_PATH + 1];
    DWORD n = GetModuleFileNameA(nullptr, exe, sizeof exe);
    if (n == 0 || n >= sizeof exe) return -1;
    std::string cmd;
    append_quoted(&cmd, exe);
    append_quoted(&cmd, kChildFlag);
    append_quoted(&cmd, name);
    for (const auto& a : args) append_quoted(&cmd, a);
    STARTUPINFOA si{};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi{};
    if (!CreateProcessA(exe, &cmd[1], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi)) return -1;
    CloseHandle(pi.hThread);
    std::lock_guard<std::mutex> lock(g_mutex);
    g_children[pid_t(pi.dwProcessId)] = pi.hProcess;
    return pid_t(pi.dwProcessId);
}

int wait_child(pid_t pid, int timeout_ms) {
    HANDLE h = take_handle(pid);
    if (!h) return -1;
    int result = -1;
    if (WaitForSingleObject(h, DWORD(timeout_ms)) == WAIT_OBJECT_0) {
        DWORD code = 0;
        if (GetExitCodeProcess(h, &code)) result = int(code);
    } else {
        TerminateProcess(h, DWORD(kKilledStatus));
        WaitForSingleObject(h, INFINITE);
    }
    CloseHandle(h);
    return result;
}

bool child_exited(pid_t pid, int* status) {
    HANDLE h = nullptr;
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        auto it = g_children.find(pid);
        if (it == g_children.end() || WaitForSingleObject(it->second, 0) != WAIT_OBJECT_0) return false;
        h = it->second;
        g_children.erase(it);
    }
    DWORD code = 0;
    *status = GetExitCodeProcess(h, &code) ? int(code) : -1;
    CloseHandle(h);
    return true;
}

void kill_child(pid_t pid) {
    std::lock_guard<std::mutex> lock(g_mutex);
    auto it = g_children.find(pid);
    if (it == g_children.end()) return;
    TerminateProcess(it->second, DWORD(kKilledStatus));
    // TerminateProcess only starts the end; a killed child is gone at once.
    WaitForSingleObject(it->second, INFINITE);
}

}  // namespace zkx::test
