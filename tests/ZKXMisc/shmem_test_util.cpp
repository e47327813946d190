#include "shmem_test_util.h"

#include <algorithm>
#include <cstring>

namespace zkx::test {

uint16_t get16(const BYTE* p, DWORD offset) { return uint16_t(p[offset] | p[offset + 1] << 8); }

uint32_t get32(const BYTE* p, DWORD offset) {
    return uint32_t(get16(p, offset)) | uint32_t(get16(p, offset + 2)) << 16;
}

void put16(BYTE* p, DWORD offset, uint16_t v) {
    p[offset] = BYTE(v);
    p[offset + 1] = BYTE(v >> 8);
}

void put32(BYTE* p, DWORD offset, uint32_t v) {
    put16(p, offset, uint16_t(v));
    put16(p, offset + 2, uint16_t(v >> 16));
}

std::string check_text(const BYTE* base, DWORD total) {
    ZKSHMEM_CHECK check;
    DWORD r = zkshmem_check_region(base, total, &check);
    if (r == 0) return "";
    if (r != ERROR_FILE_CORRUPT) return "checker failed with " + std::to_string(r);
    return "rule " + std::to_string(check.dwRule) + ": " + check.szText;
}

std::vector<BYTE> heap_state(const BYTE* base, DWORD total) {
    const DWORD bottom = get32(base, 16);
    std::vector<BYTE> state(base, base + 28);
    state.insert(state.end(), base + bottom, base + total);
    // The blocks, walked by their tags; a damaged heap ends the walk.
    for (DWORD o = 28; o + 2 <= bottom;) {
        const DWORD k = get16(base, o);
        if (k == 0 || 16u * k > total - bottom) break;
        const DWORD size = get32(base, total - 16 * k + 8);
        if (size < 2 || size > bottom - o) break;
        for (DWORD at : {o, o + size - 2}) {
            const BYTE* tag = base + at;
            state.insert(state.end(), reinterpret_cast<const BYTE*>(&at),
                         reinterpret_cast<const BYTE*>(&at) + 4);
            state.insert(state.end(), tag, tag + 2);
        }
        o += size;
    }
    return state;
}

PlainRegion::PlainRegion(DWORD payload) {
    DWORD total = 0;
    zkshmem_region_size(payload, &total);
    bytes_.assign(total, 0);
    zkshmem_layout(bytes_.data(), total);
}

void HeapModel::add(BYTE* base, DWORD offset, DWORD size, DWORD id) {
    Block b{offset, size, id, next_fill_};
    next_fill_ = BYTE(next_fill_ % 251 + 1);
    // The caller may use 4 bytes beyond its request.
    std::memset(base + offset, b.fill, size + 4);
    blocks_.insert(blocks_.begin(), b);
}

void HeapModel::remove(DWORD offset) {
    blocks_.erase(std::find_if(blocks_.begin(), blocks_.end(),
                               [&](const Block& b) { return b.offset == offset; }));
}

void HeapModel::change_id(DWORD offset, DWORD id) {
    for (Block& b : blocks_)
        if (b.offset == offset) b.id = id;
}

DWORD HeapModel::find(DWORD id) const {
    for (const Block& b : blocks_)
        if (b.id == id) return b.offset;
    return 0;
}

bool HeapModel::is_block(DWORD offset) const {
    return std::any_of(blocks_.begin(), blocks_.end(),
                       [&](const Block& b) { return b.offset == offset; });
}

DWORD HeapModel::bytes() const {
    DWORD sum = 0;
    for (const Block& b : blocks_) sum += b.size + 8;
    return sum;
}

std::string HeapModel::verify(const BYTE* base, DWORD data_end) const {
    std::vector<Block> sorted = blocks_;
    std::sort(sorted.begin(), sorted.end(),
              [](const Block& a, const Block& b) { return a.offset < b.offset; });
    DWORD previous_end = 28;
    for (const Block& b : sorted) {
        const DWORD start = b.offset - 2, end = start + b.size + 8;
        if (start < previous_end || end > data_end)
            return "block at " + std::to_string(start) + " overlaps or leaves the data area";
        for (DWORD i = 0; i < b.size + 4; ++i)
            if (base[b.offset + i] != b.fill)
                return "the heap wrote into the memory of the block at " + std::to_string(start);
        previous_end = end;
    }
    return "";
}

namespace {

// Whether first fit must have found a block: one of exactly `need` bytes
// (taken without a new entry) that no block big enough to split comes
// before in the free list (a split that finds no entry ends the search).
bool exact_fit_reachable(const BYTE* base, DWORD total, DWORD need) {
    DWORD steps = 0;
    for (WORD f = get16(base, 4); f != 0xFFFF && steps++ < 65535;
         f = get16(base, total - 16u * f + 12)) {
        const DWORD size = get32(base, total - 16u * f + 8);
        if (size == need) return true;
        if (size >= need + 5) return false;
    }
    return false;
}

}  // namespace

std::string run_random_workload(HeapOps& ops, BYTE* base, DWORD total, uint32_t seed, int steps,
                                DWORD id_base, std::string (*after_step)(void*), void* ctx,
                                bool private_region) {
    std::mt19937 rng(seed);
    auto pick = [&](DWORD n) { return DWORD(rng() % n); };
    HeapModel model;
    std::vector<DWORD> stale;
    std::vector<BYTE> before;
    auto step_name = [&](int i, const char* what) {
        return "step " + std::to_string(i) + " (" + what + "): ";
    };
    // A failing call must leave the region as it was: checked byte for
    // byte where nobody else writes to it.
    auto unchanged = [&]() {
        return !private_region || std::memcmp(before.data(), base, total) == 0;
    };

    for (int i = 0; i < steps; ++i) {
        if (private_region) before.assign(base, base + total);
        const DWORD roll = pick(100);
        const DWORD id = id_base + pick(64);
        if (roll < 35 || model.blocks().empty()) {
            const DWORD size = pick(8) == 0 ? pick(total / 8) : pick(64);
            DWORD offset = 0;
            const DWORD r = ops.alloc(size, id, &offset);
            if (r == 0) {
                model.add(base, offset, size, id);
                stale.erase(std::remove(stale.begin(), stale.end(), offset), stale.end());
            } else if (r != ERROR_NOT_ENOUGH_MEMORY) {
                return step_name(i, "alloc") + "result " + std::to_string(r);
            } else if (!unchanged()) {
                return step_name(i, "alloc") + "a refused allocation changed the region";
            } else if (private_region && exact_fit_reachable(base, total, size + 8)) {
                return step_name(i, "alloc") + "an exact fit was refused";
            }
        } else if (roll < 60) {
            const DWORD offset = model.blocks()[pick(DWORD(model.blocks().size()))].offset;
            if (DWORD r = ops.free(offset)) return step_name(i, "free") + "result " + std::to_string(r);
            model.remove(offset);
            stale.push_back(offset);
        } else if (roll < 75) {
            DWORD offset = 0;
            const DWORD r = ops.find(id, &offset);
            const DWORD expected = model.find(id);
            if (expected ? (r != 0 || offset != expected) : r != ERROR_SERVICE_NOT_FOUND)
                return step_name(i, "find") + "result " + std::to_string(r) + " at " +
                       std::to_string(offset) + ", expected " + std::to_string(expected);
        } else if (roll < 85) {
            const DWORD offset = model.blocks()[pick(DWORD(model.blocks().size()))].offset;
            if (DWORD r = ops.change_id(offset, id))
                return step_name(i, "change id") + "result " + std::to_string(r);
            model.change_id(offset, id);
        } else {
            // An address that names no block in use: inside a block, just
            // after a freed one, in the header or the index table, anywhere
            // (where nobody else allocates).
            const auto& b = model.blocks()[pick(DWORD(model.blocks().size()))];
            DWORD offset;
            switch (pick(private_region ? 5 : 3)) {
                case 0: offset = b.offset + 1 + pick(b.size + 6); break;
                case 1: offset = pick(30); break;
                case 2: offset = total - pick(16); break;
                case 3: offset = stale.empty() ? 0 : stale[pick(DWORD(stale.size()))]; break;
                default: offset = pick(total + 1); break;
            }
            if (model.is_block(offset)) continue;
            const bool use_free = pick(2) == 0;
            const DWORD r = use_free ? ops.free(offset) : ops.change_id(offset, id);
            if (r != ERROR_INVALID_PARAMETER)
                return step_name(i, "bad address") + "offset " + std::to_string(offset) +
                       " gave " + std::to_string(r);
            if (!unchanged()) return step_name(i, "bad address") + "the region changed";
        }
        std::string fault = model.verify(base, total);
        if (fault.empty() && after_step) fault = after_step(ctx);
        if (!fault.empty()) return step_name(i, "after") + fault;
    }
    // Everything freed again leaves one free block over the data area.
    while (!model.blocks().empty()) {
        const DWORD offset = model.blocks().front().offset;
        if (DWORD r = ops.free(offset)) return "final free: result " + std::to_string(r);
        model.remove(offset);
        if (after_step) {
            std::string fault = after_step(ctx);
            if (!fault.empty()) return "final free: " + fault;
        }
    }
    return "";
}

}  // namespace zkx::test
