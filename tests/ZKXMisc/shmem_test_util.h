// Helpers for tests of the shared-memory heap: a region in a plain buffer, a
// reader of its fields by byte offset, and a reference model of the blocks.
#ifndef ZKX_TESTS_SHMEM_TEST_UTIL_H
#define ZKX_TESTS_SHMEM_TEST_UTIL_H

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "ZKShMemCheck.h"
#include "ZKShMemHeap.h"

namespace zkx::test {

// Little-endian fields at any offset of a byte range.
uint16_t get16(const BYTE* p, DWORD offset);
uint32_t get32(const BYTE* p, DWORD offset);
void put16(BYTE* p, DWORD offset, uint16_t v);
void put32(BYTE* p, DWORD offset, uint32_t v);

// The checker's verdict: "" for a consistent region, else its text.
std::string check_text(const BYTE* base, DWORD total);

// What a region's heap means, without the stale bytes that free blocks and
// given-back slots keep: the header, the index table and every block's
// offset, size and two tags.
std::vector<BYTE> heap_state(const BYTE* base, DWORD total);

// A laid-out region of the size that a payload size gives, in a buffer of
// exactly that many bytes, so that a stray access is caught by ASan.
class PlainRegion {
public:
    explicit PlainRegion(DWORD payload);
    BYTE* base() { return bytes_.data(); }
    const BYTE* base() const { return bytes_.data(); }
    DWORD total() const { return static_cast<DWORD>(bytes_.size()); }
    std::vector<BYTE>& bytes() { return bytes_; }

    DWORD alloc(DWORD size, DWORD id, DWORD* offset) {
        return zkshmem_alloc(base(), total(), size, id, offset);
    }
    DWORD free(DWORD offset) { return zkshmem_free(base(), total(), offset); }
    DWORD find(DWORD id, DWORD* offset) const { return zkshmem_find(base(), total(), id, offset); }
    DWORD change_id(DWORD offset, DWORD id) {
        return zkshmem_change_id(base(), total(), offset, id);
    }

    DWORD u32(DWORD offset) const { return get32(base(), offset); }
    WORD u16(DWORD offset) const { return get16(base(), offset); }
    DWORD entry_offset(WORD k) const { return total() - 16u * k; }
    std::string check() const { return check_text(base(), total()); }
    std::vector<BYTE> state() const { return heap_state(base(), total()); }

private:
    std::vector<BYTE> bytes_;
};

// The blocks in use as a caller sees them, most recent first, with a fill
// pattern per block so that a heap that writes into caller memory is caught.
class HeapModel {
public:
    struct Block {
        DWORD offset;  // of the caller's memory
        DWORD size;    // as requested
        DWORD id;
        BYTE fill;
    };

    // Records a new block and fills its memory in the region.
    void add(BYTE* base, DWORD offset, DWORD size, DWORD id);
    void remove(DWORD offset);
    void change_id(DWORD offset, DWORD id);
    // The memory of the most recent block with the id, or 0.
    DWORD find(DWORD id) const;
    bool is_block(DWORD offset) const;
    // "" when every block's memory still holds its fill and no two overlap.
    std::string verify(const BYTE* base, DWORD data_end) const;
    const std::vector<Block>& blocks() const { return blocks_; }
    DWORD bytes() const;

private:
    std::vector<Block> blocks_;
    BYTE next_fill_ = 1;
};

// A random heap workload against the model, in one region that may be
// shared: every call goes through `ops`, which a test binds to the plain
// functions or to the exported ones.
struct HeapOps {
    virtual ~HeapOps() = default;
    virtual DWORD alloc(DWORD size, DWORD id, DWORD* offset) = 0;
    virtual DWORD free(DWORD offset) = 0;
    virtual DWORD find(DWORD id, DWORD* offset) = 0;
    virtual DWORD change_id(DWORD offset, DWORD id) = 0;
};

// Runs `steps` random operations with ids drawn from [id_base, id_base +
// 64), so that workloads with different bases never see each other's
// blocks.  After each step `after_step` may check the region; it returns
// "" or a failure text, which stops the run.  Returns "" or what failed.
std::string run_random_workload(HeapOps& ops, BYTE* base, DWORD total, uint32_t seed, int steps,
                                DWORD id_base, std::string (*after_step)(void*), void* ctx,
                                bool private_region);

}  // namespace zkx::test

#endif
