// The trace lines of the shared-memory heap.  Each line is formatted here
// and handed to the log as finished text, so a '%' in a region name is
// printed, not read as a conversion.
#include "ZKDLogPriv.h"
#include "ZKMiscPriv.h"
#include "ZKShMemPriv.h"

namespace {

const char kSource[] = "ZKShMemLog";
const DWORD kFlags = ZKMISC_TRACE(ZKDLOG_CHK);
const int kLineSize = 512;
// Room for the longest open line with a name this long; a longer (refused)
// name is cut for the trace.
const int kNameRoom = 400;

// The log's own cheap filter, applied before formatting: heap calls are hot
// and their traces are usually off.
PZKDLOG_HANDLE log_taking_traces() {
    PZKDLOG_HANDLE log = g_hZKShMemLog;
    if (!log) return nullptr;
    for (const ZKDLOG_OUTPUT& out : log->aOutput)
        if (ZKDLOG_CHK >= __atomic_load_n(&out.wLevel, __ATOMIC_RELAXED)) return log;
    return nullptr;
}

// Handles and addresses print as 32-bit hex, as on the original platform.
DWORD hex(LPCVOID p) { return static_cast<DWORD>(reinterpret_cast<UINT_PTR>(p)); }

}  // namespace

void zkshmem_trace_open(PZKSHMEM_HEAD h, DWORD size, DWORD access, LPCSTR name, DWORD result) {
    PZKDLOG_HANDLE log = log_taking_traces();
    if (!log) return;
    char shown[kNameRoom + 1];
    lstrcpynA(shown, name ? name : "(null)", sizeof shown);
    char line[kLineSize];
    wsprintfA(line,
              "[ZKShMemOpen] hdl = 0x%x, size = %ld, access = %s, name = %s, return value = %d\n",
              hex(h), LONG(size), access != ZKSHMEM_READONLY ? "ReadWrite" : "ReadOnly", shown,
              int(result));
    ZKDLogOut(log, kSource, __LINE__, kFlags, "%s", line);
}

void zkshmem_trace_close(PZKSHMEM_HEAD h, DWORD result) {
    PZKDLOG_HANDLE log = log_taking_traces();
    if (!log) return;
    char line[kLineSize];
    wsprintfA(line, "[ZKShMemClose] hdl = 0x%x, return value = %d\n", hex(h), int(result));
    ZKDLogOut(log, kSource, __LINE__, kFlags, "%s", line);
}

void zkshmem_trace_alloc(PZKSHMEM_HEAD h, LPCVOID address, DWORD size, DWORD id, DWORD result) {
    PZKDLOG_HANDLE log = log_taking_traces();
    if (!log) return;
    char line[kLineSize];
    wsprintfA(line,
              "[ZKShMemAlloc] hdl = 0x%x, address = 0x%x, size = %ld, id = %ld, return value = %d\n",
              hex(h), hex(address), LONG(size), LONG(id), int(result));
    ZKDLogOut(log, kSource, __LINE__, kFlags, "%s", line);
}

void zkshmem_trace_free(PZKSHMEM_HEAD h, LPCVOID address, DWORD result) {
    PZKDLOG_HANDLE log = log_taking_traces();
    if (!log) return;
    char line[kLineSize];
    wsprintfA(line, "[ZKShMemFree] hdl = 0x%x, address = 0x%x, return value = %d\n", hex(h),
              hex(address), int(result));
    ZKDLogOut(log, kSource, __LINE__, kFlags, "%s", line);
}

void zkshmem_trace_find(PZKSHMEM_HEAD h, LPCVOID address, DWORD id, DWORD result) {
    PZKDLOG_HANDLE log = log_taking_traces();
    if (!log) return;
    char line[kLineSize];
    wsprintfA(line, "[ZKShMemFindMemory] hdl = 0x%x, address = 0x%x, id = %ld, return value = %d\n",
              hex(h), hex(address), LONG(id), int(result));
    ZKDLogOut(log, kSource, __LINE__, kFlags, "%s", line);
}

void zkshmem_trace_change_id(PZKSHMEM_HEAD h, LPCVOID address, DWORD id, DWORD result) {
    PZKDLOG_HANDLE log = log_taking_traces();
    if (!log) return;
    char line[kLineSize];
    wsprintfA(line,
              "[ZKShMemChangeID] hdl = 0x%x, address = 0x%x, new id = %ld, return value = %d\n",
              hex(h), hex(address), LONG(id), int(result));
    ZKDLogOut(log, kSource, __LINE__, kFlags, "%s", line);
}
