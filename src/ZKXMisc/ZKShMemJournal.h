// The shared heap's undo journal: what makes a heap operation all or
// nothing for a process that is killed inside it.
//
// The heap's bookkeeping lives in the region, and one operation changes it
// in many small writes (links, sizes, tags, counters).  A process killed
// between two of them leaves the region half changed, and the region's
// format has no byte to spare for repair.  So the journal lives beside the
// region, in a section of its own ("ZKSHMEM_JOURNAL_" + region name: as long
// as the region's own section name, so no region name is too long for it),
// created and mapped with the region by every handle through the same
// CreateFileMappingA/MapViewOfFile calls.
//
// - Before each write to the region an operation records the offset and the
//   old bytes, then publishes the record by raising dwCount.  Only process
//   death matters, not a machine crash: a killed process stops between two
//   instructions, and every store before that point reaches the shared
//   pages.  So the compiler must keep the order record, count, write; a
//   release store and a signal fence do that without any CPU fence.
// - An operation ends by setting dwCount to 0 (commit).  Inside a long
//   operation it commits at points where the heap is consistent again
//   (checkpoints), so a fixed journal of ZKSHMEM_JOURNAL_RECORDS records
//   always suffices: no step writes more than ZKSHMEM_JOURNAL_STEP_MAX times
//   (the count is worked out in ZKShMemHeap.cpp).
// - Whoever takes the heap mutex and finds dwCount nonzero holds the mutex
//   of a dead owner.  A read-write handle rolls the records back, newest
//   first, and empties the journal; restoring old bytes is idempotent, so a
//   kill during the rollback leaves the journal for the next owner.  The
//   check is on every acquisition, not only on WAIT_ABANDONED, because a
//   reader or an inspector may have taken the abandoned mutex first.
// - A read-only handle never writes, the journal included: it cannot roll
//   back, and it does not read a half-changed heap as if it were whole.  Its
//   call fails with ERROR_FILE_CORRUPT and the next read-write call repairs.
// - After a rollback the heap checker runs.  A heap it still rejects (bytes
//   written by something other than a heap operation) is marked damaged in
//   dwDamaged, and from then on every operation on the region fails with
//   ERROR_FILE_CORRUPT rather than building on it, until the administrator's
//   repair (ZKShMemRepair.h) rebuilds what the blocks prove and clears it.
// - The heap's logic still works over any byte region: without a journal
//   (a null ZKSHMEM_UNDO) it writes directly, as the fuzzer and the tools
//   use it.
#ifndef ZKX_ZKSHMEM_JOURNAL_H
#define ZKX_ZKSHMEM_JOURNAL_H

#include <atomic>
#include <cstring>

#include "ZKShMemFormat.h"

#define ZKSHMEM_JOURNAL_PREFIX "ZKSHMEM_JOURNAL_"
#define ZKSHMEM_JOURNAL_RECORDS 64u
// The most region writes between two commits of any heap operation.
#define ZKSHMEM_JOURNAL_STEP_MAX 35u
static_assert(ZKSHMEM_JOURNAL_STEP_MAX <= ZKSHMEM_JOURNAL_RECORDS, "a step must fit in the journal");

// One write's undo: the bytes it is about to overwrite.  Heap writes are
// one field or two side by side, at most 8 bytes.
typedef struct _ZKSHMEM_UNDO_RECORD {
    DWORD dwOffset;  // region offset of the first byte written
    DWORD dwWidth;   // 1 to 8
    BYTE abOld[8];
} ZKSHMEM_UNDO_RECORD;

// The journal section's bytes, shared by every process of the region.
typedef struct _ZKSHMEM_JOURNAL {
    DWORD dwCount;    // records in force; 0 between operations
    DWORD dwDamaged;  // nonzero: the checker rejected the heap after recovery
    DWORD dwTotalSize;  // the region's size, as its creator gave it
    DWORD dwReserved;
    ZKSHMEM_UNDO_RECORD aRecord[ZKSHMEM_JOURNAL_RECORDS];
} ZKSHMEM_JOURNAL;

// Moments at which a probe is called: the states a kill can leave behind.
#define ZKSHMEM_PROBE_IN_FORCE 1u  // records in force: after each one, and before a commit
#define ZKSHMEM_PROBE_COMMIT 2u  // the journal was emptied at a consistent heap
#define ZKSHMEM_PROBE_UNDONE 3u  // a rollback restored one record, journal still full

// How a heap operation reaches the journal.  A null pointer, or a null
// pJournal, means no journal.  The probe is for tests; null in the library.
typedef struct _ZKSHMEM_UNDO {
    ZKSHMEM_JOURNAL* pJournal;
    void (*pfnProbe)(void* pContext, DWORD dwEvent);
    void* pContext;
} ZKSHMEM_UNDO;

// Records in force (0 when the heap is consistent).
inline DWORD zkshmem_journal_pending(const ZKSHMEM_JOURNAL* pJournal) {
    return __atomic_load_n(&pJournal->dwCount, __ATOMIC_ACQUIRE);
}

// Undoes the records in force on the region of dwTotalSize bytes at pBase,
// newest first, then empties the journal.  Records that would lead outside
// the region are skipped.
void zkshmem_journal_rollback(const ZKSHMEM_UNDO* pUndo, BYTE* pBase, DWORD dwTotalSize);

// One operation's side of the journal.  Inline: every heap write passes
// through record().
class ZKShMemUndoLog {
public:
    explicit ZKShMemUndoLog(const ZKSHMEM_UNDO* undo)
        : undo_(undo && undo->pJournal ? undo : nullptr) {}

    bool active() const { return undo_ != nullptr; }

    // Before the write of width bytes at offset.  A full journal records no
    // more; no step reaches that (ZKSHMEM_JOURNAL_STEP_MAX).
    void record(const BYTE* base, DWORD offset, DWORD width) {
        ZKSHMEM_JOURNAL* j = undo_->pJournal;
        if (count_ == ZKSHMEM_JOURNAL_RECORDS) return;
        ZKSHMEM_UNDO_RECORD& r = j->aRecord[count_];
        r.dwOffset = offset;
        r.dwWidth = width;
        std::memcpy(r.abOld, base + offset, width);
        ++count_;
        __atomic_store_n(&j->dwCount, count_, __ATOMIC_RELEASE);
        // The write that follows must not be moved above the count.
        std::atomic_signal_fence(std::memory_order_seq_cst);
        if (undo_->pfnProbe) undo_->pfnProbe(undo_->pContext, ZKSHMEM_PROBE_IN_FORCE);
    }

    // The heap is consistent: what was written stays.
    void commit() {
        if (!undo_) return;
        if (undo_->pfnProbe && count_) undo_->pfnProbe(undo_->pContext, ZKSHMEM_PROBE_IN_FORCE);
        std::atomic_signal_fence(std::memory_order_seq_cst);
        __atomic_store_n(&undo_->pJournal->dwCount, 0u, __ATOMIC_RELEASE);
        count_ = 0;
        if (undo_->pfnProbe) undo_->pfnProbe(undo_->pContext, ZKSHMEM_PROBE_COMMIT);
    }

    // Undoes this operation's writes since its last commit.
    void rollback(BYTE* base, DWORD total) {
        if (!undo_) return;
        zkshmem_journal_rollback(undo_, base, total);
        count_ = 0;
    }

private:
    const ZKSHMEM_UNDO* const undo_;
    DWORD count_ = 0;
};

#endif
