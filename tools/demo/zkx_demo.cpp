// A tour of the library's services on embedded defaults.  It makes its own
// registry, object namespace and log file under a temporary directory, so it
// needs no set-up and leaves nothing behind.
//
// The library reads its log configuration when it is loaded, so the demo
// writes the configuration first and then starts itself again with the
// library loaded against it.
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>

#include "CLib.h"
#include "ZKDLog.h"
#include "ZKExcl.h"
#include "ZKUtil.h"
#include "ZKVer.h"

namespace {

const char kStageFlag[] = "--zkx-demo-run";

void step(const char* what) { std::printf("\n== %s\n", what); }

// Log lines end in CR LF; show them without the CR.
void print_line(std::string line) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    std::printf("  %s\n", line.c_str());
}

bool set_string(HKEY root, const char* path, const char* name, const char* value) {
    HKEY key = nullptr;
    if (RegCreateKeyA(root, path, &key) != 0) return false;
    LONG r = RegSetValueExA(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value),
                            DWORD(std::strlen(value) + 1));
    RegCloseKey(key);
    return r == 0;
}

// Points the "ZKMisc" module log at a file, everything from level COM up.
bool configure_log(const std::string& log_file) {
    char path[261];
    ZKMiscMakeRegPath("ZKMisc", "Message", sizeof path, path);
    std::string log_key = std::string(path) + "\\LOG";
    return set_string(HKEY_LOCAL_MACHINE, log_key.c_str(), "OutputTo", log_file.c_str()) &&
           set_string(HKEY_LOCAL_MACHINE, log_key.c_str(), "OutputLevel", "COM");
}

int run_tour(const std::string& dir) {
    step("Memory routines");
    LPSTR copy = STRDUP("hello from STRDUP");
    std::printf("STRDUP gave \"%s\"\n", copy ? copy : "(out of memory)");
    LocalFree(copy);

    step("Registry paths and kernel-object names");
    char buf[261];
    ZKMiscMakeRegPath("ZKMisc", "Message", sizeof buf, buf);
    std::printf("log configuration key: HKLM\\%s\n", buf);
    ZKMiscMakeSysObjName("ZKDLog", "LOGExcl", "C:\\Logs\\misc.log", sizeof buf, buf);
    std::printf("mutex of C:\\Logs\\misc.log: %s\n", buf);

    step("Critical section");
    ZKEXCL_CRITSEC cs;
    ZKExclInitCritSec(&cs, 0, 0);
    DWORD first = ZKExclEnterCritSec(&cs, 0, 0, 0);
    DWORD again = ZKExclEnterCritSec(&cs, 0, 0, 0);
    std::printf("enter: %lu, enter again as owner: %lu, recursion %lu\n", (unsigned long)first,
                (unsigned long)again, (unsigned long)cs.dwRecursion);
    ZKExclLeaveCritSec(&cs, 0);
    ZKExclLeaveCritSec(&cs, 0);
    ZKExclDeleteCritSec(&cs, 0);

    step("Multi-reader mutex");
    ZKEXCL_MRMUTEX mr;
    ZKExclInitMRMutex(&mr, "demo", 0, 0);
    ZKExclEnterMRMutexRead(&mr, 0, 0, 0);
    std::printf("a reader is inside; a writer with timeout 0 gets %lu (timeout)\n",
                (unsigned long)ZKExclEnterMRMutexWrite(&mr, 0, 0, 0));
    ZKExclLeaveMRMutexRead(&mr, 0);
    std::printf("after the reader left the writer gets %lu\n",
                (unsigned long)ZKExclEnterMRMutexWrite(&mr, 0, 0, 0));
    ZKExclLeaveMRMutexWrite(&mr, 0);
    ZKExclDeleteMRMutex(&mr, 0);

    step("Version comparison");
    const char* pairs[][2] = {{"2.10.3b", "2.9"}, {"1.2", "1.2.0"}, {"1.2z", "1.3"}};
    for (auto& p : pairs) {
        LONG order = 0;
        ZKCompareVersion(p[0], p[1], &order);
        std::printf("%-8s %s %s\n", p[0], order < 0 ? "<" : order > 0 ? ">" : "=", p[1]);
    }

    step("Debug log");
    PZKDLOG_HANDLE log = nullptr;
    ZKDLogCreate("Demo", 0, &log);
    std::string demo_log = dir + "/demo.log";
    char key[261];
    ZKMiscMakeRegPath("Demo", "Message", sizeof key, key);
    set_string(HKEY_LOCAL_MACHINE, (std::string(key) + "\\LOG").c_str(), "OutputTo", demo_log.c_str());
    set_string(HKEY_LOCAL_MACHINE, (std::string(key) + "\\LOG").c_str(), "OutputLevel", "end");
    ZKDLogLoadCfg(log, 0, nullptr, 0, 0);
    ZKDLogOut(log, __FILE__, __LINE__, 0xC000B, "tour {");
    ZKDLogIndent(log, 1);
    ZKDLogOut(log, __FILE__, __LINE__, 0xC0010, "a detail: %d workers, name %s", 3, "demo");
    ZKDLogOut(log, __FILE__, __LINE__, 0xC0008, "level COM is below END: not written");
    ZKDLogIndent(log, -1);
    ZKDLogOut(log, __FILE__, __LINE__, 0xC000A, "} tour (%u)", 0u);
    ZKDLogDestroy(log, 0);
    std::printf("lines written to %s:\n", demo_log.c_str());
    std::ifstream in(demo_log);
    for (std::string line; std::getline(in, line);) print_line(line);
    return 0;
}

int show_library_log(const std::string& log_file) {
    step("The library's own log (ZKMisc, level COM and up)");
    std::ifstream in(log_file);
    int lines = 0;
    for (std::string line; std::getline(in, line); ++lines) print_line(line);
    return lines > 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc >= 3 && std::strcmp(argv[1], kStageFlag) == 0) return run_tour(argv[2]);

    char tmpl[] = "/tmp/zkx-demo-XXXXXX";
    if (!mkdtemp(tmpl)) {
        std::perror("mkdtemp");
        return 1;
    }
    const std::string dir = tmpl;
    setenv("ZKX_REGISTRY", (dir + "/registry").c_str(), 1);
    setenv("ZKX_NAMESPACE", ("demo-" + std::to_string(getpid())).c_str(), 1);
    std::printf("ZKXMisc demo: registry, namespace and logs under %s\n", dir.c_str());

    const std::string library_log = dir + "/zkmisc.log";
    if (!configure_log(library_log)) {
        std::fprintf(stderr, "zkx-demo: cannot write the demo registry under %s\n", dir.c_str());
        return 1;
    }
    std::fflush(stdout);
    pid_t child = fork();
    if (child == 0) {
        execl("/proc/self/exe", argv[0], kStageFlag, dir.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    int status = 0;
    waitpid(child, &status, 0);
    int result = WIFEXITED(status) ? WEXITSTATUS(status) : 1;
    if (result == 0) result = show_library_log(library_log);
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
    for (auto& e : std::filesystem::directory_iterator("/dev/shm", ec))
        if (e.path().filename().string().rfind("zkx.demo-" + std::to_string(getpid()), 0) == 0)
            std::filesystem::remove(e.path(), ec);
    std::printf("\n%s\n", result == 0 ? "demo finished" : "demo FAILED");
    return result;
}
