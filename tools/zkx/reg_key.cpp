#include "reg_key.h"

#include <cstdio>
#include <cstring>

#include "cli.h"

namespace zkx::tool {
namespace {

struct RootName {
    const char* long_name;
    const char* short_name;
    HKEY root;
};

const RootName kRoots[] = {
    {"HKEY_LOCAL_MACHINE", "HKLM", HKEY_LOCAL_MACHINE},
    {"HKEY_CURRENT_USER", "HKCU", HKEY_CURRENT_USER},
    {"HKEY_CLASSES_ROOT", "HKCR", HKEY_CLASSES_ROOT},
    {"HKEY_USERS", "HKU", HKEY_USERS},
};

struct TypeName {
    DWORD type;
    const char* name;
};

const TypeName kTypes[] = {
    {REG_NONE, "REG_NONE"},           {REG_SZ, "REG_SZ"},
    {REG_EXPAND_SZ, "REG_EXPAND_SZ"}, {REG_BINARY, "REG_BINARY"},
    {REG_DWORD, "REG_DWORD"},         {REG_MULTI_SZ, "REG_MULTI_SZ"},
    {REG_QWORD, "REG_QWORD"},
};

// Key names are at most 255 characters, as on Windows.
constexpr size_t kMaxKeyName = 255;

std::string hex_bytes(const std::vector<uint8_t>& data) {
    std::string out;
    char buf[3];
    for (uint8_t b : data) {
        std::snprintf(buf, sizeof buf, "%02X", b);
        out += buf;
    }
    return out;
}

}  // namespace

bool parse_key_path(const std::string& text, KeyPath* out, std::string* why) {
    if (text.rfind("\\\\", 0) == 0) {
        *why = "remote registries are not supported: '" + text + "'";
        return false;
    }
    size_t cut = text.find('\\');
    std::string root = text.substr(0, cut);
    const RootName* found = nullptr;
    for (const RootName& r : kRoots)
        if (equals_ignoring_case(root, r.long_name) || equals_ignoring_case(root, r.short_name))
            found = &r;
    if (!found) {
        *why = "unknown root '" + root + "' (use HKLM, HKCU, HKCR or HKU)";
        return false;
    }
    std::string sub = cut == std::string::npos ? "" : text.substr(cut + 1);
    while (!sub.empty() && sub.back() == '\\') sub.pop_back();
    for (size_t start = 0; !sub.empty();) {
        size_t end = sub.find('\\', start);
        size_t len = (end == std::string::npos ? sub.size() : end) - start;
        if (len == 0) {
            *why = "empty key name in '" + text + "'";
            return false;
        }
        if (len > kMaxKeyName) {
            *why = "key name longer than 255 characters in '" + text + "'";
            return false;
        }
        if (end == std::string::npos) break;
        start = end + 1;
    }
    out->root = found->root;
    out->root_name = found->long_name;
    out->sub = sub;
    return true;
}

OpenKey::~OpenKey() {
    if (key_) RegCloseKey(key_);
}

LSTATUS OpenKey::open(HKEY root, const std::string& sub, REGSAM access) {
    return RegOpenKeyExA(root, sub.empty() ? nullptr : sub.c_str(), 0, access, &key_);
}

LSTATUS OpenKey::create(HKEY root, const std::string& sub) {
    return RegCreateKeyExA(root, sub.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key_,
                           nullptr);
}

LSTATUS read_values(HKEY key, std::vector<RegValue>* out) {
    std::vector<char> name(16384);
    std::vector<uint8_t> data(4096);
    for (DWORD i = 0;; ++i) {
        DWORD name_len = DWORD(name.size());
        DWORD data_len = DWORD(data.size());
        DWORD type = 0;
        LSTATUS r = RegEnumValueA(key, i, name.data(), &name_len, nullptr, &type, data.data(),
                                  &data_len);
        if (r == ERROR_MORE_DATA && data_len > data.size()) {
            data.resize(data_len);
            --i;
            continue;
        }
        if (r == ERROR_NO_MORE_ITEMS) return 0;
        if (r != 0) return r;
        out->push_back({std::string(name.data(), name_len), type,
                        std::vector<uint8_t>(data.begin(), data.begin() + data_len)});
    }
}

LSTATUS read_subkeys(HKEY key, std::vector<std::string>* out, std::vector<Unreadable>* unreadable) {
    char name[kMaxKeyName + 1];
    for (DWORD i = 0;; ++i) {
        DWORD len = sizeof name;
        LSTATUS r = RegEnumKeyExA(key, i, name, &len, nullptr, nullptr, nullptr, nullptr);
        if (r == ERROR_NO_MORE_ITEMS) return 0;
        // A damaged subkey fails its own index only; the others still read.
        if (r == ERROR_REGISTRY_CORRUPT && unreadable) {
            unreadable->push_back({i, r});
            continue;
        }
        if (r != 0) return r;
        out->emplace_back(name, len);
    }
}

LSTATUS delete_tree(HKEY root, const std::string& sub) {
    std::vector<std::string> children;
    {
        OpenKey key;
        LSTATUS r = key.open(root, sub, KEY_READ);
        if (r != 0) return r;
        r = read_subkeys(key.get(), &children);
        if (r != 0) return r;
    }
    for (const std::string& child : children) {
        LSTATUS r = delete_tree(root, sub + "\\" + child);
        if (r != 0 && r != ERROR_FILE_NOT_FOUND) return r;
    }
    return RegDeleteKeyA(root, sub.c_str());
}

std::string type_name(DWORD type) {
    for (const TypeName& t : kTypes)
        if (t.type == type) return t.name;
    char buf[32];
    std::snprintf(buf, sizeof buf, "REG_0x%X", unsigned(type));
    return buf;
}

bool type_from_name(const std::string& name, DWORD* type) {
    for (const TypeName& t : kTypes)
        if (equals_ignoring_case(name, t.name)) {
            *type = t.type;
            return true;
        }
    return false;
}

std::string display_data(const RegValue& v) {
    const std::vector<uint8_t>& d = v.data;
    switch (v.type) {
        case REG_SZ:
        case REG_EXPAND_SZ: {
            std::string s(d.begin(), d.end());
            return s.substr(0, s.find('\0'));
        }
        case REG_MULTI_SZ: {
            // Strings joined with "\0", as reg shows them.
            std::string s(d.begin(), d.end()), out;
            size_t pos = 0;
            while (pos < s.size() && s[pos] != '\0') {
                size_t end = s.find('\0', pos);
                if (end == std::string::npos) end = s.size();
                if (!out.empty()) out += "\\0";
                out += s.substr(pos, end - pos);
                pos = end + 1;
            }
            return out;
        }
        case REG_DWORD:
            if (d.size() == 4) {
                uint32_t n;
                std::memcpy(&n, d.data(), 4);
                char buf[16];
                std::snprintf(buf, sizeof buf, "0x%x", unsigned(n));
                return buf;
            }
            break;
        case REG_QWORD:
            if (d.size() == 8) {
                uint64_t n;
                std::memcpy(&n, d.data(), 8);
                char buf[24];
                std::snprintf(buf, sizeof buf, "0x%llx", static_cast<unsigned long long>(n));
                return buf;
            }
            break;
    }
    return hex_bytes(d);
}

}  // namespace zkx::tool
