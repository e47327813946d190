// The poll manager: a handle over a list of worker records, broadcasts and
// the waits for their answers, and the operations on single workers.
//
// The handle has no lock; its caller serialises the calls on it.  Workers
// meet the manager only through their records: the manager pushes commands
// and polls the outboxes for replies in rounds.
#include "ZKPollPriv.h"

namespace {

const char kSource[] = "ZKPollM";

// Trace texts are log format, to be kept byte for byte (see ZKPOLL_TRACE).
#define MANAGER_TRACE(level, ...) ZKPOLL_TRACE(kSource, level, __VA_ARGS__)

void indent(LONG nChange) { ZKDLogIndent(g_hZKMiscLog, nChange); }

// ---- Live handles ----------------------------------------------------------
//
// A handle's memory is gone once it is destroyed, so its magic alone cannot
// tell a stale handle from a live one: every operation first looks the
// handle up here.  The table is process-wide and short; a spin lock over a
// few compares is enough.

char g_liveLock;
PZKPOLL_HANDLE* g_pLive;
DWORD g_dwLive;
DWORD g_dwLiveCapacity;

void live_lock() {
    while (__atomic_test_and_set(&g_liveLock, __ATOMIC_ACQUIRE)) Sleep(0);
}

void live_unlock() { __atomic_clear(&g_liveLock, __ATOMIC_RELEASE); }

bool live_add(PZKPOLL_HANDLE h) {
    live_lock();
    bool ok = true;
    if (g_dwLive == g_dwLiveCapacity) {
        DWORD capacity = g_dwLiveCapacity ? g_dwLiveCapacity * 2 : 16;
        auto* grown = static_cast<PZKPOLL_HANDLE*>(
            HeapAlloc(GetProcessHeap(), 0, capacity * sizeof(PZKPOLL_HANDLE)));
        if (grown) {
            for (DWORD i = 0; i < g_dwLive; i++) grown[i] = g_pLive[i];
            if (g_pLive) HeapFree(GetProcessHeap(), 0, g_pLive);
            g_pLive = grown;
            g_dwLiveCapacity = capacity;
        } else {
            ok = false;
        }
    }
    if (ok) g_pLive[g_dwLive++] = h;
    live_unlock();
    return ok;
}

void live_remove(PZKPOLL_HANDLE h) {
    live_lock();
    for (DWORD i = 0; i < g_dwLive; i++) {
        if (g_pLive[i] != h) continue;
        g_pLive[i] = g_pLive[--g_dwLive];
        break;
    }
    if (g_dwLive == 0 && g_pLive) {
        HeapFree(GetProcessHeap(), 0, g_pLive);
        g_pLive = nullptr;
        g_dwLiveCapacity = 0;
    }
    live_unlock();
}

// Whether h is a poll handle that was created and not yet destroyed.
bool is_open_handle(PZKPOLL_HANDLE h) {
    if (!h) return false;
    live_lock();
    bool found = false;
    for (DWORD i = 0; i < g_dwLive && !found; i++) found = g_pLive[i] == h;
    found = found && h->dwMagic == ZKPOLL_HANDLE_MAGIC;
    live_unlock();
    return found;
}

// ---- Records of a handle ---------------------------------------------------

// Whether the worker is between its first step and its last (ZKPOLL_ST_ALIVE).
bool worker_running(PZKPOLL_THREAD pTh) {
    DWORD status;
    get_th_status(pTh, &status);
    return (status & ZKPOLL_ST_ALIVE) != 0;
}

bool any_worker_running(PZKPOLL_HANDLE h) {
    for (PZKPOLL_THREAD pTh = h->pFirst; pTh; pTh = pTh->pNext)
        if (worker_running(pTh)) return true;
    return false;
}

// Ids are not unique: the earliest-created worker with the id is found.
PZKPOLL_THREAD find_by_id(PZKPOLL_HANDLE h, DWORD dwId) {
    for (PZKPOLL_THREAD pTh = h->pFirst; pTh; pTh = pTh->pNext)
        if (pTh->thData.dwId == dwId) return pTh;
    return nullptr;
}

DWORD start_worker(PZKPOLL_HANDLE h, PZKPOLL_THREAD pTh) {
    return h->pfnStartThread(h, pTh->thData.dwId, 0, thPoll, pTh, pTh->thData.adwUser,
                             &pTh->hThread);
}

// After the alive bit clears the worker still leaves the record lock; the
// settling pause lets it go before the record is freed.
void wait_until_ended(PZKPOLL_THREAD pTh) {
    do {
        Sleep(g_zkPollTiming.dwEndRound);
    } while (worker_running(pTh));
    Sleep(g_zkPollTiming.dwSettle);
}

// Collects the INIT replies of the first dwStarted workers, in rounds,
// without limit; the result is the last failing INIT result.  Only INIT
// replies count: a worker whose INIT failed posts its TERMINATE reply next,
// and counting that one could end the wait before a slower worker has even
// set its alive bit, which a following teardown relies on.
DWORD wait_for_init(PZKPOLL_HANDLE h, DWORD dwStarted) {
    DWORD count = 0;
    DWORD result = 0;
    do {
        Sleep(g_zkPollTiming.dwReplyRound);
        for (PZKPOLL_THREAD pTh = h->pFirst; pTh; pTh = pTh->pNext) {
            ZKPOLL_MSG reply;
            if (pop_reply(pTh, &reply) != 0 || reply.dwCode != ZKPOLL_INIT) continue;
            count++;
            if (reply.dwData1 != 0) {
                result = reply.dwData1;
                MANAGER_TRACE(ZKDLOG_ERR, "thread #%u init error (%u)", pTh->thData.dwId, result);
            }
        }
    } while (count < dwStarted);
    return result;
}

// ---- Broadcasts ------------------------------------------------------------

DWORD send_command(PZKPOLL_HANDLE h, DWORD dwCode, LPDWORD pdwSeq) {
    if (++h->dwSeq == 0) ++h->dwSeq;
    DWORD seq = h->dwSeq;
    h->msgLast.dwData1 = 0;
    h->msgLast.dwData2 = 0;
    h->msgLast.dwSeq = seq;
    h->msgLast.dwCode = dwCode;
    DWORD result = 0;
    for (PZKPOLL_THREAD pTh = h->pFirst; pTh; pTh = pTh->pNext) {
        if (!worker_running(pTh)) continue;
        DWORD rc = push_cmd(pTh, seq, dwCode, 0, 0);
        if (rc != 0) result = rc;
    }
    if (pdwSeq) *pdwSeq = seq;
    return result;
}

// 996 while an alive worker has not taken its command, or has taken it and
// not answered.
DWORD check_last_command(PZKPOLL_HANDLE h) {
    for (PZKPOLL_THREAD pTh = h->pFirst; pTh; pTh = pTh->pNext) {
        if (!worker_running(pTh)) continue;
        if (zkpoll_load(&pTh->msgIn.dwCode) != 0) return ERROR_IO_INCOMPLETE;
        if (zkpoll_load(&pTh->msgLast.dwCode) != 0 && zkpoll_load(&pTh->msgOut.dwCode) == 0)
            return ERROR_IO_INCOMPLETE;
    }
    return 0;
}

// The answers themselves go to nobody: a broadcast reports only that every
// worker answered.
void clear_last_command(PZKPOLL_HANDLE h) {
    for (PZKPOLL_THREAD pTh = h->pFirst; pTh; pTh = pTh->pNext) {
        ZKPOLL_MSG scratch;
        pop_reply(pTh, &scratch);
    }
    h->msgLast.dwCode = 0;
    h->msgLast.dwSeq = 0;
}

// ---- Creation and teardown -------------------------------------------------

DWORD build_and_start(PZKPOLL_HANDLE h, const ZKPOLL_PARAM* pParam) {
    for (DWORD i = 0; i < pParam->dwThreads; i++) {
        DWORD rc = add_new_th(h->hHeap, h, &pParam->pThData[i], nullptr);
        if (rc != 0) return rc;
    }
    DWORD started = 0;
    for (PZKPOLL_THREAD pTh = h->pFirst; pTh; pTh = pTh->pNext, started++) {
        DWORD rc = start_worker(h, pTh);
        if (rc == 0) continue;
        MANAGER_TRACE(ZKDLOG_ERR, "failed to create thread #%u (%u)", pTh->thData.dwId, rc);
        // The workers started so far must have set their alive bit before
        // the teardown broadcasts TERMINATE, or they would miss it and run
        // on over freed records.
        if (started) wait_for_init(h, started);
        return rc;
    }
    return wait_for_init(h, h->dwThreads);
}

void free_handle(PZKPOLL_HANDLE h) {
    live_remove(h);
    h->dwMagic = 0;
    for (PZKPOLL_THREAD pTh = h->pFirst; pTh;) {
        PZKPOLL_THREAD pNext = pTh->pNext;
        del_th(nullptr, pTh);
        pTh = pNext;
    }
    h->pFirst = h->pLast = nullptr;
    h->dwThreads = 0;
    HANDLE hHeap = h->hHeap;
    HeapFree(hHeap ? hHeap : GetProcessHeap(), 0, h);
    if (hHeap) HeapDestroy(hHeap);
}

DWORD remaining(DWORD dwTimeout, const DWORD* pdwStart) {
    if (dwTimeout == INFINITE) return INFINITE;
    DWORD elapsed = tick_elapsed(pdwStart);
    return elapsed > dwTimeout ? 0 : dwTimeout - elapsed;
}

}  // namespace

