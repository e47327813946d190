/* Library entry: the module handle and the library's two module logs. */
#ifndef ZKX_ZKMISC_H
#define ZKX_ZKMISC_H

#include "ZKPlatform.h"

#define ZKMISC_DLL_PROCESS_DETACH 0
#define ZKMISC_DLL_PROCESS_ATTACH 1
#define ZKMISC_DLL_THREAD_ATTACH 2
#define ZKMISC_DLL_THREAD_DETACH 3

/* The loader's entry.  Always returns TRUE: a log that cannot be created
 * never makes the load fail. */
ZKEXTERN BOOL ZKAPI DllMain(HINSTANCE hInstance, DWORD dwReason, LPVOID pReserved);

#endif
