#include "registry/names.h"

#include <cstdint>
#include <cstring>

#include "zkxwin32/errors.h"
#include "zkxwin32/registry.h"

namespace zkx::win32::reg {
namespace {

// Linux limits one path component to 255 bytes.
constexpr size_t kMaxDirName = 255;
constexpr size_t kHashDigits = 16;

uint64_t fnv1a64(std::string_view s) {
    uint64_t h = 0xcbf29ce484222325ull;
    for (unsigned char c : s) {
        h ^= c;
        h *= 0x100000001b3ull;
    }
    return h;
}

bool keeps_byte(unsigned char c, bool first) {
    if (c < 0x20 || c > 0x7E) return false;
    if (c == '/' || c == '%' || c == '~') return false;
    if (c == '.' && first) return false;  // no ".", "..", nor a dot file of our own
    return true;
}

const char kHex[] = "0123456789ABCDEF";

}  // namespace

std::string fold(std::string_view name) {
    std::string out(name);
    for (char& c : out) c = fold_char(c);
    return out;
}

bool names_equal(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        if (fold_char(a[i]) != fold_char(b[i])) return false;
    }
    return true;
}

LONG split_key_path(const char* path, std::vector<std::string>* names) {
    names->clear();
    if (!path || !*path) return ERROR_SUCCESS;
    if (*path == '\\') return ERROR_BAD_PATHNAME;
    const char* p = path;
    while (*p) {
        const char* end = std::strchr(p, '\\');
        size_t len = end ? size_t(end - p) : std::strlen(p);
        if (len > 0) {
            if (len > kMaxKeyNameChars) return ERROR_INVALID_PARAMETER;
            if (names->size() == kMaxKeyDepth) return ERROR_INVALID_PARAMETER;
            names->emplace_back(p, len);
        }
        p += len;
        if (*p == '\\') ++p;
    }
    return ERROR_SUCCESS;
}

std::string encode_key_name(std::string_view name) {
    std::string out;
    out.reserve(name.size());
    for (size_t i = 0; i < name.size(); ++i) {
        unsigned char c = static_cast<unsigned char>(fold_char(name[i]));
        if (keeps_byte(c, i == 0)) {
            out += char(c);
        } else {
            out += '%';
            out += kHex[c >> 4];
            out += kHex[c & 15];
        }
    }
    if (out.size() <= kMaxDirName) return out;
    out.resize(kMaxDirName - 1 - kHashDigits);
    out += '~';
    uint64_t h = fnv1a64(fold(name));
    for (int shift = 60; shift >= 0; shift -= 4) out += kHex[(h >> shift) & 15];
    return out;
}

bool is_hashed_dir_name(std::string_view dir_name) {
    return dir_name.size() == kMaxDirName && dir_name[kMaxDirName - 1 - kHashDigits] == '~';
}

}  // namespace zkx::win32::reg
