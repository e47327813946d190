// The tests' workload and Harness (tests/ZKXMisc/shmem_test_util.h) driven by
// the input: two bytes of payload size, then each of the workload's choices
// from as many bytes as its range needs.
#include <cstdio>
#include <cstdlib>

#include "shmem_test_util.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) return 0;
    // The regions here are small: without this the twin would walk too.
    g_zkshmem_lookup_min_entries = 0;
    zkx::test::Harness harness(1 + (data[0] | data[1] << 8) % 4096);
    // Kills at every moment would cost most of the time; a stride that is
    // prime to the moments of an operation still reaches each of them.
    harness.kill_stride = 7;
    size_t at = 2;
    zkx::test::Workload w{1, int(size), 0, true, [&] { return harness.verdict(); }};
    w.more = [&] { return at < size; };
    w.pick = [&](DWORD n) {
        uint64_t v = 0;
        for (uint64_t range = 1; range < n && at < size; range <<= 8) v = v << 8 | data[at++];
        return DWORD(v % n);
    };
    const std::string fault = run_workload(harness, w);
    if (!fault.empty()) {
        std::fprintf(stderr, "%s\n", fault.c_str());
        std::abort();
    }
    return 0;
}
