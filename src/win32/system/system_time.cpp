// GetSystemTime (UTC) and GetLocalTime (the TZ of the process), both to the
// millisecond.
#include <time.h>

#include "zkxwin32/errors.h"
#include "zkxwin32/time.h"

namespace {

void fill_system_time(const tm& t, long nsec, LPSYSTEMTIME st) {
    st->wYear = static_cast<WORD>(t.tm_year + 1900);
    st->wMonth = static_cast<WORD>(t.tm_mon + 1);
    st->wDayOfWeek = static_cast<WORD>(t.tm_wday);  // both count from Sunday = 0
    st->wDay = static_cast<WORD>(t.tm_mday);
    st->wHour = static_cast<WORD>(t.tm_hour);
    st->wMinute = static_cast<WORD>(t.tm_min);
    st->wSecond = static_cast<WORD>(t.tm_sec < 59 ? t.tm_sec : 59);  // Win32 has no leap second
    st->wMilliseconds = static_cast<WORD>(nsec / 1000000);
}

template <typename Convert>
void get_time(LPSYSTEMTIME st, Convert convert) {
    if (!st) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return;
    }
    timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    tm t{};
    convert(&ts.tv_sec, &t);
    fill_system_time(t, ts.tv_nsec, st);
}

}  // namespace

extern "C" void WINAPI GetSystemTime(LPSYSTEMTIME lpSystemTime) {
    get_time(lpSystemTime, [](const time_t* s, tm* t) { gmtime_r(s, t); });
}

extern "C" void WINAPI GetLocalTime(LPSYSTEMTIME lpSystemTime) {
    get_time(lpSystemTime, [](const time_t* s, tm* t) { localtime_r(s, t); });
}