// ---- Records ---------------------------------------------------------------

DWORD add_new_th(HANDLE hHeap, PZKPOLL_HANDLE pOwner, const ZKPOLL_THDATA* pThData,
                 PZKPOLL_THREAD* ppTh) {
    auto* pTh = static_cast<PZKPOLL_THREAD>(
        HeapAlloc(hHeap ? hHeap : GetProcessHeap(), HEAP_ZERO_MEMORY, sizeof(struct _ZKPOLL_THREAD)));
    DWORD result = 0;
    if (!pTh) {
        result = ERROR_NOT_ENOUGH_MEMORY;
    } else {
        pTh->dwMagic = ZKPOLL_THREAD_MAGIC;
        pTh->hHeap = hHeap;
        pTh->thData = *pThData;
        pTh->pOwnerLink = pOwner ? &pOwner->dwOwnerLink : nullptr;
        pTh->hEvent = CreateEventA(nullptr, FALSE, FALSE, nullptr);
        if (!pTh->hEvent) {
            result = GetLastError();
            if (result == 0) result = ERROR_NOT_ENOUGH_MEMORY;
            MANAGER_TRACE(ZKDLOG_ERR, "EVE create error (%u)", result);
        } else {
            result = ZKExclInitCritSec(&pTh->csLock, 0, 0);
        }
    }
    if (result == 0 && pOwner) {
        pTh->pNext = nullptr;
        pTh->pPrev = pOwner->pLast;
        if (pOwner->pLast)
            pOwner->pLast->pNext = pTh;
        else
            pOwner->pFirst = pTh;
        pOwner->pLast = pTh;
        pOwner->dwThreads++;
    }
    if (result != 0 && pTh) {
        del_th(nullptr, pTh);  // never linked
        pTh = nullptr;
    }
    if (ppTh) *ppTh = pTh;
    return result;
}

