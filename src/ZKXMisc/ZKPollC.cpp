// The worker: thPoll runs the caller's callback for INIT, at its interval
// and on command, takes the manager's commands from its inbox and answers
// each through its outbox.
#include "ZKPollPriv.h"

namespace {

const char kSource[] = "ZKPollC";

// Trace texts are log format, to be kept byte for byte (see ZKPOLL_TRACE).
#define WORKER_TRACE(level, ...) ZKPOLL_TRACE(kSource, level, __VA_ARGS__)

// What the worker keeps for its whole run.
struct Worker {
    PZKPOLL_THREAD pTh;
    DWORD rc;     // result of the last callback or command round; the exit code
    BOOL fExit;   // go to the exit steps
    BOOL fPoll;   // poll next: the first round, and after a sleep that timed out
};

// The alive bit is what the manager trusts before it frees a record, so it
// must follow the worker's life even if the record lock were ever busy.
void set_alive(PZKPOLL_THREAD pTh, bool fAlive) {
    DWORD rc = fAlive ? set_th_status(pTh, ZKPOLL_ST_ALIVE, nullptr)
                      : clr_th_status(pTh, ZKPOLL_ST_ALIVE, nullptr);
    if (rc == 0) return;
    if (fAlive)
        __atomic_fetch_or(&pTh->dwStatus, ZKPOLL_ST_ALIVE, __ATOMIC_ACQ_REL);
    else
        __atomic_fetch_and(&pTh->dwStatus, ~ZKPOLL_ST_ALIVE, __ATOMIC_ACQ_REL);
}

// Waits until a command is in the inbox or dwTimeout ms have passed (never,
// for INFINITE); true when a command came.  A wake-up that finds the inbox
// empty was left by a command the worker took before it began to wait; the
// wait goes on for the rest of its time.
bool wait_for_command(PZKPOLL_THREAD pTh, DWORD dwTimeout) {
    DWORD start;
    tick_start(&start);
    DWORD left = dwTimeout;
    for (;;) {
        DWORD wait = WaitForSingleObject(pTh->hEvent, left);
        if (wait == WAIT_TIMEOUT) return false;
        DWORD code;
        peek_cmd(pTh, &code);
        if (code != 0 || wait != WAIT_OBJECT_0) return true;
        if (dwTimeout != INFINITE) {
            DWORD elapsed = tick_elapsed(&start);
            if (elapsed >= dwTimeout) return false;
            left = dwTimeout - elapsed;
        }
    }
}

// The interval may be replaced by ZKPollSetThData at any time; it is read
// even when the lock stays busy.
DWORD read_interval(PZKPOLL_THREAD pTh) {
    bool locked = ZKExclEnterCritSec(&pTh->csLock, ZKPOLL_READ_LOCK_TIMEOUT, 0, 0) == 0;
    DWORD interval = zkpoll_load(&pTh->thData.dwInterval);
    if (locked) ZKExclLeaveCritSec(&pTh->csLock, 0);
    return interval;
}

DWORD do_callback(Worker* w, DWORD dwEvent) {
    PZKPOLL_THREAD pTh = w->pTh;
    DWORD dwAction = 0;
    if (ZKExclEnterCritSec(&pTh->csLock, ZKPOLL_READ_LOCK_TIMEOUT, 0, 0) != 0) return ERROR_BUSY;
    PFN_ZKPOLL_CALLBACK pfnCallback = pTh->thData.pfnCallback;
    DWORD dwId = pTh->thData.dwId;
    DWORD adwUser[4];
    for (int i = 0; i < 4; i++) adwUser[i] = pTh->thData.adwUser[i];
    LPDWORD pdwUserWork = &pTh->dwUserWork;
    ZKExclLeaveCritSec(&pTh->csLock, 0);

    WORKER_TRACE(ZKDLOG_DBG, " - callback [%08lX]", dwEvent);
    DWORD result = pfnCallback(pTh, dwId, dwEvent, adwUser, pdwUserWork, &dwAction, 0);
    WORKER_TRACE(ZKDLOG_DBG, " - callback eve=%08lX rc=%u act=%08lX", dwEvent, result, dwAction);
    if (result != 0 || (dwAction & ZKPOLL_ACT_EXIT) != 0) {
        WORKER_TRACE(ZKDLOG_NTA, " --- Polling [%08lX] rc=%u act=%08lX", dwEvent, result, dwAction);
        w->fExit = TRUE;
    }
    return result;
}

DWORD on_poll(Worker* w, const ZKPOLL_MSG& cmd) {
    WORKER_TRACE(ZKDLOG_DBG, " - polling");
    DWORD old;
    get_th_state(w->pTh, &old);
    set_th_state(w->pTh, ZKPOLL_STATE_POLL, &old);
    // Acknowledged before the callback runs: the manager waits for the poll
    // to start, not to finish.
    put_reply(w->pTh, cmd.dwSeq, ZKPOLL_POLL, 0, 0);
    DWORD result = do_callback(w, ZKPOLL_POLL);
    set_th_state(w->pTh, old, nullptr);
    return result;
}

DWORD on_suspend(Worker* w, const ZKPOLL_MSG& cmd) {
    PZKPOLL_THREAD pTh = w->pTh;
    DWORD result = do_callback(w, ZKPOLL_SUSPEND);
    if (result != 0) {
        WORKER_TRACE(ZKDLOG_CHK, " - callback(suspend) rc=%u", result);
        put_reply(pTh, cmd.dwSeq, ZKPOLL_SUSPEND, result, 0);
        return result;
    }
    if (w->fExit) {
        WORKER_TRACE(ZKDLOG_CHK, " - callback(suspend) exit-now");
        put_reply(pTh, cmd.dwSeq, ZKPOLL_SUSPEND, ERROR_CANCELLED, 0);
        return 0;
    }
    WORKER_TRACE(ZKDLOG_DBG, " - suspend");
    set_th_status(pTh, ZKPOLL_ST_SUSPENDED, nullptr);
    put_reply(pTh, cmd.dwSeq, ZKPOLL_SUSPEND, 0, 0);
    // Any command ends the suspension; do_commands then takes it.
    wait_for_command(pTh, INFINITE);
    clr_th_status(pTh, ZKPOLL_ST_SUSPENDED, nullptr);
    WORKER_TRACE(ZKDLOG_DBG, " - suspend_awake");
    return do_callback(w, ZKPOLL_RESUME);
}

// The RESUME call itself was made when the suspension ended.
DWORD on_resume(Worker* w, const ZKPOLL_MSG& cmd) {
    WORKER_TRACE(ZKDLOG_DBG, " - resume");
    put_reply(w->pTh, cmd.dwSeq, ZKPOLL_RESUME, 0, 0);
    return 0;
}

DWORD do_commands(Worker* w) {
    PZKPOLL_THREAD pTh = w->pTh;
    DWORD old;
    get_th_state(pTh, &old);
    set_th_state(pTh, ZKPOLL_STATE_COMMAND, &old);
    DWORD result = 0;
    for (;;) {
        ZKPOLL_MSG cmd;
        if (pop_cmd(pTh, &cmd) != 0 || cmd.dwCode == 0) break;
        WORKER_TRACE(ZKDLOG_DBG, " - cmd %08lX", cmd.dwCode);
        switch (cmd.dwCode) {
            case ZKPOLL_POLL:
                result = on_poll(w, cmd);
                break;
            case ZKPOLL_TERMINATE:
                w->fExit = TRUE;  // answered by the final TERMINATE reply
                break;
            case ZKPOLL_SUSPEND:
                result = on_suspend(w, cmd);
                break;
            case ZKPOLL_RESUME:
                result = on_resume(w, cmd);
                break;
            default:
                WORKER_TRACE(ZKDLOG_CHK, " - unknwon cmd %08lX", cmd.dwCode);
                put_reply(pTh, cmd.dwSeq, cmd.dwCode, ERROR_INVALID_PARAMETER, 0);
                break;
        }
        if (w->fExit) break;
    }
    set_th_state(pTh, old, nullptr);
    return result;
}

void run(Worker* w) {
    PZKPOLL_THREAD pTh = w->pTh;
    for (;;) {
        w->rc = do_commands(w);
        if (w->fExit) return;
        if (w->fPoll) {
            set_th_state(pTh, ZKPOLL_STATE_POLL, nullptr);
            w->rc = do_callback(w, ZKPOLL_POLL);
            if (w->fExit) return;
        }
        w->rc = do_commands(w);
        if (w->fExit) return;
        WORKER_TRACE(ZKDLOG_COM, " - sleep");
        set_th_state(pTh, ZKPOLL_STATE_SLEEP, nullptr);
        w->fPoll = wait_for_command(pTh, read_interval(pTh)) ? FALSE : TRUE;
        WORKER_TRACE(ZKDLOG_COM, " - awake [%s]", w->fPoll ? "poll" : "cmd");
    }
}

}  // namespace

