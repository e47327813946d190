/**
 * @file ZKShMem.h
 * @brief The shared-memory heap: a heap of variable-sized blocks inside a named
 * region that several processes map at once.  Every block in use carries a
 * 32-bit identifier, so that another process can find it again without
 * knowing its address.  Positions inside the region are offsets, the same in
 * every process; addresses are valid only in the process that got them.
 *
 * Beside the region, and named after it, live two more sections that every
 * handle maps: the undo journal that makes a heap operation all or nothing
 * for a process killed inside it, and a lookup index that makes first fit
 * and finding by identifier logarithmic.  Neither changes the region's
 * bytes or any result.
 *
 * Failures of the heap operations are kept per handle and read with
 * ZKShMemGetLastError; a success does not clear them.
 *
 * Each region has a second section, "ZKSHMEM_JOURNAL_" and the region name,
 * holding an undo journal: the heap's bookkeeping changes in many small
 * writes, so a process killed inside an operation would leave it half done;
 * the next read-write call rolls such an operation back.  Damage the journal
 * cannot explain (a caller wrote past its block) gives 1392
 * (ERROR_FILE_CORRUPT) on every call from then on, rather than building on a
 * heap whose links cannot be trusted.  Every call but the
 * address translations writes one trace line to the "ZKShMem" module log.
 */
#ifndef ZKX_ZKSHMEM_H
#define ZKX_ZKSHMEM_H

#include "ZKPlatform.h"

/** Opaque handle of one open region in this process: ZKShMemOpen makes it,
 * ZKShMemClose frees it. */
typedef struct _ZKSHMEM_HEAD* PZKSHMEM_HEAD;

#define ZKSHMEM_READONLY 0u  /**< open access: search and read only */
#define ZKSHMEM_READWRITE 1u /**< open access: allocate, free, change ids */
/** A region name is at most 32 characters. */
#define ZKSHMEM_MAX_NAME 32
/** The mark of a free block: the one identifier a block in use cannot carry. */
#define ZKSHMEM_FREE_ID 0xFFFFFFFFu

/* Found when the heap's own bookkeeping in the region is inconsistent (a
 * caller wrote past its block); from then on every call on the region gives
 * it, until "zkx shmem repair" rebuilds the bookkeeping.  A process that dies inside a heap operation does not cause it: the
 * next read-write call rolls that operation back first.  A read-only handle
 * gets it while such a rollback is still due. */
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

/**
 * @brief Creates or opens the region of a name and maps it.
 *
 * The first read-write opener lays an empty heap out; later openers attach
 * to what is there and must pass the same size: another size is refused
 * with 87, since its index table would lie over the creator's blocks.
 * @param phShMem  Receives the handle, freed with ZKShMemClose; null on
 *                 failure.
 * @param dwSize   Bytes of payload room.
 * @param dwAccess ZKSHMEM_READONLY (never creates a region) or
 *                 ZKSHMEM_READWRITE.
 * @param pszName  Region name of at most 32 characters.
 * @return 0; 6 null phShMem or name; 8 no memory for the handle; 87 name
 *         too long, size 0 or so large that the region would exceed 4 GB,
 *         a size other than the region's, bad access value; 110 read-only
 *         open of a region that does not exist; 1053 another open of the
 *         name is in progress (retry); or the system's code.
 */
ZKEXTERN DWORD ZKAPI ZKShMemOpen(PZKSHMEM_HEAD* phShMem, DWORD dwSize, DWORD dwAccess,
                                 LPCSTR pszName);

/**
 * @brief Unmaps the region and frees the handle.  The region lives on while
 * any other handle in any process is open on its name.
 * @param hShMem Handle from ZKShMemOpen; unusable afterwards.
 * @return 0; 87 for null.
 */
ZKEXTERN DWORD ZKAPI ZKShMemClose(PZKSHMEM_HEAD hShMem);

