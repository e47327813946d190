// The exported heap operations: argument checks, the heap mutex around the
// work on the region with its undo journal, the recovery after an owner
// that died inside an operation, the handle's last error and one trace line
// per call.
#include <cstring>
#include <memory>
#include <new>

#include "ZKShMemCheck.h"
#include "ZKShMemHeap.h"
#include "ZKShMemPriv.h"

namespace {

ZKSHMEM_UNDO undo_of(PZKSHMEM_HEAD h) { return ZKSHMEM_UNDO{zkshmem_journal(h), nullptr, nullptr}; }

bool marked_damaged(PZKSHMEM_HEAD h) {
    return __atomic_load_n(&zkshmem_journal(h)->dwDamaged, __ATOMIC_RELAXED) != 0;
}

// Only a read-write handle marks: a reader never writes the journal either.
void mark_damaged(PZKSHMEM_HEAD h) {
    if (h->dwAccess != ZKSHMEM_READONLY) __atomic_store_n(&zkshmem_journal(h)->dwDamaged, 1u, __ATOMIC_RELAXED);
}

// Under the heap mutex, when its last owner died or left a journal: 0 when
// the heap can be used.
DWORD recover(PZKSHMEM_HEAD h, bool abandoned) {
    if (marked_damaged(h)) return ERROR_FILE_CORRUPT;
    // Whatever the dead owner was doing, its lookup index is rebuilt rather
    // than trusted.
    if (h->dwAccess != ZKSHMEM_READONLY) zkshmem_lookup_invalidate(zkshmem_lookup(h));
    const bool pending = zkshmem_journal_pending(zkshmem_journal(h)) != 0;
    if (pending) {
        if (h->dwAccess == ZKSHMEM_READONLY) return ERROR_FILE_CORRUPT;
        const ZKSHMEM_UNDO undo = undo_of(h);
        zkshmem_journal_rollback(&undo, h->pBase, h->dwTotalSize);
    }
    if (!pending && !abandoned) return 0;
    // The journal undoes what a heap operation wrote; it cannot undo what
    // anything else wrote into the bookkeeping.
    ZKSHMEM_CHECK check;
    if (zkshmem_check_region(h->pBase, h->dwTotalSize, &check) == ERROR_FILE_CORRUPT) {
        mark_damaged(h);
        return ERROR_FILE_CORRUPT;
    }
    return 0;
}

// An operation that found the bookkeeping corrupt has undone its own
// writes; if the checker agrees, nobody builds on this heap any more.
DWORD settle(PZKSHMEM_HEAD h, DWORD result) {
    if (result == ERROR_FILE_CORRUPT) {
        ZKSHMEM_CHECK check;
        if (zkshmem_check_region(h->pBase, h->dwTotalSize, &check) == ERROR_FILE_CORRUPT) mark_damaged(h);
    }
    return result;
}

DWORD offset_of(PZKSHMEM_HEAD h, LPCVOID address) {
    return static_cast<DWORD>(static_cast<const BYTE*>(address) - h->pBase);
}

DWORD alloc(PZKSHMEM_HEAD h, DWORD size, DWORD id, LPVOID* address) {
    if (!h) return ERROR_INVALID_PARAMETER;
    if (id == ZKSHMEM_FREE_ID) return zkshmem_fail(h, ERROR_INVALID_PARAMETER);
    if (h->dwAccess == ZKSHMEM_READONLY) return zkshmem_fail(h, ERROR_INVALID_ACCESS);
    if (DWORD r = zkshmem_lock(h, ZKSHMEM_LOCK_TIMEOUT)) return zkshmem_fail(h, r);
    DWORD offset = 0;
    const ZKSHMEM_UNDO undo = undo_of(h);
    const DWORD r = settle(h, zkshmem_alloc(h->pBase, h->dwTotalSize, size, id, &offset, &undo, zkshmem_lookup(h)));
    zkshmem_unlock(h);
    if (r) return zkshmem_fail(h, r);
    *address = h->pBase + offset;
    return 0;
}

// Free and change-id share their checks: the address must lie in the
// region before the heap is asked whether it names a block in use.
DWORD check_block_address(PZKSHMEM_HEAD h, LPCVOID address) {
    if (!address || !zkshmem_inside(h, address)) return zkshmem_fail(h, ERROR_INVALID_PARAMETER);
    if (h->dwAccess == ZKSHMEM_READONLY) return zkshmem_fail(h, ERROR_INVALID_ACCESS);
    return 0;
}

DWORD free_block(PZKSHMEM_HEAD h, LPVOID address) {
    if (!h) return ERROR_INVALID_PARAMETER;
    if (DWORD r = check_block_address(h, address)) return r;
    if (DWORD r = zkshmem_lock(h, ZKSHMEM_LOCK_TIMEOUT)) return zkshmem_fail(h, r);
    const ZKSHMEM_UNDO undo = undo_of(h);
    const DWORD r = settle(h, zkshmem_free(h->pBase, h->dwTotalSize, offset_of(h, address), &undo, zkshmem_lookup(h)));
    zkshmem_unlock(h);
    return r ? zkshmem_fail(h, r) : 0;
}

DWORD find(PZKSHMEM_HEAD h, DWORD id, LPVOID* address) {
    if (!h) return ERROR_INVALID_PARAMETER;
    if (id == ZKSHMEM_FREE_ID) return zkshmem_fail(h, ERROR_INVALID_PARAMETER);
    if (DWORD r = zkshmem_lock(h, ZKSHMEM_LOCK_TIMEOUT)) return zkshmem_fail(h, r);
    DWORD offset = 0;
    const DWORD r = settle(h, zkshmem_find(h->pBase, h->dwTotalSize, id, &offset, zkshmem_lookup(h),
                                           h->dwAccess != ZKSHMEM_READONLY));
    zkshmem_unlock(h);
    if (r) return zkshmem_fail(h, r);
    *address = h->pBase + offset;
    return 0;
}

DWORD change_id(PZKSHMEM_HEAD h, LPVOID address, DWORD id) {
    if (!h) return ERROR_INVALID_PARAMETER;
    if (id == ZKSHMEM_FREE_ID) return zkshmem_fail(h, ERROR_INVALID_PARAMETER);
    if (DWORD r = check_block_address(h, address)) return r;
    if (DWORD r = zkshmem_lock(h, ZKSHMEM_LOCK_TIMEOUT)) return zkshmem_fail(h, r);
    const ZKSHMEM_UNDO undo = undo_of(h);
    const DWORD r =
        settle(h, zkshmem_change_id(h->pBase, h->dwTotalSize, offset_of(h, address), id, &undo,
                                            zkshmem_lookup(h)));
    zkshmem_unlock(h);
    return r ? zkshmem_fail(h, r) : 0;
}

}  // namespace

