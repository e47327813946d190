// The model of the shared-memory heap for its tests and its fuzzer: a region
// in a plain buffer, its fields by offset, and a random workload checked
// against the blocks it expects, run on a region that keeps an undo journal
// beside an indexed twin.  Needs neither GoogleTest nor the platform layer.
#ifndef ZKX_TESTS_SHMEM_TEST_UTIL_H
#define ZKX_TESTS_SHMEM_TEST_UTIL_H

#include <cstdint>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "ZKShMemCheck.h"
#include "ZKShMemHeap.h"
#include "ZKShMemJournal.h"
#include "ZKShMemLookup.h"

namespace zkx::test {

using Bytes = std::vector<BYTE>;

inline DWORD get32(const BYTE* p, DWORD at) { DWORD v; std::memcpy(&v, p + at, 4); return v; }
inline WORD get16(const BYTE* p, DWORD at) { WORD v; std::memcpy(&v, p + at, 2); return v; }
inline void put32(BYTE* p, DWORD at, DWORD v) { std::memcpy(p + at, &v, 4); }
inline void put16(BYTE* p, DWORD at, WORD v) { std::memcpy(p + at, &v, 2); }

// The checker's verdict: "" for a consistent region, else its text.
std::string check_text(const BYTE* base, DWORD total);

// What a heap means, without the stale bytes that free blocks and given-back
// slots keep: the header, the index table and each block's tags.
Bytes heap_state(const BYTE* base, DWORD total);

// The heap operations a workload drives, by offset of caller memory.
struct HeapOps {
    virtual ~HeapOps() = default;
    virtual BYTE* base() = 0;
    virtual DWORD total() const = 0;
    virtual DWORD alloc(DWORD size, DWORD id, DWORD* offset) = 0;
    virtual DWORD free(DWORD offset) = 0;
    virtual DWORD find(DWORD id, DWORD* offset) = 0;
    virtual DWORD change_id(DWORD offset, DWORD id) = 0;
    // The caller's writes into its blocks, made on every copy that is kept.
    virtual void fill(DWORD offset, DWORD n, BYTE value) { std::memset(base() + offset, value, n); }
    // What an abandoned mutex does to anything kept beside the heap.
    virtual void disturb() {}
};

// A laid-out region in a buffer of exactly its size, so ASan sees any stray
// access.
struct PlainRegion : HeapOps {
    explicit PlainRegion(DWORD payload);
    BYTE* base() override { return bytes.data(); }
    DWORD total() const override { return DWORD(bytes.size()); }
    DWORD entry(WORD k) const { return total() - 16u * k; }  // offset of entry k
    DWORD u32(DWORD at) const { return get32(bytes.data(), at); }
    WORD u16(DWORD at) const { return get16(bytes.data(), at); }
    void set32(DWORD at, DWORD v) { put32(base(), at, v); }
    void set16(DWORD at, WORD v) { put16(base(), at, v); }
    DWORD alloc(DWORD n, DWORD id, DWORD* offset) override { return zkshmem_alloc(base(), total(), n, id, offset); }
    DWORD free(DWORD offset) override { return zkshmem_free(base(), total(), offset); }
    DWORD find(DWORD id, DWORD* offset) override { return zkshmem_find(base(), total(), id, offset); }
    DWORD change_id(DWORD offset, DWORD id) override { return zkshmem_change_id(base(), total(), offset, id); }
    std::string check() const { return check_text(bytes.data(), total()); }
    Bytes state() const { return heap_state(bytes.data(), total()); }
    Bytes bytes;
};

// A region whose writes keep an undo journal, killed in thought at every
// moment with records in force: rolling back what the kill left must give
// the last commit byte for byte, a consistent heap, and an index that either
// does not count as valid or says what the region says.  With
// kill_rollbacks, that rollback is itself killed at each of its steps, and
// the next one must still give the same heap.
struct Journalled {
    Journalled(DWORD payload, bool indexed, bool kill_rollbacks);
    ZKSHMEM_LOOKUP* index() { return lookup.empty() ? nullptr : reinterpret_cast<ZKSHMEM_LOOKUP*>(lookup.data()); }
    template <class Op> DWORD write(Op op) {
        committed = region.bytes;  // what a kill before the first write leaves
        const DWORD r = op(region.base(), region.total(), &undo, index());
        if (journal.dwCount != 0 && fault.empty()) fault = "the operation left records in force";
        return r;
    }

