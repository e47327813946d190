#include "ZKShMemLookup.h"

#include <atomic>
#include <cstddef>
#include <cstring>

namespace {

// Places in use after a rebuild start near the top, so allocations (which
// count down) have about 2^32 places before the index has to be rebuilt.
const DWORD kFirstUsedPlace = 0xFFFFFFFEu;
// A rebuild makes room for eight times as many leaves as there are free
// entries, and at least this many (as far as the region's own room goes):
// a push needs a rebuild again only after many pushes, so rebuilds cost
// O(1) per push in the long run.
const DWORD kMinLeaves = 4096;

struct Layout {
    DWORD capacity, max_leaves, bucket_bits;
    DWORD nodes, buckets, leaf_entry, tree, size;
};

DWORD log2_at_least(DWORD n) { return n <= 1 ? 0 : 32 - DWORD(__builtin_clz(n - 1)); }
DWORD pow2_at_least(DWORD n) { return 1u << log2_at_least(n); }

Layout compute_layout(DWORD total) {
    Layout l;
    // The lowest entry lies above the header and a block of at least 5 bytes.
    const DWORD lowest = ZKSHMEM_HEADER_SIZE + ZKSHMEM_MIN_BLOCK;
    DWORD n = total > lowest ? (total - lowest) / ZKSHMEM_ENTRY_SIZE : 0;
    if (n > ZKSHMEM_MAX_ENTRIES) n = ZKSHMEM_MAX_ENTRIES;
    l.capacity = n ? n : 1;
    // Every entry can be free at once, and a rebuild leaves as many leaves
    // again below the head.
    l.max_leaves = pow2_at_least(2 * (l.capacity + 1));
    l.bucket_bits = log2_at_least(l.capacity);
    if (l.bucket_bits < 4) l.bucket_bits = 4;
    l.nodes = (sizeof(ZKSHMEM_LOOKUP) + 15) & ~15u;
    l.buckets = l.nodes + (l.capacity + 1) * DWORD(sizeof(ZKSHMEM_LOOKUP_NODE));
    l.leaf_entry = l.buckets + (1u << l.bucket_bits) * DWORD(sizeof(WORD));
    l.tree = (l.leaf_entry + l.max_leaves * DWORD(sizeof(WORD)) + 3) & ~3u;
    l.size = l.tree + 2 * l.max_leaves * DWORD(sizeof(DWORD));
    return l;
}

// Every operation checks the index against its region's size: the last
// size's layout is kept per thread.
const Layout& layout_for(DWORD total) {
    static thread_local DWORD known_total = 0;
    static thread_local Layout known;
    if (known_total != total) {
        known = compute_layout(total);
        known_total = total;
    }
    return known;
}

template <class T>
T* at(const ZKSHMEM_LOOKUP* l, DWORD offset) {
    return reinterpret_cast<T*>(reinterpret_cast<BYTE*>(const_cast<ZKSHMEM_LOOKUP*>(l)) + offset);
}

ZKSHMEM_INDEX entry_at(const BYTE* base, DWORD total, WORD k) {
    ZKSHMEM_INDEX e;
    std::memcpy(&e, base + total - ZKSHMEM_ENTRY_SIZE * DWORD(k), sizeof e);
    return e;
}

}  // namespace

DWORD zkshmem_lookup_size(DWORD dwTotalSize) { return layout_for(dwTotalSize).size; }

void zkshmem_lookup_invalidate(ZKSHMEM_LOOKUP* pLookup) {
    __atomic_store_n(&pLookup->dwValid, 0u, __ATOMIC_RELEASE);
    // No change of the index may be moved above this: a process killed
    // after it must leave an index that nobody trusts.
    std::atomic_signal_fence(std::memory_order_seq_cst);
}

void zkshmem_lookup_seal(ZKSHMEM_LOOKUP* pLookup, const BYTE* pBase) {
    std::memcpy(pLookup->abHeader, pBase, sizeof pLookup->abHeader);
    std::atomic_signal_fence(std::memory_order_seq_cst);
    __atomic_store_n(&pLookup->dwValid, 1u, __ATOMIC_RELEASE);
}

bool zkshmem_lookup_usable(const ZKSHMEM_LOOKUP* pLookup, const BYTE* pBase, DWORD dwTotalSize) {
    if (!pLookup || __atomic_load_n(&pLookup->dwValid, __ATOMIC_ACQUIRE) != 1) return false;
    const Layout& l = layout_for(dwTotalSize);
    return pLookup->dwMagic == ZKSHMEM_LOOKUP_MAGIC && pLookup->dwTotalSize == dwTotalSize &&
           pLookup->dwCapacity == l.capacity && pLookup->dwMaxLeaves == l.max_leaves &&
           pLookup->dwBucketBits == l.bucket_bits && pLookup->dwNodes == l.nodes &&
           pLookup->dwBuckets == l.buckets && pLookup->dwLeafEntry == l.leaf_entry && pLookup->dwTree == l.tree &&
           pLookup->dwLeaves <= l.max_leaves && pLookup->dwLeaves >= 2 &&
           (pLookup->dwLeaves & (pLookup->dwLeaves - 1)) == 0 && pLookup->dwNextFree <= pLookup->dwLeaves &&
           std::memcmp(pLookup->abHeader, pBase, sizeof pLookup->abHeader) == 0;
}

