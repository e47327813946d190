// Windows builds of the tests: what the layer's object diagnostics tell,
// as far as the system's own queries tell it.  Win32 says nothing about the
// threads queued on an object, the owner of a mutex other than the caller,
// or every object of a namespace; the tests that need those are left out
// of the Windows run (windows/tests/CMakeLists.txt).
#ifndef ZKX_TESTS_WINDOWS_KERNEL_OBJECTS_H
#define ZKX_TESTS_WINDOWS_KERNEL_OBJECTS_H

#include <cstdint>
#include <string>
#include <vector>

#include "zkxwin32.h"

namespace zkx::win32 {

enum class KernelObjectType : uint32_t { Event = 1, Mutex = 2, Semaphore = 3, Thread = 4, Section = 5 };

struct KernelObjectInfo {
    KernelObjectType type{};
    uint32_t slot = 0;
    uint32_t generation = 0;
    std::string name;
    uint32_t handles = 0;
    uint32_t waiters = 0;  // unknown on Windows: always 0
    uint32_t creator_pid = 0;
    bool signalled = false;
    bool manual_reset = false;
    int32_t count = 0;
    int32_t max_count = 0;
    uint32_t owner_pid = 0;
    uint32_t owner_tid = 0;  // the caller's id when it owns the mutex, ~0 for another owner
    uint32_t recursion = 0;
    bool abandoned = false;
    uint32_t thread_id = 0;
    uint32_t exit_code = 0;
};

bool describe_kernel_object(HANDLE h, KernelObjectInfo* out);
inline bool enumerate_kernel_objects(std::vector<KernelObjectInfo>*) { return false; }
inline const char* kernel_namespace() { return ""; }

using ThreadCallback = void (*)();
inline bool register_thread_callbacks(ThreadCallback, ThreadCallback) { return false; }

}  // namespace zkx::win32

#endif
