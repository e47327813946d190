#include "registry/format.h"

#include <unordered_set>

#include "registry/names.h"

namespace zkx::win32::reg {
namespace {

constexpr std::string_view kHeader = "zkx-registry-key 1";
constexpr uint32_t kRegDword = 4;
const char kHex[] = "0123456789abcdef";

bool is_text_type(uint32_t type) {
    // REG_SZ, REG_EXPAND_SZ, REG_LINK, REG_MULTI_SZ
    return type == 1 || type == 2 || type == 6 || type == 7;
}

void append_quoted(std::string* out, std::string_view bytes) {
    *out += '"';
    for (unsigned char c : bytes) {
        switch (c) {
            case '\\': *out += "\\\\"; break;
            case '"': *out += "\\\""; break;
            case 0: *out += "\\0"; break;
            case '\t': *out += "\\t"; break;
            case '\n': *out += "\\n"; break;
            case '\r': *out += "\\r"; break;
            default:
                if (c >= 0x20 && c < 0x7F) {
                    *out += char(c);
                } else {
                    *out += "\\x";
                    *out += kHex[c >> 4];
                    *out += kHex[c & 15];
                }
        }
    }
    *out += '"';
}

void append_hex(std::string* out, std::string_view bytes) {
    for (unsigned char c : bytes) {
        *out += kHex[c >> 4];
        *out += kHex[c & 15];
    }
}

int hex_digit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Reads one line at a time; a file must end with a newline.
class LineReader {
public:
    explicit LineReader(std::string_view text) : rest_(text) {}
    bool next(std::string_view* line) {
        size_t nl = rest_.find('\n');
        if (nl == std::string_view::npos) return false;
        *line = rest_.substr(0, nl);
        rest_.remove_prefix(nl + 1);
        return true;
    }
    bool at_end() const { return rest_.empty(); }

private:
    std::string_view rest_;
};

// Consumes a quoted string from the front of *s.
bool take_quoted(std::string_view* s, size_t limit, std::string* out) {
    out->clear();
    if (s->empty() || s->front() != '"') return false;
    size_t i = 1;
    while (i < s->size()) {
        unsigned char c = static_cast<unsigned char>((*s)[i]);
        if (c == '"') {
            s->remove_prefix(i + 1);
            return true;
        }
        if (out->size() >= limit) return false;
        if (c < 0x20 || c == 0x7F) return false;  // raw control bytes mean damage
        if (c != '\\') {
            *out += char(c);
            ++i;
            continue;
        }
        if (i + 1 >= s->size()) return false;
        char e = (*s)[i + 1];
        i += 2;
        switch (e) {
            case '\\': *out += '\\'; break;
            case '"': *out += '"'; break;
            case '0': *out += '\0'; break;
            case 't': *out += '\t'; break;
            case 'n': *out += '\n'; break;
            case 'r': *out += '\r'; break;
            case 'x': {
                if (i + 2 > s->size()) return false;
                int hi = hex_digit((*s)[i]), lo = hex_digit((*s)[i + 1]);
                if (hi < 0 || lo < 0) return false;
                *out += char(hi * 16 + lo);
                i += 2;
                break;
            }
            default: return false;
        }
    }
    return false;  // no closing quote
}

bool take_word(std::string_view* s, std::string_view word) {
    if (s->substr(0, word.size()) != word) return false;
    s->remove_prefix(word.size());
    return true;
}

bool take_u32(std::string_view* s, uint32_t* out) {
    uint64_t v = 0;
    size_t i = 0;
    while (i < s->size() && (*s)[i] >= '0' && (*s)[i] <= '9') {
        v = v * 10 + uint64_t((*s)[i] - '0');
        if (v > 0xFFFFFFFFull) return false;
        ++i;
    }
    if (i == 0) return false;
    *out = uint32_t(v);
    s->remove_prefix(i);
    return true;
}

bool parse_hex_bytes(std::string_view s, size_t limit, std::string* out) {
    if (s.size() % 2 != 0 || s.size() / 2 > limit) return false;
    out->clear();
    out->reserve(s.size() / 2);
    for (size_t i = 0; i < s.size(); i += 2) {
        int hi = hex_digit(s[i]), lo = hex_digit(s[i + 1]);
        if (hi < 0 || lo < 0) return false;
        *out += char(hi * 16 + lo);
    }
    return true;
}

// The data of a value: the rest of its line.
bool parse_data(std::string_view s, std::string* out) {
    if (!s.empty() && s.front() == '"') {
        return take_quoted(&s, kMaxValueBytes, out) && s.empty();
    }
    if (take_word(&s, "hex:")) return parse_hex_bytes(s, kMaxValueBytes, out);
    if (take_word(&s, "dword:")) {
        std::string be;
        if (s.size() != 8 || !parse_hex_bytes(s, 4, &be)) return false;
        out->assign({be[3], be[2], be[1], be[0]});  // stored little-endian
        return true;
    }
    return false;
}

bool parse_id(std::string_view s, uint64_t* id) {
    if (s.size() != 16) return false;
    uint64_t v = 0;
    for (char c : s) {
        int d = hex_digit(c);
        if (d < 0) return false;
        v = (v << 4) | uint64_t(d);
    }
    *id = v;
    return true;
}

}  // namespace

Value* KeyFile::find(std::string_view value_name) {
    for (auto& v : values) {
        if (names_equal(v.name, value_name)) return &v;
    }
    return nullptr;
}

const Value* KeyFile::find(std::string_view value_name) const {
    return const_cast<KeyFile*>(this)->find(value_name);
}

std::string serialize_key_file(const KeyFile& key) {
    std::string out;
    out += kHeader;
    out += "\nid ";
    for (int shift = 60; shift >= 0; shift -= 4) out += kHex[(key.id >> shift) & 15];
    out += "\nname ";
    append_quoted(&out, key.name);
    out += '\n';
    for (const auto& v : key.values) {
        out += "value ";
        out += std::to_string(v.type);
        out += ' ';
        append_quoted(&out, v.name);
        out += ' ';
        if (is_text_type(v.type)) {
            append_quoted(&out, v.data);
        } else if (v.type == kRegDword && v.data.size() == 4) {
            const char big_endian[4] = {v.data[3], v.data[2], v.data[1], v.data[0]};
            out += "dword:";
            append_hex(&out, std::string_view(big_endian, 4));
        } else {
            out += "hex:";
            append_hex(&out, v.data);
        }
        out += '\n';
    }
    out += "end\n";
    return out;
}

bool parse_key_file(std::string_view text, KeyFile* out) {
    if (text.size() > kMaxKeyFileBytes) return false;
    KeyFile key;
    LineReader lines(text);
    std::string_view line;

    if (!lines.next(&line) || line != kHeader) return false;
    if (!lines.next(&line) || !take_word(&line, "id ") || !parse_id(line, &key.id)) return false;
    if (!lines.next(&line) || !take_word(&line, "name ") ||
        !take_quoted(&line, kMaxKeyNameChars, &key.name) || !line.empty()) {
        return false;
    }
    if (key.name.find('\\') != std::string::npos) return false;

    std::unordered_set<std::string> seen;
    for (;;) {
        if (!lines.next(&line)) return false;  // cut short before "end"
        if (line == "end") break;
        Value v;
        if (!take_word(&line, "value ") || !take_u32(&line, &v.type) || !take_word(&line, " ") ||
            !take_quoted(&line, kMaxValueNameChars, &v.name) || !take_word(&line, " ") ||
            !parse_data(line, &v.data)) {
            return false;
        }
        if (!seen.insert(fold(v.name)).second) return false;
        key.values.push_back(std::move(v));
    }
    if (!lines.at_end()) return false;
    *out = std::move(key);
    return true;
}

}  // namespace zkx::win32::reg