bool zkshmem_lookup_rebuild(ZKSHMEM_LOOKUP* pLookup, const BYTE* pBase, DWORD dwTotalSize) {
    zkshmem_lookup_invalidate(pLookup);
    const Layout l = layout_for(dwTotalSize);
    pLookup->dwMagic = ZKSHMEM_LOOKUP_MAGIC;
    pLookup->dwTotalSize = dwTotalSize;
    pLookup->dwCapacity = l.capacity;
    pLookup->dwMaxLeaves = l.max_leaves;
    pLookup->dwBucketBits = l.bucket_bits;
    pLookup->dwNodes = l.nodes;
    pLookup->dwBuckets = l.buckets;
    pLookup->dwLeafEntry = l.leaf_entry;
    pLookup->dwTree = l.tree;
    ZKSHMEM_LOOKUP_NODE* nodes = at<ZKSHMEM_LOOKUP_NODE>(pLookup, l.nodes);
    WORD* buckets = at<WORD>(pLookup, l.buckets);
    WORD* leaf_entry = at<WORD>(pLookup, l.leaf_entry);
    DWORD* tree = at<DWORD>(pLookup, l.tree);
    std::memset(nodes, 0, l.leaf_entry - l.nodes);  // the nodes and the buckets

    ZKSHMEM_REGION hdr;
    std::memcpy(&hdr, pBase, sizeof hdr);
    const DWORD b = hdr.dwIndexBottom;
    if (b > dwTotalSize || (dwTotalSize - b) % ZKSHMEM_ENTRY_SIZE != 0) return false;
    const DWORD entries = (dwTotalSize - b) / ZKSHMEM_ENTRY_SIZE;
    if (entries > l.capacity) return false;

    // The free list: count it to size the leaves, then give its entries
    // the places just below the top, in list order.
    DWORD n_free = 0;
    for (WORD k = hdr.wFreeHead; k != ZKSHMEM_NO_ENTRY; k = entry_at(pBase, dwTotalSize, k).wNext) {
        // A link out of the table, or more steps than entries: not a list.
        if (k == 0 || k > entries || ++n_free > entries) return false;
    }
    DWORD leaves = pow2_at_least(8 * n_free);
    if (leaves < kMinLeaves) leaves = kMinLeaves;
    if (leaves > l.max_leaves) leaves = l.max_leaves;
    pLookup->dwLeaves = leaves;
    std::memset(leaf_entry, 0, leaves * sizeof(WORD));
    std::memset(tree, 0, 2 * leaves * sizeof(DWORD));
    DWORD leaf = leaves - n_free;
    pLookup->dwNextFree = leaf;
    for (WORD k = hdr.wFreeHead; k != ZKSHMEM_NO_ENTRY; ++leaf) {
        const ZKSHMEM_INDEX e = entry_at(pBase, dwTotalSize, k);
        ZKSHMEM_LOOKUP_NODE& n = nodes[k];
        if (n.bState) return false;  // met twice
        n.bState = 1 + ZKSHMEM_LOOKUP_FREE;
        n.dwKey = e.dwSize;
        n.dwPlace = leaf;
        leaf_entry[leaf] = k;
        tree[leaves + leaf] = e.dwSize;
        k = e.wNext;
    }
    for (DWORD i = leaves - 1; i >= 1; --i) tree[i] = tree[2 * i] > tree[2 * i + 1] ? tree[2 * i] : tree[2 * i + 1];

    // The used list from its oldest entry on, each one joining the head of
    // its chain: the chains end up newest first.
    DWORD place = kFirstUsedPlace, steps = 0;
    for (WORD k = hdr.wUsedTail; k != ZKSHMEM_NO_ENTRY; --place) {
        if (k == 0 || k > entries || ++steps > entries) return false;
        const ZKSHMEM_INDEX e = entry_at(pBase, dwTotalSize, k);
        ZKSHMEM_LOOKUP_NODE& n = nodes[k];
        if (n.bState) return false;
        n.bState = 1 + ZKSHMEM_LOOKUP_USED;
        n.dwKey = e.dwId;
        n.dwPlace = place;
        WORD* head = buckets + ((e.dwId * 0x9E3779B1u) >> (32 - l.bucket_bits));
        n.wNext = *head;
        n.wPrev = 0;
        if (*head) nodes[*head].wPrev = k;
        *head = k;
        k = e.wPrev;
    }
    pLookup->dwNextUsed = place + 1;
    ++pLookup->dwRebuilds;
    zkshmem_lookup_seal(pLookup, pBase);
    return true;
}

