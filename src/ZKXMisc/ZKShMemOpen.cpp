// The per-process side of a shared region: open and close by name, the
// translations between offsets and this process's addresses, and the
// handle's last error.
#include <cstring>

#include "ZKShMemHeap.h"
#include "ZKShMemPriv.h"

namespace {

void close_journal(ZKSHMEM_OPEN_HEAD* h) {
    UnmapViewOfFile(h->pJournal);
    CloseHandle(h->hJournal);
    h->pJournal = nullptr;
    h->hJournal = nullptr;
}

// The region's undo journal, created or opened with the same protection as
// the region and under the same open mutex, so that whoever finds a region
// finds its journal.  A new region starts with an empty journal that records
// the region's size.  The region itself does not, and an opener that gives
// another size would lay its index table over the creator's blocks, so it is
// refused before it maps anything.
DWORD open_journal(ZKSHMEM_OPEN_HEAD* h, DWORD protection, DWORD view_access, bool new_region) {
    char name[sizeof ZKSHMEM_JOURNAL_PREFIX + ZKSHMEM_NAME_SIZE];
    wsprintfA(name, "%s%s", ZKSHMEM_JOURNAL_PREFIX, h->szName);
    h->hJournal = CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, protection, 0,
                                     sizeof(ZKSHMEM_JOURNAL), name);
    if (!h->hJournal) return zkshmem_system_error();
    h->pJournal = static_cast<ZKSHMEM_JOURNAL*>(
        MapViewOfFile(h->hJournal, view_access, 0, 0, sizeof(ZKSHMEM_JOURNAL)));
    if (!h->pJournal) {
        const DWORD code = zkshmem_system_error();
        CloseHandle(h->hJournal);
        h->hJournal = nullptr;
        return code;
    }
    if (new_region) {
        std::memset(h->pJournal, 0, sizeof *h->pJournal);
        h->pJournal->dwTotalSize = h->dwTotalSize;
    } else if (h->pJournal->dwTotalSize != h->dwTotalSize) {
        close_journal(h);
        return ERROR_INVALID_PARAMETER;
    }
    return 0;
}

// The region's lookup index, beside it like the journal.  A new section is
// zero-filled, which no operation takes for a valid index: the first writer
// builds it from the region.
DWORD open_lookup(ZKSHMEM_OPEN_HEAD* h, DWORD protection, DWORD view_access, bool new_region) {
    char name[sizeof ZKSHMEM_LOOKUP_PREFIX + ZKSHMEM_NAME_SIZE];
    wsprintfA(name, "%s%s", ZKSHMEM_LOOKUP_PREFIX, h->szName);
    const DWORD size = zkshmem_lookup_size(h->dwTotalSize);
    h->hLookup = CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, protection, 0, size, name);
    if (!h->hLookup) return zkshmem_system_error();
    h->pLookup = static_cast<ZKSHMEM_LOOKUP*>(MapViewOfFile(h->hLookup, view_access, 0, 0, size));
    if (!h->pLookup) {
        const DWORD code = zkshmem_system_error();
        CloseHandle(h->hLookup);
        h->hLookup = nullptr;
        return code;
    }
    // One left by a region of the same name that is gone describes nothing.
    if (new_region) zkshmem_lookup_invalidate(h->pLookup);
    return 0;
}

// Creates or opens the region's section and maps it; the first opener lays
// the heap out before anyone else can get past the open mutex.
DWORD open_region(PZKSHMEM_HEAD h) {
    char open_mutex_name[sizeof ZKSHMEM_OPEN_MUTEX_FORMAT + ZKSHMEM_NAME_SIZE];
    wsprintfA(open_mutex_name, ZKSHMEM_OPEN_MUTEX_FORMAT, h->szName);
    HANDLE open_mutex = CreateMutexA(nullptr, FALSE, open_mutex_name);
    if (!open_mutex) return zkshmem_fail(h, zkshmem_system_error());

    DWORD protection, view_access;
    if (h->dwAccess == ZKSHMEM_READONLY) {
        protection = PAGE_READONLY;
        view_access = FILE_MAP_READ;
    } else if (h->dwAccess == ZKSHMEM_READWRITE) {
        protection = PAGE_READWRITE;
        view_access = FILE_MAP_WRITE;
    } else {
        CloseHandle(open_mutex);
        return zkshmem_fail(h, ERROR_INVALID_PARAMETER);
    }

    const DWORD wait = WaitForSingleObject(open_mutex, ZKSHMEM_LOCK_TIMEOUT);
    if (wait == WAIT_TIMEOUT || wait == WAIT_FAILED) {
        const DWORD code = wait == WAIT_TIMEOUT ? DWORD(ERROR_SERVICE_REQUEST_TIMEOUT) : zkshmem_system_error();
        CloseHandle(open_mutex);
        return zkshmem_fail(h, code);
    }
    // Anything else, an abandoned mutex included, is ours now.
    DWORD result = 0;
    h->hMapping = CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, protection, 0,
                                     h->dwTotalSize, h->szMapName);
    if (!h->hMapping) {
        result = zkshmem_system_error();
    } else {
        const bool existed = GetLastError() == ERROR_ALREADY_EXISTS;
        if (h->dwAccess == ZKSHMEM_READONLY && !existed) {
            // A reader never creates a region, and leaves no section behind.
            result = ERROR_OPEN_FAILED;
        } else if ((result = open_journal(zkshmem_open_head(h), protection, view_access, !existed)) == 0) {
            h->pBase = static_cast<BYTE*>(MapViewOfFile(h->hMapping, view_access, 0, 0,
                                                        h->dwTotalSize));
            if (!h->pBase) {
                result = zkshmem_system_error();
            } else if ((result = open_lookup(zkshmem_open_head(h), protection, view_access, !existed)) != 0) {
                UnmapViewOfFile(h->pBase);
                h->pBase = nullptr;
            } else if (!existed) {
                zkshmem_layout(h->pBase, h->dwTotalSize);
            }
            if (result != 0) close_journal(zkshmem_open_head(h));
        }
        if (result != 0) {
            CloseHandle(h->hMapping);
            h->hMapping = nullptr;
        }
    }
    ReleaseMutex(open_mutex);
    CloseHandle(open_mutex);
    return result ? zkshmem_fail(h, result) : 0;
}

