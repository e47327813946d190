// The loader's notifications to shared libraries that declared an entry.
//
// Entries are few and change only at load and unload, so one lock and a
// generation counter suffice: a thread compares the generation it last saw
// with the current one and is done in the common case.
#include <atomic>
#include <mutex>
#include <vector>

#include "kernel/kernel_objects.h"
#include "system/loader_internal.h"
#include "zkxwin32/loader.h"
#include "zkxwin32/system.h"

namespace zkx::win32 {
namespace {

struct Entry {
    PDLL_ENTRY fn;
    HMODULE module;
};

std::mutex g_lock;
std::vector<Entry>& entries() {
    static std::vector<Entry>* list = new std::vector<Entry>();  // never destroyed: used at exit
    return *list;
}
std::atomic<uint32_t> g_generation{1};

// The generation the thread last checked.  Every export of a library calls
// thread_check, so the common case is this one initial-exec TLS read; the
// state below has a destructor, which makes each access a call.
thread_local uint32_t t_seen __attribute__((tls_model("initial-exec"))) = 0;

// What one thread has been told.  Its destructor is the thread's end.
struct ThreadState {
    bool silent = false;        // the loading thread: no thread notifications
    std::vector<PDLL_ENTRY> attached;
    ~ThreadState() { detach_thread(); }

    void detach_thread() {
        std::vector<Entry> calls;
        {
            std::lock_guard<std::mutex> guard(g_lock);
            for (const Entry& e : entries())
                for (PDLL_ENTRY fn : attached)
                    if (fn == e.fn) calls.push_back(e);
            attached.clear();
        }
        for (auto it = calls.rbegin(); it != calls.rend(); ++it)
            it->fn(reinterpret_cast<HINSTANCE>(it->module), DLL_THREAD_DETACH, nullptr);
    }
};

thread_local ThreadState t_state;

}  // namespace

void thread_check() {
    uint32_t gen = g_generation.load(std::memory_order_acquire);
    if (t_seen == gen) return;
    t_seen = gen;
    ThreadState& st = t_state;
    if (st.silent) return;
    std::vector<Entry> calls;
    {
        std::lock_guard<std::mutex> guard(g_lock);
        for (const Entry& e : entries()) {
            bool known = false;
            for (PDLL_ENTRY fn : st.attached) known |= fn == e.fn;
            if (!known) {
                st.attached.push_back(e.fn);
                calls.push_back(e);
            }
        }
    }
    for (const Entry& e : calls) e.fn(reinterpret_cast<HINSTANCE>(e.module), DLL_THREAD_ATTACH, nullptr);
}

void thread_end() { t_state.detach_thread(); }

namespace {
// Threads the layer starts are told at their first and last step.
const bool g_hooked = register_thread_callbacks(thread_check, thread_end);
}  // namespace

}  // namespace zkx::win32

using namespace zkx::win32;

extern "C" void WINAPI zkx_dll_attach(PDLL_ENTRY entry) {
    HMODULE module = zkx_module_from_address(reinterpret_cast<const void*>(entry));
    // The loading thread is told of the process, not of itself, as on
    // Windows; it has seen every entry loaded so far.
    t_state.silent = true;
    {
        std::lock_guard<std::mutex> guard(g_lock);
        entries().push_back(Entry{entry, module});
    }
    entry(reinterpret_cast<HINSTANCE>(module), DLL_PROCESS_ATTACH, nullptr);
    g_generation.fetch_add(1, std::memory_order_acq_rel);
}

extern "C" void WINAPI zkx_dll_detach(PDLL_ENTRY entry) {
    HMODULE module = nullptr;
    {
        std::lock_guard<std::mutex> guard(g_lock);
        auto& list = entries();
        for (auto it = list.begin(); it != list.end(); ++it) {
            if (it->fn == entry) {
                module = it->module;
                list.erase(it);
                break;
            }
        }
    }
    g_generation.fetch_add(1, std::memory_order_acq_rel);
    entry(reinterpret_cast<HINSTANCE>(module), DLL_PROCESS_DETACH, nullptr);
}

extern "C" void WINAPI zkx_dll_thread_check(void) { thread_check(); }
