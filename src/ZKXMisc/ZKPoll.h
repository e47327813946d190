/**
 * @file ZKPoll.h
 * @brief Poll threads: a set of worker threads, each calling the caller's callback
 * at its own interval and on command, steered all at once through a poll
 * handle (POLL, SUSPEND, RESUME, TERMINATE) or one by one by id.
 *
 * The library starts no thread itself: the caller's thread starter, given
 * at create, runs each worker on the library's thread procedure.  Calls on
 * one poll handle must not overlap; the caller serialises them.
 */
#ifndef ZKX_ZKPOLL_H
#define ZKX_ZKPOLL_H

#include "ZKPlatform.h"

/** @name Codes
 * Commands (manager to worker), events (worker to callback) and replies
 * (worker to manager) share one number space.
 * @{ */
#define ZKPOLL_POLL 0x00000001u      /**< poll now */
#define ZKPOLL_INIT 0x00000100u      /**< first call after the worker starts; never sent */
#define ZKPOLL_TERMINATE 0x00000200u /**< end the worker; last call before it ends */
#define ZKPOLL_SUSPEND 0x00010000u   /**< suspend until the next command */
#define ZKPOLL_RESUME 0x00020000u    /**< resume; the worker has woken from suspension */
/** @} */

/** Set by a callback in its action word to end the worker. */
#define ZKPOLL_ACT_EXIT 0x00000200u

/** A waiting command with one of these bits asks a busy callback to stop. */
#define ZKPOLL_STOP_MASK (ZKPOLL_SUSPEND | ZKPOLL_TERMINATE)

/** @name Status bits of a worker
 * @{ */
#define ZKPOLL_ST_SUSPENDED 0x00000001u /**< suspended by a command */
#define ZKPOLL_ST_ALIVE 0x00010000u  /**< from the worker's first step to its last */
#define ZKPOLL_ST_FAILED 0x01000000u /**< the worker ended with a nonzero result */
/** @} */

/** @name What a worker is doing
 * @{ */
#define ZKPOLL_STATE_IDLE 0u     /**< not started, or finished */
#define ZKPOLL_STATE_INITEXIT 1u /**< starting (INIT call) or ending */
#define ZKPOLL_STATE_SLEEP 2u    /**< waiting for its interval or a command */
#define ZKPOLL_STATE_POLL 3u     /**< calling the callback with ZKPOLL_POLL */
#define ZKPOLL_STATE_COMMAND 4u  /**< taking commands, also while suspended */
/** @} */

/* Result codes this family returns beyond the common ones. */
#ifndef ERROR_BAD_THREADID_ADDR
#define ERROR_BAD_THREADID_ADDR 159L
#endif
#ifndef ERROR_IO_INCOMPLETE
#define ERROR_IO_INCOMPLETE 996L
#endif
#ifndef ERROR_PROCESS_ABORTED
#define ERROR_PROCESS_ABORTED 1067L
#endif
#ifndef ERROR_CANCELLED
#define ERROR_CANCELLED 1223L
#endif
#ifndef ERROR_INVALID_THREAD_ID
#define ERROR_INVALID_THREAD_ID 1444L
#endif

/** Opaque: a worker as its callback sees it; valid while its callback runs. */
typedef struct _ZKPOLL_THREAD* PZKPOLL_THREAD;
/** Opaque poll handle: ZKPollCreate makes it, ZKPollDestroy frees it. */
typedef struct _ZKPOLL_HANDLE* PZKPOLL_HANDLE;

/**
 * @brief The poll callback, called on the worker's thread with the event
 * (ZKPOLL_INIT, _POLL, _SUSPEND, _RESUME or _TERMINATE), a copy of the first
 * four user words made for this call, the worker's work word (kept from
 * call to call, the callback's own), and the action word (0 on entry; set
 * ZKPOLL_ACT_EXIT to end the worker).  Return 0 to go on; any other value
 * ends the worker and becomes its exit code.
 */
typedef DWORD(ZKAPI* PFN_ZKPOLL_CALLBACK)(PZKPOLL_THREAD pThread, DWORD dwId, DWORD dwEvent,
                                          LPDWORD pdwUser, LPDWORD pdwUserWork,
                                          LPDWORD pdwAction, DWORD dwReserved);