DWORD del_th(PZKPOLL_HANDLE pOwner, PZKPOLL_THREAD pTh) {
    if (!pTh) return 0;
    if (pOwner) {
        if (pTh->pPrev)
            pTh->pPrev->pNext = pTh->pNext;
        else
            pOwner->pFirst = pTh->pNext;
        if (pTh->pNext)
            pTh->pNext->pPrev = pTh->pPrev;
        else
            pOwner->pLast = pTh->pPrev;
        pOwner->dwThreads--;
    }
    if (pTh->hEvent) {
        CloseHandle(pTh->hEvent);
        pTh->hEvent = nullptr;
    }
    ZKExclDeleteCritSec(&pTh->csLock, 0);
    pTh->dwMagic = 0;
    HeapFree(pTh->hHeap ? pTh->hHeap : GetProcessHeap(), 0, pTh);
    return 0;
}

// ---- Exported: the whole set -----------------------------------------------

ZKEXTERN DWORD ZKAPI ZKPollCreate(PZKPOLL_PARAM pParam, PZKPOLL_HANDLE* phPoll, DWORD) {
    ZK_THREAD_CHECK();
    if (!phPoll) return ERROR_INVALID_PARAMETER;
    *phPoll = nullptr;
    if (!pParam || !pParam->pThData || !pParam->pfnStartThread) return ERROR_INVALID_PARAMETER;
    for (DWORD i = 0; i < pParam->dwThreads; i++) {
        const ZKPOLL_THDATA& def = pParam->pThData[i];
        if (!def.pfnCallback || def.dwInterval == 0) return ERROR_INVALID_PARAMETER;
    }
    MANAGER_TRACE(ZKDLOG_STA, "ZKPollCreate {");
    indent(1);

    DWORD result = 0;
    PZKPOLL_HANDLE h = nullptr;
    HANDLE hHeap = HeapCreate(0, 4090, 0);
    if (!hHeap) {
        result = GetLastError();
        if (result == 0) result = ERROR_NOT_ENOUGH_MEMORY;
        MANAGER_TRACE(ZKDLOG_ERR, "Failed to create new heap (%u)", result);
    } else {
        h = static_cast<PZKPOLL_HANDLE>(HeapAlloc(hHeap, HEAP_ZERO_MEMORY, sizeof(struct _ZKPOLL_HANDLE)));
        if (h) {
            h->dwMagic = ZKPOLL_HANDLE_MAGIC;
            h->pfnStartThread = pParam->pfnStartThread;
            h->hHeap = hHeap;
            if (!live_add(h)) h = nullptr;  // freed with the heap below
        }
        if (!h) {
            result = ERROR_NOT_ENOUGH_MEMORY;
            MANAGER_TRACE(ZKDLOG_ERR, "no enough memory (%u)", result);
        }
    }
    if (h) result = build_and_start(h, pParam);
    if (result != 0) {
        if (h)
            ZKPollDestroy(h, 0, INFINITE);
        else if (hHeap)
            HeapDestroy(hHeap);
        h = nullptr;
    }

    *phPoll = h;
    indent(-1);
    MANAGER_TRACE(ZKDLOG_END, "} ZKPollCreate (%u) h=%08lX", result, zkpoll_ptr32(h));
    return result;
}

