/*
 * The shared-memory heap: a heap of variable-sized blocks inside a named
 * region that several processes map at once.  Every block in use carries a
 * 32-bit identifier, so that another process can find it again without
 * knowing its address.  Positions inside the region are offsets, the same in
 * every process; addresses are valid only in the process that got them.
 *
 * Failures of the heap operations are kept per handle and read with
 * ZKShMemGetLastError; a success does not clear them.  Every call but the
 * address translations writes one trace line to the "ZKShMem" module log.
 */
#ifndef ZKX_ZKSHMEM_H
#define ZKX_ZKSHMEM_H

#include "ZKPlatform.h"

/* Opaque handle of one open region in this process. */
typedef struct _ZKSHMEM_HEAD* PZKSHMEM_HEAD;

#define ZKSHMEM_READONLY 0u
#define ZKSHMEM_READWRITE 1u
/* A region name is at most 32 characters. */
#define ZKSHMEM_MAX_NAME 32
/* The mark of a free block: the one identifier a block in use cannot carry. */
#define ZKSHMEM_FREE_ID 0xFFFFFFFFu

/* Found when the heap's own bookkeeping in the region is inconsistent (a
 * process died inside a heap operation, or a caller wrote past its block). */
#ifndef ERROR_FILE_CORRUPT
#define ERROR_FILE_CORRUPT 1392L
#endif
#ifndef ERROR_OPEN_FAILED
#define ERROR_OPEN_FAILED 110L
#endif
#ifndef ERROR_INVALID_ACCESS
#define ERROR_INVALID_ACCESS 12L
#endif
#ifndef ERROR_SERVICE_REQUEST_TIMEOUT
#define ERROR_SERVICE_REQUEST_TIMEOUT 1053L
#endif
#ifndef ERROR_SERVICE_NOT_FOUND
#define ERROR_SERVICE_NOT_FOUND 1243L
#endif

/*
 * Creates or opens the region of a name (at most 32 characters) with room
 * for dwSize bytes of payload, and maps it.  The first read-write opener lays
 * an empty heap out; later openers attach to what is there and must pass the
 * same size.  dwAccess: ZKSHMEM_READONLY (never creates a region) or
 * ZKSHMEM_READWRITE.
 * 0 with *phShMem set; otherwise *phShMem is null and the result is
 * 6 (null phShMem or name), 8 (no memory for the handle), 87 (name too long,
 * size 0 or so large that the region would exceed 4 GB, bad access value),
 * 110 (read-only open of a region that does not exist), 1053 (another open
 * of the name is in progress: retry), or the system's code.
 */
ZKEXTERN DWORD ZKAPI ZKShMemOpen(PZKSHMEM_HEAD* phShMem, DWORD dwSize, DWORD dwAccess,
                                 LPCSTR pszName);

/* Unmaps the region and frees the handle; the region lives on while any
 * other handle in any process is open on its name.  0; 87 for null. */
ZKEXTERN DWORD ZKAPI ZKShMemClose(PZKSHMEM_HEAD hShMem);

/* The region's first byte in this process; null for a null handle. */
ZKEXTERN LPVOID ZKAPI ZKShMemBaseAddress(PZKSHMEM_HEAD hShMem);

/* The address of an offset (the region's size itself is accepted); null
 * with 87 stored for a larger offset. */
ZKEXTERN LPVOID ZKAPI ZKShMemGetAddress(PZKSHMEM_HEAD hShMem, DWORD dwOffset);

/* The offset of an address in the region; 0 with 87 stored for an address
 * outside it (so the base address and a failure both give 0). */
ZKEXTERN DWORD ZKAPI ZKShMemGetOffset(PZKSHMEM_HEAD hShMem, LPCVOID pAddress);

/* The code of the latest failure on the handle, 0 if none since open. */
ZKEXTERN DWORD ZKAPI ZKShMemGetLastError(PZKSHMEM_HEAD hShMem);

/*
 * Allocates dwSize bytes (4 more may be used) for identifier dwId, first
 * fit.  The caller's memory, or null: 87 for the identifier
 * ZKSHMEM_FREE_ID, 12 for a read-only handle, 8 when nothing fits, 1053 when
 * the heap is busy for 3 ms, 1392 when the heap's bookkeeping is corrupt.
 */
ZKEXTERN LPVOID ZKAPI ZKShMemAlloc(PZKSHMEM_HEAD hShMem, DWORD dwSize, DWORD dwId);

/* Frees a block by the address Alloc or FindMemory gave.  TRUE, or FALSE:
 * 87 when the address names no block in use, 12, 1053, 1392 as Alloc. */
ZKEXTERN BOOL ZKAPI ZKShMemFree(PZKSHMEM_HEAD hShMem, LPVOID pAddress);

/* The most recently allocated block in use with the identifier, or null:
 * 1243 when there is none, 87, 1053, 1392 as Alloc.  Read-only handles may
 * search. */
ZKEXTERN LPVOID ZKAPI ZKShMemFindMemory(PZKSHMEM_HEAD hShMem, DWORD dwId);

/* Gives a block in use a new identifier; it keeps its place in the search
 * order.  TRUE, or FALSE with the codes of Free. */
ZKEXTERN BOOL ZKAPI ZKShMemChangeID(PZKSHMEM_HEAD hShMem, LPVOID pAddress, DWORD dwNewId);

/* The address of index entry wNumber; checks nothing and takes no lock. */
ZKEXTERN LPVOID ZKAPI ZKShMemIndexAddress(PZKSHMEM_HEAD hShMem, WORD wNumber);

#endif
