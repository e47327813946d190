// zkx settings: the installation settings exactly as the library returns
// them, and changed through the library's own setters.
#include <cctype>
#include <cstdio>
#include <cstring>
#include <string>

#include "ZKEnv.h"
#include "ZKUtil.h"
#include "cli.h"
#include "reg_key.h"

namespace zkx::tool {
namespace {

// What the environment getter reports for a value nobody stored.
constexpr DWORD ERROR_NOT_SET = 232;

using DirGetter = DWORD(ZKAPI*)(DWORD, DWORD, LPSTR, LPDWORD);
using DirSetter = DWORD(ZKAPI*)(DWORD, DWORD, LPCSTR);
using CodeSetter = DWORD(ZKAPI*)(DWORD, DWORD, LPCSTR);

std::string result_text(DWORD r) {
    return r == ERROR_NOT_SET ? "not set" : "(" + win32_error_text(r) + ")";
}

std::string dir_text(DirGetter get) {
    char buf[ZKMISC_DATADIR_SIZE];
    DWORD len = 0;
    DWORD r = get(0, sizeof buf, buf, &len);
    return r == 0 ? printable(std::string(buf, len)) : result_text(r);
}

std::string code_text(DWORD r, const char* buf, DWORD len) {
    return r == 0 ? printable(std::string(buf, len)) : result_text(r);
}

int settings_show() {
    std::printf("ZK directory    %s\n", dir_text(ZKMiscGetZKDir).c_str());
    std::printf("data directory  %s\n", dir_text(ZKMiscGetDataDir).c_str());
    std::printf("DLL directory   %s\n", dir_text(ZKMiscGetDllDir).c_str());
    DWORD type = 0;
    ZKMiscGetSystemType(0, 0, 0, &type);
    std::printf("system type     %u\n", unsigned(type));

    char buf[ZKMISC_CODE_SIZE];
    DWORD len = 0;
    WORD lang_id = 0;
    DWORD r = ZKMiscGetLangCode(&lang_id, sizeof buf, buf, &len);
    std::string lang = code_text(r, buf, len);
    if (r == 0) {
        char id[32];
        std::snprintf(id, sizeof id, " (language id 0x%04X)", unsigned(lang_id));
        lang += lang_id ? id : " (no language id)";
    }
    std::printf("language code   %s\n", lang.c_str());
    r = ZKMiscGetCountryCode(nullptr, sizeof buf, buf, &len);
    std::printf("country code    %s\n", code_text(r, buf, len).c_str());
    r = ZKMiscGetLocalizeCode(nullptr, sizeof buf, buf, &len);
    std::printf("localize code   %s\n", code_text(r, buf, len).c_str());

    ZKMISC_ENVIRONMENT env;
    DWORD size = sizeof env;
    r = ZKMiscGetEnvironment(ZKMISC_ENV_LEVEL, &env, &size);
    if (r != 0 && r != 1) {
        std::printf("OEM type        %s\nproduct name    %s\n", result_text(r).c_str(), result_text(r).c_str());
        return kExitOk;
    }
    if (env.dwOemTypeResult == 0)
        std::printf("OEM type        %u\n", unsigned(env.dwOemType));
    else
        std::printf("OEM type        %s\n", result_text(env.dwOemTypeResult).c_str());
    if (env.dwProductNameResult == 0) {
        std::string name(env.szProductName, strnlen(env.szProductName, sizeof env.szProductName));
        std::printf("product name    %s\n", printable(name).c_str());
    } else {
        std::printf("product name    %s\n", result_text(env.dwProductNameResult).c_str());
    }
    return kExitOk;
}

// The environment setter never creates the settings key; an installation
// tool may.
void ensure_settings_key() {
    char path[261];
    ZKMiscMakeRegPath(nullptr, nullptr, sizeof path, path);
    OpenKey key;
    LSTATUS r = key.create(HKEY_LOCAL_MACHINE, path);
    if (r != 0) throw Failure("cannot create the settings key: " + win32_error_text(DWORD(r)));
}

void set_environment(const std::string& what, const std::string& value, bool remove) {
    ZKMISC_ENVIRONMENT env;
    std::memset(&env, 0, sizeof env);
    env.dwOemType = ZKMISC_OEMTYPE_UNKNOWN;
    std::memset(env.szProductName, 0xFF, 4);
    const char* value_name = what == "oemtype" ? "ZKOemType" : "ZKProductName";
    if (remove) {
        // The library has no way to forget these; the value goes directly.
        char path[261];
        ZKMiscMakeRegPath(nullptr, nullptr, sizeof path, path);
        OpenKey key;
        if (key.open(HKEY_LOCAL_MACHINE, path, KEY_ALL_ACCESS) == 0) {
            LSTATUS r = RegDeleteValueA(key.get(), value_name);
            if (r != 0 && r != ERROR_FILE_NOT_FOUND)
                throw Failure(std::string("cannot delete ") + value_name + ": " + win32_error_text(DWORD(r)));
        }
        return;
    }
    if (what == "oemtype") {
        if (!parse_u32(value, &env.dwOemType) || env.dwOemType > 1)
            throw UsageError("the OEM type is 0 or 1, not '" + value + "'");
    } else {
        if (value.empty() || value.size() >= ZKMISC_PRODUCTNAME_SIZE)
            throw UsageError("the product name needs 1 to 127 characters");
        std::memset(env.szProductName, 0, sizeof env.szProductName);
        std::memcpy(env.szProductName, value.data(), value.size());
    }
    ensure_settings_key();
    DWORD r = ZKMiscSetEnvironment(ZKMISC_ENV_LEVEL, &env, 0);
    if (r != 0) throw Failure(std::string("cannot store ") + value_name + ": " + win32_error_text(r));
}

int settings_change(Args& args, bool remove) {
    std::string what = args.take("setting name");
    for (char& c : what) c = char(std::tolower(static_cast<unsigned char>(c)));
    std::string value = remove ? "" : args.take("value");
    args.finish();
    DWORD flags = remove ? ZKMISC_FLAG_DELETE : ZKMISC_FLAG_STORE;
    DWORD r = 0;
    DirSetter dir = what == "zkdir" ? ZKMiscSetZKDir
                    : what == "datadir" ? ZKMiscSetDataDir
                    : what == "dlldir" ? ZKMiscSetDllDir : nullptr;
    CodeSetter code = what == "lang" ? ZKMiscSetLangCode : what == "country" ? ZKMiscSetCountryCode : nullptr;
    if (dir) {
        if (!remove && value.empty()) throw UsageError("a directory cannot be empty");
        r = dir(0, flags, value.c_str());
        if (r == ERROR_INSUFFICIENT_BUFFER) throw UsageError("directory too long: '" + value + "'");
    } else if (code) {
        if (!remove && value.empty()) throw UsageError("a code cannot be empty");
        r = code(0, flags, value.c_str());
        if (r == ERROR_INSUFFICIENT_BUFFER) throw UsageError("code longer than 259 characters");
    } else if (what == "systemtype") {
        uint32_t n = 0;
        if (!remove && !parse_u32(value, &n)) throw UsageError("the system type is a 32-bit number, not '" + value + "'");
        r = ZKMiscSetSystemType(0, flags, n);
    } else if (what == "oemtype" || what == "product") {
        set_environment(what, value, remove);
    } else {
        throw UsageError("unknown setting '" + what +
                         "' (zkdir, datadir, dlldir, systemtype, lang, country, oemtype, product)");
    }
    if (r != 0) throw Failure("the library refused the setting: " + win32_error_text(r));
    return settings_show();
}

int settings_main(Args& args) {
    if (args.empty()) return settings_show();
    std::string op = args.take("operation");
    if (op == "show") {
        args.finish();
        return settings_show();
    }
    if (op == "set") return settings_change(args, false);
    if (op == "unset") return settings_change(args, true);
    throw UsageError("unknown settings operation '" + op + "' (show, set or unset)");
}

}  // namespace

extern const Command kSettingsCommand = {
    "settings", "show and set the installation settings",
    "usage:\n"
    "  zkx settings [show]\n"
    "  zkx settings set   SETTING VALUE\n"
    "  zkx settings unset SETTING\n"
    "\n"
    "show prints every setting as the library returns it, defaults included.\n"
    "set stores a value in the registry through the library's setter; unset\n"
    "removes the stored value, so the library falls back to its default.\n"
    "SETTING is one of:\n"
    "  zkdir, datadir, dlldir   the installation, data and DLL directories\n"
    "  systemtype               a 32-bit number\n"
    "  lang, country            the language and country codes (EN, US, ...)\n"
    "  oemtype                  0 or 1\n"
    "  product                  the product name, at most 127 characters\n",
    settings_main};

}  // namespace zkx::tool