ZKEXTERN DWORD ZKAPI ZKPollDestroy(PZKPOLL_HANDLE hPoll, DWORD, DWORD dwTimeout) {
    ZK_THREAD_CHECK();
    if (!is_open_handle(hPoll)) return ERROR_INVALID_HANDLE;
    MANAGER_TRACE(ZKDLOG_STA, "ZKPollDestroy %08lX {", zkpoll_ptr32(hPoll));
    indent(1);
    DWORD start;
    tick_start(&start);

    DWORD result = ZKPollWaitLastCommand(hPoll, 0, 0, dwTimeout);
    if (result != 0) {
        MANAGER_TRACE(ZKDLOG_ATT, "wait-lastcmd failed (%u)", result);
    } else {
        result = ZKPollControlAll(hPoll, 0, ZKPOLL_TERMINATE, 0, nullptr, remaining(dwTimeout, &start));
        if (result != 0)
            MANAGER_TRACE(ZKDLOG_ATT, "Control(TERMINATE) failed %u (%u)", dwTimeout, result);
    }
    while (result == 0) {
        Sleep(g_zkPollTiming.dwEndRound);
        if (!any_worker_running(hPoll)) break;
        if (dwTimeout != INFINITE && tick_expired(&start, dwTimeout)) {
            result = ERROR_IO_INCOMPLETE;
            MANAGER_TRACE(ZKDLOG_ATT, "wait-term failed timeout %u (%u)", dwTimeout, result);
        }
    }
    if (result == 0) {
        Sleep(g_zkPollTiming.dwSettle);
        free_handle(hPoll);
    }

    indent(-1);
    MANAGER_TRACE(ZKDLOG_END, "} ZKPollDestroy (%u)", result);
    return result;
}