DWORD zkshmem_lock(PZKSHMEM_HEAD h, DWORD dwTimeout) {
    const DWORD wait = WaitForSingleObject(h->hMutex, dwTimeout);
    if (wait == WAIT_TIMEOUT) return ERROR_SERVICE_REQUEST_TIMEOUT;
    if (wait == WAIT_FAILED) return zkshmem_system_error();
    // Every operation commits before it lets go of the mutex, so a journal
    // in force means its owner died inside one; that owner's abandoned mutex
    // may have gone to a reader or an inspector that could not repair.
    const bool abandoned = wait == WAIT_ABANDONED;
    if (abandoned || zkshmem_journal_pending(zkshmem_journal(h)) != 0 || marked_damaged(h)) {
        if (const DWORD r = recover(h, abandoned)) {
            ReleaseMutex(h->hMutex);
            return r;
        }
    }
    return 0;
}

void zkshmem_unlock(PZKSHMEM_HEAD h) { ReleaseMutex(h->hMutex); }

DWORD zkshmem_check_handle(PZKSHMEM_HEAD hShMem, DWORD dwTimeout, ZKSHMEM_CHECK* pResult) {
    if (!hShMem) return ERROR_INVALID_HANDLE;
    // An abandoned mutex is taken like any other here: the check is what
    // reports the damage, after the rollback that any call would make.  A
    // reader checks the heap as that rollback will leave it, on a copy.
    const DWORD wait = WaitForSingleObject(hShMem->hMutex, dwTimeout);
    if (wait == WAIT_TIMEOUT) return ERROR_SERVICE_REQUEST_TIMEOUT;
    if (wait == WAIT_FAILED) return zkshmem_system_error();
    DWORD result;
    if (zkshmem_journal_pending(zkshmem_journal(hShMem)) == 0) {
        result = zkshmem_check_region(hShMem->pBase, hShMem->dwTotalSize, pResult);
    } else if (hShMem->dwAccess != ZKSHMEM_READONLY) {
        const ZKSHMEM_UNDO undo = undo_of(hShMem);
        zkshmem_lookup_invalidate(zkshmem_lookup(hShMem));
        zkshmem_journal_rollback(&undo, hShMem->pBase, hShMem->dwTotalSize);
        result = zkshmem_check_region(hShMem->pBase, hShMem->dwTotalSize, pResult);
    } else if (std::unique_ptr<BYTE[]> region{new (std::nothrow) BYTE[hShMem->dwTotalSize]}) {
        std::memcpy(region.get(), hShMem->pBase, hShMem->dwTotalSize);
        ZKSHMEM_JOURNAL journal = *zkshmem_journal(hShMem);
        const ZKSHMEM_UNDO undo{&journal, nullptr, nullptr};
        zkshmem_journal_rollback(&undo, region.get(), hShMem->dwTotalSize);
        result = zkshmem_check_region(region.get(), hShMem->dwTotalSize, pResult);
    } else {
        result = ERROR_NOT_ENOUGH_MEMORY;
    }
    if (result == ERROR_FILE_CORRUPT) mark_damaged(hShMem);
    zkshmem_unlock(hShMem);
    return result;
}

