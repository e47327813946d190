// zkx demo: the library at work on embedded defaults.  It makes its own
// registry, object namespace and log file under a temporary directory, so
// it needs no set-up and leaves nothing behind.
//
// The library reads its log configuration when it is loaded, so the demo
// writes the configuration first and then runs its stages in a new zkx
// process that loads the library against it.
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>

#include "ZKUtil.h"
#include "system/namespace_dir.h"
#include "ZKVer.h"
#include "cli.h"
#include "demo_steps.h"
#include "reg_key.h"

namespace zkx::tool {
namespace {

const char kStageFlag[] = "--stage";

void step(const char* what) {
    std::printf("\n== %s\n", what);
    std::fflush(stdout);
}

bool set_string(const std::string& sub, const char* name, const std::string& value) {
    OpenKey key;
    return key.create(HKEY_LOCAL_MACHINE, sub) == 0 &&
           RegSetValueExA(key.get(), name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                          DWORD(value.size() + 1)) == 0;
}

// The "ZKMisc" module log (the poll threads' traces) and the "ZKShMem" log
// (one line per heap call) go to one file.
bool configure_logs(const std::string& file) {
    for (const char* module : {"ZKMisc", "ZKShMem"}) {
        char path[261];
        ZKMiscMakeRegPath(module, "Message", sizeof path, path);
        std::string log_key = std::string(path) + "\\LOG";
        if (!set_string(log_key, "OutputTo", file) || !set_string(log_key, "OutputLevel", "END"))
            return false;
    }
    return true;
}

int run_stages(const std::string& dir) {
    step("Poll threads");
    int rc = demo_pollers();
    if (rc != 0) return rc;
    step("Version comparison");
    for (auto& p : {std::make_pair("2.10.3b", "2.9"), std::make_pair("1.2", "1.2.0"),
                    std::make_pair("1.2z", "1.3")}) {
        LONG order = 0;
        ZKCompareVersion(p.first, p.second, &order);
        std::printf("  %-8s %s %s\n", p.first, order < 0 ? "<" : order > 0 ? ">" : "=", p.second);
    }
    return demo_shared_heap(dir);
}

int show_log(const std::string& file) {
    step("The library's log (modules ZKMisc and ZKShMem, level END and up)");
    std::ifstream in(file);
    int lines = 0, details = 0;
    for (std::string line; std::getline(in, line); ++lines) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        // The workers' DBG details would bury the calls; count them instead.
        if (line.find(", DBG, ") != std::string::npos) {
            ++details;
            continue;
        }
        std::printf("  %s\n", printable(line).c_str());
    }
    if (lines == 0) std::printf("  (nothing was written)\n");
    if (details) std::printf("  (and %d DBG lines of the workers' steps)\n", details);
    return lines > 0 ? kExitOk : kExitFailed;
}

void remove_namespace(const std::string& ns) { zkx::win32::remove_private_namespace(ns); }

int demo_main(Args& args) {
    std::string stage_dir;
    if (args.take_flag("--heap-peer")) return demo_heap_peer();
    if (args.take_option(kStageFlag, &stage_dir)) {
        args.finish();
        return run_stages(stage_dir);
    }
    args.finish();
    auto start = std::chrono::steady_clock::now();

    char tmpl[] = "/tmp/zkx-demo-XXXXXX";
    if (!mkdtemp(tmpl)) throw Failure(std::string("cannot make a temporary directory: ") + std::strerror(errno));
    const std::string dir = tmpl;
    const std::string ns = "demo-" + std::to_string(getpid());
    setenv("ZKX_REGISTRY", (dir + "/registry").c_str(), 1);
    setenv("ZKX_NAMESPACE", ns.c_str(), 1);
    std::printf("zkx demo: registry, object namespace and log under %s\n", dir.c_str());

    const std::string log_file = dir + "/zkxmisc.log";
    step("Log configuration");
    if (!configure_logs(log_file)) {
        std::filesystem::remove_all(dir);
        throw Failure("cannot write the demo's registry under " + dir);
    }
    std::printf("  ZKMisc and ZKShMem log to %s from level END\n", log_file.c_str());
    std::fflush(stdout);

    pid_t child = fork();
    if (child == 0) {
        execl("/proc/self/exe", "zkx", "demo", kStageFlag, dir.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    int status = 0;
    waitpid(child, &status, 0);
    int result = WIFEXITED(status) ? WEXITSTATUS(status) : kExitFailed;
    if (result == 0) result = show_log(log_file);

    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
    remove_namespace(ns);
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::printf("\n%s in %.1f s\n", result == 0 ? "demo finished" : "demo FAILED", seconds);
    if (result != 0) throw Failure("the demo failed (code " + std::to_string(result) + ")");
    return kExitOk;
}

}  // namespace

extern const Command kDemoCommand = {
    "demo", "run the library's main job on its own temporary set-up",
    "usage:\n"
    "  zkx demo\n"
    "\n"
    "Makes a temporary registry, object namespace and log file, configures the\n"
    "library's log, runs three pollers and suspends and resumes them, shares a\n"
    "heap between two processes, and shows what happened, the heap's contents\n"
    "and the log lines at the end.  Removes everything it made.\n",
    demo_main};

}  // namespace zkx::tool