ZKEXTERN DWORD ZKAPI ZKPollKillAll(PZKPOLL_HANDLE hPoll, DWORD) {
    ZK_THREAD_CHECK();
    if (!is_open_handle(hPoll)) return ERROR_INVALID_HANDLE;
    MANAGER_TRACE(ZKDLOG_STA, "ZKPollKillAll %08lX {", zkpoll_ptr32(hPoll));
    indent(1);

    DWORD result = 0;
    for (PZKPOLL_THREAD pTh = hPoll->pFirst; pTh; pTh = pTh->pNext) {
        if (!worker_running(pTh)) continue;
        // Termination may take effect after the call returns; the record is
        // given up only once the thread has really gone, and a worker whose
        // thread cannot be stopped stays alive so that nothing frees its
        // record under it.
        DWORD rc = 0;
        if (!TerminateThread(pTh->hThread, ERROR_PROCESS_ABORTED)) {
            rc = GetLastError();
            if (rc == 0) rc = ERROR_INVALID_HANDLE;
        } else {
            DWORD wait = WaitForSingleObject(pTh->hThread, 5000);
            if (wait == WAIT_TIMEOUT) rc = ERROR_TIMEOUT;
        }
        if (rc == 0)
            __atomic_fetch_and(&pTh->dwStatus, ~ZKPOLL_ST_ALIVE, __ATOMIC_ACQ_REL);
        else
            result = rc;
    }

    indent(-1);
    MANAGER_TRACE(ZKDLOG_END, "} ZKPollKillAll (%u)", result);
    return result;
}

ZKEXTERN DWORD ZKAPI ZKPollControlAll(PZKPOLL_HANDLE hPoll, DWORD, DWORD dwCmd, DWORD,
                                      LPDWORD pdwSeq, DWORD dwTimeout) {
    ZK_THREAD_CHECK();
    if (!is_open_handle(hPoll)) return ERROR_INVALID_HANDLE;
    MANAGER_TRACE(ZKDLOG_STA, "ZKPollControlAll %08lX cmd=%08lX {", zkpoll_ptr32(hPoll), dwCmd);
    indent(1);
    DWORD start;
    tick_start(&start);

    DWORD result = ZKPollWaitLastCommand(hPoll, 0, 0, dwTimeout);
    if (result != 0) {
        if (result == ERROR_IO_INCOMPLETE) result = ERROR_TOO_MANY_CMDS;
        MANAGER_TRACE(ZKDLOG_ERR, "wait-last-command failed (%u)", result);
    } else {
        result = send_command(hPoll, dwCmd, pdwSeq);
        if (result != 0)
            MANAGER_TRACE(ZKDLOG_ERR, "send-command failed (%u)", result);
        else
            result = ZKPollWaitLastCommand(hPoll, 0, 0, remaining(dwTimeout, &start));
    }

    indent(-1);
    MANAGER_TRACE(ZKDLOG_END, "} ZKPollControlAll (%u)", result);
    return result;
}

ZKEXTERN DWORD ZKAPI ZKPollWaitLastCommand(PZKPOLL_HANDLE hPoll, DWORD, DWORD, DWORD dwTimeout) {
    ZK_THREAD_CHECK();
    if (!is_open_handle(hPoll)) return ERROR_INVALID_HANDLE;
    if (hPoll->msgLast.dwCode == 0) return 0;
    MANAGER_TRACE(ZKDLOG_STA, "ZKPollWaitLastCommand %08lX {", zkpoll_ptr32(hPoll));
    indent(1);

    Sleep(0);
    DWORD start;
    tick_start(&start);
    DWORD result;
    for (;;) {
        result = check_last_command(hPoll);
        if (result == 0) break;
        if (dwTimeout != INFINITE && tick_expired(&start, dwTimeout)) break;
        Sleep(g_zkPollTiming.dwReplyRound);
    }
    if (result == 0) clear_last_command(hPoll);

    indent(-1);
    MANAGER_TRACE(ZKDLOG_END, "} ZKPollWaitLastCommand (%u)", result);
    return result;
}

