// The heap checker: verifies every rule of the region format and names the
// first one a region breaks.  Internal to the library; the tests run it after
// every step and the shared-heap inspector runs it on live regions.
#ifndef ZKX_ZKSHMEM_CHECK_H
#define ZKX_ZKSHMEM_CHECK_H

#include "ZKShMemFormat.h"

// The rules, in the order they are checked.
#define ZKSHMEM_RULE_NONE 0u     // the region is consistent
#define ZKSHMEM_RULE_HEADER 1u   // header fields out of range: index bottom, data top, list anchors
#define ZKSHMEM_RULE_LISTS 2u    // every entry on exactly one list, links both ways, ids that fit the list
#define ZKSHMEM_RULE_BLOCKS 3u   // blocks cover the data area, tags match their entries
#define ZKSHMEM_RULE_ADJACENT 4u // no two free blocks touch
#define ZKSHMEM_RULE_DATA_TOP 5u // dwDataTop is the end of the highest block in use, or 28
#define ZKSHMEM_RULE_COUNTERS 6u // dwBytesFree and dwBytesInUse

typedef struct _ZKSHMEM_CHECK {
    DWORD dwRule;       // ZKSHMEM_RULE_*
    DWORD dwOffset;     // the region offset where it was found, when one applies
    DWORD dwEntry;      // the entry concerned, when one applies (0 otherwise)
    // What the walks found, as far as they got: for a report on a live region.
    DWORD dwBlocks;         // blocks, in use and free
    DWORD dwUsedBlocks;
    DWORD dwFreeBlocks;
    DWORD dwSpareEntries;
    DWORD dwLargestFree;    // size of the largest free block, tags included
    char szText[160];   // one line that names the violation
} ZKSHMEM_CHECK;

// Checks the region of dwTotalSize bytes at pBase.  Reads nothing outside it
// whatever its bytes hold.  0 when consistent; ERROR_FILE_CORRUPT with the
// first violation in *pResult; 8 when no memory was left for the check.
DWORD zkshmem_check_region(const BYTE* pBase, DWORD dwTotalSize, ZKSHMEM_CHECK* pResult);

// Checks an open handle's region under its heap mutex, waited for up to
// dwTimeout ms: the results above, 6 for a null handle, 1053 when the mutex
// was not obtained in time, or the wait's system code.  An operation that a
// dead process left in the journal is rolled back first (for a read-only
// handle, on a copy).  A read-write handle that finds the heap damaged
// marks it so: every heap call fails with 1392 from then on.
DWORD zkshmem_check_handle(PZKSHMEM_HEAD hShMem, DWORD dwTimeout, ZKSHMEM_CHECK* pResult);

#endif
