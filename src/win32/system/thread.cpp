// Threads.  Every thread CreateThread starts runs through a trampoline that
// owns a jump target; ExitThread and TerminateThread end the thread by
// jumping back to it, skipping the frames above as Windows does.  From
// outside, TerminateThread sends a signal whose handler makes the jump, which
// also interrupts a thread in a tight loop, a futex wait or nanosleep.
#include <pthread.h>
#include <semaphore.h>
#include <setjmp.h>
#include <signal.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <mutex>
#include <new>

#include "kernel/kernel_objects.h"
#include "kernel/internal.h"
#include "kernel/thread_object.h"
#include "zkxwin32/errors.h"
#include "zkxwin32/handles.h"
#include "zkxwin32/sync.h"
#include "zkxwin32/thread.h"

namespace zkx::win32 {

__thread TerminationState t_termination __attribute__((tls_model("initial-exec"))) = {0, 0};

namespace {

using namespace kobj;

const HANDLE kCurrentProcess = reinterpret_cast<HANDLE>(intptr_t(-1));
const HANDLE kCurrentThread = reinterpret_cast<HANDLE>(intptr_t(-2));

// How long TerminateThread waits for its victim to be gone; only a thread
// that blocks the signal itself can take that long.
constexpr DWORD kTerminateWaitMs = 5000;

enum Jump : int { kStarted = 0, kTerminated = 1, kExited = 2 };

struct Handshake {
    sem_t ready;
    uint32_t tid = 0;
};

struct ThreadControl {
    LPTHREAD_START_ROUTINE start = nullptr;
    LPVOID param = nullptr;
    Ref ref{};
    Handshake* handshake = nullptr;  // the creator's, until the thread has posted it
    DWORD code = 0;
    bool detached = false;  // detach callbacks have run
    volatile sig_atomic_t exiting = 0;
    sigjmp_buf jump;
};

thread_local ThreadControl* t_control __attribute__((tls_model("initial-exec"))) = nullptr;

// --- The last thread's exit code -----------------------------------------------
// On Windows a process whose last thread ends exits with that thread's code.
// The C library ends such a process itself, with exit(0), on the thread that
// leaves pthread last.  That need not be the thread that ended last as the
// process sees it: a thread whose handle is already signalled may still be on
// its way out of pthread when the thread that waited for it ends.  So every
// thread that ends through the layer records its code in one place, in the
// order the threads end, and marks itself as leaving; a handler registered at
// load then exits again with the last code recorded, but only on a leaving
// thread, so an exit() that a program calls keeps its own status.  The C
// library goes on with the handlers not yet run, so destructors and library
// finalisers still run once.  On Linux only the code's low 8 bits reach the
// parent.
std::atomic<DWORD> g_last_code{0};
thread_local bool t_leaving __attribute__((tls_model("initial-exec"))) = false;

void note_exit_code(DWORD code) {
    g_last_code.store(code);
    t_leaving = true;
}

void exit_with_last_thread_code() {
    if (!t_leaving) return;
    t_leaving = false;
    exit(int(g_last_code.load()));
}

// Registered before any later handler, so that those run first.
__attribute__((constructor(101))) void register_last_exit() { atexit(exit_with_last_thread_code); }

int terminate_signal() { return SIGRTMIN + 3; }

void on_terminate_signal(int) {
    ThreadControl* c = t_control;
    if (!c || c->exiting) return;
    if (t_termination.depth > 0) {
        t_termination.pending = 1;  // carried out when the thread leaves our code
        return;
    }
    siglongjmp(c->jump, kTerminated);
}

void install_signal_handler() {
    static std::once_flag once;
    std::call_once(once, [] {
        struct sigaction sa {};
        sa.sa_handler = on_terminate_signal;
        sigemptyset(&sa.sa_mask);
        sigaction(terminate_signal(), &sa, nullptr);
    });
}

void set_terminate_signal_blocked(bool blocked) {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, terminate_signal());
    pthread_sigmask(blocked ? SIG_BLOCK : SIG_UNBLOCK, &set, nullptr);
}

// --- Attach and detach callbacks -----------------------------------------------

constexpr int kMaxCallbacks = 8;
ThreadCallback g_attach[kMaxCallbacks];
ThreadCallback g_detach[kMaxCallbacks];
std::atomic<int> g_callbacks{0};
std::mutex g_callback_lock;

void run_attach() {
    int n = g_callbacks.load(std::memory_order_acquire);
    for (int i = 0; i < n; ++i)
        if (g_attach[i]) g_attach[i]();
}

void run_detach(ThreadControl* c) {
    if (c->detached) return;
    c->detached = true;
    int n = g_callbacks.load(std::memory_order_acquire);
    for (int i = n; i-- > 0;)
        if (g_detach[i]) g_detach[i]();
}

// --- The thread's life ---------------------------------------------------------

void publish_start(ThreadControl* c) {
    NoTerminate guard;
    uint32_t tid = current_tid();
    Segment* s = segment();
    {
        Txn t(*s);
        t.put(s->objects[c->ref.slot].thread_id, tid);
    }
    Handshake* h = c->handshake;
    c->handshake = nullptr;
    h->tid = tid;
    sem_post(&h->ready);  // the creator may free h from here on
}

void finish(ThreadControl* c) {
    c->exiting = 1;
    set_terminate_signal_blocked(true);
    t_termination.pending = 0;
    release_thread_resources();
    Segment* s = segment_if_attached();
    {
        Txn t(*s);
        const ObjectSlot& o = s->objects[c->ref.slot];
        DWORD code = o.terminate_requested ? o.terminate_code : c->code;
        note_exit_code(code);
        uint64_t state = t.touch(c->ref.slot);
        t.set_state(c->ref.slot, ThreadRules::ended(state, code));
        walk(t, c->ref.slot);
        drop_handle(t, s->self, c->ref.slot);  // the reference the thread held on itself
    }
    t_control = nullptr;
    delete c;
}

void* trampoline(void* arg) {
    auto* c = static_cast<ThreadControl*>(arg);
    t_control = c;
    publish_start(c);
    // The saved mask has the terminate signal blocked, as pthread_create
    // started the thread; every jump back restores that.
    switch (sigsetjmp(c->jump, 1)) {
        case kStarted:
            set_terminate_signal_blocked(false);
            run_attach();
            c->code = c->start(c->param);
            run_detach(c);
            break;
        case kExited:
            run_detach(c);
            break;
        default:  // terminated: no detach, as on Windows
            break;
    }
    finish(c);
    return nullptr;
}

[[noreturn]] void end_current_thread(Jump how, DWORD code) {
    ThreadControl* c = t_control;
    if (c && !c->exiting) {
        c->code = code;
        siglongjmp(c->jump, how);
    }
    // A thread the layer did not start: its exit hook abandons its mutexes.
    note_exit_code(code);
    release_thread_resources();
    pthread_exit(nullptr);
}

}  // namespace

