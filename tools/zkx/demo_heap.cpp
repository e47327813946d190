#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "ZKShMem.h"
#include "demo_steps.h"

namespace zkx::tool {
namespace {

const char kRegion[] = "ZKXDemoHeap";
constexpr DWORD kRegionSize = 4096;

// Runs zkx again with the given words and waits for it.
int run_zkx(std::initializer_list<const char*> words) {
    std::fflush(stdout);
    pid_t pid = fork();
    if (pid == 0) {
        std::vector<char*> argv{const_cast<char*>("zkx")};
        for (const char* w : words) argv.push_back(const_cast<char*>(w));
        argv.push_back(nullptr);
        execv("/proc/self/exe", argv.data());
        _exit(127);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 1;
}

LPVOID put_text(PZKSHMEM_HEAD h, DWORD id, const std::string& text) {
    LPVOID p = ZKShMemAlloc(h, DWORD(text.size() + 1), id);
    if (p) std::memcpy(p, text.c_str(), text.size() + 1);
    std::printf("  pid %d: block id %u %s \"%s\"\n", int(getpid()), unsigned(id), p ? "holds" : "NOT allocated:",
                text.c_str());
    return p;
}

}  // namespace

int demo_heap_peer() {
    PZKSHMEM_HEAD h = nullptr;
    DWORD r = ZKShMemOpen(&h, kRegionSize, ZKSHMEM_READWRITE, kRegion);
    if (r != 0) {
        std::printf("  the second process cannot open the region (%u)\n", unsigned(r));
        return int(r);
    }
    const char* greeting = static_cast<const char*>(ZKShMemFindMemory(h, 1));
    std::printf("  pid %d: found block id 1: \"%s\"\n", int(getpid()), greeting ? greeting : "(missing)");
    LPVOID scratch = ZKShMemFindMemory(h, 3);
    BOOL freed = scratch && ZKShMemFree(h, scratch);
    std::printf("  pid %d: freed block id 3: %s\n", int(getpid()), freed ? "yes" : "no");
    LPVOID answer = put_text(h, 4, "answer from pid " + std::to_string(getpid()));
    ZKShMemClose(h);
    return greeting && freed && answer ? 0 : 1;
}

int demo_shared_heap(const std::string&) {
    std::printf("\n== Shared-memory heap: region %s, %u bytes, two processes\n", kRegion, unsigned(kRegionSize));
    PZKSHMEM_HEAD h = nullptr;
    DWORD r = ZKShMemOpen(&h, kRegionSize, ZKSHMEM_READWRITE, kRegion);
    if (r != 0) {
        std::printf("  cannot open the region (%u)\n", unsigned(r));
        return int(r);
    }
    bool ok = put_text(h, 1, "greeting from pid " + std::to_string(getpid())) &&
              put_text(h, 2, "configuration block") && put_text(h, 3, "scratch, freed by the other process");
    if (ok) ok = run_zkx({"demo", "--heap-peer"}) == 0;
    const char* answer = static_cast<const char*>(ZKShMemFindMemory(h, 4));
    std::printf("  pid %d: found block id 4: \"%s\"\n", int(getpid()), answer ? answer : "(missing)");
    ok = ok && answer;
    std::printf("\n== The heap's contents (zkx shmem dump %s %u)\n", kRegion, unsigned(kRegionSize));
    std::string size = std::to_string(kRegionSize);
    if (ok) ok = run_zkx({"shmem", "dump", kRegion, size.c_str()}) == 0;
    if (ok) ok = run_zkx({"shmem", "check", kRegion, size.c_str()}) == 0;
    ZKShMemClose(h);
    return ok ? 0 : 1;
}

}  // namespace zkx::tool
