// The version stamp is the version file's content byte for byte.  Checked
// once the stamp file operations are part of the library (they bring
// ZKVerPriv.h; ZKVer.h itself is older).
#if __has_include("ZKVerPriv.h")
#include "ZKVer.h"
#include "layout_check.h"

ZKX_CHECK_SIZE(struct _ZKVER_STAMP, 8);
ZKX_CHECK_FIELD(struct _ZKVER_STAMP, cNumber1, 0);
ZKX_CHECK_FIELD(struct _ZKVER_STAMP, cNumber2, 1);
ZKX_CHECK_FIELD(struct _ZKVER_STAMP, cNumber3, 2);
ZKX_CHECK_FIELD(struct _ZKVER_STAMP, cNumber4, 3);
ZKX_CHECK_FIELD(struct _ZKVER_STAMP, cSuffix, 4);
#endif
