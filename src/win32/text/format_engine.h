// The wsprintf formatter, separated from where its arguments come from.
//
// wvsprintfA reads a va_list; the fuzzer hands out values it controls, so that
// any format text can be tried without undefined behaviour in the argument
// reads.  The rules themselves are described in zkxwin32/text.h.
#ifndef ZKXWIN32_FORMAT_ENGINE_H
#define ZKXWIN32_FORMAT_ENGINE_H

#include <stddef.h>
#include <stdint.h>

namespace zkx::win32 {

// The output limit of wsprintfA and wvsprintfA, terminator included.
constexpr size_t kWsprintfBufferSize = 1024;

class ArgSource {
public:
    enum class IntSize {
        k32,       // int, DWORD, LONG, and the promoted short and char
        k64,       // the I64 prefix
        kPointer,  // the I prefix and %p
    };

    virtual ~ArgSource() = default;

    // The next integer argument; a 32-bit one arrives in the low bits.
    virtual uint64_t next_int(IntSize size) = 0;
    // The next ANSI string argument; null prints "(null)".
    virtual const char* next_string() = 0;
    // The next UTF-16 string argument; null prints "(null)".
    virtual const uint16_t* next_wide_string() = 0;
};

struct FormatResult {
    size_t length;   // characters written, without the terminator
    bool truncated;  // some of the text did not fit
};

// Formats into out, writing at most cap - 1 characters and a terminator, and
// nothing at all when cap is 0.  A cut never leaves the lead byte of a
// double-byte character without its trail byte.
FormatResult format(char* out, size_t cap, const char* fmt, ArgSource& args);

}  // namespace zkx::win32

#endif
