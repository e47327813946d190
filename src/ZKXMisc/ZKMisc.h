/**
 * @file ZKMisc.h
 * @brief Library entry: the module handle and the library's two module logs.
 */
#ifndef ZKX_ZKMISC_H
#define ZKX_ZKMISC_H

#include "ZKPlatform.h"

/** @name Reasons the loader passes to DllMain (the system's numbers)
 * @{ */
#define ZKMISC_DLL_PROCESS_DETACH 0 /**< the process unloads the library */
#define ZKMISC_DLL_PROCESS_ATTACH 1 /**< the process loads the library */
#define ZKMISC_DLL_THREAD_ATTACH 2 /**< a thread starts */
#define ZKMISC_DLL_THREAD_DETACH 3 /**< a thread ends */
/** @} */

/**
 * @brief The loader's entry; callers never call it themselves.
 *
 * Process attach keeps the module handle and creates the "ZKMisc" and
 * "ZKShMem" module logs with their registry configuration; process detach
 * destroys them.  Thread attach and detach write one record each.
 *
 * On Linux a thread not started through the platform layer's CreateThread
 * gets its THREAD_ATTACH lazily, at its first call into the library, since
 * Linux tells a library nothing about threads that never call it; such a
 * thread that never calls the library writes no record.
 * @param hInstance The library's own module.
 * @param dwReason  One of the ZKMISC_DLL_* reasons.
 * @param pReserved Reserved.
 * @return TRUE always: a log that cannot be created never makes the load
 *         fail (its traces are then dropped).
 */
ZKEXTERN BOOL ZKAPI DllMain(HINSTANCE hInstance, DWORD dwReason, LPVOID pReserved);

#endif
