// The tick count, the calendar clock and Sleep.
#include <pthread.h>
#include <signal.h>
#include <time.h>

#include "test_util.h"
#include "zkxwin32.h"

using namespace zkx::test;

namespace {

uint64_t monotonic_ms() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return uint64_t(ts.tv_sec) * 1000 + uint64_t(ts.tv_nsec) / 1000000;
}

// The day of the week too, where 0 is Sunday in both.
bool same_second(const SYSTEMTIME& st, const tm& t) {
    return st.wYear == t.tm_year + 1900 && st.wMonth == t.tm_mon + 1 && st.wDay == t.tm_mday &&
           st.wHour == t.tm_hour && st.wMinute == t.tm_min && st.wSecond == t.tm_sec && st.wDayOfWeek == t.tm_wday;
}

}  // namespace

// args[0]: "wrap" to watch the count wrap, "clock" when the count must follow
// the unmoved monotonic clock, or the exact value the first call must return.
ZKX_CHILD(tick_child) {
    const std::string& want = args.at(0);
    uint64_t start = monotonic_ms();
    DWORD first = GetTickCount();
    if (want == "clock") return DWORD(monotonic_ms()) - first <= 1000 ? 0 : 1;
    if (want != "wrap") return first == std::stoul(want, nullptr, 0) ? 0 : 2;
    Sleep(200);  // twice the time to the wrap
    // Elapsed time taken across the wrap still agrees with the clock.
    DWORD elapsed = GetTickCount() - first;
    return first == 0xFFFFFFA0u && elapsed >= 199 && elapsed <= monotonic_ms() - start + 1 ? 0 : 3;
}

TEST(TickCount, StartsWhereToldAndWraps) {
    // ZKX_TICK_START, what the child expects; malformed values are ignored.
    const char* const cases[][2] = {{"0xFFFFFFA0", "wrap"}, {"100", "100"}, {"0xffffffff", "0xffffffff"},
                                    {"12abc", "clock"}, {"0x100000000", "clock"}, {"-5", "clock"}, {"", "clock"}};
    for (const auto& k : cases) {
        setenv("ZKX_TICK_START", k[0], 1);
        pid_t pid = spawn_child("tick_child", {k[1]});
        unsetenv("ZKX_TICK_START");
        EXPECT_EQ(wait_child(pid), 0) << k[0];
    }
}

TEST(SystemTime, MatchesTheCalendarClockToTheSecond) {
    // The same clock as the layer's: time() reads a coarser one that can
    // still show the last second when the layer already shows the next.
    timespec before{}, after{};
    clock_gettime(CLOCK_REALTIME, &before);
    SYSTEMTIME local, utc;
    GetLocalTime(&local);
    GetSystemTime(&utc);
    clock_gettime(CLOCK_REALTIME, &after);
    bool local_ok = false, utc_ok = false;
    for (time_t s = before.tv_sec; s <= after.tv_sec; ++s) {
        tm t;
        local_ok |= same_second(local, *localtime_r(&s, &t));
        utc_ok |= same_second(utc, *gmtime_r(&s, &t));
    }
    EXPECT_TRUE(local_ok && utc_ok) << "local " << local_ok << ", utc " << utc_ok;
    EXPECT_LT(std::max(local.wMilliseconds, utc.wMilliseconds), 1000);
}

TEST(Sleep, LastsItsTimeDespiteSignals) {
    struct sigaction sa {};
    sa.sa_handler = [](int) {};  // no SA_RESTART: nanosleep is interrupted
    sigaction(SIGUSR1, &sa, nullptr);
    pthread_t sleeper = pthread_self();
    std::atomic<bool> done{false};
    std::thread poker([&] {
        for (; !done; std::this_thread::sleep_for(std::chrono::milliseconds(5))) pthread_kill(sleeper, SIGUSR1);
    });
    auto t0 = std::chrono::steady_clock::now();
    Sleep(80);
    long slept = elapsed_ms(t0);
    done = true;
    poker.join();
    EXPECT_GE(slept, 80);
}
