// zkx dbgview: the debug-string output of every process in the namespace.
#include <signal.h>
#include <sys/time.h>

#include <algorithm>
#include <chrono>
#include <cctype>
#include <csignal>
#include <cstdio>
#include <ctime>
#include <string>
#include <vector>

#include "cli.h"

namespace zkx::tool {
namespace {

volatile sig_atomic_t g_stop = 0;

void on_signal(int) { g_stop = 1; }

// Short reads keep Ctrl-C prompt without busy waiting.
constexpr DWORD kReadSliceMs = 200;

std::string lower(std::string s) {
    std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return std::tolower(c); });
    return s;
}

std::string now_text() {
    timeval tv;
    gettimeofday(&tv, nullptr);
    tm local;
    localtime_r(&tv.tv_sec, &local);
    char buf[32];
    std::snprintf(buf, sizeof buf, "%02d:%02d:%02d.%03d", local.tm_hour, local.tm_min, local.tm_sec,
                  int(tv.tv_usec / 1000));
    return buf;
}

int dbgview_main(Args& args) {
    std::vector<uint32_t> pids;
    std::vector<std::string> filters;
    uint32_t count = 0, timeout = 0;
    while (!args.empty()) {
        std::string v;
        if (args.take_option("--pid", &v)) {
            uint32_t pid = 0;
            if (!parse_u32(v, &pid)) throw UsageError("--pid needs a process id, not '" + v + "'");
            pids.push_back(pid);
        } else if (args.take_option("--filter", &v)) {
            filters.push_back(lower(v));
        } else if (args.take_option("--count", &v)) {
            if (!parse_u32(v, &count) || count == 0) throw UsageError("--count needs a number above 0");
        } else if (args.take_option("--timeout", &v)) {
            if (!parse_u32(v, &timeout) || timeout == 0) throw UsageError("--timeout needs milliseconds above 0");
        } else {
            args.finish();
        }
    }

    ZKX_DEBUG_VIEWER* viewer = zkx_debug_viewer_open();
    if (!viewer) {
        DWORD e = GetLastError();
        if (e == ERROR_BUSY) throw Failure("another viewer is already reading this namespace");
        throw Failure("cannot open the debug output: " + win32_error_text(e));
    }
    struct sigaction sa = {};
    sa.sa_handler = on_signal;
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    // Lets a script or test that starts us know when texts will be caught.
    std::fprintf(stderr, "zkx dbgview: reading debug output (Ctrl-C ends)\n");

    uint32_t shown = 0;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout);
    int result = kExitOk;
    char text[4096];
    while (!g_stop) {
        DWORD pid = 0;
        if (!zkx_debug_viewer_read(viewer, kReadSliceMs, &pid, text, sizeof text)) {
            if (GetLastError() != WAIT_TIMEOUT) {
                result = kExitFailed;
                std::fprintf(stderr, "zkx: reading the debug output failed: %s\n",
                             win32_error_text(GetLastError()).c_str());
                break;
            }
            if (timeout && std::chrono::steady_clock::now() >= deadline) break;
            continue;
        }
        if (timeout && std::chrono::steady_clock::now() >= deadline) g_stop = 1;
        if (!pids.empty() && std::find(pids.begin(), pids.end(), pid) == pids.end()) continue;
        std::string line = text;
        while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
        if (!filters.empty()) {
            std::string l = lower(line);
            bool hit = false;
            for (const std::string& f : filters) hit = hit || l.find(f) != std::string::npos;
            if (!hit) continue;
        }
        std::printf("%s  %6u  %s\n", now_text().c_str(), unsigned(pid), printable(line).c_str());
        std::fflush(stdout);
        if (count && ++shown >= count) break;
    }
    zkx_debug_viewer_close(viewer);
    return result;
}

}  // namespace

extern const Command kDbgviewCommand = {
    "dbgview", "print the debug output of every process as it comes",
    "usage:\n"
    "  zkx dbgview [--pid PID]... [--filter TEXT]... [--count N] [--timeout MS]\n"
    "\n"
    "Prints each debug-output text of every process of the object namespace\n"
    "as \"time  pid  text\" until interrupted (Ctrl-C).  Only one viewer reads a\n"
    "namespace at a time; texts sent while none reads are lost.\n"
    "  --pid PID      only texts of this process (repeatable)\n"
    "  --filter TEXT  only texts containing TEXT, ignoring case (repeatable)\n"
    "  --count N      stop after N texts\n"
    "  --timeout MS   stop after MS milliseconds\n",
    dbgview_main};

}  // namespace zkx::tool
