// The exported heap operations: argument checks, the heap mutex around the
// work on the region, the handle's last error and one trace line per call.
#include "ZKShMemCheck.h"
#include "ZKShMemHeap.h"
#include "ZKShMemPriv.h"

namespace {

DWORD offset_of(PZKSHMEM_HEAD h, LPCVOID address) {
    return static_cast<DWORD>(static_cast<const BYTE*>(address) - h->pBase);
}

DWORD alloc(PZKSHMEM_HEAD h, DWORD size, DWORD id, LPVOID* address) {
    if (!h) return ERROR_INVALID_PARAMETER;
    if (id == ZKSHMEM_FREE_ID) return zkshmem_fail(h, ERROR_INVALID_PARAMETER);
    if (h->dwAccess == ZKSHMEM_READONLY) return zkshmem_fail(h, ERROR_INVALID_ACCESS);
    if (DWORD r = zkshmem_lock(h, ZKSHMEM_LOCK_TIMEOUT)) return zkshmem_fail(h, r);
    DWORD offset = 0;
    const DWORD r = zkshmem_alloc(h->pBase, h->dwTotalSize, size, id, &offset);
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
    const DWORD r = zkshmem_free(h->pBase, h->dwTotalSize, offset_of(h, address));
    zkshmem_unlock(h);
    return r ? zkshmem_fail(h, r) : 0;
}

DWORD find(PZKSHMEM_HEAD h, DWORD id, LPVOID* address) {
    if (!h) return ERROR_INVALID_PARAMETER;
    if (id == ZKSHMEM_FREE_ID) return zkshmem_fail(h, ERROR_INVALID_PARAMETER);
    if (DWORD r = zkshmem_lock(h, ZKSHMEM_LOCK_TIMEOUT)) return zkshmem_fail(h, r);
    DWORD offset = 0;
    const DWORD r = zkshmem_find(h->pBase, h->dwTotalSize, id, &offset);
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
    const DWORD r = zkshmem_change_id(h->pBase, h->dwTotalSize, offset_of(h, address), id);
    zkshmem_unlock(h);
    return r ? zkshmem_fail(h, r) : 0;
}

}  // namespace

DWORD zkshmem_lock(PZKSHMEM_HEAD h, DWORD dwTimeout) {
    const DWORD wait = WaitForSingleObject(h->hMutex, dwTimeout);
    if (wait == WAIT_TIMEOUT) return ERROR_SERVICE_REQUEST_TIMEOUT;
    if (wait == WAIT_FAILED) return zkshmem_system_error();
    if (wait == WAIT_ABANDONED) {
        // The last owner died holding the heap, perhaps in the middle of an
        // operation.  Nothing can be repaired, but the caller that finds the
        // damage is told so rather than building on it unknowingly.
        ZKSHMEM_CHECK check;
        if (zkshmem_check_region(h->pBase, h->dwTotalSize, &check) == ERROR_FILE_CORRUPT) {
            ReleaseMutex(h->hMutex);
            return ERROR_FILE_CORRUPT;
        }
    }
    return 0;
}

void zkshmem_unlock(PZKSHMEM_HEAD h) { ReleaseMutex(h->hMutex); }

DWORD zkshmem_check_handle(PZKSHMEM_HEAD hShMem, DWORD dwTimeout, ZKSHMEM_CHECK* pResult) {
    if (!hShMem) return ERROR_INVALID_HANDLE;
    // An abandoned mutex is taken like any other here: the check is what
    // reports the damage.
    const DWORD wait = WaitForSingleObject(hShMem->hMutex, dwTimeout);
    if (wait == WAIT_TIMEOUT) return ERROR_SERVICE_REQUEST_TIMEOUT;
    if (wait == WAIT_FAILED) return zkshmem_system_error();
    const DWORD result = zkshmem_check_region(hShMem->pBase, hShMem->dwTotalSize, pResult);
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
