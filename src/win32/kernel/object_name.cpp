#include "kernel/object_name.h"

#include <cstring>

#include "text/codepage.h"
#include "zkxwin32/errors.h"

namespace zkx::win32::kobj {

namespace {

bool strip(const char** name, size_t* len, const char* prefix) {
    const size_t n = std::strlen(prefix);
    if (*len < n || std::memcmp(*name, prefix, n) != 0) return false;
    *name += n;
    *len -= n;
    return true;
}

}  // namespace

DWORD object_name_key(const char* name, size_t len, const char** key, size_t* key_len) {
    strip(&name, &len, "Global\\") || strip(&name, &len, "Local\\");
    if (len == 0) return ERROR_INVALID_NAME;
    // A trail byte of a double-byte character may equal '\\' and is no
    // separator.
    for (size_t i = 0; i < len; ++i) {
        const unsigned char c = static_cast<unsigned char>(name[i]);
        if (c == '\\') return ERROR_PATH_NOT_FOUND;
        if (i + 1 < len && is_lead_byte(c)) ++i;
    }
    *key = name;
    *key_len = len;
    return 0;
}

}  // namespace zkx::win32::kobj
