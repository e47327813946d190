#include "ZKExcl.h"

namespace {

// Every process that opens a named lock, of this build or an older one,
// finds its objects by these names: they are a cross-process format, and
// their bytes must not change.
const char kMutexPrefix[] = "ZK-ZKMisc-ZKMRMutex-NoWriterMutex-";
const char kEventPrefix[] = "ZK-ZKMisc-ZKMRMutex-NoReaderEvent-";
const char kSemaphorePrefix[] = "ZK-ZKMisc-ZKMRMutex-ReaderNumSem-";
constexpr DWORD kNameSize = 261;
constexpr DWORD kLeaveReadTimeout = 2000;
constexpr DWORD kDeleteTimeout = 2000;
constexpr LONG kMaxReaders = 0x7FFFFFFF;

// A null record is a caller's slip, not a crash: it reads as invalid.
bool is_valid(const ZKEXCL_MRMUTEX* mr) {
    return mr && (__atomic_load_n(&mr->dwFlags, __ATOMIC_ACQUIRE) & ZKEXCL_MR_VALID) != 0;
}

// The object name for a prefix, or null for a private lock.
LPCSTR object_name(LPCSTR prefix, LPCSTR name, char (&buffer)[kNameSize]) {
    if (!name) return nullptr;
    wsprintfA(buffer, "%s%s", prefix, name);
    return buffer;
}

// Registers one more reader; the caller holds the mutex.
void add_reader(ZKEXCL_MRMUTEX* mr) {
    LONG before = 0;
    ReleaseSemaphore(mr->hReaderNumSem, 1, &before);
    if (before == 0) ResetEvent(mr->hNoReaderEvent);
}

// Takes the reader unit the caller holds back out of the count; the caller
// holds the mutex.  The last reader out signals the event.
void remove_reader_unit_taken(ZKEXCL_MRMUTEX* mr) {
    if (WaitForSingleObject(mr->hReaderNumSem, 0) == WAIT_OBJECT_0)
        ReleaseSemaphore(mr->hReaderNumSem, 1, nullptr);
    else
        SetEvent(mr->hNoReaderEvent);
}

}  // namespace

ZKEXTERN DWORD ZKAPI ZKExclInitMRMutex(PZKEXCL_MRMUTEX pMr, LPCSTR pszName, DWORD, DWORD) {
    ZK_THREAD_CHECK();
    if (!pMr) return ERROR_INVALID_PARAMETER;
    pMr->dwFlags = 0;
    pMr->hNoWriterMutex = pMr->hNoReaderEvent = pMr->hReaderNumSem = nullptr;
    if (pszName && lstrlenA(pszName) > ZKEXCL_MR_MAX_NAME) return ERROR_INVALID_NAME;
    char name[kNameSize];
    DWORD result = 0;
    pMr->hNoWriterMutex = CreateMutexA(nullptr, FALSE, object_name(kMutexPrefix, pszName, name));
    if (pMr->hNoWriterMutex)
        pMr->hNoReaderEvent =
            CreateEventA(nullptr, TRUE, TRUE, object_name(kEventPrefix, pszName, name));
    if (pMr->hNoReaderEvent)
        pMr->hReaderNumSem = CreateSemaphoreA(nullptr, 0, kMaxReaders,
                                              object_name(kSemaphorePrefix, pszName, name));
    // A named lock is shared with other processes, and one of its readers
    // may die inside.
    if (pMr->hReaderNumSem && pszName)
        ZK_TRACK_HOLDERS(pMr->hReaderNumSem, pMr->hNoWriterMutex, pMr->hNoReaderEvent);
    if (!pMr->hReaderNumSem) {
        result = GetLastError();
        ZKExclDeleteMRMutex(pMr, 0);
        return result ? result : ERROR_INVALID_HANDLE;
    }
    __atomic_store_n(&pMr->dwFlags, ZKEXCL_MR_VALID, __ATOMIC_RELEASE);
    return 0;
}

ZKEXTERN DWORD ZKAPI ZKExclIsValidMRMutex(PZKEXCL_MRMUTEX pMr) {
    ZK_THREAD_CHECK();
    return is_valid(pMr) ? 0 : ERROR_INVALID_HANDLE;
}

