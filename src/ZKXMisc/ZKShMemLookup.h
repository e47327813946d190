// The shared heap's lookup index: what makes first fit and finding by
// identifier logarithmic instead of a walk of the free or the used list.
//
// The region's format fixes the answers (first fit in free-list order, the
// most recently allocated block in use with an identifier) and has no room
// for anything that would find them faster.  So the index lives beside the
// region, in a section of its own ("ZKSHMEM_HEAPIDX_" + region name, as long
// as the journal's name), and it is derived data only:
//
// - Free entries: every free entry has a place, a number that grows along
//   the free list.  Entries only ever join the list at its head, and a
//   block whose size changes keeps its place, so a push takes the number
//   below the lowest and nothing else moves.  A tree of maxima over the
//   places (a segment tree: leaf = the size of the free entry at that place,
//   0 for none) finds the first place whose size is at least some value by
//   one climb and one descent.  First fit asks it for the first free entry
//   of at least the size needed, and goes on past the few that the walk
//   would skip too (1 to 4 bytes larger, or the top block that cannot pay
//   for a new slot).  When the places below the head run out, the index is
//   rebuilt with room again.
// - Entries in use: a hash table by identifier whose chains keep their
//   entries in used-list order (an allocation joins at a chain's head, as
//   at the list's head), so the first entry with the identifier on its
//   chain is the most recent one.  Only a change of identifier has to look
//   for its place in the new chain.
// - Every heap operation keeps it up to date under the heap mutex, in the
//   same primitives that write the region's lists and sizes.
// - It can be rebuilt from the region's lists at any moment, and it is
//   whenever there is any doubt: dwValid is cleared before the first change
//   of an operation and set again only after the operation committed, with
//   the region header it agrees with; a different header (a rollback, a
//   writer that does not keep the index), an abandoned heap mutex, another
//   layout or another region size all mean a rebuild.  A process killed
//   half way through an update therefore leaves dwValid 0.
// - The region's bytes never depend on it: an answer is checked against the
//   region before it is used, and without a usable index (read-only handles
//   that find it stale, a plain buffer in tests) the operations walk the
//   lists as before, with the same results.
#ifndef ZKX_ZKSHMEM_LOOKUP_H
#define ZKX_ZKSHMEM_LOOKUP_H

#include "ZKShMemFormat.h"

#define ZKSHMEM_LOOKUP_PREFIX "ZKSHMEM_HEAPIDX_"
#define ZKSHMEM_LOOKUP_MAGIC 0x3158444Bu  // "KDX1": this layout of the index

#define ZKSHMEM_LOOKUP_FREE 0u
#define ZKSHMEM_LOOKUP_USED 1u

// One per entry number.
typedef struct _ZKSHMEM_LOOKUP_NODE {
    DWORD dwKey;    // free: the block's size; in use: its identifier
    DWORD dwPlace;  // free: its leaf; in use: its place in the used list (lower is newer)
    WORD wNext;     // in use: the chain of its hash bucket, newest first; 0 ends it
    WORD wPrev;
    BYTE bState;    // 0: on neither list; 1 + ZKSHMEM_LOOKUP_FREE or _USED
    BYTE bReserved[3];
} ZKSHMEM_LOOKUP_NODE;

// The section: this header, then (at the offsets it names) the nodes, the
// hash buckets (WORD heads), the entry at each leaf (WORD) and the tree of
// maxima (DWORD, 2 * dwMaxLeaves; the root at 1, leaf p at dwLeaves + p).
typedef struct _ZKSHMEM_LOOKUP {
    DWORD dwMagic;
    DWORD dwValid;         // 1: agrees with the region whose header is abHeader
    DWORD dwTotalSize;     // of the region it was built for
    DWORD dwCapacity;      // entry numbers 1 to dwCapacity have a node
    DWORD dwMaxLeaves;     // room for leaves, a power of 2
    DWORD dwLeaves;        // leaves in use now, a power of 2
    DWORD dwBucketBits;    // log2 of the number of hash buckets
    DWORD dwNextFree;      // the leaf of the next free push is one below
    DWORD dwNextUsed;      // the place of the next allocation is one below
    DWORD dwRebuilds;      // how often it was built from the lists
    DWORD dwNodes, dwBuckets, dwLeafEntry, dwTree;  // offsets in the section
    BYTE abHeader[sizeof(ZKSHMEM_REGION)];
} ZKSHMEM_LOOKUP;

