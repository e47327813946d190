// Helpers for tests of the installation settings: raw access to the
// settings key, behind the library's back.
#ifndef ZKX_TESTS_SETTINGS_TEST_UTIL_H
#define ZKX_TESTS_SETTINGS_TEST_UTIL_H

#include <string>

#include "ZKUtilPriv.h"

namespace zkx::test {

// Stores a value of any type in the settings key, creating the key.
LONG put_setting(const char* name, DWORD type, const void* data, DWORD bytes);
LONG put_text(const char* name, const std::string& text);  // REG_SZ with terminator
LONG put_number(const char* name, DWORD value);            // REG_DWORD

// Reads a value's raw bytes; the registry's code, 2 when absent.
LONG read_setting(const char* name, DWORD* type, std::string* bytes);

// Empties every settings cache of this process and removes the settings
// key, so a test starts as a freshly loaded library on a clean machine.
void fresh_settings();

}  // namespace zkx::test

#endif
