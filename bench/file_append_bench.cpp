// The debug log appends each record by opening the file, seeking to its end,
// writing and closing.  Compares that sequence through the Win32 layer
// (path mapping, share-mode markers, handle table) with the bare POSIX
// calls, and shows what the path mapping alone costs.
#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <string>

#include "system/path_map.h"
#include "zkxwin32.h"

namespace {

const char kRecord[] = "trace(  92)       , 12/04, 18:29:48.123, 0x000001A0, 0x000002C4, ZKMisc  , COM, x\r\n";

struct BenchDir {
    std::string dir;
    BenchDir() {
        char tmpl[] = "/tmp/zkx-bench-XXXXXX";
        dir = mkdtemp(tmpl);
        setenv("ZKX_DRIVE_C", dir.c_str(), 1);
    }
    ~BenchDir() {
        unlink((dir + "/trace.log").c_str());
        rmdir(dir.c_str());
    }
};

void BM_AppendRecordWin32(benchmark::State& state) {
    BenchDir d;
    for (auto _ : state) {
        HANDLE h = CreateFileA("C:\\Trace.log", GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_ALWAYS,
                               FILE_ATTRIBUTE_NORMAL, nullptr);
        SetFilePointer(h, 0, nullptr, FILE_END);
        DWORD n = 0;
        WriteFile(h, kRecord, sizeof kRecord - 1, &n, nullptr);
        CloseHandle(h);
    }
    unlink((d.dir + "/Trace.log").c_str());
}
BENCHMARK(BM_AppendRecordWin32);

void BM_AppendRecordPosix(benchmark::State& state) {
    BenchDir d;
    std::string path = d.dir + "/trace.log";
    for (auto _ : state) {
        int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0666);
        lseek(fd, 0, SEEK_END);
        benchmark::DoNotOptimize(write(fd, kRecord, sizeof kRecord - 1));
        close(fd);
    }
}
BENCHMARK(BM_AppendRecordPosix);

// The mapping of a path that exists as spelled, as the log file's does
// after its first record.
void BM_MapWindowsPath(benchmark::State& state) {
    BenchDir d;
    close(open((d.dir + "/trace.log").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0666));
    std::string host;
    for (auto _ : state) {
        benchmark::DoNotOptimize(zkx::win32::path_to_host("C:\\trace.log", &host));
    }
}
BENCHMARK(BM_MapWindowsPath);

}  // namespace

BENCHMARK_MAIN();