/** @brief A worker's definition; every worker keeps its own copy. */
typedef struct _ZKPOLL_THDATA {
    PFN_ZKPOLL_CALLBACK pfnCallback; /**< never null */
    DWORD dwInterval;                /**< ms between polls; never 0; INFINITE: on command only */
    DWORD dwId;                      /**< the caller's id of the worker; not checked for uniqueness */
    DWORD adwUser[8];                /**< the first four go to every callback call */
} ZKPOLL_THDATA, *PZKPOLL_THDATA;

/**
 * @brief The caller's thread starter, called once per worker on the thread that
 * creates or adds it.  It must start a thread that runs pfnThread(pvThreadArg),
 * store that thread's handle through phThread (kept valid while
 * ZKPollKillAll may use it; the library never closes it) and return 0, or
 * return a Win32 error code and start nothing.  dwReserved is 0; padwUser
 * points at the worker's eight user words.
 */
typedef DWORD(ZKAPI* PFN_ZKPOLL_START_THREAD)(PZKPOLL_HANDLE hPoll, DWORD dwId, DWORD dwReserved,
                                              LPTHREAD_START_ROUTINE pfnThread,
                                              LPVOID pvThreadArg, LPDWORD padwUser,
                                              PHANDLE phThread);

/** @brief What ZKPollCreate starts. */
typedef struct _ZKPOLL_PARAM {
    DWORD dwThreads;                        /**< number of definitions; 0 is allowed */
    PZKPOLL_THDATA pThData;                 /**< dwThreads definitions, copied; never null */
    PFN_ZKPOLL_START_THREAD pfnStartThread; /**< never null */
} ZKPOLL_PARAM, *PZKPOLL_PARAM;

/**
 * @brief Creates a poll handle and starts one worker per definition.
 *
 * Returns once every worker has made its INIT call.
 * @param pParam     The definitions and the thread starter; the library keeps
 *                   copies.
 * @param phPoll     Receives the handle, freed with ZKPollDestroy; null on
 *                   failure.
 * @param dwReserved Reserved.
 * @return 0; 87 bad arguments (no trace); 8 out of memory; the system error
 *         of a heap or event creation; the starter's result; the last
 *         failing INIT result.  On failure everything is torn down.
 */
ZKEXTERN DWORD ZKAPI ZKPollCreate(PZKPOLL_PARAM pParam, PZKPOLL_HANDLE* phPoll, DWORD dwReserved);

/**
 * @brief Ends every worker and frees the handle.
 *
 * Waits for the outstanding broadcast, broadcasts TERMINATE, waits for every
 * worker to end and frees the records, the handle and its private heap, all
 * within the timeout.  The thread handles stay the caller's to close.
 * @param hPoll      Poll handle.
 * @param dwReserved Reserved.
 * @param dwTimeout  Milliseconds, or INFINITE.
 * @return 0; 6 bad handle; 996 or 56 when time ran out, leaving the handle
 *         as it was, to be destroyed again later.
 */
ZKEXTERN DWORD ZKAPI ZKPollDestroy(PZKPOLL_HANDLE hPoll, DWORD dwReserved, DWORD dwTimeout);

/**
 * @brief Forcibly ends every alive worker (exit code 1067); they make no
 * TERMINATE call.  The handle stays, to be destroyed.
 * @param hPoll      Poll handle.
 * @param dwReserved Reserved.
 * @return 0; 6 bad handle; the system error when a worker's thread could not
 *         be terminated.  That worker deliberately stays marked alive: its
 *         thread may still run in its record, and letting destroy free the
 *         record under it would be a use after free.
 */
ZKEXTERN DWORD ZKAPI ZKPollKillAll(PZKPOLL_HANDLE hPoll, DWORD dwReserved);

/**
 * @brief Sends a command to every alive worker and waits for their answers.
 *
 * Waits for the previous broadcast first; all within the timeout.
 * @param hPoll       Poll handle.
 * @param dwReserved1 Reserved.
 * @param dwCmd       ZKPOLL_POLL, _SUSPEND, _RESUME or _TERMINATE.
 * @param dwReserved2 Reserved.
 * @param pdwSeq      Receives the broadcast's sequence number; may be null.
 * @param dwTimeout   Milliseconds, or INFINITE.
 * @return 0; 6 bad handle; 56 the previous broadcast is still unanswered;
 *         996 this one is (it stays outstanding); 170 a worker's lock was
 *         busy.
 */
