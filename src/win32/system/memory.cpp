// Local heap, private heaps and the process heap.
//
// A private heap keeps its live blocks on a list so that HeapDestroy can free
// them all, as the library's poll handles rely on.  Every block carries a
// small header naming its heap, which lets HeapFree refuse a block of another
// heap instead of corrupting it.
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>

#include "zkxwin32/errors.h"
#include "zkxwin32/memory.h"

namespace {

constexpr uint32_t kHeapMagic = 0x48656170;   // 'Heap'
constexpr uint32_t kBlockMagic = 0x426C6B21;  // 'Blk!'

struct Heap;

struct alignas(16) BlockHeader {
    uint32_t magic;
    Heap* heap;
    BlockHeader* prev;
    BlockHeader* next;
};

struct Heap {
    uint32_t magic = kHeapMagic;
    bool serialize = true;
    std::mutex lock;
    BlockHeader* blocks = nullptr;
};

Heap g_process_heap;

Heap* as_heap(HANDLE h) {
    auto* heap = static_cast<Heap*>(h);
    return heap && heap->magic == kHeapMagic ? heap : nullptr;
}

BlockHeader* header_of(void* p) {
    auto* hdr = static_cast<BlockHeader*>(p) - 1;
    return hdr->magic == kBlockMagic ? hdr : nullptr;
}

void* heap_alloc(Heap* heap, bool zero, SIZE_T bytes) {
    if (bytes > SIZE_T(-1) - sizeof(BlockHeader)) return nullptr;
    void* raw = zero ? std::calloc(1, sizeof(BlockHeader) + bytes)
                     : std::malloc(sizeof(BlockHeader) + bytes);
    if (!raw) return nullptr;
    auto* hdr = static_cast<BlockHeader*>(raw);
    hdr->magic = kBlockMagic;
    hdr->heap = heap;
    hdr->prev = nullptr;
    std::lock_guard<std::mutex> guard(heap->lock);
    hdr->next = heap->blocks;
    if (heap->blocks) heap->blocks->prev = hdr;
    heap->blocks = hdr;
    return hdr + 1;
}

bool heap_free(Heap* heap, void* p) {
    BlockHeader* hdr = header_of(p);
    if (!hdr || hdr->heap != heap) return false;
    {
        std::lock_guard<std::mutex> guard(heap->lock);
        if (hdr->prev) hdr->prev->next = hdr->next;
        else heap->blocks = hdr->next;
        if (hdr->next) hdr->next->prev = hdr->prev;
    }
    hdr->magic = 0;
    std::free(hdr);
    return true;
}

}  // namespace

extern "C" {

HANDLE WINAPI GetProcessHeap(void) { return &g_process_heap; }

HANDLE WINAPI HeapCreate(DWORD options, SIZE_T, SIZE_T) {
    auto* heap = new (std::nothrow) Heap();
    if (!heap) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    heap->serialize = (options & HEAP_NO_SERIALIZE) == 0;
    return heap;
}

BOOL WINAPI HeapDestroy(HANDLE h) {
    Heap* heap = as_heap(h);
    if (!heap || heap == &g_process_heap) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    for (BlockHeader* b = heap->blocks; b;) {
        BlockHeader* next = b->next;
        b->magic = 0;
        std::free(b);
        b = next;
    }
    heap->magic = 0;
    delete heap;
    return TRUE;
}

LPVOID WINAPI HeapAlloc(HANDLE h, DWORD flags, SIZE_T bytes) {
    Heap* heap = as_heap(h);
    if (!heap) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    void* p = heap_alloc(heap, (flags & HEAP_ZERO_MEMORY) != 0, bytes);
    if (!p) SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return p;
}

BOOL WINAPI HeapFree(HANDLE h, DWORD, LPVOID mem) {
    if (!mem) return TRUE;
    Heap* heap = as_heap(h);
    if (!heap || !heap_free(heap, mem)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    return TRUE;
}

// The local heap is the process heap; LocalAlloc blocks are always fixed, and
// the library always asks for them zero-filled.
HLOCAL WINAPI LocalAlloc(UINT flags, SIZE_T bytes) {
    void* p = heap_alloc(&g_process_heap, (flags & LMEM_ZEROINIT) != 0, bytes);
    if (!p) SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return p;
}

HLOCAL WINAPI LocalFree(HLOCAL mem) {
    if (!mem) return nullptr;
    if (!heap_free(&g_process_heap, mem)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return mem;
    }
    return nullptr;
}

}  // extern "C"
