// The text file that holds one key: its identity, the name it was created
// with and its values.  Pure text in, text out, so that the parser can be
// fuzzed without a store.
//
//   zkx-registry-key 1
//   id 5c0f3e9a7d21b4c8
//   name "Admin"
//   value 1 "OutputTo" "C:\\Logs\\misc.log\0"
//   value 4 "ZKSystemType" dword:00000005
//   value 3 "Blob" hex:00ff10
//   end
//
// Quoted text keeps printable ASCII as it is and writes every other byte as
// an escape (\\ \" \0 \t \n \r \xHH), so any byte survives and the file
// stays readable.  Values keep the order in which they were first set.
#ifndef ZKXWIN32_REGISTRY_FORMAT_H
#define ZKXWIN32_REGISTRY_FORMAT_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace zkx::win32::reg {

constexpr size_t kMaxKeyFileBytes = size_t(64) << 20;

struct Value {
    std::string name;  // with the case it was created with
    uint32_t type = 0;
    std::string data;  // the bytes and byte count as they were given
};

struct KeyFile {
    uint64_t id = 0;   // tells a key from a later one of the same name; 0 for a root
    std::string name;  // display name; empty for a root
    std::vector<Value> values;

    // Looks a value up ignoring case; null when absent.
    Value* find(std::string_view value_name);
    const Value* find(std::string_view value_name) const;
};

std::string serialize_key_file(const KeyFile& key);

// False when text is not a complete, well-formed key file of this version:
// truncated, edited into another shape, over a limit, or naming one value
// twice.  Never reads outside text.
bool parse_key_file(std::string_view text, KeyFile* out);

}  // namespace zkx::win32::reg

#endif
