// A tour of the library's services on embedded defaults: it needs no
// registry configuration and leaves nothing behind.
#include <cstdio>
#include <cstring>

#include "CLib.h"

int main() {
    std::printf("ZKXMisc demo\n");
    LPSTR copy = STRDUP("hello from STRDUP");
    std::printf("  STRDUP: %s\n", copy ? copy : "(out of memory)");
    LocalFree(copy);
    return 0;
}
