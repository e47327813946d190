// Helpers for tests of the heap through its handles, in any test binary.
#ifndef ZKX_TESTS_SHMEM_HANDLE_UTIL_H
#define ZKX_TESTS_SHMEM_HANDLE_UTIL_H

#include "ZKShMemPriv.h"
#include "shmem_test_util.h"
#include "test_util.h"

namespace zkx::test {

inline BYTE* base_of(PZKSHMEM_HEAD h) { return static_cast<BYTE*>(ZKShMemBaseAddress(h)); }
inline Bytes bytes_of(PZKSHMEM_HEAD h) { return Bytes(base_of(h), base_of(h) + h->dwTotalSize); }

// Null when the open fails; retried while another open of the name is in
// progress, since that wait is only 3 ms.
inline PZKSHMEM_HEAD open_shmem(const std::string& name, DWORD size = 1000, DWORD access = ZKSHMEM_READWRITE) {
    PZKSHMEM_HEAD h = nullptr;
    wait_until([&] { return ZKShMemOpen(&h, size, access, name.c_str()) != ERROR_SERVICE_REQUEST_TIMEOUT; });
    return h;
}

inline std::string check(PZKSHMEM_HEAD h) {
    ZKSHMEM_CHECK result{};
    const DWORD r = zkshmem_check_handle(h, 2000, &result);
    return r == 0 ? "" : "check " + std::to_string(r) + ": " + result.szText;
}

// What a process killed inside an operation leaves: a counter changed, its
// old value in force in the journal.
inline void leave_half_done(PZKSHMEM_HEAD h) {
    ZKSHMEM_JOURNAL& journal = *zkshmem_journal(h);
    journal.aRecord[0] = ZKSHMEM_UNDO_RECORD{24, 4, {}};
    std::memcpy(journal.aRecord[0].abOld, h->pBase + 24, 4);
    journal.dwCount = 1;
    h->pBase[24] ^= 0x40;
}

}  // namespace zkx::test

#endif
