// Drives the wsprintf formatter with any format text and argument values.
//
// Input layout: byte 0 chooses the output capacity (bit 7: the wsprintf
// buffer size, otherwise bits 0-5, so that small and empty buffers are tried
// too) and the code page (bit 6: 932, otherwise 1252); the format runs from
// byte 1 to the first NUL; the bytes after it feed the arguments.
#include <stdlib.h>

#include <algorithm>
#include <cstring>
#include <deque>
#include <string>
#include <vector>

#include "text/codepage.h"
#include "text/format_engine.h"

namespace {

// Hands out integers and strings made from the input.  Strings are always
// terminated (as a caller's must be); some are longer than any output.
class FuzzArgs final : public zkx::win32::ArgSource {
public:
    FuzzArgs(const uint8_t* next, const uint8_t* end) : next_(next), end_(end) {}

    uint64_t next_int(IntSize size) override {
        uint64_t v = 0;
        for (int i = size == IntSize::k32 ? 4 : 8; i > 0; --i) v = (v << 8) | take();
        return v;
    }
    const char* next_string() override {
        static const std::string long_text(3000, 'L');
        const int kind = take() % 4;
        if (kind < 2) return kind == 0 ? nullptr : long_text.c_str();
        std::string& s = strings_.emplace_back();
        for (size_t n = take(); n > 0; --n) s += static_cast<char>(take());
        return s.c_str();
    }
    const uint16_t* next_wide_string() override {
        if (take() % 4 == 0) return nullptr;
        std::vector<uint16_t>& s = wide_strings_.emplace_back();
        for (size_t n = take(); n > 0; --n) {
            uint16_t high = take();
            s.push_back(static_cast<uint16_t>(high << 8 | take()));
        }
        s.push_back(0);
        return s.data();
    }

private:
    uint8_t take() { return next_ < end_ ? *next_++ : 0; }

    const uint8_t *next_, *end_;
    std::deque<std::string> strings_;
    std::deque<std::vector<uint16_t>> wide_strings_;
};

}  // namespace

#define CHECK(ok) ((ok) ? (void)0 : __builtin_trap())

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    const size_t cap = (data[0] & 0x80) ? zkx::win32::kWsprintfBufferSize : (data[0] & 0x3F);
    setenv("ZKX_CODEPAGE", (data[0] & 0x40) ? "932" : "1252", 1);
    zkx::win32::reset_code_page_for_tests();

    const uint8_t *end = data + size, *nul = std::find(data + 1, end, 0);
    const std::string format(data + 1, nul);
    FuzzArgs args(nul == end ? end : nul + 1, end);

    constexpr char kGuard = 0x5A;
    std::vector<char> buf(cap + 32, kGuard);
    zkx::win32::FormatResult r = zkx::win32::format(buf.data(), cap, format.c_str(), args);

    for (size_t i = cap; i < buf.size(); ++i) CHECK(buf[i] == kGuard);
    CHECK(cap == 0 ? r.length == 0 : r.length < cap && buf[r.length] == 0 && std::strlen(buf.data()) == r.length);
    if (r.truncated && cap > 0) CHECK(zkx::win32::dangling_lead_bytes(buf.data(), r.length) == 0);
    return 0;
}
