// Windows builds of the tests: the Win32 API is the system's own.
#ifndef ZKX_TESTS_WINDOWS_ZKXWIN32_H
#define ZKX_TESTS_WINDOWS_ZKXWIN32_H

#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#endif
