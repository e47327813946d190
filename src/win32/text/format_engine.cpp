// The wsprintf formatter.  It writes straight into the caller's buffer and
// never measures more of a string argument than could still be written, so
// its cost is bounded by the buffer, not by the arguments.
#include "text/format_engine.h"

#include <cstring>

#include "text/codepage.h"

namespace zkx::win32 {
namespace {

// Widths and precisions beyond this cannot change what fits in any buffer the
// formatter is given; saturating keeps the arithmetic far from overflow.
constexpr size_t kFieldMax = 1u << 16;

class Output {
public:
    Output(char* buf, size_t cap) : buf_(buf), room_(cap ? cap - 1 : 0) {}

    void write(const char* s, size_t n) {
        size_t k = clip(n);
        if (k) std::memcpy(buf_ + len_, s, k);
        len_ += k;
    }
    void fill(char c, size_t n) {
        size_t k = clip(n);
        if (k) std::memset(buf_ + len_, c, k);
        len_ += k;
    }
    void put(char c) { fill(c, 1); }

    size_t room_left() const { return room_ - len_; }
    size_t length() const { return len_; }
    bool full() const { return full_; }

private:
    size_t clip(size_t n) {
        if (n <= room_ - len_) return n;
        full_ = true;
        return room_ - len_;
    }

