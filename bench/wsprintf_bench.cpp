// The debug log formats every record it writes with wsprintfA; these compare
// its header and a short message with the C library's snprintf on the same
// formats.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <string>

#include "zkxwin32.h"

namespace {

constexpr const char kHeader[] = "0x%08lX, 0x%08lX, %-8s, %s, ";
constexpr const char kTime[] = ", %02hu/%02hu, %02hu:%02hu:%02hu.%03hu, ";

void BM_WsprintfHeader(benchmark::State& state) {
    char buf[1024];
    for (auto _ : state) {
        int n = wsprintfA(buf, kHeader, DWORD(0x1A0), DWORD(0x2C4), "ZKMisc", "COM");
        n += wsprintfA(buf + n, kTime, 12, 4, 18, 29, 48, 123);
        benchmark::DoNotOptimize(n);
        benchmark::DoNotOptimize(buf);
    }
}
BENCHMARK(BM_WsprintfHeader);

void BM_SnprintfHeader(benchmark::State& state) {
    char buf[1024];
    for (auto _ : state) {
        int n = std::snprintf(buf, sizeof buf, "0x%08X, 0x%08X, %-8s, %s, ", 0x1A0u, 0x2C4u, "ZKMisc", "COM");
        n += std::snprintf(buf + n, sizeof buf - n, ", %02hu/%02hu, %02hu:%02hu:%02hu.%03hu, ", 12, 4, 18, 29,
                           48, 123);
        benchmark::DoNotOptimize(n);
        benchmark::DoNotOptimize(buf);
    }
}
BENCHMARK(BM_SnprintfHeader);

void BM_WsprintfLongString(benchmark::State& state) {
    char buf[1024];
    static const std::string text(4000, 'x');
    for (auto _ : state) {
        int n = wsprintfA(buf, "%s", text.c_str());
        benchmark::DoNotOptimize(n);
    }
}
BENCHMARK(BM_WsprintfLongString);

void BM_SnprintfLongString(benchmark::State& state) {
    char buf[1024];
    static const std::string text(4000, 'x');
    for (auto _ : state) {
        int n = std::snprintf(buf, sizeof buf, "%s", text.c_str());
        benchmark::DoNotOptimize(n);
    }
}
BENCHMARK(BM_SnprintfLongString);

}  // namespace

BENCHMARK_MAIN();
