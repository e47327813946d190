#include "zkxwin32/errors.h"

namespace {
// initial-exec: one TLS read instead of a call into the dynamic linker.
thread_local DWORD t_last_error __attribute__((tls_model("initial-exec"))) = 0;
}

extern "C" DWORD WINAPI GetLastError(void) { return t_last_error; }
extern "C" void WINAPI SetLastError(DWORD code) { t_last_error = code; }
