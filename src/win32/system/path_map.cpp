#include "system/path_map.h"

#include <dirent.h>
#include <limits.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

#include "zkxwin32/errors.h"

namespace zkx::win32 {
namespace {

constexpr char kDefaultDriveC[] = "/var/lib/zkx/drive_c";

bool is_sep(char c) { return c == '/' || c == '\\'; }

bool is_letter(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }

char ascii_upper(char c) { return (c >= 'a' && c <= 'z') ? char(c - 'a' + 'A') : c; }

bool equal_ignoring_case(const char* a, const char* b) {
    for (; *a && *b; ++a, ++b) {
        if (ascii_upper(*a) != ascii_upper(*b)) return false;
    }
    return *a == *b;
}

// Characters Win32 refuses in a name.  The colon of a drive prefix is
// checked before this sees the rest.
bool has_invalid_name_char(const char* s) {
    for (; *s; ++s) {
        unsigned char c = static_cast<unsigned char>(*s);
        if (c < 0x20 || strchr("<>\"|?*:", c)) return true;
    }
    return false;
}

std::vector<std::string> split(const char* s) {
    std::vector<std::string> parts;
    while (*s) {
        while (is_sep(*s)) ++s;
        const char* start = s;
        while (*s && !is_sep(*s)) ++s;
        if (s > start) parts.emplace_back(start, s);
    }
    return parts;
}

// Lexical normal form of an absolute host path, "" for the root.
std::string normalise_host(const std::string& p) {
    std::vector<std::string> kept;
    for (auto& part : split(p.c_str())) {
        if (part == ".") continue;
        if (part == "..") {
            if (!kept.empty()) kept.pop_back();
            continue;
        }
        kept.push_back(part);
    }
    std::string out;
    for (auto& part : kept) out += "/" + part;
    return out;
}

bool dir_contains(const std::string& dir, const std::string& host) {
    if (dir.empty()) return true;
    return host.compare(0, dir.size(), dir) == 0 &&
           (host.size() == dir.size() || host[dir.size()] == '/');
}

struct DriveMatch {
    char letter = 'Z';
    std::string dir;  // "" is the root
};

DriveMatch best_drive(const std::string& host) {
    DriveMatch best;
    bool found = false;
    for (char letter = 'A'; letter <= 'Z'; ++letter) {
        std::string dir;
        if (!drive_directory(letter, &dir) || !dir_contains(dir, host)) continue;
        if (!found || dir.size() > best.dir.size()) {
            best.letter = letter;
            best.dir = dir;
            found = true;
        }
    }
    return best;
}

struct Component {
    std::string name;
    bool exact;  // taken from the host as it is; never case-folded
};

// Finds the entry of `dir` that equals `name` ignoring ASCII case; the
// smallest in byte order when there are several.
bool find_ignoring_case(const std::string& dir, const std::string& name, std::string* found) {
    DIR* d = opendir(dir.empty() ? "/" : dir.c_str());
    if (!d) return false;
    bool any = false;
    while (dirent* e = readdir(d)) {
        if (!equal_ignoring_case(e->d_name, name.c_str())) continue;
        if (!any || strcmp(e->d_name, found->c_str()) < 0) *found = e->d_name;
        any = true;
    }
    closedir(d);
    return any;
}

std::string join(const std::string& base, const std::vector<Component>& comps) {
    std::string out = base;
    for (auto& c : comps) out += "/" + c.name;
    return out.empty() ? "/" : out;
}

// Replaces the spelling of each missing, non-exact component by an
// existing entry that differs only in case.
std::string fold_case(const std::string& base, const std::vector<Component>& comps) {
    std::string spelled = join(base, comps);
    struct stat st;
    if (lstat(spelled.c_str(), &st) == 0 || errno != ENOENT) return spelled;
    std::string cur = base;
    bool lost = false;  // once a component is missing, the rest cannot exist
    for (auto& c : comps) {
        std::string candidate = cur + "/" + c.name;
        if (c.exact || lost || lstat(candidate.c_str(), &st) == 0) {
            cur = candidate;
            continue;
        }
        std::string match;
        if (errno == ENOENT && find_ignoring_case(cur, c.name, &match)) {
            cur += "/" + match;
        } else {
            cur = candidate;
            lost = true;
        }
    }
    return cur.empty() ? "/" : cur;
}

// Appends the components of a Windows-style or POSIX path text, resolving
// "." and ".." and, for Windows-style text, trimming as Win32 does.
void append_components(const char* text, bool windows_style, std::vector<Component>* out) {
    auto parts = split(text);
    size_t len = strlen(text);
    bool ends_with_sep = len > 0 && is_sep(text[len - 1]);
    for (size_t i = 0; i < parts.size(); ++i) {
        std::string& p = parts[i];
        if (p == ".") continue;
        if (p == "..") {
            if (!out->empty()) out->pop_back();
            continue;
        }
        if (windows_style) {
            if (p.size() >= 2 && p.back() == '.' && p[p.size() - 2] != '.') p.pop_back();
            if (i + 1 == parts.size() && !ends_with_sep) {
                while (!p.empty() && (p.back() == '.' || p.back() == ' ')) p.pop_back();
            }
            if (p.empty()) continue;
        }
        out->push_back(Component{p, !windows_style});
    }
}

bool current_directory(std::string* cwd) {
    char buf[PATH_MAX];
    if (!getcwd(buf, sizeof buf)) return false;
    *cwd = buf;
    return true;
}

// The drive directory and components of the current directory, for paths
// that are relative to it or to its drive.
bool current_drive(DriveMatch* drive, std::vector<Component>* comps) {
    std::string cwd;
    if (!current_directory(&cwd)) return false;
    cwd = normalise_host(cwd);
    *drive = best_drive(cwd);
    for (auto& part : split(cwd.c_str() + drive->dir.size())) comps->push_back(Component{part, true});
    return true;
}

size_t windows_length(const std::vector<Component>& comps) {
    size_t n = 2;  // "C:"
    if (comps.empty()) return n + 1;
    for (auto& c : comps) n += 1 + c.name.size();
    return n;
}

}  // namespace

bool drive_directory(char drive, std::string* dir) {
    char letter = ascii_upper(drive);
    if (!is_letter(letter)) return false;
    if (letter == 'Z') {
        dir->clear();
        return true;
    }
    char name[] = "ZKX_DRIVE_?";
    name[sizeof name - 2] = letter;
    const char* value = getenv(name);
    if (!value && letter == 'C') value = kDefaultDriveC;
    if (!value || value[0] != '/') return false;  // unset, empty or relative: unmapped
    *dir = normalise_host(value);
    return true;
}

std::string absolute_host_path(const std::string& path) {
    std::string cwd;
    bool relative = path.empty() || path[0] != '/';
    std::string out = normalise_host(relative && current_directory(&cwd) ? cwd + "/" + path : path);
    return out.empty() ? "/" : out;
}

std::string path_to_windows(const std::string& host) {
    DriveMatch drive = best_drive(host);
    std::string out{drive.letter, ':'};
    std::string rest = host.substr(drive.dir.size());
    if (rest.empty()) rest = "/";
    for (char& c : rest) {
        if (c == '/') c = '\\';
    }
    return out + rest;
}

DWORD path_to_host(const char* path, std::string* host, size_t max_chars) {
    if (!path) return ERROR_INVALID_PARAMETER;
    size_t len = strnlen(path, kMaxPathChars + 1);
    if (len == 0) return ERROR_PATH_NOT_FOUND;
    if (len > kMaxPathChars) return ERROR_FILENAME_EXCED_RANGE;

    if (path[0] == '/') {
        std::vector<Component> comps;
        append_components(path, false, &comps);
        *host = join("", comps);
        if (path_to_windows(*host).size() > max_chars) return ERROR_FILENAME_EXCED_RANGE;
        return host->size() >= PATH_MAX ? ERROR_FILENAME_EXCED_RANGE : 0;
    }
    if (is_sep(path[0]) && is_sep(path[1])) return ERROR_PATH_NOT_FOUND;  // UNC: no network

    DriveMatch drive;
    std::vector<Component> comps;
    const char* rest = path;
    if (is_letter(path[0]) && path[1] == ':') {
        char letter = ascii_upper(path[0]);
        rest = path + 2;
        if (!drive_directory(letter, &drive.dir)) return ERROR_PATH_NOT_FOUND;
        drive.letter = letter;
        if (!is_sep(rest[0])) {
            DriveMatch cur;
            std::vector<Component> cur_comps;
            if (current_drive(&cur, &cur_comps) && cur.letter == letter) comps = cur_comps;
        }
    } else if (!current_drive(&drive, &comps)) {
        return ERROR_PATH_NOT_FOUND;
    } else if (is_sep(path[0])) {
        comps.clear();  // the root of the current drive
    }
    if (has_invalid_name_char(rest)) return ERROR_INVALID_NAME;

    append_components(rest, true, &comps);
    if (windows_length(comps) > max_chars) return ERROR_FILENAME_EXCED_RANGE;
    *host = fold_case(drive.dir, comps);
    return host->size() >= PATH_MAX ? ERROR_FILENAME_EXCED_RANGE : 0;
}

}  // namespace zkx::win32
