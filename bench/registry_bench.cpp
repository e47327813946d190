// The registry against the least a file-backed store can do: a query
// against reading one small file, a set against a crash-safe replace of one
// file (write, fsync, rename; the store's sets no longer fsync, see
// docs/registry.md, Durability), an open against a stat.  Runs in a private
// store under /tmp.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "zkxwin32.h"

namespace {

std::string g_dir;

HKEY settings_key() {
    static HKEY key = [] {
        HKEY k = nullptr;
        RegCreateKeyA(HKEY_LOCAL_MACHINE, "SOFTWARE\\VELKO\\ZKW\\Admin", &k);
        const char* names[] = {"ZKDir", "ZKDataDir", "ZKDllDir", "ZKLangCode", "ZKCountryCode",
                               "ZKProductName"};
        for (const char* n : names) {
            std::string v = std::string("C:\\Program Files\\Velko\\") + n;
            RegSetValueExA(k, n, 0, REG_SZ, reinterpret_cast<const BYTE*>(v.c_str()),
                           DWORD(v.size() + 1));
        }
        DWORD type = 2;
        RegSetValueExA(k, "ZKSystemType", 0, REG_DWORD, reinterpret_cast<BYTE*>(&type), 4);
        return k;
    }();
    return key;
}

std::string values_file() { return g_dir + "/HKEY_LOCAL_MACHINE/software/velko/zkw/admin/.values"; }

void BM_RegQueryValueEx(benchmark::State& state) {
    HKEY k = settings_key();
    char buf[261];
    for (auto _ : state) {
        DWORD size = sizeof buf, type = 0;
        LONG r = RegQueryValueExA(k, "ZKDataDir", nullptr, &type, reinterpret_cast<BYTE*>(buf), &size);
        benchmark::DoNotOptimize(r);
    }
}
BENCHMARK(BM_RegQueryValueEx);

void BM_ReadSmallFile(benchmark::State& state) {
    settings_key();
    std::string path = values_file();
    char buf[4096];
    for (auto _ : state) {
        int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
        ssize_t n = read(fd, buf, sizeof buf);
        close(fd);
        benchmark::DoNotOptimize(n);
    }
}
BENCHMARK(BM_ReadSmallFile);

void BM_RegOpenQueryClose(benchmark::State& state) {
    settings_key();
    char buf[261];
    for (auto _ : state) {
        HKEY k = nullptr;
        RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\VELKO\\ZKW\\Admin", 0, KEY_READ, &k);
        DWORD size = sizeof buf;
        RegQueryValueExA(k, "ZKDir", nullptr, nullptr, reinterpret_cast<BYTE*>(buf), &size);
        RegCloseKey(k);
    }
}
BENCHMARK(BM_RegOpenQueryClose);

void BM_RegSetValueEx(benchmark::State& state) {
    HKEY k = settings_key();
    DWORD n = 0;
    for (auto _ : state) {
        ++n;
        RegSetValueExA(k, "Counter", 0, REG_DWORD, reinterpret_cast<BYTE*>(&n), 4);
    }
}
BENCHMARK(BM_RegSetValueEx)->Unit(benchmark::kMicrosecond);

// One small value written into a key that already holds 10,000: the cost of
// a set that does not grow with the key would show here.  The key's file is
// written directly (in the documented format) so that the setup is quick
// however slow the sets are.
HKEY large_key() {
    static HKEY key = [] {
        HKEY k = nullptr;
        RegCreateKeyA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Bench\\Large", &k);
        std::string path = g_dir + "/HKEY_LOCAL_MACHINE/software/bench/large/.values";
        FILE* f = fopen(path.c_str(), "r");
        char line[256];
        std::string text;
        for (int i = 0; i < 3 && f && fgets(line, sizeof line, f); ++i) text += line;  // header, id, name
        if (f) fclose(f);
        for (int i = 0; i < 10000; ++i) {
            text += "value 1 \"Value" + std::to_string(i) + "\" \"data " + std::to_string(i) + "\\0\"\n";
        }
        text += "end\n";
        std::string temp = path + ".bench";
        f = fopen(temp.c_str(), "w");
        fwrite(text.data(), 1, text.size(), f);
        fclose(f);
        rename(temp.c_str(), path.c_str());
        return k;
    }();
    return key;
}

void BM_RegSetValueExInto10000ValueKey(benchmark::State& state) {
    HKEY k = large_key();
    DWORD n = 0;
    for (auto _ : state) {
        ++n;
        if (RegSetValueExA(k, "Value5000", 0, REG_DWORD, reinterpret_cast<BYTE*>(&n), 4) != 0) {
            state.SkipWithError("RegSetValueExA failed");
            break;
        }
    }
}
BENCHMARK(BM_RegSetValueExInto10000ValueKey)->Unit(benchmark::kMillisecond);

void BM_ReplaceSmallFileSafely(benchmark::State& state) {
    std::string path = g_dir + "/plain", temp = path + ".new";
    std::string text(400, 'x');
    for (auto _ : state) {
        int fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        benchmark::DoNotOptimize(write(fd, text.data(), text.size()));
        fsync(fd);
        close(fd);
        rename(temp.c_str(), path.c_str());
        int dir = open(g_dir.c_str(), O_RDONLY | O_DIRECTORY);
        fsync(dir);
        close(dir);
    }
}
BENCHMARK(BM_ReplaceSmallFileSafely)->Unit(benchmark::kMicrosecond);

}  // namespace

int main(int argc, char** argv) {
    char tmpl[] = "/tmp/zkx-registry-bench-XXXXXX";
    if (!mkdtemp(tmpl)) return 1;
    g_dir = tmpl;
    setenv("ZKX_REGISTRY", g_dir.c_str(), 1);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    std::error_code ec;
    std::filesystem::remove_all(g_dir, ec);
    return 0;
}
