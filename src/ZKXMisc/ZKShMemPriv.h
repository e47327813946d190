// Inside the shared-memory heap: the handle record, the kernel-object names
// of a region, and what the family's files share.
#ifndef ZKX_ZKSHMEM_PRIV_H
#define ZKX_ZKSHMEM_PRIV_H

#include "ZKShMem.h"
#include "ZKShMemJournal.h"
#include "ZKShMemLookup.h"

#define ZKSHMEM_NAME_SIZE (ZKSHMEM_MAX_NAME + 1)
#define ZKSHMEM_MAP_PREFIX "ZKSHMEM_MAPNAME_"
#define ZKSHMEM_MAPNAME_SIZE (16 + ZKSHMEM_NAME_SIZE)
#define ZKSHMEM_MUTEX_PREFIX "ZKMUTEX_"
#define ZKSHMEM_OPEN_MUTEX_FORMAT "ZK_Open_Mutex_Name_%s"
// Both the open mutex and the heap mutex are waited for this long: a heap
// call never blocks longer, and callers retry on 1053.
#define ZKSHMEM_LOCK_TIMEOUT 3

// One per successful open, zero-filled from the local heap.  There is no
// magic word: only a null handle can be told from a good one.
struct _ZKSHMEM_HEAD {
    HANDLE hMapping;                     // the region's section
    BYTE* pBase;                         // the region's first byte in this process
    char szName[ZKSHMEM_NAME_SIZE];      // the region name
    char szMapName[ZKSHMEM_MAPNAME_SIZE];// "ZKSHMEM_MAPNAME_" + name
    DWORD dwSize;                        // payload size given at open
    DWORD dwTotalSize;                   // the region's size, derived from dwSize
    HANDLE hMutex;                       // the heap mutex, "ZKMUTEX_" + name
    DWORD dwAccess;                      // ZKSHMEM_READONLY or ZKSHMEM_READWRITE
    DWORD dwLastError;                   // the latest failure on the handle, shared by its threads
};

// What an open handle carries beyond the record's published fields, in the
// same allocation right after them: the record keeps its published size and
// offsets, and callers only ever hold a pointer to its start.
struct ZKSHMEM_OPEN_HEAD : _ZKSHMEM_HEAD {
    HANDLE hJournal;                     // the heap's undo journal, "ZKSHMEM_JOURNAL_" + name
    ZKSHMEM_JOURNAL* pJournal;           // its view in this process
    HANDLE hLookup;                      // the heap's lookup index, "ZKSHMEM_HEAPIDX_" + name
    ZKSHMEM_LOOKUP* pLookup;             // its view in this process
};

inline ZKSHMEM_OPEN_HEAD* zkshmem_open_head(PZKSHMEM_HEAD h) { return static_cast<ZKSHMEM_OPEN_HEAD*>(h); }
inline ZKSHMEM_JOURNAL* zkshmem_journal(PZKSHMEM_HEAD h) { return zkshmem_open_head(h)->pJournal; }
inline ZKSHMEM_LOOKUP* zkshmem_lookup(PZKSHMEM_HEAD h) { return zkshmem_open_head(h)->pLookup; }

// Stores code as the handle's last error and returns it.
DWORD zkshmem_fail(PZKSHMEM_HEAD h, DWORD code);
// The calling thread's last error, never 0: a failed call always fails.
DWORD zkshmem_system_error();
// Whether an address lies from the region's first byte to one past its last.
bool zkshmem_inside(PZKSHMEM_HEAD h, LPCVOID address);

// Takes the heap mutex: 0, 1053 when it stays busy for dwTimeout ms, the
// system's code when the wait fails.  After an owner that died holding it,
// a read-write handle rolls back what the dead owner's operation left in
// the journal and has the heap checked; 1392 (mutex given back) when the
// heap is damaged, or, for a read-only handle, when a rollback is due.
DWORD zkshmem_lock(PZKSHMEM_HEAD h, DWORD dwTimeout);
void zkshmem_unlock(PZKSHMEM_HEAD h);

// The family's trace lines, one per public call, to the "ZKShMem" module
// log.  result is 0 or the code of the failure.
void zkshmem_trace_open(PZKSHMEM_HEAD h, DWORD size, DWORD access, LPCSTR name, DWORD result);
void zkshmem_trace_close(PZKSHMEM_HEAD h, DWORD result);
void zkshmem_trace_alloc(PZKSHMEM_HEAD h, LPCVOID address, DWORD size, DWORD id, DWORD result);
void zkshmem_trace_free(PZKSHMEM_HEAD h, LPCVOID address, DWORD result);
void zkshmem_trace_find(PZKSHMEM_HEAD h, LPCVOID address, DWORD id, DWORD result);
void zkshmem_trace_change_id(PZKSHMEM_HEAD h, LPCVOID address, DWORD id, DWORD result);

#endif
