/**
 * @file ZKExcl.h
 * @brief Exclusion primitives: the in-process critical section and the
 * cross-process multi-reader mutex.
 *
 * Both records are allocated by the caller; init fills them, delete
 * releases what init created.  The enter operations return system wait
 * results: 0 (entered), 128 (abandoned or deleted), 258 (timed out),
 * 0xFFFFFFFF (failed).
 */
#ifndef ZKX_ZKEXCL_H
#define ZKX_ZKEXCL_H

#include "ZKPlatform.h"

/**
 * @brief A recursive lock with a known owner and a timeout on entry,
 * embedded by its user.
 *
 * An uncontended enter and leave cost one interlocked operation each;
 * contended entries wait on an unnamed auto-reset event.  The record serves
 * one process.  A record whose words are all zero is invalid.
 */
typedef struct _ZKEXCL_CRITSEC {
    DWORD dwFlags;          /**< bit 0: valid */
    LONG lLockCount;        /**< -1 when free; +1 per entry, -1 per leave */
    DWORD dwRecursion;      /**< entries of the owner not yet left */
    DWORD dwOwnerThreadId;  /**< 0 when nobody owns it */
    HANDLE hEvent;          /**< hands the lock to one waiter per signal */
} ZKEXCL_CRITSEC, *PZKEXCL_CRITSEC;

/** The valid bit of ZKEXCL_CRITSEC::dwFlags. */
#define ZKEXCL_CS_VALID 0x00000001u

/**
 * @brief Makes a critical section ready for use.
 * @param pCs         Caller's record.
 * @param dwReserved1 Reserved.
 * @param dwReserved2 Reserved.
 * @return 0; 87 for a null record; or the system error of the event
 *         creation (the record stays zeroed).  Every other operation takes
 *         a null record for an invalid one.
 */
ZKEXTERN DWORD ZKAPI ZKExclInitCritSec(PZKEXCL_CRITSEC pCs, DWORD dwReserved1, DWORD dwReserved2);

/**
 * @brief Tears a critical section down and closes its event.
 *
 * Waits up to 2000 ms for the lock, then tears the record down whether it
 * got the lock or not; threads still waiting get 128.
 * @param pCs        Record made by ZKExclInitCritSec.
 * @param dwReserved Reserved.
 * @return 0; 6 when the record is not valid.
 */
ZKEXTERN DWORD ZKAPI ZKExclDeleteCritSec(PZKEXCL_CRITSEC pCs, DWORD dwReserved);

/**
 * @brief Tells whether a critical section is valid.
 * @param pCs Record.
 * @return 0 when valid, else 6.
 */
ZKEXTERN DWORD ZKAPI ZKExclIsValidCritSec(PZKEXCL_CRITSEC pCs);

/**
 * @brief Enters a critical section; the owner enters again at once.
 * @param pCs         Valid record.
 * @param dwTimeout   Milliseconds: 0 only tries, INFINITE waits for ever.
 * @param dwReserved1 Reserved.
 * @param dwReserved2 Reserved.
 * @return 0 entered; 258 timed out; 0xFFFFFFFF invalid record or failed
 *         wait; 128 the record was deleted while the caller waited.
 */
ZKEXTERN DWORD ZKAPI ZKExclEnterCritSec(PZKEXCL_CRITSEC pCs, DWORD dwTimeout, DWORD dwReserved1,
                                        DWORD dwReserved2);

/**
 * @brief Leaves a critical section once; only the owner's last leave frees
 * the lock.
 * @param pCs        Valid record.
 * @param dwReserved Reserved.
 * @return 0; 6 invalid record; 288 (ERROR_NOT_OWNER) when the caller does
 *         not own it, which changes nothing.
 */
ZKEXTERN DWORD ZKAPI ZKExclLeaveCritSec(PZKEXCL_CRITSEC pCs, DWORD dwReserved);


/**
 * @brief Many readers or one writer, across processes.
 *
 * Processes that init a record with the same name share one lock (three
 * named objects); a null name makes a lock private to the process.
 */
typedef struct _ZKEXCL_MRMUTEX {
    DWORD dwFlags;          /**< bit 0: valid */
    HANDLE hNoWriterMutex;  /**< held by a writer for its turn, by a reader to register */
    HANDLE hNoReaderEvent;  /**< manual reset; signalled while no reader is inside */
    HANDLE hReaderNumSem;   /**< count = readers inside */
} ZKEXCL_MRMUTEX, *PZKEXCL_MRMUTEX;

/** The valid bit of ZKEXCL_MRMUTEX::dwFlags. */
#define ZKEXCL_MR_VALID 0x00000001u
/** Longest lock name, in characters. */
#define ZKEXCL_MR_MAX_NAME 226

