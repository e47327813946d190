// Windows builds of the tests: the POSIX environment calls that the test
// helpers use, on the C runtime's _putenv_s, which also sets the process's
// environment that CreateProcessA hands to a child.  Included in every test
// source of the Windows build (-include).
#ifndef ZKX_TESTS_WINDOWS_POSIX_ENV_H
#define ZKX_TESTS_WINDOWS_POSIX_ENV_H

#include <stdlib.h>

inline int setenv(const char* name, const char* value, int overwrite) {
    if (!overwrite && getenv(name)) return 0;
    return _putenv_s(name, value) == 0 ? 0 : -1;
}

inline int unsetenv(const char* name) { return _putenv_s(name, "") == 0 ? 0 : -1; }

#endif
