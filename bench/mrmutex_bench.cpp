// The multi-reader mutex against a process-shared pthread_rwlock_t in shared
// memory, uncontended read and write turns, in the same run.  Each of our
// turns is several kernel-object operations (a named mutex, a semaphore and
// a manual-reset event), so the rwlock's single atomic is the floor.
//
// Also the critical section against a recursive pthread mutex and a
// std::recursive_mutex, first entry and nested entry.
//
//   build/bench/mrmutex_bench
#include <benchmark/benchmark.h>
#include <pthread.h>
#include <stdlib.h>
#include <sys/mman.h>
#include <unistd.h>

#include <mutex>
#include <string>

#include "ZKExcl.h"
#include "system/namespace_dir.h"

namespace {

class NamedMR {
public:
    NamedMR() { ok_ = ZKExclInitMRMutex(&mr_, "bench-mr", 0, 0) == 0; }
    ~NamedMR() { ZKExclDeleteMRMutex(&mr_, 0); }
    bool ok() const { return ok_; }
    PZKEXCL_MRMUTEX get() { return &mr_; }

private:
    ZKEXCL_MRMUTEX mr_{};
    bool ok_ = false;
};

class SharedRwlock {
public:
    SharedRwlock() {
        mem_ = mmap(nullptr, sizeof(pthread_rwlock_t), PROT_READ | PROT_WRITE,
                    MAP_SHARED | MAP_ANONYMOUS, -1, 0);
        pthread_rwlockattr_t attr;
        pthread_rwlockattr_init(&attr);
        pthread_rwlockattr_setpshared(&attr, PTHREAD_PROCESS_SHARED);
        pthread_rwlock_init(get(), &attr);
        pthread_rwlockattr_destroy(&attr);
    }
    ~SharedRwlock() {
        pthread_rwlock_destroy(get());
        munmap(mem_, sizeof(pthread_rwlock_t));
    }
    pthread_rwlock_t* get() { return static_cast<pthread_rwlock_t*>(mem_); }

private:
    void* mem_;
};

void BM_MRMutexRead(benchmark::State& state) {
    NamedMR mr;
    if (!mr.ok()) return state.SkipWithError("ZKExclInitMRMutex failed");
    for (auto _ : state) {
        benchmark::DoNotOptimize(ZKExclEnterMRMutexRead(mr.get(), INFINITE, 0, 0));
        ZKExclLeaveMRMutexRead(mr.get(), 0);
    }
}
BENCHMARK(BM_MRMutexRead);

void BM_SharedRwlockRead(benchmark::State& state) {
    SharedRwlock lock;
    for (auto _ : state) {
        benchmark::DoNotOptimize(pthread_rwlock_rdlock(lock.get()));
        pthread_rwlock_unlock(lock.get());
    }
}
BENCHMARK(BM_SharedRwlockRead);

void BM_MRMutexWrite(benchmark::State& state) {
    NamedMR mr;
    if (!mr.ok()) return state.SkipWithError("ZKExclInitMRMutex failed");
    for (auto _ : state) {
        benchmark::DoNotOptimize(ZKExclEnterMRMutexWrite(mr.get(), INFINITE, 0, 0));
        ZKExclLeaveMRMutexWrite(mr.get(), 0);
    }
}
BENCHMARK(BM_MRMutexWrite);

void BM_SharedRwlockWrite(benchmark::State& state) {
    SharedRwlock lock;
    for (auto _ : state) {
        benchmark::DoNotOptimize(pthread_rwlock_wrlock(lock.get()));
        pthread_rwlock_unlock(lock.get());
    }
}
BENCHMARK(BM_SharedRwlockWrite);

// Nesting depth 1 is the plain enter/leave pair, 2 adds a re-entry.
void BM_CritSec(benchmark::State& state) {
    ZKEXCL_CRITSEC cs{};
    if (ZKExclInitCritSec(&cs, 0, 0) != 0) return state.SkipWithError("init failed");
    const int depth = int(state.range(0));
    for (auto _ : state) {
        for (int i = 0; i < depth; ++i) benchmark::DoNotOptimize(ZKExclEnterCritSec(&cs, INFINITE, 0, 0));
        for (int i = 0; i < depth; ++i) ZKExclLeaveCritSec(&cs, 0);
    }
    ZKExclDeleteCritSec(&cs, 0);
}
BENCHMARK(BM_CritSec)->Arg(1)->Arg(2);

void BM_RecursivePthreadMutex(benchmark::State& state) {
    pthread_mutex_t mutex;
    pthread_mutexattr_t attr;
    pthread_mutexattr_init(&attr);
    pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE);
    pthread_mutex_init(&mutex, &attr);
    pthread_mutexattr_destroy(&attr);
    const int depth = int(state.range(0));
    for (auto _ : state) {
        for (int i = 0; i < depth; ++i) benchmark::DoNotOptimize(pthread_mutex_lock(&mutex));
        for (int i = 0; i < depth; ++i) pthread_mutex_unlock(&mutex);
    }
    pthread_mutex_destroy(&mutex);
}
BENCHMARK(BM_RecursivePthreadMutex)->Arg(1)->Arg(2);

void BM_StdRecursiveMutex(benchmark::State& state) {
    std::recursive_mutex mutex;
    const int depth = int(state.range(0));
    for (auto _ : state) {
        for (int i = 0; i < depth; ++i) mutex.lock();
        for (int i = 0; i < depth; ++i) mutex.unlock();
    }
}
BENCHMARK(BM_StdRecursiveMutex)->Arg(1)->Arg(2);

}  // namespace

int main(int argc, char** argv) {
    // A namespace of its own, removed afterwards, unless the caller chose one.
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