ZKShMemLookupTrees::ZKShMemLookupTrees(ZKSHMEM_LOOKUP* lookup)
    : l_(lookup),
      n_(at<ZKSHMEM_LOOKUP_NODE>(lookup, lookup->dwNodes)),
      buckets_(at<WORD>(lookup, lookup->dwBuckets)),
      leaf_entry_(at<WORD>(lookup, lookup->dwLeafEntry)),
      tree_(at<DWORD>(lookup, lookup->dwTree)) {}

// Only the path above the leaf can change, and only as far as its maximum
// does.
void ZKShMemLookupTrees::set_leaf(DWORD leaf, DWORD size) {
    DWORD i = l_->dwLeaves + leaf;
    tree_[i] = size;
    for (i >>= 1; i >= 1; i >>= 1) {
        const DWORD m = tree_[2 * i] > tree_[2 * i + 1] ? tree_[2 * i] : tree_[2 * i + 1];
        if (tree_[i] == m) break;
        tree_[i] = m;
    }
}

void ZKShMemLookupTrees::chain_insert(WORD k) {
    ZKSHMEM_LOOKUP_NODE& n = n_[k];
    WORD* head = bucket(n.dwKey);
    WORD prev = 0, next = *head;
    DWORD steps = 0;
    while (next && n_[next].dwPlace < n.dwPlace) {
        if (next > l_->dwCapacity || ++steps > l_->dwCapacity) {
            ok_ = false;
            return;
        }
        prev = next;
        next = n_[next].wNext;
    }
    n.wPrev = prev;
    n.wNext = next;
    if (next) n_[next].wPrev = k;
    if (prev)
        n_[prev].wNext = k;
    else
        *head = k;
}

void ZKShMemLookupTrees::chain_remove(WORD k) {
    const ZKSHMEM_LOOKUP_NODE& n = n_[k];
    if (n.wNext > l_->dwCapacity || n.wPrev > l_->dwCapacity) {
        ok_ = false;
        return;
    }
    if (n.wNext) n_[n.wNext].wPrev = n.wPrev;
    if (n.wPrev)
        n_[n.wPrev].wNext = n.wNext;
    else
        *bucket(n.dwKey) = n.wNext;
}

void ZKShMemLookupTrees::push(unsigned list, WORD k, DWORD key) {
    if (k == 0 || k > l_->dwCapacity || n_[k].bState) {
        ok_ = false;
        return;
    }
    ZKSHMEM_LOOKUP_NODE& n = n_[k];
    if (list == ZKSHMEM_LOOKUP_FREE) {
        // No leaf left below the head: a rebuild makes room.
        if (l_->dwNextFree == 0) {
            ok_ = false;
            return;
        }
        const DWORD leaf = --l_->dwNextFree;
        n.dwPlace = leaf;
        leaf_entry_[leaf] = k;
        set_leaf(leaf, key);
    } else {
        if (l_->dwNextUsed == 0) {
            ok_ = false;
            return;
        }
        n.dwPlace = --l_->dwNextUsed;
        // The newest of all: the head of its chain.
        WORD* head = bucket(key);
        n.wNext = *head;
        n.wPrev = 0;
        if (*head) n_[*head].wPrev = k;
        *head = k;
    }
    n.dwKey = key;
    n.bState = BYTE(1 + list);
}

void ZKShMemLookupTrees::erase(WORD k) {
    const int state = state_of(k);
    if (state < 0) return;
    ZKSHMEM_LOOKUP_NODE& n = n_[k];
    if (state == int(ZKSHMEM_LOOKUP_FREE) && n.dwPlace < l_->dwLeaves) {
        leaf_entry_[n.dwPlace] = 0;
        set_leaf(n.dwPlace, 0);
    } else if (state == int(ZKSHMEM_LOOKUP_USED)) {
        chain_remove(k);
    } else {
        ok_ = false;
    }
    n.bState = 0;
}

void ZKShMemLookupTrees::rekey(WORD k, DWORD key) {
    const int state = state_of(k);
    ZKSHMEM_LOOKUP_NODE& n = n_[k];
    if (state < 0 || n.dwKey == key) return;
    if (state == int(ZKSHMEM_LOOKUP_FREE) && n.dwPlace < l_->dwLeaves) {
        n.dwKey = key;
        set_leaf(n.dwPlace, key);
    } else if (state == int(ZKSHMEM_LOOKUP_USED)) {
        chain_remove(k);
        n.dwKey = key;
        chain_insert(k);
    } else {
        ok_ = false;
    }
}