static_assert(sizeof(ZKSHMEM_LOOKUP_NODE) == 16, "a node is 16 bytes");

// Bytes of the index section for a region of dwTotalSize bytes: a node for
// every entry number the region can ever have.
DWORD zkshmem_lookup_size(DWORD dwTotalSize);

// Marks the index as not to be trusted; the next read-write operation
// rebuilds it.
void zkshmem_lookup_invalidate(ZKSHMEM_LOOKUP* pLookup);

// Builds the index from the region's lists now; false (and an index left
// invalid) when the lists are not consistent enough to build from.
bool zkshmem_lookup_rebuild(ZKSHMEM_LOOKUP* pLookup, const BYTE* pBase, DWORD dwTotalSize);

// The operation that changed the index has committed: the index agrees
// with the region as it is now.
void zkshmem_lookup_seal(ZKSHMEM_LOOKUP* pLookup, const BYTE* pBase);

// Whether the index may be used for the region as it is now.
bool zkshmem_lookup_usable(const ZKSHMEM_LOOKUP* pLookup, const BYTE* pBase, DWORD dwTotalSize);

// A usable index, for the heap's operations.  Any inconsistency it meets (a
// link beyond the capacity, a chain that does not end, no leaf left below
// the head) makes ok() false; the caller then stops using it and leaves it
// invalid for the next rebuild.
class ZKShMemLookupTrees {
public:
    ZKShMemLookupTrees() = default;
    explicit ZKShMemLookupTrees(ZKSHMEM_LOOKUP* lookup);

    bool ok() const { return ok_; }
    // Which list entry k is on as far as the index knows: ZKSHMEM_LOOKUP_FREE,
    // _USED, or -1.
    int state_of(WORD k) const { return k >= 1 && k <= l_->dwCapacity ? int(n_[k].bState) - 1 : -1; }
    DWORD key_of(WORD k) const { return n_[k].dwKey; }

    // Entry k joins the head of the free or the used list with key.
    void push(unsigned list, WORD k, DWORD key);
    // Entry k leaves its list.
    void erase(WORD k);
    // Entry k's key changes; it keeps its place.
    void rekey(WORD k, DWORD key);

    // The free entry at the first leaf from leaf `from` on whose size is at
    // least `least`; 0 when none.  *leaf receives its leaf.
    WORD first_at_least(DWORD least, DWORD from, DWORD* leaf) const;
    // The leaf after entry k's, for going on past it.
    DWORD leaf_of(WORD k) const { return n_[k].dwPlace; }
    // The newest entry in use with the identifier; 0 when none.
    WORD newest(DWORD id) const;

private:
    WORD* bucket(DWORD id) const { return buckets_ + ((id * 0x9E3779B1u) >> (32 - l_->dwBucketBits)); }
    void set_leaf(DWORD leaf, DWORD size);
    void chain_insert(WORD k);
    void chain_remove(WORD k);

    ZKSHMEM_LOOKUP* l_ = nullptr;
    ZKSHMEM_LOOKUP_NODE* n_ = nullptr;
    WORD* buckets_ = nullptr;
    WORD* leaf_entry_ = nullptr;
    DWORD* tree_ = nullptr;
    mutable bool ok_ = true;
};

// Whether the index says exactly what the region's lists say (for tests and
// the fuzzer): every entry on its list with its key, the free places and
// the used chains in list order, the tree's maxima right.
bool zkshmem_lookup_agrees(const ZKSHMEM_LOOKUP* pLookup, const BYTE* pBase, DWORD dwTotalSize);

#endif
