// What the rest of the platform layer and its tools may use of the kernel
// objects, beyond the Win32 calls themselves.
//
// All objects of one namespace (ZKX_NAMESPACE) live in one shared segment,
// <namespace directory>/segment (system/namespace_dir.h).  Object types that
// need files of their own (sections) name them with kernel_segment_path() as
// prefix, so that whoever removes a namespace's files finds them.
#ifndef ZKXWIN32_KERNEL_OBJECTS_H
#define ZKXWIN32_KERNEL_OBJECTS_H

#include <cstdint>
#include <string>
#include <vector>

#include "base/handle_table.h"
#include "zkxwin32/types.h"

namespace zkx::win32 {

// The namespace in use, mapping it first; null (last error set) when it
// cannot be used.
const char* kernel_namespace();
// "<namespace directory>/segment", or empty when the namespace cannot be used.
std::string kernel_segment_path();

enum class KernelObjectType : uint32_t {
    Event = 1,
    Mutex = 2,
    Semaphore = 3,
    Thread = 4,
    Section = 5,  // named shared memory (kernel/section.cpp); see below
};

// A snapshot of one object, for diagnostic tools.
struct KernelObjectInfo {
    KernelObjectType type{};
    uint32_t slot = 0;
    uint32_t generation = 0;
    std::string name;        // empty when unnamed
    uint32_t handles = 0;    // open handles in all processes; a running thread holds one on itself
    uint32_t waiters = 0;    // threads queued on it now
    uint32_t creator_pid = 0;
    bool signalled = false;  // event set, semaphore count > 0, mutex free, thread ended
    bool manual_reset = false;
    int32_t count = 0;       // semaphore
    int32_t max_count = 0;
    uint32_t owner_pid = 0;  // mutex: 0 when free
    uint32_t owner_tid = 0;
    uint32_t recursion = 0;
    bool abandoned = false;  // mutex: the next owner will be told
    uint32_t thread_id = 0;  // thread
    uint32_t exit_code = 0;  // thread: 259 (STILL_ACTIVE) while it runs
};

// Every object of the namespace, after sweeping processes that have died.
bool enumerate_kernel_objects(std::vector<KernelObjectInfo>* out);
// The object behind one of this process's handles.
bool describe_kernel_object(HANDLE h, KernelObjectInfo* out);

// --- Object types with data of their own ---------------------------------------
// A section (named shared memory) shares the objects' name space, reference
// counting and dead-process sweeping.  Its object holds eight words of its
// own (for example the size and a creation serial), written once when it is
// created; its memory lives in a separate file named from
// kernel_segment_path(), the slot and the generation.

struct KernelObjectTypeHooks {
    // Runs in whichever process drops the last reference (perhaps while it
    // sweeps a dead process), after the object's removal is committed and
    // while the namespace lock is still held.  Must be quick and must not
    // call any kernel-object function: unlink a file, nothing more.
    void (*destroy)(uint32_t slot, uint32_t generation, const uint64_t ext[8]) = nullptr;
};

// Call from a static initialiser of the type's source file, so that every
// process that may sweep knows the hooks.
bool register_kernel_object_type(KernelObjectType type, const KernelObjectTypeHooks& hooks);

// Creates a named (or, with a null or empty name, private) object, or opens
// the existing one of that name: last error 0 or 183 (ERROR_ALREADY_EXISTS).
// For a new object init(ext, ctx) fills its eight words.  Another type under
// the name gives 6, a name over 260 characters 206.
HANDLE create_kernel_object(KernelObjectType type, HandleType handle_type, const char* name,
                            void (*init)(uint64_t ext[8], void* ctx), void* ctx);
// Opens an existing named object: 2 when there is none, 6 for another type.
HANDLE open_kernel_object(KernelObjectType type, HandleType handle_type, const char* name);
// The words and identity of the object behind a handle of any handle type
// whose payload came from create/open above.
bool read_kernel_object(const HandleEntry& entry, KernelObjectType type, uint32_t* slot,
                        uint32_t* generation, uint64_t ext[8]);
// The closer of such a handle type (register it with base/handle_close.h).
BOOL close_kernel_object_handle(HANDLE h, const HandleEntry& entry);

// --- Thread callbacks -----------------------------------------------------------
// Called on every thread that CreateThread starts: attach before the thread
// routine, detach after it returns or calls ExitThread (not after
// TerminateThread, as on Windows).  At most eight pairs; false when full.
using ThreadCallback = void (*)();
bool register_thread_callbacks(ThreadCallback attach, ThreadCallback detach);

}  // namespace zkx::win32

#endif
