// Inside the poll threads: the worker record with its one-slot command
// channel, the poll handle, and the operations the three sources share.
#ifndef ZKX_ZKPOLL_PRIV_H
#define ZKX_ZKPOLL_PRIV_H

#include "ZKExcl.h"
#include "ZKMiscPriv.h"
#include "ZKPoll.h"

#define ZKPOLL_THREAD_MAGIC 0x506F6C43u  // 'PolC'
#define ZKPOLL_HANDLE_MAGIC 0x506F6C4Du  // 'PolM'

// Lock timeouts of a worker record: the channel operations and the
// definition's writer use the long one, the worker's reads the short one.
#define ZKPOLL_LOCK_TIMEOUT 800u
#define ZKPOLL_READ_LOCK_TIMEOUT 500u

// One command or reply.  dwCode 0 means the slot is empty.
typedef struct _ZKPOLL_MSG {
    DWORD dwCode;
    DWORD dwSeq;        // replies to INIT and TERMINATE carry 0
    DWORD dwData1;      // command: parameter; reply: result code
    DWORD dwData2;
    DWORD adwReserved[2];
} ZKPOLL_MSG, *PZKPOLL_MSG;

struct _ZKPOLL_THREAD {
    DWORD dwMagic;
    HANDLE hHeap;             // where the record lives; null: the process heap
    HANDLE hThread;           // stored by the thread starter; used by ZKPollKillAll only
    HANDLE hEvent;            // auto-reset wake-up of the worker
    LPDWORD pOwnerLink;
    ZKEXCL_CRITSEC csLock;    // guards the messages, thData, dwStatus, dwState
    ZKPOLL_MSG msgLast;       // dwCode != 0: a command is outstanding
    ZKPOLL_MSG msgIn;         // manager to worker
    ZKPOLL_MSG msgOut;        // worker to manager
    ZKPOLL_THDATA thData;
    DWORD dwStatus;           // ZKPOLL_ST_*
    DWORD dwState;            // ZKPOLL_STATE_*, written by the worker only
    DWORD dwUserWork;         // the callback's own word
    struct _ZKPOLL_THREAD* pNext;
    struct _ZKPOLL_THREAD* pPrev;
};

struct _ZKPOLL_HANDLE {
    DWORD dwMagic;
    DWORD dwSeq;              // last broadcast's number; never 0 once used
    PFN_ZKPOLL_START_THREAD pfnStartThread;
    ZKPOLL_MSG msgLast;       // dwCode != 0: a broadcast is outstanding
    HANDLE hHeap;             // private heap of the handle and its records
    DWORD dwThreads;
    DWORD dwOwnerLink;
    struct _ZKPOLL_THREAD* pFirst;
    struct _ZKPOLL_THREAD* pLast;
};

// The pauses of the polling loops, in ms.  Tests shorten them to run many
// rounds quickly; nothing else changes them.
typedef struct _ZKPOLL_TIMING {
    DWORD dwReplyRound;   // manager's wait for replies (start-up, broadcasts, removal)
    DWORD dwEndRound;     // manager's wait for workers to end
    DWORD dwSettle;       // after the last alive bit clears, before records are freed
    DWORD dwOutboxPause;  // worker's wait for a full outbox
    DWORD dwOutboxLimit;  // ... after which the reply is dropped
} ZKPOLL_TIMING;

extern ZKPOLL_TIMING g_zkPollTiming;

// Words that one side reads without the record lock while the other writes
// them: every access to them goes through these, so that a lock-free read
// sees either the old or the new value and the write before it.
inline DWORD zkpoll_load(const DWORD* p) { return __atomic_load_n(p, __ATOMIC_ACQUIRE); }
inline void zkpoll_store(DWORD* p, DWORD v) { __atomic_store_n(p, v, __ATOMIC_RELEASE); }

// Traces print handles and records with "%08lX", which takes 32 bits.
inline DWORD zkpoll_ptr32(const void* p) { return (DWORD)(DWORD_PTR)p; }

// The texts traced through this are part of the log format that readers of
// the debug log match on: their bytes stay as they are, misspellings
// ("TERMIANTE", "ZKPolDelThread", "was not arrive") included.
#define ZKPOLL_TRACE(source, level, ...) \
    ZKDLogOut(g_hZKMiscLog, source, __LINE__, ZKMISC_TRACE(level), __VA_ARGS__)

// State and status of a record (worker side, except ZKPollKillAll).
DWORD set_th_state(PZKPOLL_THREAD pTh, DWORD dwState, LPDWORD pdwOld);
DWORD set_th_status(PZKPOLL_THREAD pTh, DWORD dwBits, LPDWORD pdwOld);
DWORD clr_th_status(PZKPOLL_THREAD pTh, DWORD dwBits, LPDWORD pdwOld);
DWORD get_th_state(PZKPOLL_THREAD pTh, LPDWORD pdwState);
DWORD get_th_status(PZKPOLL_THREAD pTh, LPDWORD pdwStatus);

// The channel.  push_cmd and pop_reply are the manager's, pop_cmd and
// put_reply the worker's.  0; 56 a command is outstanding (push); 121 the
// outbox stayed full (put); 170 the record lock was busy, nothing changed.
DWORD push_cmd(PZKPOLL_THREAD pTh, DWORD dwSeq, DWORD dwCode, DWORD dwData1, DWORD dwData2);
DWORD pop_cmd(PZKPOLL_THREAD pTh, PZKPOLL_MSG pMsg);
DWORD peek_cmd(PZKPOLL_THREAD pTh, LPDWORD pdwCode);
DWORD put_reply(PZKPOLL_THREAD pTh, DWORD dwSeq, DWORD dwCode, DWORD dwData1, DWORD dwData2);
DWORD pop_reply(PZKPOLL_THREAD pTh, PZKPOLL_MSG pMsg);
DWORD peek_reply(PZKPOLL_THREAD pTh, LPDWORD pdwCode);

// Creates a record from hHeap (null: the process heap) and appends it to
// the owner's list when an owner is given.  *ppTh receives it or null.
DWORD add_new_th(HANDLE hHeap, PZKPOLL_HANDLE pOwner, const ZKPOLL_THDATA* pThData,
                 PZKPOLL_THREAD* ppTh);
// Unlinks the record from the owner's list (if an owner is given) and frees
// it.  Its worker must have ended.
DWORD del_th(PZKPOLL_HANDLE pOwner, PZKPOLL_THREAD pTh);

// Millisecond ticks, across the 32-bit wrap.
DWORD tick_start(LPDWORD pdwStart);
DWORD tick_diff(DWORD dwStart, DWORD dwNow);
DWORD tick_elapsed(const DWORD* pdwStart);
DWORD tick_expired(const DWORD* pdwStart, DWORD dwLimit);

// The worker's thread procedure; its argument is the record.
DWORD ZKAPI thPoll(LPVOID pvThread);

#endif