ZKEXTERN DWORD ZKAPI ZKExclEnterMRMutexWrite(PZKEXCL_MRMUTEX pMr, DWORD dwTimeout, DWORD, DWORD) {
    ZK_THREAD_CHECK();
    if (!is_valid(pMr)) return WAIT_FAILED;
    const HANDLE both[2] = {pMr->hNoWriterMutex, pMr->hNoReaderEvent};
    DWORD result = WaitForMultipleObjects(2, both, TRUE, dwTimeout);
    if (result == WAIT_ABANDONED_0) {
        // A writer died inside its turn.  The mutex is ours now; give it
        // back so that the lock is usable again, and report what happened.
        ReleaseMutex(both[0]);
        return WAIT_ABANDONED;
    }
    if (result != WAIT_OBJECT_0) return result;
    if (!is_valid(pMr)) {
        // Deleted while we waited: the deleting thread waits for this mutex
        // before it closes the handle, so it is still ours to release.
        ReleaseMutex(both[0]);
        return WAIT_ABANDONED;
    }
    return 0;
}

ZKEXTERN DWORD ZKAPI ZKExclLeaveMRMutexWrite(PZKEXCL_MRMUTEX pMr, DWORD) {
    ZK_THREAD_CHECK();
    if (!is_valid(pMr)) return ERROR_INVALID_HANDLE;
    return ReleaseMutex(pMr->hNoWriterMutex) ? 0 : GetLastError();
}

ZKEXTERN DWORD ZKAPI ZKExclEnterMRMutexRead(PZKEXCL_MRMUTEX pMr, DWORD dwTimeout, DWORD, DWORD) {
    ZK_THREAD_CHECK();
    if (!is_valid(pMr)) return ERROR_INVALID_HANDLE;
    HANDLE mutex = pMr->hNoWriterMutex;
    DWORD result = WaitForSingleObject(mutex, dwTimeout);
    if (result == WAIT_ABANDONED) {
        ReleaseMutex(mutex);
        return WAIT_ABANDONED;
    }
    if (result != WAIT_OBJECT_0) return result;
    // Checked while the mutex is still held, so that a registration made for
    // a record being deleted can still be undone through its handles.
    if (!is_valid(pMr)) {
        ReleaseMutex(mutex);
        return WAIT_ABANDONED;
    }
    add_reader(pMr);
    ReleaseMutex(mutex);
    return 0;
}

ZKEXTERN DWORD ZKAPI ZKExclLeaveMRMutexRead(PZKEXCL_MRMUTEX pMr, DWORD) {
    ZK_THREAD_CHECK();
    if (!is_valid(pMr)) return ERROR_INVALID_HANDLE;
    const HANDLE both[2] = {pMr->hNoWriterMutex, pMr->hReaderNumSem};
    DWORD result = WaitForMultipleObjects(2, both, TRUE, kLeaveReadTimeout);
    if (result == WAIT_ABANDONED_0 || result == WAIT_ABANDONED_0 + 1) {
        // Whoever held the mutex died inside its turn, so what it guarded
        // may be half done: this leave does not count on it.  The wait
        // granted the mutex and a unit all the same; both go back, so that
        // nothing has changed and no mutex stays owned by this thread.
        ReleaseSemaphore(both[1], 1, nullptr);
        ReleaseMutex(both[0]);
        return ERROR_SEM_TIMEOUT;
    }
    if (result != WAIT_OBJECT_0) return ERROR_SEM_TIMEOUT;
    remove_reader_unit_taken(pMr);
    ReleaseMutex(both[0]);
    return 0;
}

ZKEXTERN DWORD ZKAPI ZKExclDeleteMRMutex(PZKEXCL_MRMUTEX pMr, DWORD) {
    ZK_THREAD_CHECK();
    if (!pMr) return 0;
    __atomic_store_n(&pMr->dwFlags, 0, __ATOMIC_RELEASE);
    if (pMr->hNoWriterMutex) {
        DWORD wait = WaitForSingleObject(pMr->hNoWriterMutex, kDeleteTimeout);
        // Ownership belongs to the thread, not the handle: give it back so
        // that other processes sharing the name are not left waiting.
        if (wait == WAIT_OBJECT_0 || wait == WAIT_ABANDONED) ReleaseMutex(pMr->hNoWriterMutex);
        CloseHandle(pMr->hNoWriterMutex);
        pMr->hNoWriterMutex = nullptr;
    }
    if (pMr->hNoReaderEvent) CloseHandle(pMr->hNoReaderEvent);
    if (pMr->hReaderNumSem) CloseHandle(pMr->hReaderNumSem);
    pMr->hNoReaderEvent = pMr->hReaderNumSem = nullptr;
    return 0;
}
