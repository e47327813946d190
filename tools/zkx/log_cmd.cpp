// zkx log: a module's log configuration, shown and changed the way the
// library reads it, so that nobody needs to know the key layout.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <vector>

#include "ZKDLog.h"
#include "ZKUtil.h"
#include "cli.h"
#include "reg_key.h"

namespace zkx::tool {
namespace {

struct Level {
    const char* name;
    WORD value;
};

// The level names the library accepts, lowest first.
const Level kLevels[] = {
    {"LO", ZKDLOG_LO},   {"COM", ZKDLOG_COM}, {"END", ZKDLOG_END}, {"STA", ZKDLOG_STA},
    {"DBG", ZKDLOG_DBG}, {"CHK", ZKDLOG_CHK}, {"NTA", ZKDLOG_NTA}, {"ATT", ZKDLOG_ATT},
    {"STD", ZKDLOG_STD}, {"ERR", ZKDLOG_ERR}, {"EMR", ZKDLOG_EMR}, {"HI", ZKDLOG_HI},
};

// A file path the library takes: 259 characters and its terminator.
constexpr size_t kMaxPath = 259;

std::string level_names() {
    std::string out;
    for (const Level& l : kLevels) out += std::string(out.empty() ? "" : " ") + l.name;
    return out;
}

const Level* find_level(const std::string& name) {
    for (const Level& l : kLevels)
        if (equals_ignoring_case(name, l.name)) return &l;
    return nullptr;
}

std::string checked_level(const std::string& name) {
    const Level* l = find_level(name);
    if (!l) throw UsageError("unknown level '" + name + "' (levels: " + level_names() + ")");
    return l->name;
}

std::string message_key(const std::string& module) {
    if (module.empty()) throw UsageError("the module name is empty");
    if (module.find('\\') != std::string::npos)
        throw UsageError("a module name has no '\\': '" + module + "'");
    char path[261];
    if (ZKMiscMakeRegPath(module.c_str(), "Message", sizeof path, path) != 0)
        throw UsageError("module name too long: '" + module + "'");
    return path;
}

// A string value as the library takes it: REG_SZ, not empty, and fitting
// its buffer; anything else counts as absent.
bool read_setting(HKEY key, const char* name, size_t room, std::string* out) {
    char buf[261] = {};
    DWORD type = 0, size = DWORD(room);
    if (RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<BYTE*>(buf), &size) != 0)
        return false;
    if (type != REG_SZ || size == 0 || buf[0] == '\0') return false;
    buf[room - 1] = '\0';
    *out = buf;
    return true;
}

std::string describe_level(HKEY key, size_t room) {
    std::string name;
    if (!key || !read_setting(key, "OutputLevel", room, &name))
        return "not set (HI: only 0xFFFF records)";
    char buf[64];
    if (const Level* l = find_level(name)) {
        std::snprintf(buf, sizeof buf, "%s (0x%04X)", l->name, unsigned(l->value));
        return buf;
    }
    return "'" + name + "' is no level name: 0x0000, every record passes";
}

// Why a present "OutputTo" gives no file at all, in the library's terms;
// "" when the library takes it.
std::string ignored_path_reason(HKEY key) {
    DWORD type = 0, size = 0;
    if (RegQueryValueExA(key, "OutputTo", nullptr, &type, nullptr, &size) != 0) return "";
    if (type != REG_SZ) return "OutputTo is not a REG_SZ string: the library ignores it";
    std::vector<char> data(size + 1, '\0');
    RegQueryValueExA(key, "OutputTo", nullptr, &type, reinterpret_cast<BYTE*>(data.data()), &size);
    if (size == 0 || data[0] == '\0') return "OutputTo is empty: the library ignores it";
    const size_t length = strnlen(data.data(), size);
    if (length > kMaxPath)
        return "OutputTo has " + std::to_string(length) + " characters, more than the " +
               std::to_string(kMaxPath) + " the library reads: it ignores it";
    return "";
}

std::string folder_of(const std::string& host) {
    size_t slash = host.rfind('/');
    return slash == 0 || slash == std::string::npos ? "/" : host.substr(0, slash);
}

std::string as_whom() { return " (checked as uid " + std::to_string(geteuid()) + ")"; }

// Why the library's open of an existing file fails for us, or "" when it
// would succeed.
std::string refusal_reason(const std::string& host) {
    struct stat folder, st;
    // The layer's rule for folders that others may write, repeated here.
    const bool shared_folder = stat(folder_of(host).c_str(), &folder) == 0 &&
                               ((folder.st_mode & S_IWOTH) ||
                                ((folder.st_mode & S_ISVTX) && (folder.st_mode & S_IWGRP)));
    if (lstat(host.c_str(), &st) != 0) return "access denied" + as_whom();
    if (shared_folder) {
        const std::string where = " in " + folder_of(host) + ", a folder that others may write";
        if (S_ISLNK(st.st_mode)) return "refused: it is a symbolic link" + where + ", which the library never follows";
        if (!S_ISREG(st.st_mode)) return "refused: it is not a regular file" + where;
        if (st.st_uid != geteuid() && st.st_uid != 0)
            return "refused: it belongs to uid " + std::to_string(st.st_uid) + where;
        if (st.st_mode & S_IWOTH) return "refused: every user may write it" + where;
        if (st.st_nlink != 1) return "refused: it has other names (hard links)" + where;
    }
    if (stat(host.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) return "it is a folder";
    if (access(host.c_str(), W_OK) != 0) return "access denied" + as_whom();
    return "";
}

// What happens to a record for this path, found by the same guarded open
// as the file writer's.  The open asks only to read and lets others write,
// so that no writer of the library meets a sharing conflict because of us,
// and the file's mutex is left alone: taking it could swallow the sign of a
// dead writer that its next user acts on.
std::string file_status(const std::string& path) {
    char mutex_name[260], probe[260];
    if (ZKMiscMakeSysObjName("ZKDLog", "LOGExcl", path.c_str(), sizeof mutex_name, mutex_name) != 0) {
        ZKMiscMakeSysObjName("ZKDLog", "LOGExcl", "", sizeof probe, probe);
        const size_t fit = sizeof mutex_name - std::strlen(probe) - 1;
        return "gets nothing: the path has " + std::to_string(path.size()) +
               " characters, too long for the name of its file mutex (at most " + std::to_string(fit) +
               " fit), so the library does not take it up";
    }
    HANDLE mutex = CreateMutexA(nullptr, FALSE, mutex_name);
    if (!mutex) return "gets nothing: its file mutex cannot be made: " + win32_error_text(GetLastError());
    CloseHandle(mutex);

    char host_buf[4096];
    const DWORD n = zkx_path_to_host(path.c_str(), host_buf, sizeof host_buf);
    if (n == 0 || n >= sizeof host_buf)
        return "gets nothing: the path cannot be mapped to a file: " + win32_error_text(GetLastError());
    const std::string host(host_buf, n);
    HANDLE file = zkx_create_file_guarded(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                          OPEN_EXISTING, 0640);
    const DWORD err = file == INVALID_HANDLE_VALUE ? GetLastError() : 0;
    if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
    if (err == 0 || err == ERROR_ACCESS_DENIED) {
        const std::string why = refusal_reason(host);
        return why.empty() ? "records are appended" + as_whom() : "gets nothing: " + why;
    }
    if (err != ERROR_FILE_NOT_FOUND && err != ERROR_PATH_NOT_FOUND)
        return "gets nothing: " + win32_error_text(err);
    const std::string folder = folder_of(host);
    struct stat st;
    if (stat(folder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
        return "gets nothing: the folder " + folder + " does not exist, and the library does not create it";
    if (access(folder.c_str(), W_OK | X_OK) != 0)
        return "gets nothing: access denied to the folder " + folder + as_whom();
    return "not there yet: the first record creates it" + as_whom();
}

void print_file_output(HKEY file_key, bool has_file, const std::string& file) {
    std::printf("file         %s\n", has_file ? printable(file).c_str() : "off");
    std::printf("file level   %s\n", printable(describe_level(file_key, 260)).c_str());
}

int log_show(const std::string& module) {
    std::string path = message_key(module);
    std::printf("module       %s\n", printable(module).c_str());
    std::printf("key          HKEY_LOCAL_MACHINE\\%s\n", printable(path).c_str());
    OpenKey message, file_key, debug_key;
    if (message.open(HKEY_LOCAL_MACHINE, path, KEY_READ) != 0) {
        std::printf("file         off\nfile level   not set (HI)\ndebug level  not set (HI)\n"
                    "(no configuration: the library writes only 0xFFFF records, to debug output)\n");
        return kExitOk;
    }
    bool has_file_key = file_key.open(message.get(), "LOG", KEY_READ) == 0;
    bool has_debug_key = debug_key.open(message.get(), "DBG", KEY_READ) == 0;
    std::string file;
    bool has_file = has_file_key && read_setting(file_key.get(), "OutputTo", 260, &file);
    print_file_output(has_file_key ? file_key.get() : nullptr, has_file, file);
    std::printf("debug level  %s\n", printable(describe_level(has_debug_key ? debug_key.get() : nullptr, 64)).c_str());
    if (has_file) {
        char mutex[260];
        if (ZKMiscMakeSysObjName("ZKDLog", "LOGExcl", file.c_str(), sizeof mutex, mutex) == 0)
            std::printf("file mutex   %s\n", printable(mutex).c_str());
        std::printf("file status  %s\n", printable(file_status(file)).c_str());
        const bool absolute = file[0] == '/' || file[0] == '\\' ||
                              (file.size() > 2 && file[1] == ':' && (file[2] == '\\' || file[2] == '/'));
        if (!absolute)
            std::printf("             (a relative path: checked from zkx's current folder; each program\n"
                        "             resolves it from its own)\n");
    } else if (has_file_key) {
        std::string why = ignored_path_reason(file_key.get());
        if (!why.empty()) std::printf("file status  gets nothing: %s\n", printable(why).c_str());
    }
    return kExitOk;
}

// Every module that has a log configuration under the settings key.
int log_show_all() {
    char admin[261];
    ZKMiscMakeRegPath(nullptr, nullptr, sizeof admin, admin);
    OpenKey settings;
    std::vector<std::string> modules;
    if (settings.open(HKEY_LOCAL_MACHINE, admin, KEY_READ) == 0) read_subkeys(settings.get(), &modules);
    int shown = 0;
    for (const std::string& module : modules) {
        OpenKey message;
        if (module.find('\\') != std::string::npos ||
            message.open(settings.get(), module + "\\Message", KEY_READ) != 0)
            continue;
        if (shown++) std::printf("\n");
        log_show(module);
    }
    if (shown == 0)
        std::printf("no module has a log configuration under HKEY_LOCAL_MACHINE\\%s\n", printable(admin).c_str());
    return kExitOk;
}

void set_string(HKEY root, const std::string& sub, const char* name, const std::string& value) {
    OpenKey key;
    LSTATUS r = key.create(root, sub);
    if (r == 0)
        r = RegSetValueExA(key.get(), name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                           DWORD(value.size() + 1));
    if (r != 0) throw Failure("cannot write HKEY_LOCAL_MACHINE\\" + sub + ": " + win32_error_text(DWORD(r)));
}

int log_set(const std::string& module, Args& args) {
    std::string path = message_key(module);
    std::string file, file_level, debug_level;
    bool has_file = false, has_file_level = false, has_debug_level = false;
    while (!args.empty()) {
        std::string v;
        if (args.take_option("--file", &v)) {
            if (v.empty() || v.size() > kMaxPath)
                throw UsageError("the log file path must have 1 to 259 characters");
            file = v;
            has_file = true;
        } else if (args.take_option("--level", &v)) {
            file_level = checked_level(v);
            has_file_level = true;
        } else if (args.take_option("--debug-level", &v)) {
            debug_level = checked_level(v);
            has_debug_level = true;
        } else {
            args.finish();
        }
    }
    if (!has_file && !has_file_level && !has_debug_level)
        throw UsageError("give --file, --level or --debug-level");
    if (has_file) set_string(HKEY_LOCAL_MACHINE, path + "\\LOG", "OutputTo", file);
    if (has_file_level) set_string(HKEY_LOCAL_MACHINE, path + "\\LOG", "OutputLevel", file_level);
    if (has_debug_level) set_string(HKEY_LOCAL_MACHINE, path + "\\DBG", "OutputLevel", debug_level);
    return log_show(module);
}

// Off means off for processes that reload too: a missing "LOG" or "DBG"
// key would leave their outputs as they were, so the keys stay, the file
// path goes and both thresholds go to HI.
int log_off(const std::string& module) {
    std::string path = message_key(module);
    OpenKey file_key;
    if (file_key.open(HKEY_LOCAL_MACHINE, path + "\\LOG", KEY_ALL_ACCESS) == 0) {
        LSTATUS r = RegDeleteValueA(file_key.get(), "OutputTo");
        if (r != 0 && r != ERROR_FILE_NOT_FOUND)
            throw Failure("cannot remove OutputTo: " + win32_error_text(DWORD(r)));
    }
    set_string(HKEY_LOCAL_MACHINE, path + "\\LOG", "OutputLevel", "HI");
    set_string(HKEY_LOCAL_MACHINE, path + "\\DBG", "OutputLevel", "HI");
    return log_show(module);
}

int log_main(Args& args) {
    if (args.empty()) return log_show_all();
    std::string op = args.take("operation (show, set or off)");
    if (op == "show" && args.empty()) return log_show_all();
    std::string module = args.take("module name");
    if (op == "show") {
        args.finish();
        return log_show(module);
    }
    if (op == "set") return log_set(module, args);
    if (op == "off") {
        args.finish();
        return log_off(module);
    }
    throw UsageError("unknown log operation '" + op + "'");
}

}  // namespace

extern const Command kLogCommand = {
    "log", "show or change a module's log configuration",
    "usage:\n"
    "  zkx log [show]\n"
    "  zkx log show MODULE\n"
    "  zkx log set  MODULE [--file PATH] [--level LEVEL] [--debug-level LEVEL]\n"
    "  zkx log off  MODULE\n"
    "\n"
    "MODULE is a log's module name, such as ZKMisc or ZKShMem.  The file output\n"
    "writes records at or above --level to PATH; the debug-string output (see\n"
    "\"zkx dbgview\") those at or above --debug-level.  Levels, lowest first:\n"
    "  LO COM END STA DBG CHK NTA ATT STD ERR EMR HI\n"
    "\"off\" removes the file and sets both levels to HI.  Programs read the\n"
    "configuration when they load the library.\n"
    "\"show\" without MODULE shows every module that has a configuration.  Its\n"
    "\"file status\" line says whether records reach the file and, when they\n"
    "do not, why: a path the library ignores or cannot name a mutex for, a\n"
    "missing folder, access denied, or a link or foreign file in a folder that\n"
    "others may write.  Access is checked as the user who runs zkx.\n",
    log_main};

}  // namespace zkx::tool