ZKEXTERN LPVOID ZKAPI ZKShMemAlloc(PZKSHMEM_HEAD hShMem, DWORD dwSize, DWORD dwId) {
    LPVOID address = nullptr;
    const DWORD result = alloc(hShMem, dwSize, dwId, &address);
    zkshmem_trace_alloc(hShMem, address, dwSize, dwId, result);
    return address;
}

ZKEXTERN BOOL ZKAPI ZKShMemFree(PZKSHMEM_HEAD hShMem, LPVOID pAddress) {
    const DWORD result = free_block(hShMem, pAddress);
    zkshmem_trace_free(hShMem, pAddress, result);
    return result == 0;
}

ZKEXTERN LPVOID ZKAPI ZKShMemFindMemory(PZKSHMEM_HEAD hShMem, DWORD dwId) {
    LPVOID address = nullptr;
    const DWORD result = find(hShMem, dwId, &address);
    zkshmem_trace_find(hShMem, address, dwId, result);
    return address;
}

ZKEXTERN BOOL ZKAPI ZKShMemChangeID(PZKSHMEM_HEAD hShMem, LPVOID pAddress, DWORD dwNewId) {
    const DWORD result = change_id(hShMem, pAddress, dwNewId);
    zkshmem_trace_change_id(hShMem, pAddress, dwNewId, result);
    return result == 0;
}

// No checks and no lock, by design: the entry's address in this process.
// Only a null handle is answered with null rather than a wild address.
ZKEXTERN LPVOID ZKAPI ZKShMemIndexAddress(PZKSHMEM_HEAD hShMem, WORD wNumber) {
    if (!hShMem) return nullptr;
    const UINT_PTR base = reinterpret_cast<UINT_PTR>(hShMem->pBase);
    return reinterpret_cast<LPVOID>(base + hShMem->dwTotalSize - ZKSHMEM_ENTRY_SIZE * UINT_PTR(wNumber));
}