    PlainRegion region;
    Bytes lookup;  // empty: the lists are walked
    ZKSHMEM_JOURNAL journal{};
    const ZKSHMEM_UNDO undo;
    const bool kill_rollbacks;
    Bytes committed;
    DWORD kill_stride = 1;  // a kill at every this many moments
    DWORD moments = 0, kills = 0, commits = 0, most_writes = 0;
    std::string fault;
};

// Every operation on a walked region and on an indexed twin, both
// journalled: the two must give the same results and hold the same bytes,
// and the twin's index must say what its lists say whenever it counts as
// valid.  A find alternates between a reader's (no rebuild) and a writer's.
struct Harness : HeapOps {
    explicit Harness(DWORD payload, bool kill_rollbacks = false)
        : walked(payload, false, kill_rollbacks), indexed(payload, true, kill_rollbacks) {}
    BYTE* base() override { return walked.region.base(); }
    DWORD total() const override { return walked.region.total(); }
    DWORD alloc(DWORD size, DWORD id, DWORD* offset) override {
        DWORD offset2 = 0;
        auto op = [&](DWORD* out) {
            return [=](BYTE* b, DWORD t, auto u, auto ix) { return zkshmem_alloc(b, t, size, id, out, u, ix); };
        };
        const DWORD r = walked.write(op(offset));
        return same(r, indexed.write(op(&offset2)), *offset, offset2);
    }
    DWORD free(DWORD offset) override {
        return both([&](BYTE* b, DWORD t, auto u, auto ix) { return zkshmem_free(b, t, offset, u, ix); });
    }
    DWORD change_id(DWORD offset, DWORD id) override {
        return both([&](BYTE* b, DWORD t, auto u, auto ix) { return zkshmem_change_id(b, t, offset, id, u, ix); });
    }
    DWORD find(DWORD id, DWORD* offset) override {
        DWORD offset2 = 0;
        const DWORD r = zkshmem_find(base(), total(), id, offset);
        return same(r, zkshmem_find(indexed.region.base(), total(), id, &offset2, indexed.index(), ++finds % 2),
                    *offset, offset2);
    }
    void fill(DWORD offset, DWORD n, BYTE value) override {
        std::memset(walked.region.base() + offset, value, n);
        std::memset(indexed.region.base() + offset, value, n);
    }
    void disturb() override { zkshmem_lookup_invalidate(indexed.index()); }
    // The first fault seen, else the checker's verdict on the region.
    std::string verdict() { return fault.empty() ? walked.region.check() : fault; }

    Journalled walked, indexed;
    std::string fault;
    unsigned finds = 0;

private:
    template <class Op> DWORD both(Op op) { return same(walked.write(op), indexed.write(op), 0, 0); }
    // Takes offset2 by reference: the call that gives r2 writes it.
    DWORD same(DWORD r, DWORD r2, DWORD offset, const DWORD& offset2);
};

struct Workload {
    uint32_t seed = 1;
    int steps = 1000;
    DWORD id_base = 0;      // ids used: id_base to id_base + 63, so workloads never meet
    bool private_region = true;  // nobody else writes: failures must change no byte
    std::function<std::string()> check = {};  // after each step: "" or what is wrong
    std::function<DWORD(DWORD n)> pick = {};  // 0 to n - 1: the fuzzer's input; by default from the seed
    std::function<bool()> more = {};     // the fuzzer: whether input is left
};

// Random allocs, frees, finds, id changes and calls with addresses that name
// no block, checked against a model of the blocks in use and their contents;
// then everything is freed.  "" or what failed.
std::string run_workload(HeapOps& ops, const Workload& w);

}  // namespace zkx::test

#endif
