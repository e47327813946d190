// The environment record is allocated by callers and filled or read by
// the library: 140 bytes, fixed by its information level 1.  Checked once
// the environment record is part of the library.
#if __has_include("ZKEnv.h")
#include "ZKEnv.h"
#include "layout_check.h"

ZKX_CHECK_SIZE(struct _ZKMISC_ENVIRONMENT, 140);
ZKX_CHECK_FIELD(struct _ZKMISC_ENVIRONMENT, dwOemTypeResult, 0);
ZKX_CHECK_FIELD(struct _ZKMISC_ENVIRONMENT, dwOemType, 4);
ZKX_CHECK_FIELD(struct _ZKMISC_ENVIRONMENT, dwProductNameResult, 8);
ZKX_CHECK_FIELD(struct _ZKMISC_ENVIRONMENT, szProductName, 12);
ZKX_CHECK_FIELD_SIZE(struct _ZKMISC_ENVIRONMENT, szProductName, 128);
#endif
