/*
 * The Win32 platform layer on Linux: the subset of kernel32, advapi32 and
 * user32 that ZKXMisc and its tools use, with the semantics they rely on.
 *
 * Library code never includes this file directly; it includes ZKPlatform.h,
 * which picks the real <windows.h> on Windows and this file elsewhere.
 *
 * Environment variables (see README):
 *   ZKX_NAMESPACE  object namespace shared by cooperating processes
 *   ZKX_REGISTRY   directory of the registry store
 *   ZKX_DRIVE_<L>  directory that drive letter L maps to (Z: is "/")
 *   ZKX_TICK_START value GetTickCount starts from in this process
 *   ZKX_CODEPAGE   ANSI code page: 1252 by default; 932, 936, 949, 950 are double-byte
 */
#ifndef ZKXWIN32_H
#define ZKXWIN32_H

#include "zkxwin32/types.h"
#include "zkxwin32/errors.h"
#include "zkxwin32/handles.h"
#include "zkxwin32/sync.h"
#include "zkxwin32/thread.h"
#include "zkxwin32/memory.h"
#include "zkxwin32/time.h"
#include "zkxwin32/file.h"
#include "zkxwin32/text.h"
#include "zkxwin32/debug.h"
#include "zkxwin32/system.h"
#include "zkxwin32/registry.h"
#include "zkxwin32/loader.h"
#include "zkxwin32/mapping.h"

#endif