DWORD ZKAPI thPoll(LPVOID pvThread) {
    Worker w = {static_cast<PZKPOLL_THREAD>(pvThread), 0, FALSE, TRUE};
    PZKPOLL_THREAD pTh = w.pTh;
    WORKER_TRACE(ZKDLOG_STA, "thPoll %08lX", zkpoll_ptr32(pTh));
    set_th_state(pTh, ZKPOLL_STATE_INITEXIT, nullptr);
    set_alive(pTh, true);

    w.rc = do_callback(&w, ZKPOLL_INIT);
    put_reply(pTh, 0, ZKPOLL_INIT, w.rc, 0);
    if (w.rc != 0 || w.fExit)
        WORKER_TRACE(ZKDLOG_CHK, " - init failed rc=%u fExit=%u", w.rc, (DWORD)w.fExit);
    else
        run(&w);

    if (w.rc != 0) set_th_status(pTh, ZKPOLL_ST_FAILED, nullptr);
    set_th_state(pTh, ZKPOLL_STATE_INITEXIT, nullptr);
    do_callback(&w, ZKPOLL_TERMINATE);
    put_reply(pTh, 0, ZKPOLL_TERMINATE, w.rc, 0);
    WORKER_TRACE(ZKDLOG_END, "thPoll %08lX (%u)", zkpoll_ptr32(pTh), w.rc);
    set_th_state(pTh, ZKPOLL_STATE_IDLE, nullptr);
    // The manager may free the record from here on.
    set_alive(pTh, false);
    return w.rc;
}

ZKEXTERN DWORD ZKAPI ZKPollCheckEvent(PZKPOLL_THREAD pThread, DWORD, LPDWORD pdwEvent,
                                      LPBOOL pbStop) {
    ZK_THREAD_CHECK();
    if (!pThread || pThread->dwMagic != ZKPOLL_THREAD_MAGIC) return ERROR_INVALID_HANDLE;
    if (!pbStop) return ERROR_INVALID_PARAMETER;
    *pbStop = 0;
    DWORD code;
    peek_cmd(pThread, &code);
    WORKER_TRACE(ZKDLOG_DBG, "----- event %08lX", code);
    if (pdwEvent) *pdwEvent = code;
    if ((code & ZKPOLL_STOP_MASK) != 0) *pbStop = 1;
    return 0;
}
