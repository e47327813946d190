// Sleep is a plain nanosleep on purpose: a signal or a pthread_cancel aimed
// at the thread (TerminateThread) interrupts it like any other blocking call.
#include <errno.h>
#include <sched.h>
#include <time.h>

#include "zkxwin32/time.h"

extern "C" void WINAPI Sleep(DWORD dwMilliseconds) {
    if (dwMilliseconds == 0) {
        sched_yield();
        return;
    }
    if (dwMilliseconds == INFINITE) {
        // Static, so that no frame of a thread cancelled here holds stack
        // memory that AddressSanitizer would still have poisoned.
        static const timespec kDay{86400, 0};
        for (;;) nanosleep(&kDay, nullptr);
    }
    timespec left{static_cast<time_t>(dwMilliseconds / 1000),
                  static_cast<long>(dwMilliseconds % 1000) * 1000000L};
    // A handled signal ends nanosleep early; the caller asked for the full time.
    while (nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
}
