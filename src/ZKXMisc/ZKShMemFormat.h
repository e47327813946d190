// The byte format of a shared region, which every process that maps the
// region reads and writes: a 28-byte header, the blocks above it, and a
// table of 16-byte index entries that grows down from the region's end.
//
// Nothing in the region is aligned (entries lie at the end minus multiples
// of 16, blocks start at any byte), so the records are packed and every
// field is read and written as unaligned little-endian bytes.
#ifndef ZKX_ZKSHMEM_FORMAT_H
#define ZKX_ZKSHMEM_FORMAT_H

#include "ZKShMem.h"

#pragma pack(push, 1)

// The region header, at offset 0.  Each list is anchored by its first and
// its last entry number (both ZKSHMEM_NO_ENTRY when it is empty).
typedef struct _ZKSHMEM_REGION {
    WORD wUsedHead;        // blocks in use, the most recently allocated first
    WORD wUsedTail;
    WORD wFreeHead;        // free blocks
    WORD wFreeTail;
    WORD wSpareHead;       // entries that describe no block
    WORD wSpareTail;
    DWORD dwDataTop;       // end of the highest block in use; 28 when none is
    DWORD dwIndexBottom;   // offset of the lowest index entry
    DWORD dwBytesInUse;    // header, index table and blocks in use
    DWORD dwBytesFree;     // bytes in free blocks
} ZKSHMEM_REGION;

// An index entry.  Entry k (k >= 1) lies at dwTotalSize - 16 * k.
typedef struct _ZKSHMEM_INDEX {
    DWORD dwId;            // identifier of a block in use; ZKSHMEM_FREE_ID for a free one
    DWORD dwOffset;        // the block's first byte
    DWORD dwSize;          // the block's size, both boundary tags included
    WORD wNext;            // next entry of the same list, or ZKSHMEM_NO_ENTRY
    WORD wPrev;            // previous entry of the same list, or ZKSHMEM_NO_ENTRY
} ZKSHMEM_INDEX;

#pragma pack(pop)

static_assert(sizeof(ZKSHMEM_REGION) == 28, "the region header is 28 bytes");
static_assert(sizeof(ZKSHMEM_INDEX) == 16, "an index entry is 16 bytes");

#define ZKSHMEM_HEADER_SIZE 28u
#define ZKSHMEM_ENTRY_SIZE 16u
#define ZKSHMEM_NO_ENTRY 0xFFFFu
#define ZKSHMEM_MAX_ENTRIES 65534u
// A block holds its entry number at both ends, so the caller's memory starts
// two bytes in; an allocation is 8 bytes larger than the request.
#define ZKSHMEM_TAG_SIZE 2u
#define ZKSHMEM_BLOCK_OVERHEAD 8u
#define ZKSHMEM_MIN_BLOCK 5u

// The region size for a payload size: 24 bytes of bookkeeping (an entry and
// a block's overhead) for every started 32 bytes of payload, and the header.
// 0 with the size in *pdwTotalSize, or 87 for a payload of 0 (a region too
// small for its first entry) or one whose region would not fit in 32 bits.
DWORD zkshmem_region_size(DWORD dwSize, DWORD* pdwTotalSize);

#endif
