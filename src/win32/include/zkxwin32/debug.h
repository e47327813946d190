/* Debug-string output: a channel that a viewer in another process reads. */
#ifndef ZKXWIN32_DEBUG_H
#define ZKXWIN32_DEBUG_H

#include "types.h"

ZKX_BEGIN_C
void WINAPI OutputDebugStringA(LPCSTR lpOutputString);
ZKX_END_C

#endif
