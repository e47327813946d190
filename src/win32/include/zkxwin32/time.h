/* Tick count, local time and sleeping. */
#ifndef ZKXWIN32_TIME_H
#define ZKXWIN32_TIME_H

#include "types.h"

ZKX_BEGIN_C
/* Milliseconds of the monotonic clock, 32 bits, wrapping.  ZKX_TICK_START
 * (decimal, or hex after 0x; at most 0xFFFFFFFF, otherwise ignored) sets the
 * value the process's first call returns, so tests can start near the wrap. */
DWORD WINAPI GetTickCount(void);
/* Local time (TZ) and UTC, to the millisecond; wDayOfWeek 0 is Sunday.
 * A null pointer sets ERROR_INVALID_PARAMETER and writes nothing. */
void WINAPI GetLocalTime(LPSYSTEMTIME lpSystemTime);
void WINAPI GetSystemTime(LPSYSTEMTIME lpSystemTime);
/* Sleeps at least the given time, resuming after signals; 0 yields the
 * processor; INFINITE never returns.  It is a cancellation point. */
void WINAPI Sleep(DWORD dwMilliseconds);
ZKX_END_C

#endif
