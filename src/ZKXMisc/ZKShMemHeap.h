// The heap's operations on the bytes of a region, whatever maps them: a
// section view, or a plain buffer in tests and tools.  They take no lock and
// keep no last error; the exported operations add both.
//
// Offsets of caller memory (the block's offset + 2) stand in for addresses.
// Each operation returns 0 or a Win32 code and leaves the region unchanged
// when it fails.  The bookkeeping read from the region is trusted only as far
// as it is checked: an entry number, a block or a list that would lead
// outside the region gives ERROR_FILE_CORRUPT instead of a stray access.
//
// The writing operations take an optional undo journal (ZKShMemJournal.h):
// with one, a process killed inside the operation leaves a journal from
// which the next owner of the heap rolls the operation back; without one
// (null), they write the region directly.
//
// They also take an optional lookup index (ZKShMemLookup.h), with which
// first fit and finding by identifier cost a logarithm of the number of
// blocks instead of a walk.  It changes no result: without one (null) the
// operations walk the lists.  The writing operations rebuild an index that
// does not agree with the region; finding does only when bMayRebuild.
#ifndef ZKX_ZKSHMEM_HEAP_H
#define ZKX_ZKSHMEM_HEAP_H

#include "ZKShMemFormat.h"

typedef struct _ZKSHMEM_UNDO ZKSHMEM_UNDO;
typedef struct _ZKSHMEM_LOOKUP ZKSHMEM_LOOKUP;

// A heap of fewer entries than g_zkshmem_lookup_min_entries (half as many
// once the index is in use) is walked and its index left invalid: a short
// walk costs less than keeping the index.  Tests and the fuzzer set it to
// 0 to have every heap use the index.
extern DWORD g_zkshmem_lookup_min_entries;

// Lays an empty heap out in a region of dwTotalSize bytes (at least 44):
// one free block over the whole data area, described by entry 1.  Only the
// header, entry 1 and the block's two tags are written.
void zkshmem_layout(BYTE* pBase, DWORD dwTotalSize);

// A new block of dwSize + 8 bytes for dwId; *pdwOffset receives the offset
// of the caller's memory.  8 when nothing fits.
DWORD zkshmem_alloc(BYTE* pBase, DWORD dwTotalSize, DWORD dwSize, DWORD dwId, DWORD* pdwOffset,
                    const ZKSHMEM_UNDO* pUndo = nullptr, ZKSHMEM_LOOKUP* pLookup = nullptr);

// Frees the block in use whose caller memory starts at dwOffset; 87 when
// dwOffset names none.
DWORD zkshmem_free(BYTE* pBase, DWORD dwTotalSize, DWORD dwOffset, const ZKSHMEM_UNDO* pUndo = nullptr,
                   ZKSHMEM_LOOKUP* pLookup = nullptr);

// The caller memory of the most recently allocated block in use with dwId;
// 1243 when there is none.
DWORD zkshmem_find(const BYTE* pBase, DWORD dwTotalSize, DWORD dwId, DWORD* pdwOffset,
                   ZKSHMEM_LOOKUP* pLookup = nullptr, bool bMayRebuild = false);

// Gives the block in use at dwOffset the identifier dwNewId; 87 as free.
DWORD zkshmem_change_id(BYTE* pBase, DWORD dwTotalSize, DWORD dwOffset, DWORD dwNewId,
                        const ZKSHMEM_UNDO* pUndo = nullptr, ZKSHMEM_LOOKUP* pLookup = nullptr);

#endif
