#include "base/handle_table.h"

#include <atomic>
#include <mutex>
#include <new>

#include "zkxwin32/errors.h"

namespace zkx::win32 {

namespace handle_detail {
std::atomic<Chunk*> g_chunks[kChunkCount];
}

namespace {

using namespace handle_detail;

std::mutex g_insert_lock;  // insertions only; lookups never take it
uint32_t g_next_hint = 0;

uint64_t pack(HandleType type, uint64_t payload) {
    return (uint64_t(type) << 56) | (payload & kHandlePayloadMask);
}

HandleEntry unpack(uint64_t word) {
    return HandleEntry{HandleType(word >> 56), word & kHandlePayloadMask};
}

}  // namespace

HANDLE handle_insert(HandleType type, uint64_t payload) {
    std::lock_guard<std::mutex> guard(g_insert_lock);
    const uint32_t total = kChunkCount * kChunkSize;
    for (uint32_t n = 0; n < total; ++n) {
        uint32_t slot = (g_next_hint + n) % total;
        uint32_t c = slot >> kChunkBits;
        Chunk* chunk = g_chunks[c].load(std::memory_order_acquire);
        if (!chunk) {
            chunk = new (std::nothrow) Chunk();
            if (!chunk) break;
            for (auto& s : chunk->slots) s.store(0, std::memory_order_relaxed);
            g_chunks[c].store(chunk, std::memory_order_release);
        }
        auto& s = chunk->slots[slot & (kChunkSize - 1)];
        uint64_t expected = 0;
        if (s.compare_exchange_strong(expected, pack(type, payload), std::memory_order_acq_rel)) {
            g_next_hint = slot + 1;
            return reinterpret_cast<HANDLE>(static_cast<uintptr_t>(slot + 1) * 4);
        }
    }
    SetLastError(ERROR_TOO_MANY_OPEN_FILES);
    return nullptr;
}

bool handle_remove(HANDLE h, HandleEntry* out) {
    auto* s = find_slot(h);
    if (!s) return false;
    uint64_t word = s->exchange(0, std::memory_order_acq_rel);
    if (word == 0) return false;
    *out = unpack(word);
    return true;
}

void handle_for_each(void (*fn)(HANDLE, const HandleEntry&, void*), void* ctx) {
    for (uint32_t c = 0; c < kChunkCount; ++c) {
        Chunk* chunk = g_chunks[c].load(std::memory_order_acquire);
        if (!chunk) break;
        for (uint32_t i = 0; i < kChunkSize; ++i) {
            uint64_t word = chunk->slots[i].load(std::memory_order_acquire);
            if (word == 0) continue;
            uint32_t slot = (c << kChunkBits) | i;
            fn(reinterpret_cast<HANDLE>(static_cast<uintptr_t>(slot + 1) * 4), unpack(word), ctx);
        }
    }
}

}  // namespace zkx::win32