ZKEXTERN DWORD ZKAPI ZKPollControlAll(PZKPOLL_HANDLE hPoll, DWORD dwReserved1, DWORD dwCmd,
                                      DWORD dwReserved2, LPDWORD pdwSeq, DWORD dwTimeout);

/**
 * @brief Waits until every alive worker has answered the outstanding
 * broadcast.
 * @param hPoll       Poll handle.
 * @param dwReserved1 Reserved.
 * @param dwReserved2 Reserved.
 * @param dwTimeout   Milliseconds, or INFINITE.
 * @return 0 (also when nothing is outstanding); 6 bad handle; 996 time ran
 *         out.
 */
ZKEXTERN DWORD ZKAPI ZKPollWaitLastCommand(PZKPOLL_HANDLE hPoll, DWORD dwReserved1,
                                           DWORD dwReserved2, DWORD dwTimeout);

/**
 * @brief Copies a worker's definition.
 * @param hPoll       Poll handle.
 * @param dwReserved1 Reserved.
 * @param dwReserved2 Reserved.
 * @param pThData     In: dwId of the worker (the first with that id); out:
 *                    its definition.
 * @return 0; 6 bad handle; 87 null pThData (refused rather than read
 *         through, like every other null record the library is given); 1444
 *         no such id; 170 busy.
 */
ZKEXTERN DWORD ZKAPI ZKPollGetThData(PZKPOLL_HANDLE hPoll, DWORD dwReserved1, DWORD dwReserved2,
                                     PZKPOLL_THDATA pThData);

/**
 * @brief Replaces a worker's definition; it takes effect at the worker's
 * next sleep and next callback call.
 * @param hPoll       Poll handle.
 * @param dwReserved1 Reserved.
 * @param dwReserved2 Reserved.
 * @param pThData     New definition; its dwId picks the first worker with
 *                    that id.  Copied.
 * @return 0; 6 bad handle; 87 bad definition; 1444 no such id; 170 busy.
 */
ZKEXTERN DWORD ZKAPI ZKPollSetThData(PZKPOLL_HANDLE hPoll, DWORD dwReserved1, DWORD dwReserved2,
                                     PZKPOLL_THDATA pThData);

/**
 * @brief Adds and starts one worker; returns after its INIT call.
 * @param hPoll       Poll handle.
 * @param dwReserved1 Reserved.
 * @param pThData     The worker's definition, copied.
 * @param dwReserved2 Reserved.
 * @return 0; 6 bad handle; 87 bad definition; the errors of a record's
 *         creation; the starter's result; the INIT result (the worker is
 *         then removed again).
 */
ZKEXTERN DWORD ZKAPI ZKPollAddThread(PZKPOLL_HANDLE hPoll, DWORD dwReserved1,
                                     PZKPOLL_THDATA pThData, DWORD dwReserved2);

/**
 * @brief Terminates the first alive worker with an id and removes it;
 * waits for its end without limit.
 * @param hPoll      Poll handle.
 * @param dwReserved Reserved.
 * @param dwId       The worker's id.
 * @return 0; 6 bad handle; 159 no such id or the worker has ended on its
 *         own (only ZKPollDestroy frees it then); 170 busy.
 */
ZKEXTERN DWORD ZKAPI ZKPollDelThread(PZKPOLL_HANDLE hPoll, DWORD dwReserved, DWORD dwId);

/**
 * @brief For a callback: tells whether a command is waiting, so that long
 * work can be cut short.  The command is taken after the callback returns.
 * @param pThread    The worker, as given to the callback.
 * @param dwReserved Reserved.
 * @param pdwEvent   Receives the waiting command's code, 0 if none; may be
 *                   null.
 * @param pbStop     Receives whether that command asks the worker to
 *                   suspend or terminate.
 * @return 0; 6 not a worker; 87 null pbStop.
 */
ZKEXTERN DWORD ZKAPI ZKPollCheckEvent(PZKPOLL_THREAD pThread, DWORD dwReserved, LPDWORD pdwEvent,
                                      LPBOOL pbStop);

#endif
