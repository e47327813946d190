// The shared-memory heap against Boost.Interprocess's managed shared memory,
// both through their public, locked interfaces and on the same sequence of
// requests:
//  - alloc + free pairs with 100, 1,000 and 10,000 blocks live: each pair
//    frees a random live block and allocates a new one (16 to 128 bytes);
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
#include "namespace_dir.h"

namespace bip = boost::interprocess;

namespace {

// The same requests for both heaps: which live block to free, what size to
// allocate next, which key to look up.
struct Workload {
    explicit Workload(size_t live) {
        std::mt19937 rng(12345);
        for (size_t i = 0; i < live; ++i) initial_sizes.push_back(16 + rng() % 113);
        for (size_t i = 0; i < kSteps; ++i) {
            victims.push_back(rng() % live);
            sizes.push_back(16 + rng() % 113);
            keys.push_back(rng() % live);
        }
    }
    static constexpr size_t kSteps = 1 << 14;
    std::vector<DWORD> initial_sizes, sizes;
    std::vector<size_t> victims, keys;
};

// Room for the blocks, their bookkeeping and churn, in both heaps.
DWORD payload_for(size_t live) { return DWORD(live * 256 + 64 * 1024); }

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
    std::vector<void*> blocks;
    for (size_t i = 0; i < live; ++i) blocks.push_back(ZKShMemAlloc(heap.h, w.initial_sizes[i], DWORD(i)));
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
BENCHMARK(BM_ZKShMemAllocFree)->Arg(100)->Arg(1000)->Arg(10000);

void BM_BoostAllocFree(benchmark::State& state) {
    const size_t live = size_t(state.range(0));
    Workload w(live);
    BoostHeap heap(live);
    std::vector<void*> blocks;
    for (size_t i = 0; i < live; ++i) blocks.push_back(heap.segment.allocate(w.initial_sizes[i]));
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
BENCHMARK(BM_BoostAllocFree)->Arg(100)->Arg(1000)->Arg(10000);

void BM_ZKShMemFindById(benchmark::State& state) {
    const size_t live = size_t(state.range(0));
    Workload w(live);
    ShMemLog log;
    OurHeap heap(live);
    if (!heap.h) return state.SkipWithError("ZKShMemOpen failed");
    for (size_t i = 0; i < live; ++i) ZKShMemAlloc(heap.h, w.initial_sizes[i], DWORD(i));
    size_t step = 0;
    for (auto _ : state) {
        void* p = ZKShMemFindMemory(heap.h, DWORD(w.keys[step]));
        if (!p) return state.SkipWithError("ZKShMemFindMemory failed");
        benchmark::DoNotOptimize(p);
        step = (step + 1) % Workload::kSteps;
    }
    state.SetItemsProcessed(int64_t(state.iterations()));
}
BENCHMARK(BM_ZKShMemFindById)->Arg(100)->Arg(1000)->Arg(10000);

void BM_BoostFindByName(benchmark::State& state) {
    const size_t live = size_t(state.range(0));
    Workload w(live);
    BoostHeap heap(live);
    std::vector<std::string> names;
    char name[32];
    for (size_t i = 0; i < live; ++i) {
        std::snprintf(name, sizeof name, "block%zu", i);
        names.push_back(name);
        heap.segment.construct<char>(name)[w.initial_sizes[i]]();
    }
    size_t step = 0;
    for (auto _ : state) {
        auto found = heap.segment.find<char>(names[w.keys[step]].c_str());
        if (!found.first) return state.SkipWithError("find failed");
        benchmark::DoNotOptimize(found.first);
        step = (step + 1) % Workload::kSteps;
    }
    state.SetItemsProcessed(int64_t(state.iterations()));
}
BENCHMARK(BM_BoostFindByName)->Arg(100)->Arg(1000)->Arg(10000);

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
