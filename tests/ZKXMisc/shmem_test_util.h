// Helpers for tests of the shared-memory heap: a region in a plain buffer,
// its fields by offset, and a random workload checked against a model.
#ifndef ZKX_TESTS_SHMEM_TEST_UTIL_H
#define ZKX_TESTS_SHMEM_TEST_UTIL_H

#include <cstdint>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "ZKShMemCheck.h"
#include "ZKShMemHeap.h"

namespace zkx::test {

inline DWORD get32(const BYTE* p, DWORD at) { DWORD v; std::memcpy(&v, p + at, 4); return v; }
inline WORD get16(const BYTE* p, DWORD at) { WORD v; std::memcpy(&v, p + at, 2); return v; }
inline void put32(BYTE* p, DWORD at, DWORD v) { std::memcpy(p + at, &v, 4); }
inline void put16(BYTE* p, DWORD at, WORD v) { std::memcpy(p + at, &v, 2); }

// The checker's verdict: "" for a consistent region, else its text.
std::string check_text(const BYTE* base, DWORD total);

// What a heap means, without the stale bytes that free blocks and given-back
// slots keep: the header, the index table and each block's tags.
std::vector<BYTE> heap_state(const BYTE* base, DWORD total);

// The heap operations a workload drives, by offset of caller memory: on a
// plain buffer, or through the exports.
struct HeapOps {
    virtual ~HeapOps() = default;
    virtual DWORD alloc(DWORD size, DWORD id, DWORD* offset) = 0;
    virtual DWORD free(DWORD offset) = 0;
    virtual DWORD find(DWORD id, DWORD* offset) = 0;
    virtual DWORD change_id(DWORD offset, DWORD id) = 0;
};

// A laid-out region in a buffer of exactly its size, so ASan sees any stray
// access.
struct PlainRegion : HeapOps {
    explicit PlainRegion(DWORD payload);
    BYTE* base() { return bytes.data(); }
    DWORD total() const { return DWORD(bytes.size()); }
    DWORD entry(WORD k) const { return total() - 16u * k; }  // offset of entry k
    DWORD u32(DWORD at) const { return get32(bytes.data(), at); }
    WORD u16(DWORD at) const { return get16(bytes.data(), at); }
    DWORD alloc(DWORD size, DWORD id, DWORD* offset) override { return zkshmem_alloc(base(), total(), size, id, offset); }
    DWORD free(DWORD offset) override { return zkshmem_free(base(), total(), offset); }
    DWORD find(DWORD id, DWORD* offset) override { return zkshmem_find(base(), total(), id, offset); }
    DWORD change_id(DWORD offset, DWORD id) override { return zkshmem_change_id(base(), total(), offset, id); }
    std::string check() const { return check_text(bytes.data(), total()); }
    std::vector<BYTE> state() const { return heap_state(bytes.data(), total()); }
    std::vector<BYTE> bytes;
};

struct Workload {
    uint32_t seed = 1;
    int steps = 1000;
    DWORD id_base = 0;      // ids used: id_base to id_base + 63, so workloads never meet
    bool private_region = true;  // nobody else writes: failures must change no byte
    std::function<std::string()> check;  // after each step: "" or what is wrong
};

// Random allocs, frees, finds, id changes and calls with addresses that name
// no block, checked against a model of the blocks in use and their contents;
// then everything is freed.  "" or what failed.
std::string run_workload(HeapOps& ops, BYTE* base, DWORD total, const Workload& w);

}  // namespace zkx::test

#endif
