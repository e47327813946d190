// Registry helpers shared by "zkx reg" and the .reg file reader and writer:
// key names as users type them, values as bytes, and whole-tree walks.
#ifndef ZKX_TOOL_REG_KEY_H
#define ZKX_TOOL_REG_KEY_H

#include <cstdint>
#include <string>
#include <vector>

#include "ZKPlatform.h"

namespace zkx::tool {

// A key named from its root: HKLM\SOFTWARE\VELKO or HKEY_LOCAL_MACHINE\...
struct KeyPath {
    HKEY root = nullptr;
    std::string root_name;  // always the long form, HKEY_LOCAL_MACHINE
    std::string sub;        // below the root, without leading or trailing '\'; may be empty
    std::string full() const { return sub.empty() ? root_name : root_name + "\\" + sub; }
};

// False with the reason when the root is unknown or a part of the path is
// empty or longer than a key name may be.
bool parse_key_path(const std::string& text, KeyPath* out, std::string* why);

struct RegValue {
    std::string name;  // empty: the key's default value
    DWORD type = REG_NONE;
    std::vector<uint8_t> data;
};

// An open key that closes itself.
class OpenKey {
public:
    OpenKey() = default;
    ~OpenKey();
    OpenKey(const OpenKey&) = delete;
    OpenKey& operator=(const OpenKey&) = delete;
    LSTATUS open(HKEY root, const std::string& sub, REGSAM access);
    LSTATUS create(HKEY root, const std::string& sub);
    HKEY get() const { return key_; }

private:
    HKEY key_ = nullptr;
};

// A subkey that enumeration could not name: its index and the error.
struct Unreadable {
    DWORD index;
    LSTATUS error;
};

// The values in the store's order, and the subkeys' names.  Without
// `unreadable` a damaged subkey fails the whole call; with it, it is listed
// there and the others are read.
LSTATUS read_values(HKEY key, std::vector<RegValue>* out);
LSTATUS read_subkeys(HKEY key, std::vector<std::string>* out,
                     std::vector<Unreadable>* unreadable = nullptr);
// Deletes a key with everything below it.
LSTATUS delete_tree(HKEY root, const std::string& sub);

// "REG_SZ" for 1; "REG_0x1234" for types without a name.
std::string type_name(DWORD type);
bool type_from_name(const std::string& name, DWORD* type);

// The data as "reg query" prints it: text for the string types, 0x... for
// numbers, hex digits otherwise.
std::string display_data(const RegValue& value);

}  // namespace zkx::tool

#endif
