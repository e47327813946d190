#include "reg_file.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>

namespace zkx::tool {
namespace {

const char kHeader[] = "REGEDIT4";

// The store's limits, checked while the file is read so that a value over
// them refuses the whole file before anything is written.
constexpr size_t kMaxValueName = 16383;
constexpr size_t kMaxValueData = size_t(1) << 20;
constexpr size_t kMaxKeyDepth = 512;

struct ParseError {
    std::string what;
};

int hex_digit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

void skip_blanks(const std::string& s, size_t* pos) {
    while (*pos < s.size() && (s[*pos] == ' ' || s[*pos] == '\t')) ++*pos;
}

// Nothing but blanks or a comment may follow a complete value.
void expect_end(const std::string& s, size_t pos) {
    skip_blanks(s, &pos);
    if (pos < s.size() && s[pos] != ';')
        throw ParseError{"unexpected text after the value: '" + s.substr(pos) + "'"};
}

// A quoted string starting at s[*pos] == '"', with \\ and \" escapes.
std::string read_quoted(const std::string& s, size_t* pos) {
    std::string out;
    for (size_t i = *pos + 1; i < s.size(); ++i) {
        char c = s[i];
        if (c == '"') {
            *pos = i + 1;
            return out;
        }
        if (c == '\\') {
            if (i + 1 >= s.size()) break;
            char e = s[++i];
            if (e != '\\' && e != '"')
                throw ParseError{std::string("unknown escape '\\") + e + "' in a string"};
            c = e;
        }
        out += c;
    }
    throw ParseError{"string without its closing quote"};
}

std::vector<uint8_t> read_hex_list(const std::string& s, size_t pos) {
    std::vector<uint8_t> out;
    skip_blanks(s, &pos);
    if (pos >= s.size() || s[pos] == ';') return out;
    for (;;) {
        skip_blanks(s, &pos);
        int hi = pos < s.size() ? hex_digit(s[pos]) : -1;
        int lo = pos + 1 < s.size() ? hex_digit(s[pos + 1]) : -1;
        if (hi < 0 || lo < 0) throw ParseError{"bad hex byte in '" + s + "'"};
        out.push_back(uint8_t(hi * 16 + lo));
        pos += 2;
        skip_blanks(s, &pos);
        if (pos >= s.size() || s[pos] == ';') return out;
        if (s[pos] != ',') throw ParseError{"expected ',' between hex bytes in '" + s + "'"};
        ++pos;
    }
}

RegValue read_data(const std::string& s, size_t pos, bool* is_delete) {
    RegValue v;
    *is_delete = false;
    skip_blanks(s, &pos);
    if (pos < s.size() && s[pos] == '-') {
        *is_delete = true;
        expect_end(s, pos + 1);
        return v;
    }
    if (pos < s.size() && s[pos] == '"') {
        std::string text = read_quoted(s, &pos);
        expect_end(s, pos);
        v.type = REG_SZ;
        v.data.assign(text.begin(), text.end());
        v.data.push_back(0);
        return v;
    }
    if (s.compare(pos, 6, "dword:") == 0) {
        pos += 6;
        uint32_t n = 0;
        size_t digits = 0;
        for (; pos < s.size() && hex_digit(s[pos]) >= 0; ++pos, ++digits)
            n = n * 16 + uint32_t(hex_digit(s[pos]));
        if (digits == 0 || digits > 8) throw ParseError{"dword needs 1 to 8 hex digits"};
        expect_end(s, pos);
        v.type = REG_DWORD;
        v.data.resize(4);
        std::memcpy(v.data.data(), &n, 4);
        return v;
    }
    if (s.compare(pos, 3, "hex") == 0) {
        pos += 3;
        v.type = REG_BINARY;
        if (pos < s.size() && s[pos] == '(') {
            size_t close = s.find(')', pos);
            if (close == std::string::npos || close == pos + 1 || close - pos - 1 > 8)
                throw ParseError{"bad hex(type) in '" + s + "'"};
            uint32_t t = 0;
            for (size_t i = pos + 1; i < close; ++i) {
                int d = hex_digit(s[i]);
                if (d < 0) throw ParseError{"bad hex(type) in '" + s + "'"};
                t = t * 16 + uint32_t(d);
            }
            v.type = t;
            pos = close + 1;
        }
        if (pos >= s.size() || s[pos] != ':') throw ParseError{"expected ':' after hex"};
        v.data = read_hex_list(s, pos + 1);
        return v;
    }
    throw ParseError{"unknown value data '" + s.substr(pos) + "'"};
}

KeyPath read_key_line(const std::string& s, bool* is_delete) {
    size_t close = s.rfind(']');
    if (close == std::string::npos) throw ParseError{"key line without ']'"};
    expect_end(s, close + 1);
    std::string name = s.substr(1, close - 1);
    *is_delete = !name.empty() && name[0] == '-';
    if (*is_delete) name.erase(0, 1);
    KeyPath key;
    std::string why;
    if (!parse_key_path(name, &key, &why)) throw ParseError{why};
    if (key.sub.empty()) throw ParseError{"a whole root cannot be " +
                                          std::string(*is_delete ? "deleted" : "imported")};
    if (size_t(std::count(key.sub.begin(), key.sub.end(), '\\')) + 1 > kMaxKeyDepth)
        throw ParseError{"key path deeper than 512 keys"};
    return key;
}

void strip_line_end(std::string* line) {
    while (!line->empty() && (line->back() == '\r' || line->back() == '\n')) line->pop_back();
}

// The hex lists that regedit writes continue over lines ending in '\'.
bool continues(const std::string& line) {
    size_t end = line.find_last_not_of(" \t");
    return end != std::string::npos && line[end] == '\\';
}

}  // namespace

bool parse_reg_file(const std::string& text, std::vector<RegChange>* changes, std::string* error) {
    std::vector<std::string> lines;
    for (size_t pos = 0; pos <= text.size();) {
        size_t end = text.find('\n', pos);
        if (end == std::string::npos) end = text.size();
        lines.push_back(text.substr(pos, end - pos));
        pos = end + 1;
    }
    int number = 0;
    try {
        bool header_seen = false;
        bool have_key = false;
        bool key_deleted = false;
        KeyPath key;
        for (size_t i = 0; i < lines.size(); ++i) {
            number = int(i) + 1;
            std::string line = lines[i];
            strip_line_end(&line);
            size_t first = line.find_first_not_of(" \t");
            if (!header_seen) {
                if (first == std::string::npos) continue;
                if (line.compare(0, 3, "\xEF\xBB\xBF") == 0) line.erase(0, 3);
                if (line.rfind("Windows Registry Editor", 0) == 0)
                    throw ParseError{"only REGEDIT4 files can be imported, not '" + line + "'"};
                if (line != kHeader) throw ParseError{"the file does not begin with REGEDIT4"};
                header_seen = true;
                continue;
            }
            if (first == std::string::npos || line[first] == ';') continue;
            line.erase(0, first);
            if (line[0] == '[') {
                key = read_key_line(line, &key_deleted);
                have_key = true;
                RegChange c;
                c.kind = key_deleted ? RegChange::kDeleteKey : RegChange::kCreateKey;
                c.key = key;
                c.line = number;
                changes->push_back(c);
                continue;
            }
            if (line[0] != '"' && line[0] != '@')
                throw ParseError{"expected [key], \"name\"=value or @=value"};
            if (!have_key) throw ParseError{"a value before the first [key]"};
            int value_line = number;
            while (continues(line) && i + 1 < lines.size()) {
                line.erase(line.find_last_not_of(" \t"));
                std::string next = lines[++i];
                strip_line_end(&next);
                line += next;
                number = int(i) + 1;
            }
            number = value_line;
            RegChange c;
            size_t pos = 1;
            if (line[0] == '"') {
                pos = 0;
                c.value.name = read_quoted(line, &pos);
            }
            skip_blanks(line, &pos);
            if (pos >= line.size() || line[pos] != '=') throw ParseError{"expected '=' after the value name"};
            bool is_delete = false;
            RegValue v = read_data(line, pos + 1, &is_delete);
            v.name = c.value.name;
            if (v.name.size() > kMaxValueName)
                throw ParseError{"value name longer than 16,383 characters"};
            if (v.data.size() > kMaxValueData)
                throw ParseError{"value data longer than 1 MiB (" + std::to_string(v.data.size()) +
                                 " bytes)"};
            // Values under a deleted key are read, checked and dropped, as
            // regedit does.
            if (key_deleted) continue;
            c.kind = is_delete ? RegChange::kDeleteValue : RegChange::kSetValue;
            c.key = key;
            c.value = v;
            c.line = value_line;
            changes->push_back(c);
        }
        if (!header_seen) {
            number = 1;
            throw ParseError{"the file is empty"};
        }
    } catch (const ParseError& e) {
        *error = "line " + std::to_string(number) + ": " + e.what;
        changes->clear();
        return false;
    }
    return true;
}

namespace {

// Whether the store will take a key of the file: the key itself when it
// exists, else the nearest part of its path that does, must be writable
// and not damaged.  Asked for every key before the first write, so that a
// refusal the store can foresee changes nothing.
LSTATUS check_writable(const KeyPath& key) {
    std::string sub = key.sub;
    REGSAM want = KEY_SET_VALUE | KEY_CREATE_SUB_KEY;
    for (;;) {
        HKEY h = nullptr;
        LSTATUS r = RegOpenKeyExA(key.root, sub.empty() ? nullptr : sub.c_str(), 0, want, &h);
        if (r == 0) RegCloseKey(h);
        if (r != ERROR_FILE_NOT_FOUND || sub.empty()) return r;
        size_t cut = sub.rfind('\\');
        sub = cut == std::string::npos ? std::string() : sub.substr(0, cut);
        want = KEY_CREATE_SUB_KEY;
    }
}

}  // namespace

LSTATUS apply_reg_changes(const std::vector<RegChange>& changes, int* failed_line) {
    for (const RegChange& c : changes) {
        if (c.kind != RegChange::kCreateKey) continue;
        LSTATUS r = check_writable(c.key);
        if (r != 0) {
            *failed_line = c.line;
            return r;
        }
    }
    for (size_t i = 0; i < changes.size();) {
        const RegChange& c = changes[i];
        LSTATUS r = 0;
        if (c.kind == RegChange::kDeleteKey) {
            r = delete_tree(c.key.root, c.key.sub);
            if (r == ERROR_FILE_NOT_FOUND) r = 0;
            ++i;
        } else {
            // A [key] and the values after it: the key is made once and
            // its values go in with one write of its file.
            std::vector<ZKX_REG_VALUE_CHANGE> batch;
            size_t end = i + 1;
            for (; end < changes.size(); ++end) {
                const RegChange& v = changes[end];
                if (v.kind != RegChange::kSetValue && v.kind != RegChange::kDeleteValue) break;
                ZKX_REG_VALUE_CHANGE b{};
                b.name = v.value.name.c_str();
                b.type = v.value.type;
                b.data = v.value.data.data();
                b.size = DWORD(v.value.data.size());
                b.remove = v.kind == RegChange::kDeleteValue;
                batch.push_back(b);
            }
            OpenKey k;
            r = k.create(c.key.root, c.key.sub);
            if (r == 0 && !batch.empty()) r = zkx_reg_change_values(k.get(), DWORD(batch.size()), batch.data());
            i = end;
        }
        if (r != 0) {
            *failed_line = c.line;
            return r;
        }
    }
    return 0;
}

namespace {

std::string quote(const std::string& s) {
    std::string out = "\"";
    for (char c : s) {
        if (c == '\\' || c == '"') out += '\\';
        out += c;
    }
    return out + "\"";
}

// A REG_SZ goes out as a quoted string only when reading it back gives the
// same bytes: one terminator at the end, and no byte that ends a line.
bool fits_quoted(const RegValue& v) {
    if (v.type != REG_SZ || v.data.empty() || v.data.back() != 0) return false;
    for (size_t i = 0; i + 1 < v.data.size(); ++i)
        if (v.data[i] < 0x20 && v.data[i] != '\t') return false;
    return true;
}

std::string value_line(const RegValue& v) {
    std::string line = v.name.empty() ? "@=" : quote(v.name) + "=";
    if (fits_quoted(v))
        return line + quote(std::string(v.data.begin(), v.data.end() - 1));
    if (v.type == REG_DWORD && v.data.size() == 4) {
        uint32_t n;
        std::memcpy(&n, v.data.data(), 4);
        char buf[16];
        std::snprintf(buf, sizeof buf, "dword:%08x", unsigned(n));
        return line + buf;
    }
    char prefix[24];
    if (v.type == REG_BINARY)
        std::snprintf(prefix, sizeof prefix, "hex:");
    else
        std::snprintf(prefix, sizeof prefix, "hex(%x):", unsigned(v.type));
    line += prefix;
    // Wrapped near 80 columns like regedit, each continued line indented.
    size_t column = line.size();
    for (size_t i = 0; i < v.data.size(); ++i) {
        char byte[4];
        std::snprintf(byte, sizeof byte, "%02x", v.data[i]);
        line += byte;
        column += 2;
        if (i + 1 < v.data.size()) {
            line += ',';
            ++column;
            if (column > 75) {
                line += "\\\n  ";
                column = 2;
            }
        }
    }
    return line;
}

LSTATUS write_tree(HKEY root, const std::string& sub, const std::string& shown, std::string* out) {
    OpenKey key;
    LSTATUS r = key.open(root, sub, KEY_READ);
    if (r != 0) return r;
    std::vector<RegValue> values;
    std::vector<std::string> children;
    if ((r = read_values(key.get(), &values)) != 0) return r;
    if ((r = read_subkeys(key.get(), &children)) != 0) return r;
    *out += "[" + shown + "]\n";
    for (const RegValue& v : values) *out += value_line(v) + "\n";
    *out += "\n";
    for (const std::string& child : children) {
        std::string child_sub = sub.empty() ? child : sub + "\\" + child;
        r = write_tree(root, child_sub, shown + "\\" + child, out);
        if (r != 0) return r;
    }
    return 0;
}

}  // namespace

LSTATUS write_reg_file(const KeyPath& key, std::string* text) {
    std::string out = std::string(kHeader) + "\n\n";
    LSTATUS r = write_tree(key.root, key.sub, key.full(), &out);
    if (r == 0) *text = out;
    return r;
}

}  // namespace zkx::tool
