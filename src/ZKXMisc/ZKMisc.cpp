#include "ZKMisc.h"

#include "ZKMiscPriv.h"

HINSTANCE g_hZKMiscModule = nullptr;
PZKDLOG_HANDLE g_hZKMiscLog = nullptr;
PZKDLOG_HANDLE g_hZKShMemLog = nullptr;

namespace {
const char kSource[] = "ZKMisc";

void note(const char* what) { ZKDLogOut(g_hZKMiscLog, kSource, __LINE__, ZKMISC_TRACE(0x0008), what); }
}  // namespace

ZKEXTERN BOOL ZKAPI DllMain(HINSTANCE hInstance, DWORD dwReason, LPVOID) {
    switch (dwReason) {
        case ZKMISC_DLL_PROCESS_ATTACH:
            g_hZKMiscModule = hInstance;
            ZKDLogCreate("ZKMisc", 0, &g_hZKMiscLog);
            ZKDLogLoadCfg(g_hZKMiscLog, 0, nullptr, 0, 0);
            note("PROCESS_ATTACH");
            ZKDLogCreate("ZKShMem", 0, &g_hZKShMemLog);
            ZKDLogLoadCfg(g_hZKShMemLog, 0, nullptr, 0, 0);
            break;
        case ZKMISC_DLL_PROCESS_DETACH:
            ZKDLogDestroy(g_hZKShMemLog, 0);
            g_hZKShMemLog = nullptr;
            note("PROCESS_DETACH");
            ZKDLogDestroy(g_hZKMiscLog, 0);
            g_hZKMiscLog = nullptr;
            break;
        case ZKMISC_DLL_THREAD_ATTACH:
            note("THREAD_ATTACH");
            break;
        case ZKMISC_DLL_THREAD_DETACH:
            note("THREAD_DETACH");
            break;
        default:
            break;
    }
    return TRUE;
}
