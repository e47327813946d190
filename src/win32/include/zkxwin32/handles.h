/* Handles of every kind. */
#ifndef ZKXWIN32_HANDLES_H
#define ZKXWIN32_HANDLES_H

#include "types.h"

ZKX_BEGIN_C
BOOL WINAPI CloseHandle(HANDLE hObject);
ZKX_END_C

#endif
