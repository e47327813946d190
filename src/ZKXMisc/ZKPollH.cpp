// A worker record's state, status and one-slot channel, and tick arithmetic.
//
// The record lock is held only while words are copied: never across a
// wait, a callback, a trace or a wake-up.
#include "ZKPollPriv.h"

ZKPOLL_TIMING g_zkPollTiming = {200, 20, 10, 50, 200};

namespace {

bool lock(PZKPOLL_THREAD pTh) {
    return ZKExclEnterCritSec(&pTh->csLock, ZKPOLL_LOCK_TIMEOUT, 0, 0) == 0;
}

void unlock(PZKPOLL_THREAD pTh) { ZKExclLeaveCritSec(&pTh->csLock, 0); }

// Copies a whole message; its code goes through the lock-free accessors
// because the other side tests it without the lock.
void copy_msg(PZKPOLL_MSG pTo, const ZKPOLL_MSG* pFrom) {
    pTo->dwSeq = pFrom->dwSeq;
    pTo->dwData1 = pFrom->dwData1;
    pTo->dwData2 = pFrom->dwData2;
    pTo->adwReserved[0] = pFrom->adwReserved[0];
    pTo->adwReserved[1] = pFrom->adwReserved[1];
    zkpoll_store(&pTo->dwCode, zkpoll_load(&pFrom->dwCode));
}

}  // namespace

DWORD set_th_state(PZKPOLL_THREAD pTh, DWORD dwState, LPDWORD pdwOld) {
    if (!lock(pTh)) return ERROR_BUSY;
    if (pdwOld) *pdwOld = zkpoll_load(&pTh->dwState);
    zkpoll_store(&pTh->dwState, dwState);
    unlock(pTh);
    return 0;
}

DWORD set_th_status(PZKPOLL_THREAD pTh, DWORD dwBits, LPDWORD pdwOld) {
    if (!lock(pTh)) return ERROR_BUSY;
    // An atomic update, because ZKPollKillAll clears the alive bit without
    // the lock.
    DWORD old = __atomic_fetch_or(&pTh->dwStatus, dwBits, __ATOMIC_ACQ_REL);
    if (pdwOld) *pdwOld = old;
    unlock(pTh);
    return 0;
}

DWORD clr_th_status(PZKPOLL_THREAD pTh, DWORD dwBits, LPDWORD pdwOld) {
    if (!lock(pTh)) return ERROR_BUSY;
    DWORD old = __atomic_fetch_and(&pTh->dwStatus, ~dwBits, __ATOMIC_ACQ_REL);
    if (pdwOld) *pdwOld = old;
    unlock(pTh);
    return 0;
}

DWORD get_th_state(PZKPOLL_THREAD pTh, LPDWORD pdwState) {
    *pdwState = zkpoll_load(&pTh->dwState);
    return 0;
}

DWORD get_th_status(PZKPOLL_THREAD pTh, LPDWORD pdwStatus) {
    *pdwStatus = zkpoll_load(&pTh->dwStatus);
    return 0;
}

DWORD push_cmd(PZKPOLL_THREAD pTh, DWORD dwSeq, DWORD dwCode, DWORD dwData1, DWORD dwData2) {
    if (zkpoll_load(&pTh->msgLast.dwCode) != 0) return ERROR_TOO_MANY_CMDS;
    if (!lock(pTh)) return ERROR_BUSY;
    pTh->msgIn.dwData1 = dwData1;
    pTh->msgIn.dwData2 = dwData2;
    pTh->msgIn.dwSeq = dwSeq;
    zkpoll_store(&pTh->msgIn.dwCode, dwCode);
    copy_msg(&pTh->msgLast, &pTh->msgIn);
    HANDLE hEvent = pTh->hEvent;
    unlock(pTh);
    // The wake-up is kept until the worker next waits, not pulsed: a worker
    // that looked into its inbox just before this push and is about to wait
    // without limit (suspended, or polling on command only) must still wake.
    // The worker takes a wake-up that finds its inbox empty as stale and
    // waits on.
    SetEvent(hEvent);
    return 0;
}

DWORD pop_cmd(PZKPOLL_THREAD pTh, PZKPOLL_MSG pMsg) {
    if (zkpoll_load(&pTh->msgIn.dwCode) == 0) {
        pMsg->dwCode = 0;
        return 0;
    }
    if (!lock(pTh)) return ERROR_BUSY;
    copy_msg(pMsg, &pTh->msgIn);
    zkpoll_store(&pTh->msgIn.dwCode, 0);
    unlock(pTh);
    return 0;
}

DWORD peek_cmd(PZKPOLL_THREAD pTh, LPDWORD pdwCode) {
    *pdwCode = zkpoll_load(&pTh->msgIn.dwCode);
    return 0;
}

DWORD put_reply(PZKPOLL_THREAD pTh, DWORD dwSeq, DWORD dwCode, DWORD dwData1, DWORD dwData2) {
    if (zkpoll_load(&pTh->msgOut.dwCode) != 0) {
        DWORD start;
        tick_start(&start);
        for (;;) {
            Sleep(g_zkPollTiming.dwOutboxPause);
            if (zkpoll_load(&pTh->msgOut.dwCode) == 0) break;
            if (tick_expired(&start, g_zkPollTiming.dwOutboxLimit)) return ERROR_SEM_TIMEOUT;
        }
    }
    if (!lock(pTh)) return ERROR_BUSY;
    pTh->msgOut.dwData2 = dwData2;
    pTh->msgOut.dwData1 = dwData1;
    pTh->msgOut.dwSeq = dwSeq;
    zkpoll_store(&pTh->msgOut.dwCode, dwCode);
    unlock(pTh);
    return 0;
}

DWORD pop_reply(PZKPOLL_THREAD pTh, PZKPOLL_MSG pMsg) {
    if (zkpoll_load(&pTh->msgOut.dwCode) == 0) {
        pMsg->dwCode = 0;
        return 0;
    }
    if (!lock(pTh)) return ERROR_BUSY;
    copy_msg(pMsg, &pTh->msgOut);
    pTh->msgOut.dwSeq = 0;
    zkpoll_store(&pTh->msgOut.dwCode, 0);
    pTh->msgLast.dwSeq = 0;
    zkpoll_store(&pTh->msgLast.dwCode, 0);
    unlock(pTh);
    return 0;
}

DWORD peek_reply(PZKPOLL_THREAD pTh, LPDWORD pdwCode) {
    *pdwCode = zkpoll_load(&pTh->msgOut.dwCode);
    return 0;
}

DWORD tick_start(LPDWORD pdwStart) {
    *pdwStart = GetTickCount();
    return 0;
}

// Across the wrap the count is one short of the modular difference; every
// timeout of the family is measured this way, so they all agree.
DWORD tick_diff(DWORD dwStart, DWORD dwNow) {
    if (dwNow >= dwStart) return dwNow - dwStart;
    return dwNow + (0xFFFFFFFFu - dwStart);
}

DWORD tick_elapsed(const DWORD* pdwStart) { return tick_diff(*pdwStart, GetTickCount()); }

DWORD tick_expired(const DWORD* pdwStart, DWORD dwLimit) {
    return tick_elapsed(pdwStart) > dwLimit ? 1 : 0;
}