/**
 * @brief The region's first byte in this process.
 * @param hShMem Handle.
 * @return The address; null for a null handle.
 */
ZKEXTERN LPVOID ZKAPI ZKShMemBaseAddress(PZKSHMEM_HEAD hShMem);

/**
 * @brief Translates an offset into this process's address.
 * @param hShMem   Handle.
 * @param dwOffset Offset in the region; the region's size itself is
 *                 accepted.
 * @return The address; null with 87 stored in the handle for a larger
 *         offset.
 */
ZKEXTERN LPVOID ZKAPI ZKShMemGetAddress(PZKSHMEM_HEAD hShMem, DWORD dwOffset);

/**
 * @brief Translates an address of this process into an offset.
 * @param hShMem   Handle.
 * @param pAddress Address in the region.
 * @return The offset; 0 with 87 stored in the handle for an address outside
 *         the region (so the base address and a failure both give 0).
 */
ZKEXTERN DWORD ZKAPI ZKShMemGetOffset(PZKSHMEM_HEAD hShMem, LPCVOID pAddress);

/**
 * @brief The code of the latest failure on the handle; a success does not
 * clear it.
 * @param hShMem Handle.
 * @return The code, 0 if none since open.
 */
ZKEXTERN DWORD ZKAPI ZKShMemGetLastError(PZKSHMEM_HEAD hShMem);

/**
 * @brief Allocates a block for an identifier, first fit.
 * @param hShMem Read-write handle.
 * @param dwSize Bytes asked (4 more may be used).
 * @param dwId   The block's identifier; anything but ZKSHMEM_FREE_ID.
 * @return The block's address, the caller's until ZKShMemFree; or null,
 *         with the code in the handle: 87 for the identifier
 *         ZKSHMEM_FREE_ID, 12 for a read-only handle, 8 when nothing fits,
 *         1053 when the heap is busy for 3 ms, 1392 when the heap's
 *         bookkeeping is corrupt (see ERROR_FILE_CORRUPT above).
 */
ZKEXTERN LPVOID ZKAPI ZKShMemAlloc(PZKSHMEM_HEAD hShMem, DWORD dwSize, DWORD dwId);

/**
 * @brief Frees a block.
 * @param hShMem   Read-write handle.
 * @param pAddress The address ZKShMemAlloc or ZKShMemFindMemory gave.
 * @return TRUE, or FALSE with the code in the handle: 87 when the address
 *         names no block in use, 12, 1053, 1392 as ZKShMemAlloc.
 */
ZKEXTERN BOOL ZKAPI ZKShMemFree(PZKSHMEM_HEAD hShMem, LPVOID pAddress);

/**
 * @brief Finds the most recently allocated block in use with an
 * identifier.  Read-only handles may search.
 * @param hShMem Handle.
 * @param dwId   The identifier.
 * @return The block's address, or null with the code in the handle: 1243
 *         when there is none, 87, 1053, 1392 as ZKShMemAlloc.
 */
ZKEXTERN LPVOID ZKAPI ZKShMemFindMemory(PZKSHMEM_HEAD hShMem, DWORD dwId);

/**
 * @brief Gives a block in use a new identifier; it keeps its place in the
 * search order.
 * @param hShMem   Read-write handle.
 * @param pAddress The block's address.
 * @param dwNewId  The new identifier.
 * @return TRUE, or FALSE with the codes of ZKShMemFree.
 */
ZKEXTERN BOOL ZKAPI ZKShMemChangeID(PZKSHMEM_HEAD hShMem, LPVOID pAddress, DWORD dwNewId);

/**
 * @brief The address of an entry of the region's index; checks nothing and
 * takes no lock.
 * @param hShMem  Handle.
 * @param wNumber Index entry number.
 * @return The entry's address.
 */
ZKEXTERN LPVOID ZKAPI ZKShMemIndexAddress(PZKSHMEM_HEAD hShMem, WORD wNumber);

#endif
