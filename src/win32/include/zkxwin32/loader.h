/*
 * The loader's calls into a shared library's entry, as Windows makes them
 * into a DLL's DllMain.
 *
 * A library names its entry once with ZKX_DLL_ENTRY(DllMain): the entry is
 * called with DLL_PROCESS_ATTACH when the library is loaded (at program start
 * or by dlopen) and with DLL_PROCESS_DETACH when it is unloaded.  Threads:
 * DLL_THREAD_ATTACH when a thread started by CreateThread begins, and for any
 * other thread at its first zkx_dll_thread_check() (a library calls it on
 * entry to its exported functions); DLL_THREAD_DETACH when such a thread
 * ends.  The loading thread gets neither, as on Windows.
 */
#ifndef ZKXWIN32_LOADER_H
#define ZKXWIN32_LOADER_H

#include "types.h"

#define DLL_PROCESS_DETACH 0
#define DLL_PROCESS_ATTACH 1
#define DLL_THREAD_ATTACH 2
#define DLL_THREAD_DETACH 3

typedef BOOL(WINAPI* PDLL_ENTRY)(HINSTANCE hinstDLL, DWORD fdwReason, LPVOID lpvReserved);

ZKX_BEGIN_C
/* Calls entry with DLL_PROCESS_ATTACH and the module that holds it, then
 * keeps it for the thread notifications. */
void WINAPI zkx_dll_attach(PDLL_ENTRY entry);
/* Forgets the entry and calls it with DLL_PROCESS_DETACH. */
void WINAPI zkx_dll_detach(PDLL_ENTRY entry);
/* Gives the calling thread its DLL_THREAD_ATTACH calls if it has not had
 * them; cheap when it has. */
void WINAPI zkx_dll_thread_check(void);
ZKX_END_C

#define ZKX_DLL_ENTRY(entry)                                                 \
    __attribute__((constructor)) static void zkx_dll_load_##entry(void) {   \
        zkx_dll_attach(entry);                                               \
    }                                                                        \
    __attribute__((destructor)) static void zkx_dll_unload_##entry(void) {  \
        zkx_dll_detach(entry);                                               \
    }

#endif