// ---- Exported: single workers ----------------------------------------------

ZKEXTERN DWORD ZKAPI ZKPollGetThData(PZKPOLL_HANDLE hPoll, DWORD, DWORD, PZKPOLL_THDATA pThData) {
    ZK_THREAD_CHECK();
    if (!is_open_handle(hPoll)) return ERROR_INVALID_HANDLE;
    if (!pThData) return ERROR_INVALID_PARAMETER;
    MANAGER_TRACE(ZKDLOG_STA, "ZKPollGetThData %08lX {", zkpoll_ptr32(hPoll));
    indent(1);

    DWORD result = 0;
    DWORD dwId = pThData->dwId;
    PZKPOLL_THREAD pTh = find_by_id(hPoll, dwId);
    if (!pTh) {
        result = ERROR_INVALID_THREAD_ID;
        MANAGER_TRACE(ZKDLOG_ERR, "no thread id %08lX", dwId);
    } else if (ZKExclEnterCritSec(&pTh->csLock, ZKPOLL_READ_LOCK_TIMEOUT, 0, 0) != 0) {
        result = ERROR_BUSY;
        MANAGER_TRACE(ZKDLOG_ERR, "thread %08lX lock error (%u)", dwId, result);
    } else {
        *pThData = pTh->thData;
        ZKExclLeaveCritSec(&pTh->csLock, 0);
    }

    indent(-1);
    MANAGER_TRACE(ZKDLOG_END, "} ZKPollGetThData (%u)", result);
    return result;
}

ZKEXTERN DWORD ZKAPI ZKPollSetThData(PZKPOLL_HANDLE hPoll, DWORD, DWORD, PZKPOLL_THDATA pThData) {
    ZK_THREAD_CHECK();
    if (!is_open_handle(hPoll)) return ERROR_INVALID_HANDLE;
    if (!pThData || !pThData->pfnCallback || pThData->dwInterval == 0)
        return ERROR_INVALID_PARAMETER;
    MANAGER_TRACE(ZKDLOG_STA, "ZKPollSetThData %08lX {", zkpoll_ptr32(hPoll));
    indent(1);

    DWORD result = 0;
    DWORD dwId = pThData->dwId;
    PZKPOLL_THREAD pTh = find_by_id(hPoll, dwId);
    if (!pTh) {
        result = ERROR_INVALID_THREAD_ID;
        MANAGER_TRACE(ZKDLOG_ERR, "no thread id %08lX", dwId);
    } else if (ZKExclEnterCritSec(&pTh->csLock, ZKPOLL_LOCK_TIMEOUT, 0, 0) != 0) {
        result = ERROR_BUSY;
        MANAGER_TRACE(ZKDLOG_ERR, "thread %08lX lock error (%u)", dwId, result);
    } else {
        // The worker reads the interval even when it cannot get the lock.
        pTh->thData.pfnCallback = pThData->pfnCallback;
        pTh->thData.dwId = dwId;
        for (int i = 0; i < 8; i++) pTh->thData.adwUser[i] = pThData->adwUser[i];
        zkpoll_store(&pTh->thData.dwInterval, pThData->dwInterval);
        ZKExclLeaveCritSec(&pTh->csLock, 0);
    }

    indent(-1);
    MANAGER_TRACE(ZKDLOG_END, "} ZKPollSetThData (%u)", result);
    return result;
}

