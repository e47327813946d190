// An uncontended named mutex against the obvious alternative, a robust
// process-shared pthread mutex in shared memory, in the same run.  Also the
// uncontended event round trip and a wait-all, which takes the namespace
// lock.
//
//   build/bench/named_mutex_bench
#include <benchmark/benchmark.h>
#include <pthread.h>
#include <stdlib.h>
#include <sys/mman.h>
#include <unistd.h>

#include <string>

#include "zkxwin32.h"
#include "system/namespace_dir.h"

namespace {

void BM_NamedMutexWaitRelease(benchmark::State& state) {
    HANDLE m = CreateMutexA(nullptr, FALSE, "bench-mutex");
    if (!m) {
        state.SkipWithError("CreateMutexA failed");
        return;
    }
    for (auto _ : state) {
        benchmark::DoNotOptimize(WaitForSingleObject(m, INFINITE));
        ReleaseMutex(m);
    }
    CloseHandle(m);
}
BENCHMARK(BM_NamedMutexWaitRelease);

void BM_RobustSharedPthreadMutex(benchmark::State& state) {
    void* mem = mmap(nullptr, sizeof(pthread_mutex_t), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    auto* mutex = static_cast<pthread_mutex_t*>(mem);
    pthread_mutexattr_t attr;
    pthread_mutexattr_init(&attr);
    pthread_mutexattr_setpshared(&attr, PTHREAD_PROCESS_SHARED);
    pthread_mutexattr_setrobust(&attr, PTHREAD_MUTEX_ROBUST);
    pthread_mutex_init(mutex, &attr);
    for (auto _ : state) {
        benchmark::DoNotOptimize(pthread_mutex_lock(mutex));
        pthread_mutex_unlock(mutex);
    }
    pthread_mutex_destroy(mutex);
    munmap(mem, sizeof(pthread_mutex_t));
}
BENCHMARK(BM_RobustSharedPthreadMutex);

void BM_AutoResetEventSetWait(benchmark::State& state) {
    HANDLE e = CreateEventA(nullptr, FALSE, FALSE, "bench-event");
    for (auto _ : state) {
        SetEvent(e);
        benchmark::DoNotOptimize(WaitForSingleObject(e, INFINITE));
    }
    CloseHandle(e);
}
BENCHMARK(BM_AutoResetEventSetWait);

void BM_WaitAllMutexAndEvent(benchmark::State& state) {
    HANDLE objs[2] = {CreateMutexA(nullptr, FALSE, "bench-all-mutex"),
                      CreateEventA(nullptr, TRUE, TRUE, "bench-all-event")};
    for (auto _ : state) {
        benchmark::DoNotOptimize(WaitForMultipleObjects(2, objs, TRUE, INFINITE));
        ReleaseMutex(objs[0]);
    }
    CloseHandle(objs[0]);
    CloseHandle(objs[1]);
}
BENCHMARK(BM_WaitAllMutexAndEvent);

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
