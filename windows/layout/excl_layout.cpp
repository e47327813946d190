// The exclusion records live in their users' memory: the critical section
// inside log handles and poll records, the multi-reader mutex wherever a
// caller puts it.
#include "ZKExcl.h"
#include "layout_check.h"

ZKX_CHECK_SIZE(ZKEXCL_CRITSEC, 20);
ZKX_CHECK_FIELD(ZKEXCL_CRITSEC, dwFlags, 0);
ZKX_CHECK_FIELD(ZKEXCL_CRITSEC, lLockCount, 4);
ZKX_CHECK_FIELD(ZKEXCL_CRITSEC, dwRecursion, 8);
ZKX_CHECK_FIELD(ZKEXCL_CRITSEC, dwOwnerThreadId, 12);
ZKX_CHECK_FIELD(ZKEXCL_CRITSEC, hEvent, 16);

ZKX_CHECK_SIZE(ZKEXCL_MRMUTEX, 16);
ZKX_CHECK_FIELD(ZKEXCL_MRMUTEX, dwFlags, 0);
ZKX_CHECK_FIELD(ZKEXCL_MRMUTEX, hNoWriterMutex, 4);
ZKX_CHECK_FIELD(ZKEXCL_MRMUTEX, hNoReaderEvent, 8);
ZKX_CHECK_FIELD(ZKEXCL_MRMUTEX, hReaderNumSem, 12);
