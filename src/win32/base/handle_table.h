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

#include <atomic>
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

// Slots live in lazily allocated chunks that never move or go away, so a
// lookup needs neither a lock nor a reference count.  The lookup is inline:
// every call of the layer that takes a handle starts with it.
namespace handle_detail {
constexpr uint32_t kChunkBits = 12;
constexpr uint32_t kChunkSize = 1u << kChunkBits;
constexpr uint32_t kChunkCount = 256;  // up to 1,048,576 open handles

struct Chunk {
    std::atomic<uint64_t> slots[kChunkSize];
};

extern std::atomic<Chunk*> g_chunks[kChunkCount];

inline std::atomic<uint64_t>* find_slot(HANDLE h) {
    uintptr_t v = reinterpret_cast<uintptr_t>(h);
    if (v == 0 || (v & 3) != 0) return nullptr;
    uintptr_t s = v / 4 - 1;
    if (s >= uintptr_t(kChunkCount) * kChunkSize) return nullptr;
    Chunk* chunk = g_chunks[s >> kChunkBits].load(std::memory_order_acquire);
    return chunk ? &chunk->slots[s & (kChunkSize - 1)] : nullptr;
}
}  // namespace handle_detail

// Stores an entry and returns its handle, or null with last error 4 (too many
// open handles) when the table is full.
HANDLE handle_insert(HandleType type, uint64_t payload);

// The entry behind h; false when h is not an open handle of this process.
inline bool handle_lookup(HANDLE h, HandleEntry* out) {
    auto* s = handle_detail::find_slot(h);
    if (!s) return false;
    uint64_t word = s->load(std::memory_order_acquire);
    if (word == 0) return false;
    *out = HandleEntry{HandleType(word >> 56), word & kHandlePayloadMask};
    return true;
}

// Removes h and returns what it held; false when h was not open.
bool handle_remove(HANDLE h, HandleEntry* out);

// Calls fn(handle, entry) for each open handle; for diagnostics and for
// tidying at exit.  Entries may change while it runs.
void handle_for_each(void (*fn)(HANDLE, const HandleEntry&, void*), void* ctx);

}  // namespace zkx::win32

#endif
