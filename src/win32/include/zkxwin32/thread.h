/* Threads and processes. */
#ifndef ZKXWIN32_THREAD_H
#define ZKXWIN32_THREAD_H

#include "types.h"

typedef DWORD(WINAPI* PTHREAD_START_ROUTINE)(LPVOID lpThreadParameter);
typedef PTHREAD_START_ROUTINE LPTHREAD_START_ROUTINE;

#if defined(__GNUC__)
#define ZKX_NORETURN __attribute__((noreturn))
#else
#define ZKX_NORETURN __declspec(noreturn)
#endif

#define STILL_ACTIVE 259u
#define CREATE_SUSPENDED 0x00000004u

ZKX_BEGIN_C
HANDLE WINAPI CreateThread(LPSECURITY_ATTRIBUTES lpThreadAttributes, SIZE_T dwStackSize,
                           LPTHREAD_START_ROUTINE lpStartAddress, LPVOID lpParameter,
                           DWORD dwCreationFlags, LPDWORD lpThreadId);
/* Ends the calling thread, started by CreateThread or not (main included).
   When it is the process's last thread, the process exits with dwExitCode
   as on Windows, also when the last thread is one CreateThread started and
   it returns from its routine; the parent of a Linux process sees only the
   code's low 8 bits. */
ZKX_NORETURN void WINAPI ExitThread(DWORD dwExitCode);
BOOL WINAPI TerminateThread(HANDLE hThread, DWORD dwExitCode);
BOOL WINAPI GetExitCodeThread(HANDLE hThread, LPDWORD lpExitCode);
DWORD WINAPI GetCurrentThreadId(void);
DWORD WINAPI GetCurrentProcessId(void);
HANDLE WINAPI GetCurrentThread(void);
HANDLE WINAPI GetCurrentProcess(void);
ZKX_END_C

#endif
