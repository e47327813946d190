// Linux only: has the loader call DllMain when the shared library is loaded
// and unloaded, as Windows does for the DLL.  Built into the shared library
// alone, so that test programs linking the objects do not run it.
#include "../ZKMisc.h"

ZKX_DLL_ENTRY(DllMain)
