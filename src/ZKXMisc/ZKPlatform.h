/**
 * @file ZKPlatform.h
 * @brief The one seam between ZKXMisc and its platform.
 *
 * Library sources and public headers include this file and nothing
 * platform-specific: on Windows it is the system's own Win32 API, elsewhere
 * the library's Win32 layer (zkxwin32.h, installed beside this header).
 */
#ifndef ZKPLATFORM_H
#define ZKPLATFORM_H

#ifdef _WIN32
/* windows.h would otherwise define min and max as macros, which breaks
 * std::min and std::max in the portable sources. */
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#define ZKAPI __stdcall
#define ZKAPIV __cdecl
#else
#include <zkxwin32.h>
/** Calling convention of the exports: standard call on 32-bit Windows. */
#define ZKAPI
/** Calling convention of the one variadic export, ZKDLogOut: caller cleans. */
#define ZKAPIV
#endif

/* Called on entry to the library's exported functions: on Linux it gives a
 * thread that the loader has not seen yet its DLL_THREAD_ATTACH; Windows
 * does that by itself. */
#ifdef _WIN32
#define ZK_THREAD_CHECK() ((void)0)
#else
/** Gives a thread new to the loader its attach notice (library internal). */
#define ZK_THREAD_CHECK() zkx_dll_thread_check()
#endif

/* Buffered C file I/O on a Windows path: the C library's own on Windows, the
 * layer's path mapping in front of it elsewhere. */
#ifdef _WIN32
#define ZK_FOPEN fopen
#else
/** fopen on a Windows-style path (library internal). */
#define ZK_FOPEN zkx_fopen
#endif

/* Readers of a shared multi-reader mutex that die inside give their unit
 * back: the layer's extension on Linux; Windows has no such thing. */
#ifdef _WIN32
#define ZK_TRACK_HOLDERS(sem, guard, zero_event) ((void)0)
#else
/** Makes a reader-count semaphore give back a dead process's units (library internal). */
#define ZK_TRACK_HOLDERS(sem, guard, zero_event) ((void)zkx_semaphore_track_holders(sem, guard, zero_event))
#endif

#ifdef __cplusplus
/** Linkage of the exports: plain C names. */
#define ZKEXTERN extern "C"
#else
#define ZKEXTERN
#endif

#endif