void run_pending_termination() {
    t_termination.pending = 0;
    ThreadControl* c = t_control;
    if (c && !c->exiting) siglongjmp(c->jump, kTerminated);
}

bool register_thread_callbacks(ThreadCallback attach, ThreadCallback detach) {
    std::lock_guard<std::mutex> guard(g_callback_lock);
    int n = g_callbacks.load(std::memory_order_relaxed);
    if (n == kMaxCallbacks) return false;
    g_attach[n] = attach;
    g_detach[n] = detach;
    g_callbacks.store(n + 1, std::memory_order_release);
    return true;
}

}  // namespace zkx::win32

using namespace zkx::win32;
using namespace zkx::win32::kobj;

extern "C" HANDLE WINAPI CreateThread(LPSECURITY_ATTRIBUTES, SIZE_T stack_size, LPTHREAD_START_ROUTINE start,
                                      LPVOID param, DWORD flags, LPDWORD thread_id) {
    if (!start) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    if (flags & CREATE_SUSPENDED) {
        SetLastError(ERROR_NOT_SUPPORTED);  // there is no ResumeThread
        return nullptr;
    }
    NoTerminate guard;
    install_signal_handler();
    Ref ref;
    HANDLE h = create_object(NewObject{kThread, HandleType::Thread, nullptr, 0, 0, 1, nullptr, nullptr}, &ref);
    if (!h) return nullptr;
    Handshake handshake;
    sem_init(&handshake.ready, 0, 0);
    auto* c = new (std::nothrow) ThreadControl;
    if (c) {
        c->start = start;
        c->param = param;
        c->ref = ref;
        c->handshake = &handshake;
    }
    int err = ENOMEM;
    if (c) {
        pthread_attr_t attr;
        pthread_attr_init(&attr);
        pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
        if (stack_size) {
            long page = sysconf(_SC_PAGESIZE);
            size_t size = std::max<size_t>(stack_size, PTHREAD_STACK_MIN);
            pthread_attr_setstacksize(&attr, (size + page - 1) / page * page);
        }
        sigset_t all, old;
        sigemptyset(&all);
        sigaddset(&all, terminate_signal());
        pthread_sigmask(SIG_BLOCK, &all, &old);
        pthread_t thread;
        err = pthread_create(&thread, &attr, trampoline, c);
        pthread_sigmask(SIG_SETMASK, &old, nullptr);
        pthread_attr_destroy(&attr);
    }
    if (err) {
        delete c;
        sem_destroy(&handshake.ready);
        Segment* s = segment();
        {
            Txn t(*s);
            drop_handle(t, s->self, ref.slot);  // the reference the thread would have held
        }
        CloseHandle(h);
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    while (sem_wait(&handshake.ready) != 0 && errno == EINTR) {
    }
    sem_destroy(&handshake.ready);
    if (thread_id) *thread_id = handshake.tid;
    SetLastError(0);
    return h;
}

extern "C" void WINAPI ExitThread(DWORD code) { end_current_thread(kExited, code); }

extern "C" BOOL WINAPI TerminateThread(HANDLE h, DWORD code) {
    if (h == kCurrentThread) end_current_thread(kTerminated, code);
    Segment* s;
    Ref r;
    if (!resolve_as(h, HandleType::Thread, &s, &r)) return FALSE;
    bool self = false;
    {
        NoTerminate guard;
        Txn t(*s);
        if (!ref_current(*s, r)) {
            SetLastError(ERROR_INVALID_HANDLE);
            return FALSE;
        }
        if (ThreadRules::signalled(t.state(r.slot))) return TRUE;
        ObjectSlot& o = s->objects[r.slot];
        if (!o.terminate_requested) {
            t.put(o.terminate_requested, 1u);
            t.put(o.terminate_code, code);
        }
        self = o.thread_id == current_tid();
        // Under the lock the thread has not finished, so its tid is still its own.
        if (!self) syscall(SYS_tgkill, getpid(), pid_t(o.thread_id), terminate_signal());
    }
    if (self) end_current_thread(kTerminated, code);
    // Windows returns at once, but callers (and the library's poll manager)
    // free what the thread used right after; let it be gone first.
    wait_objects(*s, 1, &r, false, kTerminateWaitMs);
    return TRUE;
}

extern "C" BOOL WINAPI GetExitCodeThread(HANDLE h, LPDWORD code) {
    if (!code) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (h == kCurrentThread) {
        *code = STILL_ACTIVE;
        return TRUE;
    }
    Segment* s;
    Ref r;
    if (!resolve_as(h, HandleType::Thread, &s, &r)) return FALSE;
    const HotEntry& hot = s->hot[r.slot];
    uint64_t state = hot.state.load(std::memory_order_acquire);
    if (hot.generation.load(std::memory_order_relaxed) != r.generation) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    *code = ThreadRules::exit_code(state);
    return TRUE;
}

extern "C" DWORD WINAPI GetCurrentThreadId(void) { return current_tid(); }

extern "C" DWORD WINAPI GetCurrentProcessId(void) {
    // Not cached: a cached value would survive fork().
    return DWORD(getpid());
}

extern "C" HANDLE WINAPI GetCurrentThread(void) { return kCurrentThread; }
extern "C" HANDLE WINAPI GetCurrentProcess(void) { return kCurrentProcess; }