WORD ZKShMemLookupTrees::first_at_least(DWORD least, DWORD from, DWORD* leaf) const {
    const DWORD leaves = l_->dwLeaves;
    if (from >= leaves) return 0;
    // Climb until a subtree right of `from` holds a large enough size...
    DWORD i = leaves + from;
    while (tree_[i] < least) {
        while (i & 1) i >>= 1;
        if (i == 0) return 0;
        ++i;
    }
    // ...then take the leftmost such leaf in it.
    while (i < leaves) {
        i *= 2;
        if (tree_[i] < least) ++i;
    }
    *leaf = i - leaves;
    const WORD k = leaf_entry_[*leaf];
    if (k == 0 || k > l_->dwCapacity) ok_ = false;
    return ok_ ? k : 0;
}

WORD ZKShMemLookupTrees::newest(DWORD id) const {
    DWORD steps = 0;
    for (WORD k = *bucket(id); k; k = n_[k].wNext) {
        if (k > l_->dwCapacity || ++steps > l_->dwCapacity) {
            ok_ = false;
            return 0;
        }
        if (n_[k].dwKey == id) return k;
    }
    return 0;
}

bool zkshmem_lookup_agrees(const ZKSHMEM_LOOKUP* pLookup, const BYTE* pBase, DWORD dwTotalSize) {
    if (!zkshmem_lookup_usable(pLookup, pBase, dwTotalSize)) return false;
    const ZKSHMEM_LOOKUP_NODE* nodes = at<ZKSHMEM_LOOKUP_NODE>(pLookup, pLookup->dwNodes);
    const WORD* buckets = at<WORD>(pLookup, pLookup->dwBuckets);
    const WORD* leaf_entry = at<WORD>(pLookup, pLookup->dwLeafEntry);
    const DWORD* tree = at<DWORD>(pLookup, pLookup->dwTree);
    const DWORD leaves = pLookup->dwLeaves;
    ZKSHMEM_REGION hdr;
    std::memcpy(&hdr, pBase, sizeof hdr);
    const DWORD entries = (dwTotalSize - hdr.dwIndexBottom) / ZKSHMEM_ENTRY_SIZE;

    DWORD n_free = 0, last = 0;
    for (WORD k = hdr.wFreeHead; k != ZKSHMEM_NO_ENTRY; k = entry_at(pBase, dwTotalSize, k).wNext) {
        const ZKSHMEM_LOOKUP_NODE& n = nodes[k];
        const DWORD size = entry_at(pBase, dwTotalSize, k).dwSize;
        if (n.bState != 1 + ZKSHMEM_LOOKUP_FREE || n.dwKey != size || n.dwPlace >= leaves) return false;
        if (leaf_entry[n.dwPlace] != k || tree[leaves + n.dwPlace] != size) return false;
        if (n_free++ > 0 && n.dwPlace <= last) return false;
        if (n_free == 1 && n.dwPlace < pLookup->dwNextFree) return false;
        last = n.dwPlace;
    }
    DWORD leaves_in_use = 0;
    for (DWORD p = 0; p < leaves; ++p) {
        if (leaf_entry[p]) ++leaves_in_use;
        else if (tree[leaves + p]) return false;
    }
    if (leaves_in_use != n_free) return false;
    for (DWORD i = 1; i < leaves; ++i)
        if (tree[i] != (tree[2 * i] > tree[2 * i + 1] ? tree[2 * i] : tree[2 * i + 1])) return false;

    DWORD n_used = 0;
    for (WORD k = hdr.wUsedHead; k != ZKSHMEM_NO_ENTRY; k = entry_at(pBase, dwTotalSize, k).wNext) {
        const ZKSHMEM_LOOKUP_NODE& n = nodes[k];
        const DWORD id = entry_at(pBase, dwTotalSize, k).dwId;
        if (n.bState != 1 + ZKSHMEM_LOOKUP_USED || n.dwKey != id) return false;
        if (n_used++ > 0 && n.dwPlace <= last) return false;
        if (n_used == 1 && n.dwPlace < pLookup->dwNextUsed) return false;
        last = n.dwPlace;
    }
    DWORD chained = 0;
    for (DWORD b = 0; b < (1u << pLookup->dwBucketBits); ++b) {
        WORD prev = 0;
        for (WORD k = buckets[b]; k; prev = k, k = nodes[k].wNext) {
            if (k > entries || ++chained > n_used) return false;
            const ZKSHMEM_LOOKUP_NODE& n = nodes[k];
            if (n.bState != 1 + ZKSHMEM_LOOKUP_USED || n.wPrev != prev) return false;
            if (((n.dwKey * 0x9E3779B1u) >> (32 - pLookup->dwBucketBits)) != b) return false;
            if (prev && nodes[prev].dwPlace >= n.dwPlace) return false;
        }
    }
    return chained == n_used;
}
