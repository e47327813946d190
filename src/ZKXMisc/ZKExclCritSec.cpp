#include "ZKExcl.h"

// The owner and recursion words are written only by the thread that holds
// or has just been handed the lock, and read by others only to compare with
// their own id, which cannot match.  Relaxed atomic accesses say exactly
// that without changing the record's plain-word layout.
namespace {

DWORD load(const DWORD* p) { return __atomic_load_n(p, __ATOMIC_RELAXED); }
void store(DWORD* p, DWORD v) { __atomic_store_n(p, v, __ATOMIC_RELAXED); }
// A null record is a caller's slip, not a crash: it reads as invalid.
bool is_valid(const ZKEXCL_CRITSEC* cs) {
    return cs && (load(&cs->dwFlags) & ZKEXCL_CS_VALID) != 0;
}

void wipe(ZKEXCL_CRITSEC* cs) {
    store(&cs->dwFlags, 0);
    cs->lLockCount = 0;
    store(&cs->dwRecursion, 0);
    store(&cs->dwOwnerThreadId, 0);
    cs->hEvent = nullptr;
}

void take_ownership(ZKEXCL_CRITSEC* cs, DWORD self) {
    store(&cs->dwOwnerThreadId, self);
    store(&cs->dwRecursion, 1);
}

}  // namespace

ZKEXTERN DWORD ZKAPI ZKExclInitCritSec(PZKEXCL_CRITSEC pCs, DWORD, DWORD) {
    ZK_THREAD_CHECK();
    if (!pCs) return ERROR_INVALID_PARAMETER;
    wipe(pCs);
    HANDLE event = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    if (!event) return GetLastError();
    pCs->hEvent = event;
    pCs->lLockCount = -1;
    __atomic_store_n(&pCs->dwFlags, ZKEXCL_CS_VALID, __ATOMIC_RELEASE);
    return 0;
}

ZKEXTERN DWORD ZKAPI ZKExclIsValidCritSec(PZKEXCL_CRITSEC pCs) {
    ZK_THREAD_CHECK();
    return is_valid(pCs) ? 0 : ERROR_INVALID_HANDLE;
}

ZKEXTERN DWORD ZKAPI ZKExclEnterCritSec(PZKEXCL_CRITSEC pCs, DWORD dwTimeout, DWORD, DWORD) {
    ZK_THREAD_CHECK();
    if (!is_valid(pCs)) return WAIT_FAILED;
    DWORD self = GetCurrentThreadId();
    if (InterlockedIncrement(&pCs->lLockCount) == 0) {
        take_ownership(pCs, self);
        return 0;
    }
    if (load(&pCs->dwOwnerThreadId) == self) {
        store(&pCs->dwRecursion, load(&pCs->dwRecursion) + 1);
        return 0;
    }
    // A waiter that gives up keeps its increment: from then on every release
    // signals the event and every entry takes a signal, which still admits
    // one thread at a time.
    DWORD result = WaitForSingleObject(pCs->hEvent, dwTimeout);
    if (result != WAIT_OBJECT_0) return result;
    if (!is_valid(pCs)) {
        InterlockedDecrement(&pCs->lLockCount);
        return WAIT_ABANDONED;
    }
    take_ownership(pCs, self);
    return 0;
}

ZKEXTERN DWORD ZKAPI ZKExclLeaveCritSec(PZKEXCL_CRITSEC pCs, DWORD) {
    ZK_THREAD_CHECK();
    if (!is_valid(pCs)) return ERROR_INVALID_HANDLE;
    if (load(&pCs->dwOwnerThreadId) != GetCurrentThreadId()) return ERROR_NOT_OWNER;
    DWORD recursion = load(&pCs->dwRecursion) - 1;
    store(&pCs->dwRecursion, recursion);
    if (recursion == 0) {
        store(&pCs->dwOwnerThreadId, 0);
        if (InterlockedDecrement(&pCs->lLockCount) >= 0) SetEvent(pCs->hEvent);
    } else {
        InterlockedDecrement(&pCs->lLockCount);
    }
    return 0;
}

ZKEXTERN DWORD ZKAPI ZKExclDeleteCritSec(PZKEXCL_CRITSEC pCs, DWORD) {
    ZK_THREAD_CHECK();
    if (!is_valid(pCs)) return ERROR_INVALID_HANDLE;
    ZKExclEnterCritSec(pCs, 2000, 0, 0);
    HANDLE event = pCs->hEvent;
    wipe(pCs);
    if (event) CloseHandle(event);
    return 0;
}
