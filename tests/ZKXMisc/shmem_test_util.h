// The heap's model for its tests and fuzzer: a region in a plain buffer, and a
// random workload.  Needs neither GoogleTest nor the platform layer.
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

std::string check_text(const BYTE* base, DWORD total);

// An index either counts as invalid or says what the lists say.
inline bool index_trustworthy(const ZKSHMEM_LOOKUP* ix, const BYTE* base, DWORD total) {
    return !zkshmem_lookup_usable(ix, base, total) || zkshmem_lookup_agrees(ix, base, total);
}

struct HeapOps {
    virtual ~HeapOps() = default;
    virtual BYTE* base() = 0;
    virtual DWORD total() const = 0;
    virtual DWORD alloc(DWORD size, DWORD id, DWORD* offset) = 0;
    virtual DWORD free(DWORD offset) = 0;
    virtual DWORD find(DWORD id, DWORD* offset) = 0;
    virtual DWORD change_id(DWORD offset, DWORD id) = 0;
    // The caller's writes into its blocks, on every copy kept.
    virtual void fill(DWORD offset, DWORD n, BYTE value) { std::memset(base() + offset, value, n); }
    // What an abandoned mutex does to anything kept beside the heap.
    virtual void disturb() {}
};

// A region in a buffer of exactly its size, so ASan sees any stray access.
struct PlainRegion : HeapOps {
    explicit PlainRegion(DWORD payload);
    BYTE* base() override { return bytes.data(); }
    DWORD total() const override { return DWORD(bytes.size()); }
    DWORD entry(WORD k) const { return total() - 16u * k; }  // offset of entry k
    WORD u16(DWORD at) const { return WORD(bytes[at] | bytes[at + 1] << 8); }  // the region is little-endian
    DWORD u32(DWORD at) const { return u16(at) | DWORD(u16(at + 2)) << 16; }
    template <class T> void set(DWORD at, T v) { std::memcpy(base() + at, &v, sizeof v); }
    DWORD alloc(DWORD n, DWORD id, DWORD* offset) override { return zkshmem_alloc(base(), total(), n, id, offset); }
    DWORD free(DWORD offset) override { return zkshmem_free(base(), total(), offset); }
    DWORD find(DWORD id, DWORD* offset) override { return zkshmem_find(base(), total(), id, offset); }
    DWORD change_id(DWORD offset, DWORD id) override { return zkshmem_change_id(base(), total(), offset, id); }
    std::string check() const { return check_text(bytes.data(), total()); }
    Bytes bytes;
};

// Every operation on a walked region and on an indexed, journaled twin: same
// results and bytes, a trustworthy index; finds alternate between a reader's
// (no rebuild) and a writer's.  The twin is killed in thought at every moment
// with records in force: the rollback must give the last commit.  With
// kill_rollbacks, each step of that rollback is killed too, to the same end.
struct Harness : HeapOps {
    explicit Harness(DWORD payload, bool kill_rollbacks = false);
    BYTE* base() override { return walked.base(); }
    DWORD total() const override { return walked.total(); }
    ZKSHMEM_LOOKUP* index() { return reinterpret_cast<ZKSHMEM_LOOKUP*>(lookup.data()); }
    DWORD alloc(DWORD size, DWORD id, DWORD* offset) override {
        DWORD offset2 = 0;
        const DWORD r = walked.alloc(size, id, offset);
        return same(r, zkshmem_alloc(twin.base(), total(), size, id, &offset2, &undo, index()), *offset, offset2);
    }
    DWORD free(DWORD offset) override {
        return same(walked.free(offset), zkshmem_free(twin.base(), total(), offset, &undo, index()));
    }
    DWORD change_id(DWORD offset, DWORD id) override {
        return same(walked.change_id(offset, id), zkshmem_change_id(twin.base(), total(), offset, id, &undo, index()));
    }
    DWORD find(DWORD id, DWORD* offset) override {
        DWORD offset2 = 0;
        const DWORD r = walked.find(id, offset);
        return same(r, zkshmem_find(twin.base(), total(), id, &offset2, index(), ++finds % 2), *offset, offset2);
    }
    void fill(DWORD offset, DWORD n, BYTE value) override {
        for (Bytes* b : {&walked.bytes, &twin.bytes, &committed}) std::memset(b->data() + offset, value, n);
    }
    void disturb() override { zkshmem_lookup_invalidate(index()); }
    std::string verdict() { return fault.empty() ? walked.check() : fault; }

    PlainRegion walked, twin;
    Bytes lookup;
    ZKSHMEM_JOURNAL journal{};
    const ZKSHMEM_UNDO undo;
    const bool kill_rollbacks;
    Bytes committed;  // what a rollback must give: the twin as of its last commit, with the caller's writes
    DWORD kill_stride = 1;  // a kill at every this many moments
    DWORD moments = 0, kills = 0, most_writes = 0, finds = 0;
    std::string fault;

private:
    // Takes offset2 by reference: the call that gives r2 writes it.
    DWORD same(DWORD r, DWORD r2, DWORD offset = 0, const DWORD& offset2 = 0);
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

// Random allocs, frees, finds, id changes and calls on addresses of no block,
// checked against a model of the blocks; then all is freed.  "" or the fault.
std::string run_workload(HeapOps& ops, const Workload& w);

}  // namespace zkx::test

#endif
