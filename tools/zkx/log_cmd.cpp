// zkx log: a module's log configuration, shown and changed the way the
// library reads it, so that nobody needs to know the key layout.
#include <cstdio>
#include <cstring>

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

int log_show(const std::string& module) {
    std::string path = message_key(module);
    std::printf("module       %s\n", module.c_str());
    std::printf("key          HKEY_LOCAL_MACHINE\\%s\n", path.c_str());
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
    std::printf("file         %s\n", has_file ? file.c_str() : "off");
    std::printf("file level   %s\n", describe_level(has_file_key ? file_key.get() : nullptr, 260).c_str());
    std::printf("debug level  %s\n", describe_level(has_debug_key ? debug_key.get() : nullptr, 64).c_str());
    if (has_file) {
        char mutex[260];
        if (ZKMiscMakeSysObjName("ZKDLog", "LOGExcl", file.c_str(), sizeof mutex, mutex) == 0)
            std::printf("file mutex   %s\n", mutex);
    }
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
    std::string op = args.take("operation (show, set or off)");
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
    "  zkx log show MODULE\n"
    "  zkx log set  MODULE [--file PATH] [--level LEVEL] [--debug-level LEVEL]\n"
    "  zkx log off  MODULE\n"
    "\n"
    "MODULE is a log's module name, such as ZKMisc or ZKShMem.  The file output\n"
    "writes records at or above --level to PATH; the debug-string output (see\n"
    "\"zkx dbgview\") those at or above --debug-level.  Levels, lowest first:\n"
    "  LO COM END STA DBG CHK NTA ATT STD ERR EMR HI\n"
    "\"off\" removes the file and sets both levels to HI.  Programs read the\n"
    "configuration when they load the library.\n",
    log_main};

}  // namespace zkx::tool
