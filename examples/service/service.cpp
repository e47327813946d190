// A small service built the way the product's components are: it keeps a
// module log, runs three pollers that trace to it, and publishes what they
// do in a shared heap, where a second process finds it by identifier.
//
//   zkx-example-service [--log FILE]   run the service (and its peer)
//   zkx-example-service peer           the second process; started by the service
//
// --log FILE points the service's module log at FILE (stored in the
// registry, as an administrator would configure it).  The exit code is 0
// when the service and its peer did everything they set out to do.
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include <ZKDLog.h>
#include <ZKPoll.h>
#include <ZKShMem.h>
#include <ZKUtil.h>

extern char** environ;

namespace {

const char kModule[] = "ExampleSvc";
const char kHeapName[] = "ExampleSvcHeap";
const DWORD kHeapSize = 64 * 1024;
const DWORD kStatusId = 0x53544154;  // 'STAT': the service's status block
const DWORD kPeerId = 0x50454552;    // 'PEER': the peer's answer
const int kPollers = 3;

#define TRACE(level, ...) ZKDLogOut(g_hLog, __FILE__, __LINE__, (level), __VA_ARGS__)

// What the service shares: one counter per poller and its own process id.
struct Status {
    LONG alPolls[kPollers];
    DWORD dwServicePid;
};

PZKDLOG_HANDLE g_hLog;
Status* g_pStatus;
HANDLE g_ahThreads[kPollers];

DWORD ZKAPI OnPoll(PZKPOLL_THREAD, DWORD dwId, DWORD dwEvent, LPDWORD, LPDWORD pdwWork, LPDWORD,
                   DWORD) {
    if (dwEvent == ZKPOLL_POLL) {
        InterlockedIncrement(&g_pStatus->alPolls[dwId - 1]);
        ++*pdwWork;
    }
    TRACE(ZKDLOG_DBG, "poller %u: event 0x%X, %u polls so far", dwId, dwEvent, *pdwWork);
    return 0;
}

DWORD ZKAPI StartPoller(PZKPOLL_HANDLE, DWORD dwId, DWORD, LPTHREAD_START_ROUTINE pfnThread,
                        LPVOID pvArg, LPDWORD, PHANDLE phThread) {
    HANDLE h = CreateThread(nullptr, 0, pfnThread, pvArg, 0, nullptr);
    if (!h) return GetLastError();
    *phThread = g_ahThreads[dwId - 1] = h;
    return 0;
}

// An administrator's configuration: file output of every record from DBG up.
bool ConfigureLog(const char* pszFile) {
    char szPath[261];
    if (ZKMiscMakeRegPath(kModule, "Message\\LOG", sizeof szPath, szPath) != 0) return false;
    HKEY hKey = nullptr;
    if (RegCreateKeyA(HKEY_LOCAL_MACHINE, szPath, &hKey) != 0) return false;
    LONG r1 = RegSetValueExA(hKey, "OutputTo", 0, REG_SZ, reinterpret_cast<const BYTE*>(pszFile),
                             DWORD(std::strlen(pszFile) + 1));
    LONG r2 = RegSetValueExA(hKey, "OutputLevel", 0, REG_SZ,
                             reinterpret_cast<const BYTE*>("DBG"), 4);
    RegCloseKey(hKey);
    return r1 == 0 && r2 == 0;
}

// On Windows this would be CreateProcess; here the process starts itself.
int RunPeerProcess(const char* pszSelf) {
    char szPeer[] = "peer";
    char* argv[] = {const_cast<char*>(pszSelf), szPeer, nullptr};
    pid_t pid = 0;
    if (posix_spawn(&pid, "/proc/self/exe", nullptr, nullptr, argv, environ) != 0) return -1;
    int status = 0;
    if (waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) return -1;
    return WEXITSTATUS(status);
}

int RunPeer() {
    PZKSHMEM_HEAD hShMem = nullptr;
    DWORD rc = ZKShMemOpen(&hShMem, kHeapSize, ZKSHMEM_READWRITE, kHeapName);
    if (rc != 0) {
        std::printf("peer: ZKShMemOpen failed (%u)\n", unsigned(rc));
        return 1;
    }
    auto* pStatus = static_cast<Status*>(ZKShMemFindMemory(hShMem, kStatusId));
    char* pszAnswer = static_cast<char*>(ZKShMemAlloc(hShMem, 64, kPeerId));
    int result = 0;
    if (!pStatus || !pszAnswer) {
        std::printf("peer: heap error %u\n", unsigned(ZKShMemGetLastError(hShMem)));
        result = 1;
    } else {
        std::printf("peer: service %u has polled %ld, %ld and %ld times\n",
                    unsigned(pStatus->dwServicePid), long(pStatus->alPolls[0]),
                    long(pStatus->alPolls[1]), long(pStatus->alPolls[2]));
        std::snprintf(pszAnswer, 64, "hello from peer %u", unsigned(GetCurrentProcessId()));
    }
    ZKShMemClose(hShMem);
    return result;
}

int RunService(const char* pszSelf, const char* pszLogFile) {
    if (pszLogFile && !ConfigureLog(pszLogFile)) {
        std::printf("service: cannot store the log configuration\n");
        return 1;
    }
    DWORD rc = ZKDLogCreate(kModule, 0, &g_hLog);
    if (rc == 0) ZKDLogLoadCfg(g_hLog, 0, nullptr, 0, 0);  // no configuration: debug output only
    TRACE(ZKDLOG_STD, "service %u starting", unsigned(GetCurrentProcessId()));

    PZKSHMEM_HEAD hShMem = nullptr;
    rc = ZKShMemOpen(&hShMem, kHeapSize, ZKSHMEM_READWRITE, kHeapName);
    if (rc == 0) {
        g_pStatus = static_cast<Status*>(ZKShMemAlloc(hShMem, sizeof(Status), kStatusId));
        if (!g_pStatus) rc = ZKShMemGetLastError(hShMem);
    }
    if (rc != 0) {
        std::printf("service: shared heap failed (%u)\n", unsigned(rc));
        if (hShMem) ZKShMemClose(hShMem);
        ZKDLogDestroy(g_hLog, 0);
        return 1;
    }
    std::memset(g_pStatus, 0, sizeof(Status));
    g_pStatus->dwServicePid = GetCurrentProcessId();

    // Two pollers on their own intervals, one that polls on command only.
    ZKPOLL_THDATA aDefs[kPollers] = {
        {OnPoll, 50, 1, {}}, {OnPoll, 120, 2, {}}, {OnPoll, INFINITE, 3, {}}};
    ZKPOLL_PARAM param = {kPollers, aDefs, StartPoller};
    PZKPOLL_HANDLE hPoll = nullptr;
    rc = ZKPollCreate(&param, &hPoll, 0);
    int result = 1;
    if (rc == 0) {
        Sleep(300);
        DWORD dwSeq = 0;
        rc = ZKPollControlAll(hPoll, 0, ZKPOLL_POLL, 0, &dwSeq, 5000);
        TRACE(ZKDLOG_DBG, "broadcast %u answered: %u", dwSeq, rc);
        int peer = RunPeerProcess(pszSelf);
        const char* pszAnswer = static_cast<const char*>(ZKShMemFindMemory(hShMem, kPeerId));
        std::printf("service: peer exited with %d and left \"%s\"\n", peer,
                    pszAnswer ? pszAnswer : "(nothing)");
        if (rc == 0 && peer == 0 && pszAnswer) result = 0;
        rc = ZKPollDestroy(hPoll, 0, 5000);
        if (rc != 0) result = 1;
    } else {
        std::printf("service: ZKPollCreate failed (%u)\n", unsigned(rc));
    }
    for (HANDLE h : g_ahThreads)
        if (h) CloseHandle(h);

    TRACE(ZKDLOG_STD, "service stopping (%u)", unsigned(result));
    ZKShMemClose(hShMem);
    ZKDLogDestroy(g_hLog, 0);
    std::printf("service: %s\n", result == 0 ? "done" : "failed");
    return result;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 2 && std::strcmp(argv[1], "peer") == 0) return RunPeer();
    if (argc == 3 && std::strcmp(argv[1], "--log") == 0) return RunService(argv[0], argv[2]);
    if (argc == 1) return RunService(argv[0], nullptr);
    std::fprintf(stderr, "usage: %s [--log FILE]\n", argv[0]);
    return 2;
}