DWORD open_handle(PZKSHMEM_HEAD* out, DWORD size, DWORD access, LPCSTR name, PZKSHMEM_HEAD* opened) {
    if (!out || !name) return ERROR_INVALID_HANDLE;
    *out = nullptr;
    PZKSHMEM_HEAD h = static_cast<PZKSHMEM_HEAD>(LocalAlloc(LPTR, sizeof(ZKSHMEM_OPEN_HEAD)));
    if (!h) return ERROR_NOT_ENOUGH_MEMORY;
    // Refused before any object exists: a name that does not fit its
    // buffers, and a size that gives no usable region (0, or a region that
    // would not fit in 32 bits).
    if (lstrlenA(name) > ZKSHMEM_MAX_NAME || zkshmem_region_size(size, &h->dwTotalSize) != 0) {
        LocalFree(h);
        return ERROR_INVALID_PARAMETER;
    }
    lstrcpyA(h->szName, name);
    wsprintfA(h->szMapName, "%s%s", ZKSHMEM_MAP_PREFIX, name);
    h->dwSize = size;
    h->dwAccess = access;

    char mutex_name[sizeof ZKSHMEM_MUTEX_PREFIX + ZKSHMEM_NAME_SIZE];
    wsprintfA(mutex_name, "%s%s", ZKSHMEM_MUTEX_PREFIX, name);
    h->hMutex = CreateMutexA(nullptr, FALSE, mutex_name);
    if (!h->hMutex) {
        const DWORD code = zkshmem_system_error();
        LocalFree(h);
        return code;
    }
    if (const DWORD code = open_region(h)) {
        CloseHandle(h->hMutex);
        LocalFree(h);
        return code;
    }
    *out = h;
    *opened = h;
    return 0;
}

}  // namespace

DWORD zkshmem_fail(PZKSHMEM_HEAD h, DWORD code) {
    __atomic_store_n(&h->dwLastError, code, __ATOMIC_RELAXED);
    return code;
}

DWORD zkshmem_system_error() {
    const DWORD code = GetLastError();
    return code ? code : DWORD(ERROR_INVALID_FUNCTION);
}

bool zkshmem_inside(PZKSHMEM_HEAD h, LPCVOID address) {
    const UINT_PTR a = reinterpret_cast<UINT_PTR>(address);
    const UINT_PTR base = reinterpret_cast<UINT_PTR>(h->pBase);
    return a >= base && a - base <= h->dwTotalSize;
}

ZKEXTERN DWORD ZKAPI ZKShMemOpen(PZKSHMEM_HEAD* phShMem, DWORD dwSize, DWORD dwAccess,
                                 LPCSTR pszName) {
    PZKSHMEM_HEAD opened = nullptr;
    const DWORD result = open_handle(phShMem, dwSize, dwAccess, pszName, &opened);
    zkshmem_trace_open(opened, dwSize, dwAccess, pszName, result);
    return result;
}

ZKEXTERN DWORD ZKAPI ZKShMemClose(PZKSHMEM_HEAD hShMem) {
    DWORD result = ERROR_INVALID_PARAMETER;
    if (hShMem) {
        UnmapViewOfFile(zkshmem_open_head(hShMem)->pLookup);
        CloseHandle(zkshmem_open_head(hShMem)->hLookup);
        close_journal(zkshmem_open_head(hShMem));
        UnmapViewOfFile(hShMem->pBase);
        CloseHandle(hShMem->hMapping);
        CloseHandle(hShMem->hMutex);
        LocalFree(hShMem);
        result = 0;
    }
    zkshmem_trace_close(hShMem, result);
    return result;
}

ZKEXTERN LPVOID ZKAPI ZKShMemBaseAddress(PZKSHMEM_HEAD hShMem) {
    return hShMem ? hShMem->pBase : nullptr;
}

ZKEXTERN LPVOID ZKAPI ZKShMemGetAddress(PZKSHMEM_HEAD hShMem, DWORD dwOffset) {
    if (!hShMem) return nullptr;
    if (dwOffset > hShMem->dwTotalSize) {
        zkshmem_fail(hShMem, ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    return hShMem->pBase + dwOffset;
}

ZKEXTERN DWORD ZKAPI ZKShMemGetOffset(PZKSHMEM_HEAD hShMem, LPCVOID pAddress) {
    if (!hShMem) return 0;
    if (!zkshmem_inside(hShMem, pAddress)) {
        zkshmem_fail(hShMem, ERROR_INVALID_PARAMETER);
        return 0;
    }
    return static_cast<DWORD>(static_cast<const BYTE*>(pAddress) - hShMem->pBase);
}

ZKEXTERN DWORD ZKAPI ZKShMemGetLastError(PZKSHMEM_HEAD hShMem) {
    return hShMem ? __atomic_load_n(&hShMem->dwLastError, __ATOMIC_RELAXED) : 0;
}
