// Threads whose first gets of the same setting run at once.  Callers need
// not serialise gets with each other, so every thread must see the whole
// value and the caches must not race (this test earns its keep under
// ThreadSanitizer, which reports any unguarded access).
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "ZKEnv.h"
#include "settings_test_util.h"

using namespace zkx::test;

namespace {

// Everything each getter yields, in one line.
std::string all_settings() {
    std::string out;
    char buf[ZKMISC_DATADIR_SIZE];
    DWORD length = 0;
    using Getter = DWORD(ZKAPI*)(DWORD, DWORD, LPSTR, LPDWORD);
    for (Getter dir : {ZKMiscGetZKDir, ZKMiscGetDataDir, ZKMiscGetDllDir}) {
        DWORD rc = dir(0, sizeof buf, buf, &length);
        out += rc ? "rc" + std::to_string(rc) : std::string(buf, length);
        out += '|';
    }
    WORD id = 0;
    DWORD rc = ZKMiscGetLangCode(&id, sizeof buf, buf, &length);
    out += rc ? "rc" + std::to_string(rc) : std::string(buf, length) + "/" + std::to_string(id);
    using CodeGetter = DWORD(ZKAPI*)(LPVOID, DWORD, LPSTR, LPDWORD);
    for (CodeGetter code : {ZKMiscGetCountryCode, ZKMiscGetLocalizeCode}) {
        rc = code(nullptr, sizeof buf, buf, &length);
        out += '|';
        out += rc ? "rc" + std::to_string(rc) : std::string(buf, length);
    }
    DWORD type = 0;
    ZKMiscGetSystemType(0, 0, 0, &type);
    ZKMISC_ENVIRONMENT env;
    DWORD size = sizeof env;
    rc = ZKMiscGetEnvironment(ZKMISC_ENV_LEVEL, &env, &size);
    out += "|" + std::to_string(type) + "|" + std::to_string(rc) + "/" + std::to_string(env.dwOemType) + "/" +
           std::string(env.szProductName, strnlen(env.szProductName, sizeof env.szProductName));
    return out;
}

TEST(SettingsRace, ConcurrentFirstGetsAgree) {
    fresh_settings();
    put_text("ZKDir", "D:\\Prod\\");
    put_text("ZKLangCode", "zh");
    put_text("ZKCountryCode", "TW");
    put_number("ZKSystemType", 6);
    put_number("ZKOemType", 1);
    put_text("ZKProductName", "Racer");
    const std::string expected = "D:\\Prod|D:\\Prod\\ZKWData|D:\\Prod|zh/0|TW|TW|6|0/1/Racer";
    constexpr int kThreads = 4, kRounds = 20;
    for (int round = 0; round < kRounds; ++round) {
        zkutil_reset_dir_caches();
        zkutil_reset_code_caches();
        zkutil_reset_environment_cache();
        std::atomic<int> ready{0};
        std::vector<std::string> seen(kThreads);
        std::vector<std::thread> threads;
        for (int i = 0; i < kThreads; ++i) {
            threads.emplace_back([&, i] {
                // Start together, so that first gets overlap.
                ++ready;
                while (ready.load() < kThreads) std::this_thread::yield();
                seen[i] = all_settings();
            });
        }
        for (auto& t : threads) t.join();
        for (int i = 0; i < kThreads; ++i) ASSERT_EQ(seen[i], expected) << "round " << round << " thread " << i;
    }
    EXPECT_EQ(all_settings(), expected) << "and the caches hold the values";
}

}  // namespace
