// The way back from a heap marked damaged, for the administrator's tool.
// Internal to the library, like the checker: no export reaches it.
//
// Only bookkeeping that follows from what is provably intact is rebuilt:
// the blocks are found by walking the data area, where each block's place
// and size are confirmed by its entry and by the block that follows it;
// the used list's order by one of its two link directions.  From those
// the free and spare lists, the counters, the data top and any lost
// boundary tag are written again.  A block in use keeps its place, size,
// identifier and bytes; when that cannot be shown, nothing is written.
#ifndef ZKX_ZKSHMEM_REPAIR_H
#define ZKX_ZKSHMEM_REPAIR_H

#include "ZKShMemCheck.h"

typedef struct _ZKSHMEM_REPAIR {
    DWORD dwRolledBack;     // a dead process's operation was rolled back first
    DWORD dwWasMarked;      // the region was marked damaged
    DWORD dwRebuilt;        // bookkeeping was rewritten
    DWORD dwBytesChanged;   // region bytes the rebuild changed
    ZKSHMEM_CHECK before;   // the checker's verdict before the rebuild
    char szText[320];       // what was done, or why the repair was refused
} ZKSHMEM_REPAIR;

// Rebuilds the bookkeeping of the region of dwTotalSize bytes at pBase.
// 0 when it is consistent now (dwRebuilt says whether anything was
// written); ERROR_FILE_CORRUPT, with the reason and no byte changed, when
// the blocks in use cannot be proven intact; 8 without memory for the work.
DWORD zkshmem_repair_region(BYTE* pBase, DWORD dwTotalSize, ZKSHMEM_REPAIR* pResult);

// The same on an open read-write handle's region, under its heap mutex
// waited for up to dwTimeout ms: a pending journal is rolled back first,
// as any heap call would; a consistent or rebuilt heap loses its damaged
// mark and its lookup index is rebuilt by the next call.  6 for a null
// handle, 12 for a read-only one, 1053 when the mutex stays busy.
DWORD zkshmem_repair_handle(PZKSHMEM_HEAD hShMem, DWORD dwTimeout, ZKSHMEM_REPAIR* pResult);

#endif