/**
 * @brief Creates or opens the lock of a name.
 * @param pMr         Caller's record.
 * @param pszName     Lock name of at most 226 characters; null for a lock
 *                    private to the process.
 * @param dwReserved1 Reserved.
 * @param dwReserved2 Reserved.
 * @return 0; 87 for a null record; 123 (ERROR_INVALID_NAME) for a longer
 *         name; or the system error of the object that could not be created
 *         (the record stays invalid).  Every other operation takes a null
 *         record for an invalid one; delete returns 0 for it.
 */
ZKEXTERN DWORD ZKAPI ZKExclInitMRMutex(PZKEXCL_MRMUTEX pMr, LPCSTR pszName, DWORD dwReserved1,
                                       DWORD dwReserved2);

/**
 * @brief Closes the record's objects; works on any record.
 *
 * Marks the record invalid, then waits up to 2000 ms for the mutex (and
 * gives it back when it got it) before it closes the handles.  Delete wakes
 * nobody: a thread of this process still waiting in an enter is not told
 * 128, its wait ends as the objects decide, at its timeout (258) at the
 * latest, and an INFINITE wait may never end.  An enter returns 128 for a
 * delete only when its own wait was satisfied before the delete took the
 * mutex.  A writer inside when delete starts cannot leave any more (leave
 * write gives 6), so delete waits its full 2000 ms and the named mutex stays
 * with that writer's thread until the thread ends and abandons it.  Delete
 * only when no thread of the process uses the record.
 * @param pMr        Record.
 * @param dwReserved Reserved.
 * @return 0 always.
 */
ZKEXTERN DWORD ZKAPI ZKExclDeleteMRMutex(PZKEXCL_MRMUTEX pMr, DWORD dwReserved);

/**
 * @brief Tells whether a multi-reader mutex is valid.
 * @param pMr Record.
 * @return 0 when valid, else 6.
 */
ZKEXTERN DWORD ZKAPI ZKExclIsValidMRMutex(PZKEXCL_MRMUTEX pMr);

/**
 * @brief Enters as one of the readers.
 * @param pMr         Valid record.
 * @param dwTimeout   Milliseconds, or INFINITE.
 * @param dwReserved1 Reserved.
 * @param dwReserved2 Reserved.
 * @return 0 entered; 6 invalid record; 258 timed out; 128 the mutex was
 *         abandoned by a dead owner (nothing is held then) or the record was
 *         deleted after this wait was satisfied (see ZKExclDeleteMRMutex);
 *         0xFFFFFFFF failed.
 */
ZKEXTERN DWORD ZKAPI ZKExclEnterMRMutexRead(PZKEXCL_MRMUTEX pMr, DWORD dwTimeout,
                                            DWORD dwReserved1, DWORD dwReserved2);

/**
 * @brief Leaves as a reader.
 * @param pMr        Valid record.
 * @param dwReserved Reserved.
 * @return 0; 6 invalid record; 121 (ERROR_SEM_TIMEOUT) when the mutex and a
 *         reader unit are not obtained together within 2000 ms (also when no
 *         reader is in), and when the wait reports the mutex abandoned by a
 *         dead owner.  After 121 nothing has changed: the reader is still
 *         counted and this thread owns nothing, so the leave may be retried.
 */
ZKEXTERN DWORD ZKAPI ZKExclLeaveMRMutexRead(PZKEXCL_MRMUTEX pMr, DWORD dwReserved);

/**
 * @brief Enters as the one writer, once no reader is inside.
 * @param pMr         Valid record.
 * @param dwTimeout   Milliseconds, or INFINITE.
 * @param dwReserved1 Reserved.
 * @param dwReserved2 Reserved.
 * @return 0 entered alone; 0xFFFFFFFF invalid record or failed wait; 258
 *         timed out; 128 abandoned, or deleted after this wait was
 *         satisfied (nothing is held then; see ZKExclDeleteMRMutex).
 */
ZKEXTERN DWORD ZKAPI ZKExclEnterMRMutexWrite(PZKEXCL_MRMUTEX pMr, DWORD dwTimeout,
                                             DWORD dwReserved1, DWORD dwReserved2);

/**
 * @brief Leaves as the writer.
 * @param pMr        Valid record.
 * @param dwReserved Reserved.
 * @return 0; 6 invalid record; 288 when the caller is not the writer.
 */
ZKEXTERN DWORD ZKAPI ZKExclLeaveMRMutexWrite(PZKEXCL_MRMUTEX pMr, DWORD dwReserved);

#endif