    char* buf_;
    size_t room_;
    size_t len_ = 0;
    bool full_ = false;
};

enum class Size { kNone, kShort, kLong, k32, k64, kPointer };

struct Conversion {
    bool left = false;
    bool hex_prefix = false;
    bool zero = false;
    size_t width = 0;
    bool has_precision = false;
    size_t precision = 0;
    Size size = Size::kNone;
};

size_t parse_count(const char*& p) {
    size_t v = 0;
    for (; *p >= '0' && *p <= '9'; ++p) {
        if (v < kFieldMax) v = v * 10 + static_cast<size_t>(*p - '0');
    }
    return v < kFieldMax ? v : kFieldMax;
}

// Lays out [prefix][zeros][body] in a field of conv.width characters.  The
// '0' flag pads with zeros on whichever side the padding goes, as Win32
// documents for '-' ("blanks or zeros to the right").
template <typename WriteBody>
void emit_field(Output& out, const Conversion& conv, const char* prefix, size_t prefix_len,
                size_t zeros, size_t body_len, WriteBody write_body) {
    size_t content = prefix_len + zeros + body_len;
    size_t pad = conv.width > content ? conv.width - content : 0;
    if (conv.left) {
        out.write(prefix, prefix_len);
    } else if (conv.zero) {
        out.write(prefix, prefix_len);
        out.fill('0', pad);
    } else {
        out.fill(' ', pad);
        out.write(prefix, prefix_len);
    }
    out.fill('0', zeros);
    write_body();
    if (conv.left) out.fill(conv.zero ? '0' : ' ', pad);
}

// How many characters of a string are worth measuring: past this it neither
// fits nor changes the padding.  One more than the room left, so that a string
// that does not fit is seen not to.
size_t measure_limit(const Output& out, const Conversion& conv) {
    size_t limit = conv.width > out.room_left() ? conv.width : out.room_left() + 1;
    if (conv.has_precision && conv.precision < limit) limit = conv.precision;
    return limit;
}

void format_integer(Output& out, const Conversion& conv, char type, ArgSource& args) {
    using IntSize = ArgSource::IntSize;
    IntSize read_size = IntSize::k32;
    if (type == 'p' || conv.size == Size::kPointer) read_size = IntSize::kPointer;
    if (type != 'p' && conv.size == Size::k64) read_size = IntSize::k64;
    uint64_t raw = args.next_int(read_size);

    bool negative = false;
    uint64_t magnitude;
    if (type == 'd' || type == 'i') {
        int64_t v;
        switch (conv.size) {
        case Size::kShort: v = static_cast<int16_t>(static_cast<uint16_t>(raw)); break;
        case Size::k64: v = static_cast<int64_t>(raw); break;
        case Size::kPointer: v = static_cast<intptr_t>(static_cast<uintptr_t>(raw)); break;
        default: v = static_cast<int32_t>(static_cast<uint32_t>(raw)); break;
        }
        negative = v < 0;
        magnitude = negative ? 0 - static_cast<uint64_t>(v) : static_cast<uint64_t>(v);
    } else if (type == 'p') {
        magnitude = static_cast<uintptr_t>(raw);
    } else {
        switch (conv.size) {
        case Size::kShort: magnitude = static_cast<uint16_t>(raw); break;
        case Size::k64: magnitude = raw; break;
        case Size::kPointer: magnitude = static_cast<uintptr_t>(raw); break;
        default: magnitude = static_cast<uint32_t>(raw); break;
        }
    }

    const bool hex = type == 'x' || type == 'X' || type == 'p';
    const char* alphabet = type == 'x' ? "0123456789abcdef" : "0123456789ABCDEF";
    const unsigned base = hex ? 16 : 10;
    char digits[24];
    char* end = digits + sizeof digits;
    char* first = end;
    do {
        *--first = alphabet[magnitude % base];
        magnitude /= base;
    } while (magnitude);
    size_t ndigits = static_cast<size_t>(end - first);

    // A precision of 0, or none, means at least one digit, so 0 prints "0".
    size_t min_digits = conv.has_precision && conv.precision > 0 ? conv.precision : 1;
    if (type == 'p' && !conv.has_precision) min_digits = 2 * sizeof(void*);
    size_t zeros = min_digits > ndigits ? min_digits - ndigits : 0;

    char prefix[2];
    size_t prefix_len = 0;
    if (negative) {
        prefix[prefix_len++] = '-';
    } else if (hex && conv.hex_prefix) {
        prefix[prefix_len++] = '0';
        prefix[prefix_len++] = type == 'x' ? 'x' : 'X';
    }
    emit_field(out, conv, prefix, prefix_len, zeros, ndigits, [&] { out.write(first, ndigits); });
}

void format_char(Output& out, const Conversion& conv, char c) {
    // Win32 skips a character argument of value zero rather than ending the
    // text early; the field is still padded.
    size_t len = c ? 1 : 0;
    emit_field(out, conv, nullptr, 0, 0, len, [&] { out.write(&c, len); });
}

void format_string(Output& out, const Conversion& conv, const char* s) {
    if (!s) s = "(null)";
    size_t len = strnlen(s, measure_limit(out, conv));
    emit_field(out, conv, nullptr, 0, 0, len, [&] { out.write(s, len); });
}

void format_wide_string(Output& out, const Conversion& conv, const uint16_t* s) {
    if (!s) {
        format_string(out, conv, nullptr);
        return;
    }
    size_t limit = measure_limit(out, conv);
    size_t len = 0;
    while (len < limit && s[len] != 0) ++len;
    emit_field(out, conv, nullptr, 0, 0, len, [&] {
        for (size_t i = 0; i < len && !out.full(); ++i) out.put(wide_to_ansi(s[i]));
    });
}

// Parses one conversion after its '%'; returns false when the format ends
// inside it.
bool parse_conversion(const char*& p, Conversion* conv) {
    for (;; ++p) {
        if (*p == '-') {
            conv->left = true;
        } else if (*p == '#') {
            conv->hex_prefix = true;
        } else if (*p == '0') {
            conv->zero = true;
        } else {
            break;
        }
    }
    conv->width = parse_count(p);
    if (*p == '.') {
        ++p;
        conv->has_precision = true;
        conv->precision = parse_count(p);
    }
    if (*p == 'h') {
        conv->size = Size::kShort;
        ++p;
    } else if (*p == 'l' || *p == 'w') {
        conv->size = Size::kLong;
        ++p;
    } else if (*p == 'I') {
        ++p;
        if (p[0] == '6' && p[1] == '4') {
            conv->size = Size::k64;
            p += 2;
        } else if (p[0] == '3' && p[1] == '2') {
            conv->size = Size::k32;
            p += 2;
        } else {
            conv->size = Size::kPointer;
        }
    }
    return *p != 0;
}

}  // namespace

FormatResult format(char* out_buf, size_t cap, const char* fmt, ArgSource& args) {
    Output out(out_buf, cap);
    const char* p = fmt ? fmt : "";
    while (*p && !out.full()) {
        if (*p != '%') {
            const char* run = p;
            while (*p && *p != '%') ++p;
            out.write(run, static_cast<size_t>(p - run));
            continue;
        }
        ++p;
        Conversion conv;
        if (!parse_conversion(p, &conv)) break;  // a cut-off conversion prints nothing
        const char type = *p++;
        switch (type) {
        case 'd': case 'i': case 'u': case 'x': case 'X': case 'p':
            format_integer(out, conv, type, args);
            break;
        case 'c': case 'C': {
            // In an ANSI format 'c' is a CHAR and 'C' a WCHAR; h and l force
            // either reading.
            bool wide = type == 'C' ? conv.size != Size::kShort : conv.size == Size::kLong;
            uint64_t raw = args.next_int(ArgSource::IntSize::k32);
            char c = wide ? wide_to_ansi(static_cast<uint16_t>(raw)) : static_cast<char>(raw);
            format_char(out, conv, c);
            break;
        }
        case 's': case 'S': {
            bool wide = type == 'S' ? conv.size != Size::kShort : conv.size == Size::kLong;
            if (wide) {
                format_wide_string(out, conv, args.next_wide_string());
            } else {
                format_string(out, conv, args.next_string());
            }
            break;
        }
        default:
            // No meaning as a conversion ("%%" among them): the character is
            // printed as it is and no argument is read.
            out.put(type);
            break;
        }
    }
    size_t len = out.length();
    if (out.full()) len -= dangling_lead_bytes(out_buf, len);
    if (cap) out_buf[len] = 0;
    return {len, out.full()};
}

}  // namespace zkx::win32
