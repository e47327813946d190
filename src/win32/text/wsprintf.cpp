// wsprintfA and wvsprintfA: the formatter fed from a va_list.
#include <stdarg.h>

#include "text/format_engine.h"
#include "zkxwin32/errors.h"
#include "zkxwin32/text.h"

namespace {

using zkx::win32::ArgSource;

// Reads the arguments as a 32-bit Win32 caller lays them out in its format:
// int-sized for everything without I64 or I, whatever the host's long is.
class VaListSource final : public ArgSource {
public:
    explicit VaListSource(va_list ap) { va_copy(ap_, ap); }
    ~VaListSource() override { va_end(ap_); }
    VaListSource(const VaListSource&) = delete;
    VaListSource& operator=(const VaListSource&) = delete;

    uint64_t next_int(IntSize size) override {
        switch (size) {
        case IntSize::k64: return va_arg(ap_, unsigned long long);
        case IntSize::kPointer: return va_arg(ap_, uintptr_t);
        case IntSize::k32: break;
        }
        return va_arg(ap_, unsigned int);
    }
    const char* next_string() override { return va_arg(ap_, const char*); }
    const uint16_t* next_wide_string() override { return va_arg(ap_, const uint16_t*); }

private:
    va_list ap_;
};

}  // namespace

extern "C" int WINAPI wvsprintfA(LPSTR lpOut, LPCSTR lpFmt, va_list arglist) {
    if (!lpOut) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    if (!lpFmt) {
        lpOut[0] = 0;
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    VaListSource args(arglist);
    zkx::win32::FormatResult r =
        zkx::win32::format(lpOut, zkx::win32::kWsprintfBufferSize, lpFmt, args);
    if (r.truncated) SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return static_cast<int>(r.length);
}

extern "C" int WINAPIV wsprintfA(LPSTR lpOut, LPCSTR lpFmt, ...) {
    va_list ap;
    va_start(ap, lpFmt);
    int n = wvsprintfA(lpOut, lpFmt, ap);
    va_end(ap);
    return n;
}
