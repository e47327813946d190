#include "cli.h"

#include <strings.h>

#include <cerrno>
#include <cstdlib>

namespace zkx::tool {

std::string Args::take(const char* what) {
    if (empty()) throw UsageError(std::string("missing ") + what);
    return words_[pos_++];
}

bool Args::take_flag(const char* name) {
    if (empty() || !equals_ignoring_case(peek(), name)) return false;
    ++pos_;
    return true;
}

bool Args::take_option(const char* name, std::string* value) {
    if (!take_flag(name)) return false;
    if (empty()) throw UsageError(std::string(name) + " needs a value");
    *value = words_[pos_++];
    return true;
}

void Args::finish() const {
    if (!empty()) throw UsageError("unexpected argument '" + peek() + "'");
}

std::string win32_error_text(DWORD code) {
    const char* text = nullptr;
    switch (code) {
        case 2: text = "not found"; break;
        case 3: text = "path not found"; break;
        case 5: text = "access denied"; break;
        case 6: text = "invalid handle"; break;
        case 8: text = "not enough memory"; break;
        case 12: text = "invalid access"; break;
        case 13: text = "invalid data"; break;
        case 87: text = "invalid parameter"; break;
        case 110: text = "cannot open"; break;
        case 122: text = "buffer too small"; break;
        case 161: text = "bad path name"; break;
        case 170: text = "busy"; break;
        case 183: text = "already exists"; break;
        case 206: text = "name too long"; break;
        case 232: text = "not set"; break;
        case 234: text = "more data"; break;
        case 1015: text = "registry key damaged"; break;
        case 1053: text = "timed out"; break;
        case 1243: text = "not found"; break;
        case 1392: text = "heap damaged"; break;
    }
    std::string number = "error " + std::to_string(code);
    return text ? std::string(text) + " (" + number + ")" : number;
}

namespace {

bool plain(unsigned char c) { return c >= 0x20 && c < 0x7F; }

std::string escaped(const std::string& text, bool keep_line_feeds) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        if (c == '\n' && keep_line_feeds) {
            out += '\n';
        } else if (!plain(c)) {
            static const char kHex[] = "0123456789abcdef";
            out += "\\x";
            out += kHex[c >> 4];
            out += kHex[c & 15];
        } else if (c == '\\' && i + 1 < text.size()) {
            // Registry paths are full of backslashes, so one stays single
            // unless what follows would make it look like an escape.
            const unsigned char next = static_cast<unsigned char>(text[i + 1]);
            const bool next_is_escape = !plain(next) && !(next == '\n' && keep_line_feeds);
            out += next == '\\' || next == 'x' || next_is_escape ? "\\\\" : "\\";
        } else {
            out += char(c);
        }
    }
    return out;
}

}  // namespace

std::string printable(const std::string& text) { return escaped(text, false); }

std::string printable_lines(const std::string& text) { return escaped(text, true); }

bool equals_ignoring_case(const std::string& a, const std::string& b) {
    return a.size() == b.size() && strcasecmp(a.c_str(), b.c_str()) == 0;
}

bool parse_u64(const std::string& text, uint64_t* value) {
    if (text.empty() || text[0] == '-' || text[0] == '+' || text[0] == ' ') return false;
    int base = 10;
    const char* digits = text.c_str();
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        base = 16;
        digits += 2;
    }
    char* end = nullptr;
    errno = 0;
    unsigned long long v = std::strtoull(digits, &end, base);
    if (errno != 0 || end == digits || *end != '\0') return false;
    *value = v;
    return true;
}

bool parse_u32(const std::string& text, uint32_t* value) {
    uint64_t v = 0;
    if (!parse_u64(text, &v) || v > 0xFFFFFFFFull) return false;
    *value = static_cast<uint32_t>(v);
    return true;
}

}  // namespace zkx::tool
