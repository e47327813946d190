// The per-process handle table behind every HANDLE the layer gives out.
//
// A HANDLE is (slot + 1) * 4, like the kernel's, so it is never null, never
// INVALID_HANDLE_VALUE and never a pseudo handle.  A slot holds one 64-bit
// word: the handle's type and a 56-bit payload whose meaning belongs to the
// subsystem that made the handle (a kernel-object slot and generation, a
// pointer to a file record, ...).  Keeping the entry a plain value makes a
// lookup one atomic load with nothing to free, so waits never take a
// process-wide lock; a subsystem whose payload is a pointer guards that
// object's lifetime itself.
#ifndef ZKXWIN32_HANDLE_TABLE_H
#define ZKXWIN32_HANDLE_TABLE_H

#include <cstdint>

#include "zkxwin32/types.h"

namespace zkx::win32 {

enum class HandleType : uint8_t {
    None = 0,
    Event,
    Mutex,
    Semaphore,
    Thread,
    File,
    Mapping,
    RegistryKey,
};

constexpr uint64_t kHandlePayloadMask = (uint64_t(1) << 56) - 1;

struct HandleEntry {
    HandleType type = HandleType::None;
    uint64_t payload = 0;  // at most 56 bits
};

// Stores an entry and returns its handle, or null with last error 4 (too many
// open handles) when the table is full.
HANDLE handle_insert(HandleType type, uint64_t payload);

// The entry behind h; false when h is not an open handle of this process.
bool handle_lookup(HANDLE h, HandleEntry* out);

// Removes h and returns what it held; false when h was not open.
bool handle_remove(HANDLE h, HandleEntry* out);

// Calls fn(handle, entry) for each open handle; for diagnostics and for
// tidying at exit.  Entries may change while it runs.
void handle_for_each(void (*fn)(HANDLE, const HandleEntry&, void*), void* ctx);

}  // namespace zkx::win32

#endif
