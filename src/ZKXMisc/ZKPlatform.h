/*
 * The one seam between ZKXMisc and its platform.  Library sources and public
 * headers include this file and nothing platform-specific: on Windows it is
 * the system's own Win32 API, elsewhere the library's Win32 layer.
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
#define ZKAPI
#define ZKAPIV
#endif

#ifdef __cplusplus
#define ZKEXTERN extern "C"
#else
#define ZKEXTERN
#endif

#endif
