// The shared region is one byte format for every process that maps it, so
// its header and index entries are fixed to the byte; the handle record is
// opaque to callers but keeps the order of its fields.  Checked once the
// shared-memory heap is part of the library.
#if __has_include("ZKShMemPriv.h")
#include "ZKShMemFormat.h"
#include "ZKShMemPriv.h"
#include "layout_check.h"

// 4 + 4 + 33 + 49 bytes, then the words from the next multiple of 4.
ZKX_CHECK_SIZE(struct _ZKSHMEM_HEAD, 112);
ZKX_CHECK_FIELD(struct _ZKSHMEM_HEAD, hMapping, 0);
ZKX_CHECK_FIELD(struct _ZKSHMEM_HEAD, pBase, 4);
ZKX_CHECK_FIELD(struct _ZKSHMEM_HEAD, szName, 8);
ZKX_CHECK_FIELD_SIZE(struct _ZKSHMEM_HEAD, szName, 33);
ZKX_CHECK_FIELD(struct _ZKSHMEM_HEAD, szMapName, 41);
ZKX_CHECK_FIELD_SIZE(struct _ZKSHMEM_HEAD, szMapName, 49);
ZKX_CHECK_FIELD(struct _ZKSHMEM_HEAD, dwSize, 92);
ZKX_CHECK_FIELD(struct _ZKSHMEM_HEAD, dwTotalSize, 96);
ZKX_CHECK_FIELD(struct _ZKSHMEM_HEAD, hMutex, 100);
ZKX_CHECK_FIELD(struct _ZKSHMEM_HEAD, dwAccess, 104);
ZKX_CHECK_FIELD(struct _ZKSHMEM_HEAD, dwLastError, 108);

// The undo journal beside the region is shared by every process as well.
ZKX_CHECK_SIZE(struct _ZKSHMEM_UNDO_RECORD, 16);
ZKX_CHECK_SIZE(struct _ZKSHMEM_JOURNAL, 16 + 16 * ZKSHMEM_JOURNAL_RECORDS);
ZKX_CHECK_FIELD(struct _ZKSHMEM_JOURNAL, dwCount, 0);
ZKX_CHECK_FIELD(struct _ZKSHMEM_JOURNAL, dwDamaged, 4);
ZKX_CHECK_FIELD(struct _ZKSHMEM_JOURNAL, aRecord, 16);

ZKX_CHECK_SIZE(struct _ZKSHMEM_REGION, 28);
ZKX_CHECK_FIELD(struct _ZKSHMEM_REGION, wUsedHead, 0);
ZKX_CHECK_FIELD(struct _ZKSHMEM_REGION, wUsedTail, 2);
ZKX_CHECK_FIELD(struct _ZKSHMEM_REGION, wFreeHead, 4);
ZKX_CHECK_FIELD(struct _ZKSHMEM_REGION, wFreeTail, 6);
ZKX_CHECK_FIELD(struct _ZKSHMEM_REGION, wSpareHead, 8);
ZKX_CHECK_FIELD(struct _ZKSHMEM_REGION, wSpareTail, 10);
ZKX_CHECK_FIELD(struct _ZKSHMEM_REGION, dwDataTop, 12);
ZKX_CHECK_FIELD(struct _ZKSHMEM_REGION, dwIndexBottom, 16);
ZKX_CHECK_FIELD(struct _ZKSHMEM_REGION, dwBytesInUse, 20);
ZKX_CHECK_FIELD(struct _ZKSHMEM_REGION, dwBytesFree, 24);

ZKX_CHECK_SIZE(struct _ZKSHMEM_INDEX, 16);
ZKX_CHECK_FIELD(struct _ZKSHMEM_INDEX, dwId, 0);
ZKX_CHECK_FIELD(struct _ZKSHMEM_INDEX, dwOffset, 4);
ZKX_CHECK_FIELD(struct _ZKSHMEM_INDEX, dwSize, 8);
ZKX_CHECK_FIELD(struct _ZKSHMEM_INDEX, wNext, 12);
ZKX_CHECK_FIELD(struct _ZKSHMEM_INDEX, wPrev, 14);
#endif
