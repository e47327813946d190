// The shared-memory heap against Boost.Interprocess's managed shared memory,
// both through their public, locked interfaces and on the same sequence of
// requests:
//  - alloc + free pairs with 100, 1,000, 10,000 and 60,000 blocks live:
//    each pair frees a random live block and allocates a new one (16 to 128
//    bytes).  Small spacer blocks were allocated between the live ones and
//    freed again, so the free list starts with thousands of holes that no
//    request fits and first fit has to search past them;
//  - lookup: our identifier against Boost's object name, random keys among
//    as many live blocks.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <boost/interprocess/managed_shared_memory.hpp>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "ZKMiscPriv.h"
#include "ZKShMem.h"
#include "system/namespace_dir.h"

namespace bip = boost::interprocess;

namespace {

// The same requests for both heaps: which live block to free, what size to
// allocate next, which key to look up.
struct Workload {
    explicit Workload(size_t live) {
        std::mt19937 rng(12345);
        for (size_t i = 0; i < live; ++i) initial_sizes.push_back(16 + rng() % 113);
        // Every entry of the region's index table is one block; the holes
        // take what the live blocks leave of its 65,534 entries.
        holes = live < 30000 ? live : 62000 - live;
        // A free block needs an entry of its own, and a heap under random
        // churn keeps about one free block for every two in use: beyond
        // about 40,000 live blocks the entries would run out.  There only
        // the first 6,000 blocks change; the rest stay as laid out.
        const size_t churn = live <= 30000 ? live : 6000;
        for (size_t i = 0; i < kSteps; ++i) {
            victims.push_back(rng() % churn);
            sizes.push_back(16 + rng() % 113);
            keys.push_back(rng() % live);
        }
    }
    static constexpr size_t kSteps = 1 << 14;
    std::vector<DWORD> initial_sizes, sizes;
    std::vector<size_t> victims, keys;
    size_t holes;
    // The spacer before live block i, if it has one: 1 to 8 bytes.
    bool spacer_before(size_t i) const { return i * holes / initial_sizes.size() != (i + 1) * holes / initial_sizes.size(); }
    static DWORD spacer_size(size_t i) { return DWORD(1 + i % 8); }
};

// Lays the live blocks out with the spacers between them, then frees the
// spacers: the free list holds one small hole per spacer, each freed last
// at its head.
template <class Alloc, class Free>
void lay_out(const Workload& w, Alloc alloc, Free free) {
    std::vector<size_t> spacers;
    for (size_t i = 0; i < w.initial_sizes.size(); ++i) {
        if (w.spacer_before(i)) spacers.push_back(alloc(Workload::spacer_size(i), i));
        alloc(w.initial_sizes[i], i);
    }
    for (size_t s : spacers) free(s);
}

// Room for the blocks, the holes, their bookkeeping and churn, in both heaps.
DWORD payload_for(size_t live) { return DWORD(live * 320 + 64 * 1024); }

// The library's log as the entry would create it, unconfigured: the heap
// calls pay for the trace filter as they would in a process.
struct ShMemLog {
    ShMemLog() { ZKDLogCreate("ZKShMem", 0, &g_hZKShMemLog); }
    ~ShMemLog() {
        ZKDLogDestroy(g_hZKShMemLog, 0);
        g_hZKShMemLog = nullptr;
    }
};

struct OurHeap {
    explicit OurHeap(size_t live) {
        ZKShMemOpen(&h, payload_for(live), ZKSHMEM_READWRITE, "bench");
    }
    ~OurHeap() { ZKShMemClose(h); }
    PZKSHMEM_HEAD h = nullptr;
};

std::string boost_name() { return "zkx-shmem-bench-" + std::to_string(getpid()); }

struct BoostHeap {
    explicit BoostHeap(size_t live)
        : name(boost_name()),
          segment((bip::shared_memory_object::remove(name.c_str()), bip::create_only), name.c_str(),
                  payload_for(live) * 2) {}
    ~BoostHeap() { bip::shared_memory_object::remove(name.c_str()); }
    std::string name;
    bip::managed_shared_memory segment;
};

void BM_ZKShMemAllocFree(benchmark::State& state) {
    const size_t live = size_t(state.range(0));
    Workload w(live);
    ShMemLog log;
    OurHeap heap(live);
    if (!heap.h) return state.SkipWithError("ZKShMemOpen failed");
    std::vector<void*> blocks(live), spacers;
    lay_out(
        w,
        [&](DWORD size, size_t i) {
            void* p = ZKShMemAlloc(heap.h, size, DWORD(i));
            if (size == w.initial_sizes[i]) blocks[i] = p; else spacers.push_back(p);
            return spacers.size() - 1;
        },
        [&](size_t s) { ZKShMemFree(heap.h, spacers[s]); });
    size_t step = 0;
    for (auto _ : state) {
        const size_t victim = w.victims[step];
        ZKShMemFree(heap.h, blocks[victim]);
        blocks[victim] = ZKShMemAlloc(heap.h, w.sizes[step], DWORD(victim));
        if (!blocks[victim]) return state.SkipWithError("ZKShMemAlloc failed");
        step = (step + 1) % Workload::kSteps;
    }
    state.SetItemsProcessed(int64_t(state.iterations()));
}
BENCHMARK(BM_ZKShMemAllocFree)->Arg(100)->Arg(1000)->Arg(10000)->Arg(60000);

void BM_BoostAllocFree(benchmark::State& state) {
    const size_t live = size_t(state.range(0));
    Workload w(live);
    BoostHeap heap(live);
    std::vector<void*> blocks(live), spacers;
    lay_out(
        w,
        [&](DWORD size, size_t i) {
            void* p = heap.segment.allocate(size);
            if (size == w.initial_sizes[i]) blocks[i] = p; else spacers.push_back(p);
            return spacers.size() - 1;
        },
        [&](size_t s) { heap.segment.deallocate(spacers[s]); });
    size_t step = 0;
    for (auto _ : state) {
        const size_t victim = w.victims[step];
        heap.segment.deallocate(blocks[victim]);
        blocks[victim] = heap.segment.allocate(w.sizes[step], std::nothrow);
        if (!blocks[victim]) return state.SkipWithError("allocate failed");
        step = (step + 1) % Workload::kSteps;
    }
    state.SetItemsProcessed(int64_t(state.iterations()));
}
BENCHMARK(BM_BoostAllocFree)->Arg(100)->Arg(1000)->Arg(10000)->Arg(60000);

void BM_ZKShMemFindById(benchmark::State& state) {
    const size_t live = size_t(state.range(0));
    Workload w(live);
    ShMemLog log;
    OurHeap heap(live);
    if (!heap.h) return state.SkipWithError("ZKShMemOpen failed");
    std::vector<void*> spacers;
    lay_out(
        w,
        [&](DWORD size, size_t i) {
            void* p = ZKShMemAlloc(heap.h, size, DWORD(i));
            if (size != w.initial_sizes[i]) spacers.push_back(p);
            return spacers.size() - 1;
        },
        [&](size_t s) { ZKShMemFree(heap.h, spacers[s]); });
    size_t step = 0;
    for (auto _ : state) {
        void* p = ZKShMemFindMemory(heap.h, DWORD(w.keys[step]));
        if (!p) return state.SkipWithError("ZKShMemFindMemory failed");
        benchmark::DoNotOptimize(p);
        step = (step + 1) % Workload::kSteps;
    }
    state.SetItemsProcessed(int64_t(state.iterations()));
}
BENCHMARK(BM_ZKShMemFindById)->Arg(100)->Arg(1000)->Arg(10000)->Arg(60000);

void BM_BoostFindByName(benchmark::State& state) {
    const size_t live = size_t(state.range(0));
    Workload w(live);
    BoostHeap heap(live);
    std::vector<std::string> names;
    char name[32];
    std::vector<void*> spacers;
    lay_out(
        w,
        [&](DWORD size, size_t i) {
            if (size != w.initial_sizes[i]) {
                spacers.push_back(heap.segment.allocate(size));
                return spacers.size() - 1;
            }
            std::snprintf(name, sizeof name, "block%zu", i);
            names.push_back(name);
            heap.segment.construct<char>(name)[size]();
            return size_t(0);
        },
        [&](size_t s) { heap.segment.deallocate(spacers[s]); });
    size_t step = 0;
    for (auto _ : state) {
        auto found = heap.segment.find<char>(names[w.keys[step]].c_str());
        if (!found.first) return state.SkipWithError("find failed");
        benchmark::DoNotOptimize(found.first);
        step = (step + 1) % Workload::kSteps;
    }
    state.SetItemsProcessed(int64_t(state.iterations()));
}
BENCHMARK(BM_BoostFindByName)->Arg(100)->Arg(1000)->Arg(10000)->Arg(60000);

}  // namespace

int main(int argc, char** argv) {
    // A namespace of its own, whose files are removed afterwards, unless the
    // caller chose one.
    std::string ns;
    if (!getenv("ZKX_NAMESPACE")) {
        ns = "bench-" + std::to_string(getpid());
        setenv("ZKX_NAMESPACE", ns.c_str(), 1);
    }
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    if (!ns.empty()) zkx::win32::remove_private_namespace(ns);
    return 0;
}
