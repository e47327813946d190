#include "ZKShMemJournal.h"

// The count and the records may come from a process that was killed, or
// from anything that scribbled over the section: each is bounded before it
// is used, so a rollback never writes outside the region.  Whatever a bad
// record leaves behind, the heap checker that follows a recovery sees.
void zkshmem_journal_rollback(const ZKSHMEM_UNDO* pUndo, BYTE* pBase, DWORD dwTotalSize) {
    ZKSHMEM_JOURNAL* j = pUndo->pJournal;
    DWORD n = zkshmem_journal_pending(j);
    if (n > ZKSHMEM_JOURNAL_RECORDS) n = ZKSHMEM_JOURNAL_RECORDS;
    while (n > 0) {
        const ZKSHMEM_UNDO_RECORD& r = j->aRecord[--n];
        if (r.dwWidth >= 1 && r.dwWidth <= sizeof r.abOld && r.dwWidth <= dwTotalSize &&
            r.dwOffset <= dwTotalSize - r.dwWidth)
            std::memcpy(pBase + r.dwOffset, r.abOld, r.dwWidth);
        // A kill from here on repeats the whole rollback, which restores the
        // same bytes again: the journal stays full until every one is back.
        std::atomic_signal_fence(std::memory_order_seq_cst);
        if (pUndo->pfnProbe) pUndo->pfnProbe(pUndo->pContext, ZKSHMEM_PROBE_UNDONE);
    }
    __atomic_store_n(&j->dwCount, 0u, __ATOMIC_RELEASE);
}
