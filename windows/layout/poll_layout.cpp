// The poll records: definitions and create parameters are built by callers,
// and the thread starter reaches into a worker record through the pointers
// it is given, so every offset is part of the interface.  Checked once the
// poll family is part of the library.
#if __has_include("ZKPollPriv.h")
#include "ZKPoll.h"
#include "ZKPollPriv.h"
#include "layout_check.h"

ZKX_CHECK_SIZE(struct _ZKPOLL_THDATA, 44);
ZKX_CHECK_FIELD(struct _ZKPOLL_THDATA, pfnCallback, 0);
ZKX_CHECK_FIELD(struct _ZKPOLL_THDATA, dwInterval, 4);
ZKX_CHECK_FIELD(struct _ZKPOLL_THDATA, dwId, 8);
ZKX_CHECK_FIELD(struct _ZKPOLL_THDATA, adwUser, 12);
ZKX_CHECK_FIELD_SIZE(struct _ZKPOLL_THDATA, adwUser, 32);

ZKX_CHECK_SIZE(struct _ZKPOLL_MSG, 24);
ZKX_CHECK_FIELD(struct _ZKPOLL_MSG, dwCode, 0);
ZKX_CHECK_FIELD(struct _ZKPOLL_MSG, dwSeq, 4);
ZKX_CHECK_FIELD(struct _ZKPOLL_MSG, dwData1, 8);
ZKX_CHECK_FIELD(struct _ZKPOLL_MSG, dwData2, 12);

ZKX_CHECK_SIZE(struct _ZKPOLL_PARAM, 12);
ZKX_CHECK_FIELD(struct _ZKPOLL_PARAM, dwThreads, 0);
ZKX_CHECK_FIELD(struct _ZKPOLL_PARAM, pThData, 4);
ZKX_CHECK_FIELD(struct _ZKPOLL_PARAM, pfnStartThread, 8);

ZKX_CHECK_SIZE(struct _ZKPOLL_THREAD, 176);
ZKX_CHECK_FIELD(struct _ZKPOLL_THREAD, dwMagic, 0);
ZKX_CHECK_FIELD(struct _ZKPOLL_THREAD, hHeap, 4);
ZKX_CHECK_FIELD(struct _ZKPOLL_THREAD, hThread, 8);
ZKX_CHECK_FIELD(struct _ZKPOLL_THREAD, hEvent, 12);
ZKX_CHECK_FIELD(struct _ZKPOLL_THREAD, pOwnerLink, 16);
ZKX_CHECK_FIELD(struct _ZKPOLL_THREAD, csLock, 20);
ZKX_CHECK_FIELD(struct _ZKPOLL_THREAD, msgLast, 40);
ZKX_CHECK_FIELD(struct _ZKPOLL_THREAD, msgIn, 64);
ZKX_CHECK_FIELD(struct _ZKPOLL_THREAD, msgOut, 88);
ZKX_CHECK_FIELD(struct _ZKPOLL_THREAD, thData, 112);
ZKX_CHECK_FIELD(struct _ZKPOLL_THREAD, dwStatus, 156);
ZKX_CHECK_FIELD(struct _ZKPOLL_THREAD, dwState, 160);
ZKX_CHECK_FIELD(struct _ZKPOLL_THREAD, dwUserWork, 164);
ZKX_CHECK_FIELD(struct _ZKPOLL_THREAD, pNext, 168);
ZKX_CHECK_FIELD(struct _ZKPOLL_THREAD, pPrev, 172);

ZKX_CHECK_SIZE(struct _ZKPOLL_HANDLE, 56);
ZKX_CHECK_FIELD(struct _ZKPOLL_HANDLE, dwMagic, 0);
ZKX_CHECK_FIELD(struct _ZKPOLL_HANDLE, dwSeq, 4);
ZKX_CHECK_FIELD(struct _ZKPOLL_HANDLE, pfnStartThread, 8);
ZKX_CHECK_FIELD(struct _ZKPOLL_HANDLE, msgLast, 12);
ZKX_CHECK_FIELD(struct _ZKPOLL_HANDLE, hHeap, 36);
ZKX_CHECK_FIELD(struct _ZKPOLL_HANDLE, dwThreads, 40);
ZKX_CHECK_FIELD(struct _ZKPOLL_HANDLE, dwOwnerLink, 44);
ZKX_CHECK_FIELD(struct _ZKPOLL_HANDLE, pFirst, 48);
ZKX_CHECK_FIELD(struct _ZKPOLL_HANDLE, pLast, 52);
#endif