ZKEXTERN DWORD ZKAPI ZKPollAddThread(PZKPOLL_HANDLE hPoll, DWORD, PZKPOLL_THDATA pThData, DWORD) {
    ZK_THREAD_CHECK();
    if (!is_open_handle(hPoll)) return ERROR_INVALID_HANDLE;
    if (!pThData || !pThData->pfnCallback || pThData->dwInterval == 0)
        return ERROR_INVALID_PARAMETER;
    MANAGER_TRACE(ZKDLOG_STA, "ZKPollAddThread %08lX #%u {", zkpoll_ptr32(hPoll), pThData->dwId);
    indent(1);

    PZKPOLL_THREAD pTh = nullptr;
    DWORD result = add_new_th(hPoll->hHeap, hPoll, pThData, &pTh);
    if (result != 0) {
        MANAGER_TRACE(ZKDLOG_ERR, "add_new_th (%u)", result);
    } else {
        result = start_worker(hPoll, pTh);
        if (result != 0) {
            MANAGER_TRACE(ZKDLOG_ERR, "failed to create thread (%u)", result);
            del_th(hPoll, pTh);
        } else {
            // The first reply of a fresh worker is its INIT reply.
            ZKPOLL_MSG reply;
            do {
                Sleep(g_zkPollTiming.dwReplyRound);
            } while (pop_reply(pTh, &reply) != 0 || reply.dwCode == 0);
            if (reply.dwData1 != 0) {
                result = reply.dwData1;
                MANAGER_TRACE(ZKDLOG_ERR, "thread init error (%u)", result);
                wait_until_ended(pTh);  // a failed INIT ends the worker by itself
                del_th(hPoll, pTh);
            }
        }
    }

    indent(-1);
    MANAGER_TRACE(ZKDLOG_END, "} ZKPollAddThread (%u)", result);
    return result;
}

ZKEXTERN DWORD ZKAPI ZKPollDelThread(PZKPOLL_HANDLE hPoll, DWORD, DWORD dwId) {
    ZK_THREAD_CHECK();
    if (!is_open_handle(hPoll)) return ERROR_INVALID_HANDLE;
    MANAGER_TRACE(ZKDLOG_STA, "ZKPolDelThread %08lX #%u {", zkpoll_ptr32(hPoll), dwId);
    indent(1);

    DWORD result = 0;
    PZKPOLL_THREAD pTh = find_by_id(hPoll, dwId);
    if (!pTh) {
        result = ERROR_BAD_THREADID_ADDR;
        MANAGER_TRACE(ZKDLOG_ERR, "bad id #%u (%u)", dwId, result);
    } else if (!worker_running(pTh)) {
        result = ERROR_BAD_THREADID_ADDR;
        MANAGER_TRACE(ZKDLOG_ERR, "thread #%u was not arrive (%u)", dwId, result);
    } else {
        // Not a broadcast: the handle's own number does not advance.
        DWORD seq = hPoll->dwSeq + 1;
        if (seq == 0) seq = 1;
        // Whatever this worker still had waiting or outstanding is dropped,
        // so that the TERMINATE push cannot be refused.
        bool locked = ZKExclEnterCritSec(&pTh->csLock, ZKPOLL_LOCK_TIMEOUT, 0, 0) == 0;
        zkpoll_store(&pTh->msgLast.dwCode, 0);
        zkpoll_store(&pTh->msgIn.dwCode, 0);
        if (locked) ZKExclLeaveCritSec(&pTh->csLock, 0);
        result = push_cmd(pTh, seq, ZKPOLL_TERMINATE, 0, 0);
        if (result != 0) {
            MANAGER_TRACE(ZKDLOG_ERR, "push(TERMIANTE) error (%u)", result);
        } else {
            // A worker whose final reply found its outbox full for too long
            // has dropped it; its cleared alive bit ends the wait then.
            for (;;) {
                Sleep(g_zkPollTiming.dwReplyRound);
                bool wasRunning = worker_running(pTh);
                ZKPOLL_MSG reply;
                if (pop_reply(pTh, &reply) == 0 && reply.dwCode == ZKPOLL_TERMINATE) break;
                if (!wasRunning) break;
            }
            wait_until_ended(pTh);
            del_th(hPoll, pTh);
        }
    }

    indent(-1);
    MANAGER_TRACE(ZKDLOG_END, "} ZKPollDelThread (%u)", result);
    return result;
}
