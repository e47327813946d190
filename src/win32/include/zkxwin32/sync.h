/* Kernel synchronisation objects and waits. */
#ifndef ZKXWIN32_SYNC_H
#define ZKXWIN32_SYNC_H

#include "types.h"

#define WAIT_OBJECT_0 0x00000000u
#define WAIT_ABANDONED 0x00000080u
#define WAIT_ABANDONED_0 0x00000080u
#define WAIT_TIMEOUT 0x00000102u
#define WAIT_FAILED 0xFFFFFFFFu
#define MAXIMUM_WAIT_OBJECTS 64

/* A wait that would take a mutex its owner already holds too often. */
#ifndef ERROR_MUTANT_LIMIT_EXCEEDED
#define ERROR_MUTANT_LIMIT_EXCEEDED 587L
#endif

#define SYNCHRONIZE 0x00100000u
#define EVENT_MODIFY_STATE 0x0002u
#define EVENT_ALL_ACCESS 0x1F0003u
#define MUTEX_MODIFY_STATE 0x0001u
#define MUTEX_ALL_ACCESS 0x1F0001u
#define SEMAPHORE_MODIFY_STATE 0x0002u
#define SEMAPHORE_ALL_ACCESS 0x1F0003u

/* Names of events, mutexes, semaphores and sections (one name space): at
   most 260 characters (else 206), case-sensitive.  A leading "Global\\" or
   "Local\\" is dropped, because a namespace of this layer is the session's
   and the global namespace at once: X, Local\\X and Global\\X are one
   object.  A backslash after that is refused with 3 (ERROR_PATH_NOT_FOUND,
   Windows' answer for a namespace that does not exist), an empty name after
   the prefix with 123.  Sharing with other accounts is a property of the
   namespace, not of the prefix (docs/security.md). */
ZKX_BEGIN_C
HANDLE WINAPI CreateEventA(LPSECURITY_ATTRIBUTES lpEventAttributes, BOOL bManualReset,
                           BOOL bInitialState, LPCSTR lpName);
HANDLE WINAPI OpenEventA(DWORD dwDesiredAccess, BOOL bInheritHandle, LPCSTR lpName);
BOOL WINAPI SetEvent(HANDLE hEvent);
BOOL WINAPI ResetEvent(HANDLE hEvent);
BOOL WINAPI PulseEvent(HANDLE hEvent);

HANDLE WINAPI CreateMutexA(LPSECURITY_ATTRIBUTES lpMutexAttributes, BOOL bInitialOwner,
                           LPCSTR lpName);
HANDLE WINAPI OpenMutexA(DWORD dwDesiredAccess, BOOL bInheritHandle, LPCSTR lpName);
BOOL WINAPI ReleaseMutex(HANDLE hMutex);

HANDLE WINAPI CreateSemaphoreA(LPSECURITY_ATTRIBUTES lpSemaphoreAttributes, LONG lInitialCount,
                               LONG lMaximumCount, LPCSTR lpName);
HANDLE WINAPI OpenSemaphoreA(DWORD dwDesiredAccess, BOOL bInheritHandle, LPCSTR lpName);
BOOL WINAPI ReleaseSemaphore(HANDLE hSemaphore, LONG lReleaseCount, LPLONG lpPreviousCount);

DWORD WINAPI WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds);
DWORD WINAPI WaitForMultipleObjects(DWORD nCount, const HANDLE* lpHandles, BOOL bWaitAll,
                                    DWORD dwMilliseconds);

/* Not Win32: makes the semaphore count holders.  From now on each process's
 * releases minus its takes are its units; when a process ends while it holds
 * units, the layer takes them back once it notices the death (as it hands on
 * a dead owner's mutex), and then sets zero_event if the count is 0 or resets
 * it otherwise.  It does that only while no live thread owns guard, the mutex
 * under which holders come and go, else when that thread releases it.  Every
 * process that shares the objects may say the same again; other objects for
 * a tracked semaphore, or a mutex or event that already serves another,
 * give ERROR_INVALID_PARAMETER.  Units are per process, not per thread. */
BOOL WINAPI zkx_semaphore_track_holders(HANDLE semaphore, HANDLE guard, HANDLE zero_event);

LONG WINAPI InterlockedIncrement(LONG volatile* Addend);
LONG WINAPI InterlockedDecrement(LONG volatile* Addend);
LONG WINAPI InterlockedExchange(LONG volatile* Target, LONG Value);
LONG WINAPI InterlockedCompareExchange(LONG volatile* Destination, LONG Exchange, LONG Comparand);
ZKX_END_C

#endif
