// The registry's key-file parser meets whatever a damaged disk, a foreign
// program or a hand edit may leave in a .values file.  Beyond not crashing,
// whatever it accepts must come back unchanged through the writer.
#include <cstdint>
#include <cstdlib>
#include <tuple>

#include "registry/format.h"

using namespace zkx::win32::reg;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    KeyFile key, again;
    if (!parse_key_file(std::string_view(reinterpret_cast<const char*>(data), size), &key)) return 0;
    if (!parse_key_file(serialize_key_file(key), &again)) abort();
    auto fields = [](const KeyFile& k) { return std::tie(k.id, k.name); };
    auto value = [](const Value& v) { return std::tie(v.name, v.type, v.data); };
    bool same = fields(key) == fields(again) && key.values.size() == again.values.size();
    for (size_t i = 0; same && i < key.values.size(); ++i) same = value(key.values[i]) == value(again.values[i]);
    if (!same) abort();
    return 0;
}
