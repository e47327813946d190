#include "base/handle_table.h"
#include "kobj_test_util.h"

using namespace zkx::win32;

TEST(HandleTable, HandlesAreDistinctMultiplesOfFourReusableAndNeverForeignValues) {
    HANDLE a = handle_insert(HandleType::Event, 7), b = handle_insert(HandleType::File, 9);
    ASSERT_TRUE(a && b && a != b);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(a) % 4, 0u);
    HandleEntry e;
    ASSERT_TRUE(handle_lookup(b, &e) && e.type == HandleType::File && e.payload == 9u);
    ASSERT_TRUE(handle_remove(a, &e) && e.payload == 7u);
    EXPECT_FALSE(handle_lookup(a, &e) || handle_remove(a, &e));
    EXPECT_TRUE(handle_remove(b, &e));
    for (uintptr_t v : {uintptr_t(0), uintptr_t(1), uintptr_t(6), ~uintptr_t(0), ~uintptr_t(1), uintptr_t(1) << 40})
        EXPECT_FALSE(handle_lookup(reinterpret_cast<HANDLE>(v), &e)) << v;
    SetLastError(0);
    EXPECT_FAILS(CloseHandle(reinterpret_cast<HANDLE>(uintptr_t(0x1234))), ERROR_INVALID_HANDLE);
}

TEST(HandleTable, ConcurrentInsertAndRemoveNeverShareASlotAndLastErrorIsPerThread) {
    std::vector<std::thread> threads;
    std::atomic<int> mismatches{0};
    SetLastError(ERROR_ALREADY_EXISTS);
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([t, &mismatches] {
            EXPECT_EQ(GetLastError(), DWORD(ERROR_SUCCESS));
            SetLastError(ERROR_ACCESS_DENIED);
            for (int i = 0; i < 2000; ++i) {
                uint64_t payload = (uint64_t(t) << 32) | uint64_t(i);
                HANDLE h = handle_insert(HandleType::Semaphore, payload);
                HandleEntry e;
                mismatches += !handle_lookup(h, &e) || e.payload != payload;
                mismatches += !handle_remove(h, &e) || e.payload != payload;
            }
        });
    for (auto& th : threads) th.join();
    EXPECT_EQ(mismatches.load(), 0);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_ALREADY_EXISTS));
}
