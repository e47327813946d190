// The registry's key-file parser meets whatever a damaged disk, a foreign
// program or a hand edit may leave in a .values file.  Beyond not crashing,
// whatever it accepts must come back unchanged through the writer.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "registry/format.h"

using namespace zkx::win32::reg;

static bool same(const KeyFile& a, const KeyFile& b) {
    if (a.id != b.id || a.name != b.name || a.values.size() != b.values.size()) return false;
    for (size_t i = 0; i < a.values.size(); ++i) {
        const Value &x = a.values[i], &y = b.values[i];
        if (x.name != y.name || x.type != y.type || x.data != y.data) return false;
    }
    return true;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    KeyFile key;
    if (!parse_key_file(std::string_view(reinterpret_cast<const char*>(data), size), &key)) {
        return 0;
    }
    KeyFile again;
    if (!parse_key_file(serialize_key_file(key), &again) || !same(key, again)) abort();
    return 0;
}
