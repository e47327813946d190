// zkx reg: the registry store with the syntax of the Windows "reg" command.
#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

#include "cli.h"
#include "reg_file.h"
#include "reg_key.h"

namespace zkx::tool {
namespace {

const char kDone[] = "The operation completed successfully.\n";

KeyPath key_argument(Args& args) {
    std::string text = args.take("key name");
    KeyPath key;
    std::string why;
    if (!parse_key_path(text, &key, &why)) throw UsageError(why);
    return key;
}

[[noreturn]] void registry_failure(const std::string& what, LSTATUS r) {
    throw Failure(what + ": " + win32_error_text(DWORD(r)));
}

// Like reg, asks before it overwrites or deletes unless /f was given; the
// answer comes from stdin, so "echo y | zkx reg delete ..." works too.
bool confirm(const std::string& question) {
    std::printf("%s (Yes/No)? ", printable(question).c_str());
    std::fflush(stdout);
    std::string answer;
    if (!std::getline(std::cin, answer)) answer.clear();
    if (!answer.empty() && (answer[0] == 'y' || answer[0] == 'Y')) return true;
    std::printf("\n");
    return false;
}

std::string shown_name(const std::string& name) { return name.empty() ? "(Default)" : name; }

// ---- query -------------------------------------------------------------------

struct QueryOptions {
    bool one_value = false;
    std::string value;  // with one_value; empty for /ve
    bool recurse = false;
    bool search = false;
    std::string pattern;
    bool type_filter = false;
    DWORD type = 0;
};

bool contains_ignoring_case(const std::string& text, const std::string& pattern) {
    auto it = std::search(text.begin(), text.end(), pattern.begin(), pattern.end(),
                          [](char a, char b) { return std::tolower(a) == std::tolower(b); });
    return it != text.end();
}

void print_value(const RegValue& v) {
    std::printf("    %s    %s    %s\n", printable(shown_name(v.name)).c_str(), type_name(v.type).c_str(),
                printable(display_data(v)).c_str());
}

// Prints one key (and with /s its subtree); counts what /f matched.  A
// subkey that cannot be read (damaged, or not readable for this user) is
// reported on stderr and counted in *unreadable, and the walk goes on with
// its siblings: one bad key must not hide the rest of the tree.
LSTATUS query_key(const KeyPath& key, const QueryOptions& o, int* matches, int* unreadable,
                  bool top) {
    OpenKey k;
    LSTATUS r = k.open(key.root, key.sub, KEY_READ);
    if (r != 0) return r;
    std::vector<RegValue> values;
    std::vector<std::string> children;
    if ((r = read_values(k.get(), &values)) != 0) return r;
    std::vector<Unreadable> damaged;
    if ((r = read_subkeys(k.get(), &children, o.recurse ? &damaged : nullptr)) != 0) return r;

    std::vector<const RegValue*> shown;
    for (const RegValue& v : values) {
        if (o.one_value && !equals_ignoring_case(v.name, o.value)) continue;
        if (o.type_filter && v.type != o.type) continue;
        if (o.search && !contains_ignoring_case(v.name, o.pattern) &&
            !contains_ignoring_case(display_data(v), o.pattern))
            continue;
        shown.push_back(&v);
    }
    bool key_matches = o.search && !top && contains_ignoring_case(key.full(), o.pattern);
    bool filtered = o.one_value || o.type_filter || o.search;
    if (!shown.empty() || key_matches || !filtered) {
        std::printf("\n%s\n", printable(key.full()).c_str());
        for (const RegValue* v : shown) print_value(*v);
    }
    *matches += int(shown.size()) + (key_matches ? 1 : 0);
    if (!o.one_value && !o.recurse && !o.search && !children.empty()) {
        std::printf("\n");
        for (const std::string& c : children) std::printf("%s\n", printable(key.full() + "\\" + c).c_str());
    }
    if (o.recurse) {
        for (const Unreadable& d : damaged) {
            std::fflush(stdout);
            std::fprintf(stderr, "zkx: cannot read subkey %u of %s: %s\n", unsigned(d.index),
                         key.full().c_str(), win32_error_text(DWORD(d.error)).c_str());
            ++*unreadable;
        }
        for (const std::string& c : children) {
            KeyPath child = key;
            child.sub = key.sub.empty() ? c : key.sub + "\\" + c;
            r = query_key(child, o, matches, unreadable, false);
            if (r != 0 && r != ERROR_FILE_NOT_FOUND) {
                std::fflush(stdout);
                std::fprintf(stderr, "zkx: cannot read %s: %s\n", child.full().c_str(),
                             win32_error_text(DWORD(r)).c_str());
                ++*unreadable;
            }
        }
    }
    return 0;
}

int reg_query(Args& args) {
    KeyPath key = key_argument(args);
    QueryOptions o;
    while (!args.empty()) {
        std::string type;
        if (args.take_option("/v", &o.value)) {
            if (o.one_value) throw UsageError("give /v or /ve once");
            o.one_value = true;
        } else if (args.take_flag("/ve")) {
            if (o.one_value) throw UsageError("give /v or /ve once");
            o.one_value = true;
            o.value.clear();
        } else if (args.take_flag("/s")) {
            o.recurse = true;
        } else if (args.take_option("/f", &o.pattern)) {
            o.search = true;
        } else if (args.take_option("/t", &type)) {
            if (!type_from_name(type, &o.type)) throw UsageError("unknown type '" + type + "'");
            o.type_filter = true;
        } else {
            args.finish();
        }
    }
    if (o.search) o.recurse = true;
    int matches = 0, unreadable = 0;
    LSTATUS r = query_key(key, o, &matches, &unreadable, true);
    if (r != 0) registry_failure("cannot read " + key.full(), r);
    if (o.search) std::printf("End of search: %d match(es) found.\n", matches);
    if (unreadable > 0) {
        throw Failure(std::to_string(unreadable) + " key(s) below " + key.full() +
                      " could not be read (listed above)");
    }
    if (!o.search && o.one_value && matches == 0 && !o.recurse) {
        throw Failure("no value " + shown_name(o.value) + " in " + key.full());
    }
    return kExitOk;
}

// ---- add -----------------------------------------------------------------------

std::vector<uint8_t> data_for_type(DWORD type, const std::string& text, const std::string& sep) {
    std::vector<uint8_t> data;
    switch (type) {
        case REG_SZ:
        case REG_EXPAND_SZ:
            data.assign(text.begin(), text.end());
            data.push_back(0);
            return data;
        case REG_MULTI_SZ: {
            for (size_t pos = 0; !text.empty();) {
                size_t end = text.find(sep, pos);
                std::string part = text.substr(pos, end == std::string::npos ? end : end - pos);
                if (part.empty()) throw UsageError("empty string in REG_MULTI_SZ data");
                data.insert(data.end(), part.begin(), part.end());
                data.push_back(0);
                if (end == std::string::npos) break;
                pos = end + sep.size();
            }
            data.push_back(0);
            return data;
        }
        case REG_DWORD: {
            uint32_t n = 0;
            if (!parse_u32(text.empty() ? "0" : text, &n))
                throw UsageError("REG_DWORD data must be a 32-bit number, not '" + text + "'");
            data.resize(4);
            std::memcpy(data.data(), &n, 4);
            return data;
        }
        case REG_QWORD: {
            uint64_t n = 0;
            if (!parse_u64(text.empty() ? "0" : text, &n))
                throw UsageError("REG_QWORD data must be a 64-bit number, not '" + text + "'");
            data.resize(8);
            std::memcpy(data.data(), &n, 8);
            return data;
        }
        default: {
            if (text.size() % 2 != 0) throw UsageError("binary data needs an even number of hex digits");
            for (size_t i = 0; i < text.size(); i += 2) {
                char pair[3] = {text[i], text[i + 1], 0};
                char* end = nullptr;
                unsigned long b = std::strtoul(pair, &end, 16);
                if (*end != '\0' || !std::isxdigit(uint8_t(pair[0])))
                    throw UsageError("binary data must be hex digits, not '" + text + "'");
                data.push_back(uint8_t(b));
            }
            return data;
        }
    }
}

int reg_add(Args& args) {
    KeyPath key = key_argument(args);
    if (key.sub.empty()) throw UsageError("name a key below the root");
    bool has_value = false, force = false, has_data = false;
    std::string name, type_text = "REG_SZ", sep = "\\0", data_text;
    while (!args.empty()) {
        if (args.take_option("/v", &name)) {
            if (has_value) throw UsageError("give /v or /ve once");
            has_value = true;
        } else if (args.take_flag("/ve")) {
            if (has_value) throw UsageError("give /v or /ve once");
            has_value = true;
            name.clear();
        } else if (args.take_option("/t", &type_text)) {
        } else if (args.take_option("/s", &sep)) {
            if (sep.empty()) throw UsageError("/s needs a separator");
        } else if (args.take_option("/d", &data_text)) {
            has_data = true;
        } else if (args.take_flag("/f")) {
            force = true;
        } else {
            args.finish();
        }
    }
    DWORD type = 0;
    if (!type_from_name(type_text, &type)) throw UsageError("unknown type '" + type_text + "'");
    if (!has_value && has_data) throw UsageError("/d needs /v or /ve");
    std::vector<uint8_t> data = data_for_type(type, data_text, sep);

    OpenKey k;
    LSTATUS r = k.create(key.root, key.sub);
    if (r != 0) registry_failure("cannot create " + key.full(), r);
    if (has_value) {
        DWORD size = 0;
        bool exists = RegQueryValueExA(k.get(), name.c_str(), nullptr, nullptr, nullptr, &size) == 0;
        if (exists && !force && !confirm("Value " + shown_name(name) + " exists, overwrite"))
            throw Failure("cancelled: " + shown_name(name) + " was not changed");
        r = RegSetValueExA(k.get(), name.c_str(), 0, type, data.data(), DWORD(data.size()));
        if (r != 0) registry_failure("cannot set " + shown_name(name) + " in " + key.full(), r);
    }
    std::fputs(kDone, stdout);
    return kExitOk;
}

// ---- delete --------------------------------------------------------------------

int reg_delete(Args& args) {
    KeyPath key = key_argument(args);
    enum { kKey, kValue, kAllValues } what = kKey;
    std::string name;
    bool force = false;
    while (!args.empty()) {
        if (args.take_option("/v", &name)) {
            if (what != kKey) throw UsageError("give one of /v, /ve and /va");
            what = kValue;
        } else if (args.take_flag("/ve")) {
            if (what != kKey) throw UsageError("give one of /v, /ve and /va");
            what = kValue;
            name.clear();
        } else if (args.take_flag("/va")) {
            if (what != kKey) throw UsageError("give one of /v, /ve and /va");
            what = kAllValues;
        } else if (args.take_flag("/f")) {
            force = true;
        } else {
            args.finish();
        }
    }
    if (what == kKey && key.sub.empty()) throw UsageError("a whole root cannot be deleted");
    OpenKey k;
    LSTATUS r = k.open(key.root, key.sub, KEY_ALL_ACCESS);
    if (r != 0) registry_failure("cannot open " + key.full(), r);
    std::string question = what == kKey     ? "Permanently delete the registry key " + key.full()
                           : what == kValue ? "Delete the registry value " + shown_name(name)
                                            : "Delete all values under the registry key " + key.full();
    if (!force && !confirm(question)) throw Failure("cancelled: nothing was deleted");
    if (what == kKey) {
        r = delete_tree(key.root, key.sub);
        if (r != 0) registry_failure("cannot delete " + key.full(), r);
    } else if (what == kValue) {
        r = RegDeleteValueA(k.get(), name.c_str());
        if (r != 0) registry_failure("cannot delete " + shown_name(name) + " in " + key.full(), r);
    } else {
        std::vector<RegValue> values;
        if ((r = read_values(k.get(), &values)) != 0) registry_failure("cannot read " + key.full(), r);
        for (const RegValue& v : values)
            if ((r = RegDeleteValueA(k.get(), v.name.c_str())) != 0)
                registry_failure("cannot delete " + shown_name(v.name), r);
    }
    std::fputs(kDone, stdout);
    return kExitOk;
}

// ---- import / export -------------------------------------------------------------

int reg_import(Args& args) {
    std::string file = args.take("file name");
    args.finish();
    std::stringstream text;
    if (file == "-") {
        text << std::cin.rdbuf();
    } else {
        std::ifstream in(file, std::ios::binary);
        if (!in) throw Failure("cannot read " + file + ": " + std::strerror(errno));
        text << in.rdbuf();
    }
    std::vector<RegChange> changes;
    std::string error;
    if (!parse_reg_file(text.str(), &changes, &error)) throw Failure(file + ": " + error);
    int line = 0;
    LSTATUS r = apply_reg_changes(changes, &line);
    if (r != 0)
        throw Failure(file + ": line " + std::to_string(line) + ": " + win32_error_text(DWORD(r)));
    std::fputs(kDone, stdout);
    return kExitOk;
}

int reg_export(Args& args) {
    KeyPath key = key_argument(args);
    std::string file = args.take("file name");
    bool overwrite = args.take_flag("/y");
    args.finish();
    std::string text;
    LSTATUS r = write_reg_file(key, &text);
    if (r != 0) registry_failure("cannot export " + key.full(), r);
    if (file == "-") {
        // A file keeps every byte; a terminal gets nothing it would act on.
        std::fputs(isatty(STDOUT_FILENO) ? printable_lines(text).c_str() : text.c_str(), stdout);
        return kExitOk;
    }
    struct stat st;
    if (!overwrite && stat(file.c_str(), &st) == 0 && !confirm("File " + file + " already exists. Overwrite"))
        throw Failure("cancelled: " + file + " was not written");
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    out << text;
    out.close();
    if (!out) throw Failure("cannot write " + file + ": " + std::strerror(errno));
    std::fputs(kDone, stdout);
    return kExitOk;
}

int reg_main(Args& args) {
    std::string op = args.take("operation (query, add, delete, import or export)");
    if (equals_ignoring_case(op, "query")) return reg_query(args);
    if (equals_ignoring_case(op, "add")) return reg_add(args);
    if (equals_ignoring_case(op, "delete")) return reg_delete(args);
    if (equals_ignoring_case(op, "import")) return reg_import(args);
    if (equals_ignoring_case(op, "export")) return reg_export(args);
    throw UsageError("unknown reg operation '" + op + "'");
}

}  // namespace

extern const Command kRegCommand = {
    "reg", "query and change the registry store, import and export REGEDIT4 files",
    "usage:\n"
    "  zkx reg query  KEY [/v NAME | /ve] [/s] [/f TEXT] [/t TYPE]\n"
    "  zkx reg add    KEY [/v NAME | /ve] [/t TYPE] [/s SEPARATOR] [/d DATA] [/f]\n"
    "  zkx reg delete KEY [/v NAME | /ve | /va] [/f]\n"
    "  zkx reg import FILE\n"
    "  zkx reg export KEY FILE [/y]\n"
    "\n"
    "KEY is ROOT\\path, ROOT one of HKLM, HKCU, HKCR, HKU (or their long names),\n"
    "for example HKLM\\SOFTWARE\\VELKO\\ZKW\\Admin.\n"
    "  /v NAME   the value NAME          /ve  the key's default value\n"
    "  /s        query: the whole subtree; add: REG_MULTI_SZ separator (default \\0)\n"
    "  /f TEXT   query: find TEXT in key names, value names and data (implies /s)\n"
    "  /f        add, delete: do not ask before overwriting or deleting\n"
    "  /t TYPE   REG_SZ, REG_EXPAND_SZ, REG_MULTI_SZ, REG_DWORD, REG_QWORD, REG_BINARY, REG_NONE\n"
    "  /d DATA   text, a number (decimal or 0x...), or hex digits for binary types\n"
    "  /va       delete every value of the key      /y  export: overwrite FILE\n"
    "FILE is a REGEDIT4 text file; \"-\" reads stdin or writes stdout.  A file with\n"
    "a fault is refused with its line number and changes nothing.\n",
    reg_main};

}  // namespace zkx::tool
