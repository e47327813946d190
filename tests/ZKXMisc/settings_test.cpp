// The installation settings: directories, locale codes, system type and the
// environment record, each read from the settings key and cached.  Tests
// reach the key behind the library's back.
#include <algorithm>
#include <cstdio>
#include <tuple>

#include "ZKEnv.h"
#include "ZKMiscPriv.h"
#include "ZKUtilPriv.h"
#include "misc_test_util.h"
#include "test_util.h"

using namespace zkx::test;

namespace {

// What the environment get returns when neither value could be read.
constexpr DWORD kNothingRead = 1;

std::string settings_path() {
    char path[ZKMISC_DIR_SIZE];
    ZKMiscMakeRegPath(nullptr, nullptr, sizeof path, path);
    return path;
}

void put_text(const char* name, const std::string& text, DWORD type = REG_SZ) {
    put_reg_text(HKEY_LOCAL_MACHINE, settings_path(), name, text, type);
}
void put_number(const char* name, DWORD value) {
    HKEY key = nullptr;
    RegCreateKeyA(HKEY_LOCAL_MACHINE, settings_path().c_str(), &key);
    RegSetValueExA(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof value);
    RegCloseKey(key);
}

// A value's bytes if it is a REG_SZ, or what else it is.
std::string stored(const char* name) {
    HKEY key = nullptr;
    char data[1024];
    DWORD type = 0, size = sizeof data;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, settings_path().c_str(), 0, KEY_READ, &key) != 0) return "absent";
    LONG rc = RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<LPBYTE>(data), &size);
    RegCloseKey(key);
    return rc ? "absent" : type != REG_SZ ? "not text" : std::string(data, size);
}

void forget_cached_settings() {
    zkutil_reset_dir_caches();
    zkutil_reset_code_caches();
    zkutil_reset_environment_cache();
}

// A freshly loaded library on a machine without the settings key.
void fresh_settings() {
    forget_cached_settings();
    for (const char* name : {"ZKDir", "ZKDataDir", "ZKDllDir", "ZKSystemType", "ZKLangCode", "ZKCountryCode",
                             "ZKOemType", "ZKProductName", "Other"})
        zkutil_delete_setting(name);
    RegDeleteKeyA(HKEY_LOCAL_MACHINE, settings_path().c_str());
}

class FreshSettings : public ::testing::Test {
protected:
    void SetUp() override { fresh_settings(); }
};

std::string rc_text(DWORD rc) { return "rc " + std::to_string(rc); }

using DirGetter = DWORD(ZKAPI*)(DWORD, DWORD, LPSTR, LPDWORD);

// The directory, or "rc <code>".  Checks what every get promises: the
// length is written only on success, and nothing behind the terminator
// (or, refused, behind the size given) is written.
std::string dir(DirGetter getter, DWORD size = 300) {
    char buf[320];
    std::memset(buf, '#', sizeof buf);
    DWORD length = 12345;
    DWORD rc = getter(0, size, buf, &length);
    if (rc) EXPECT_EQ(length, 12345u);
    else EXPECT_EQ(length, std::strlen(buf));
    const DWORD end = rc ? size : length + 1;
    EXPECT_EQ(std::count(buf + end, buf + sizeof buf, '#'), long(sizeof buf - end));
    return rc ? rc_text(rc) : buf;
}

DWORD system_type() {
    DWORD value = 77;
    EXPECT_EQ(ZKMiscGetSystemType(0, 0, 0, &value), 0u);
    return value;
}

// "<code>/<length>/<identifier>", or "rc <code>".
std::string lang() {
    char buf[16];
    DWORD length = 99;
    WORD id = 0xBEEF;
    DWORD rc = ZKMiscGetLangCode(&id, sizeof buf, buf, &length);
    if (rc) return rc_text(rc);
    char out[64];
    std::snprintf(out, sizeof out, "%.*s/%u/%04X", int(length), buf, unsigned(length), id);
    return out;
}

std::string code(DWORD(ZKAPI* getter)(LPVOID, DWORD, LPSTR, LPDWORD)) {
    char buf[16];
    DWORD length = 0;
    DWORD rc = getter(nullptr, sizeof buf, buf, &length);
    return rc ? rc_text(rc) : std::string(buf, length);
}

// "ZK|data|DLL" directories and "language|country|localize" codes, each get
// made in that order.
std::string dirs() {
    const std::string zk = dir(ZKMiscGetZKDir), data = dir(ZKMiscGetDataDir);
    return zk + "|" + data + "|" + dir(ZKMiscGetDllDir);
}
std::string codes() {
    const std::string language = lang(), country = code(ZKMiscGetCountryCode);
    return language + "|" + country + "|" + code(ZKMiscGetLocalizeCode);
}

const std::string kTooSmall = rc_text(ERROR_INSUFFICIENT_BUFFER);

// The record's name up to its terminator, if it has one.
std::string product_name(const ZKMISC_ENVIRONMENT& env) {
    return std::string(env.szProductName, strnlen(env.szProductName, sizeof env.szProductName));
}

using Codes = FreshSettings;

TEST_F(Codes, SystemTypeIsReadUntilFoundAndSetLocally) {
    EXPECT_EQ(system_type(), 0u);
    put_number("ZKSystemType", 3);
    EXPECT_EQ(system_type(), 3u) << "the default 0 was not cached";
    put_number("ZKSystemType", 4);
    EXPECT_EQ(system_type(), 3u);
    ZKMiscSetSystemType(0, 0, 5);
    EXPECT_EQ(system_type(), 5u);
    ZKMiscSetSystemType(0, 0, 0xFFFFFFFF);
    EXPECT_EQ(system_type(), 4u) << "0xFFFFFFFF leaves the cache empty";
    ZKMiscSetSystemType(0, ZKMISC_FLAG_DELETE | ZKMISC_FLAG_STORE, 9);
    put_text("ZKSystemType", "7");
    EXPECT_EQ(system_type(), 0u) << "a REG_SZ is no system type";
    EXPECT_EQ(ZKMiscGetSystemType(0, 0, 0, nullptr), DWORD(ERROR_INVALID_PARAMETER));
}

TEST_F(Codes, StoredCodesAreTakenAsTheyStand) {
    put_text("ZKLangCode", "jp");
    put_text("ZKCountryCode", "Japan");
    EXPECT_EQ(codes(), "jp/2/0411|Japan|jp");
    EXPECT_EQ(lang(), "jp/2/0411");
    ZKMiscSetLangCode(0, 0, "XX");
    EXPECT_EQ(lang(), "XX/2/0000");
    ZKMiscSetLangCode(0, 0, "zh");
    EXPECT_EQ(code(ZKMiscGetLocalizeCode), "Japan") << "ZH is localized by its country";
    // Deleting the country forgets only the country.
    EXPECT_EQ(ZKMiscSetCountryCode(0, ZKMISC_FLAG_DELETE, nullptr), 0u);
    put_text("ZKCountryCode", "HK");
    EXPECT_EQ(code(ZKMiscGetCountryCode), "HK");
    EXPECT_EQ(lang(), "zh/2/0000");
}

TEST_F(Codes, AnEmptyStoredCodeIsReadAsItIsAndNotCached) {
    put_text("ZKLangCode", "");
    put_text("ZKCountryCode", "");
    EXPECT_EQ(codes(), "/0/0000||");
    char buf[2] = {'x', 'x'};
    DWORD length = 7;
    EXPECT_EQ(ZKMiscGetCountryCode(nullptr, 0, buf, &length), 0u) << "an empty code fits any buffer";
    EXPECT_EQ(length, 0u);
    put_text("ZKLangCode", "FR");
    put_text("ZKCountryCode", "BE");
    EXPECT_EQ(codes(), "FR/2/040C|BE|FR") << "the empty codes were not cached";
}

TEST_F(Codes, BuffersAndArguments) {
    ZKMiscSetLangCode(0, 0, "ZH");
    ZKMiscSetCountryCode(0, 0, "CN");
    char buf[4] = {'x', 'x', 'x', 'x'};
    DWORD length = 0;
    EXPECT_EQ(ZKMiscGetLangCode(nullptr, 2, buf, &length), 0u);
    EXPECT_EQ(std::string(buf, 4), "ZHxx") << "no terminator without room for it";
    // The localize code recognises ZH in a buffer without a terminator.
    EXPECT_EQ(ZKMiscGetLocalizeCode(nullptr, 2, buf, &length), 0u);
    EXPECT_EQ(std::string(buf, 4), "CNxx");
    EXPECT_EQ(ZKMiscGetLangCode(nullptr, 1, buf, &length), DWORD(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(ZKMiscGetLocalizeCode(nullptr, 1, buf, &length), DWORD(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(ZKMiscGetLangCode(nullptr, 4, nullptr, &length), DWORD(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(ZKMiscGetLangCode(nullptr, 4, buf, nullptr), DWORD(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(ZKMiscGetCountryCode(buf, 4, buf, &length), DWORD(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(ZKMiscGetLocalizeCode(buf, 4, buf, &length), DWORD(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(std::string(buf, 4), "CNxx");

    const std::string longest(259, 'c');
    EXPECT_EQ(ZKMiscSetCountryCode(0, 0, (longest + "c").c_str()), DWORD(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(ZKMiscSetCountryCode(0, 0, nullptr), DWORD(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(code(ZKMiscGetCountryCode), "CN") << "a refused set changes nothing";
    EXPECT_EQ(ZKMiscSetCountryCode(0, ZKMISC_FLAG_STORE, longest.c_str()), 0u);
    EXPECT_EQ(stored("ZKCountryCode"), longest + std::string(1, '\0'));
}

// In a process whose locale the parent chose; args: language line, country.
ZKX_CHILD(expect_locale_codes) {
    fresh_settings();
    if (lang() != args[0] || code(ZKMiscGetCountryCode) != args[1]) return 1;
    // A stored code that is too long or of another type falls back.
    ZKMiscSetLangCode(0, ZKMISC_FLAG_DELETE, nullptr);
    put_text("ZKLangCode", std::string(260, 'L'));
    if (lang() != args[0]) return 2;
    ZKMiscSetLangCode(0, ZKMISC_FLAG_DELETE, nullptr);
    put_number("ZKLangCode", 0x4544);
    if (lang() != args[0]) return 3;
    // An empty set empties the cache: the next get looks again.
    ZKMiscSetLangCode(0, 0, "");
    put_text("ZKLangCode", "DE");
    return lang() == "DE/2/0407" ? 0 : 4;
}

TEST_F(Codes, DefaultsComeFromTheUserLocale) {
    const std::vector<std::string> cases[] = {
        {"en_US.UTF-8", "EN/2/0409", "US"}, {"de_DE.UTF-8", "DE/2/0407", "DE"}, {"C", "EN/2/0409", "US"}};
    for (const auto& c : cases)
        EXPECT_EQ(run_child_with("LC_ALL", c[0], "expect_locale_codes", {c[1], c[2]}), 0) << c[0];
}

std::string module_dir() {
    char path[ZKMISC_DIR_SIZE];
    std::string s(path, GetModuleFileNameA(g_hZKMiscModule, path, sizeof path));
    return s.substr(0, s.rfind('\\'));
}

using Dirs = FreshSettings;

TEST_F(Dirs, StoredValuesLoseOneTrailingBackslash) {
    put_text("ZKDir", "D:\\Prod\\");
    put_text("ZKDataDir", "\\");
    put_text("ZKDllDir", "E:\\Lib\\\\");
    EXPECT_EQ(dirs(), "D:\\Prod||E:\\Lib\\");
}

TEST_F(Dirs, DefaultsFollowTheModuleThenTheWindowsDirectory) {
    put_text("ZKDir", "X:\\Other", REG_EXPAND_SZ);  // another type is no value
    const std::string home = module_dir();
    ASSERT_NE(home.find('\\'), std::string::npos);
    EXPECT_EQ(dirs(), home + "|" + home + "\\ZKWData|" + home);

    fresh_settings();
    HINSTANCE saved = g_hZKMiscModule;
    g_hZKMiscModule = reinterpret_cast<HINSTANCE>(&saved);  // no module lies there
    char windir[ZKMISC_DIR_SIZE];
    ASSERT_GT(GetWindowsDirectoryA(windir, sizeof windir), 0u);
    EXPECT_EQ(dir(ZKMiscGetDataDir), std::string(windir) + "\\ZK\\ZKWData");
    g_hZKMiscModule = saved;

    char out[16];
    DWORD length = 0;
    EXPECT_EQ(zkutil_windows_zk_dir("C:\\", 3, out, sizeof out, &length), 0u);
    EXPECT_STREQ(out, "C:\\ZK");
    EXPECT_EQ(zkutil_windows_zk_dir("C:\\WINDOWS", 10, out, 13, &length), DWORD(ERROR_INSUFFICIENT_BUFFER));
    // Where a module path's folder ends; its first byte is never a separator.
    EXPECT_EQ(zkutil_module_dir_length("C:\\Prod\\bin\\ZKXMisc.dll", 23), 11u);
    EXPECT_EQ(zkutil_module_dir_length("C:ZKXMisc.dll", 13), 2u);
    EXPECT_EQ(zkutil_module_dir_length(":ZKXMisc.dll", 12), 0u);
}

TEST_F(Dirs, CacheServesRetriesUntilDeleted) {
    put_text("ZKDir", "D:\\Prod");
    EXPECT_EQ(dir(ZKMiscGetZKDir, 7), kTooSmall);
    put_text("ZKDir", "D:\\Changed");
    EXPECT_EQ(dir(ZKMiscGetZKDir, 8), "D:\\Prod");

    EXPECT_EQ(ZKMiscSetZKDir(0, ZKMISC_FLAG_DELETE | ZKMISC_FLAG_STORE, nullptr), 0u);
    EXPECT_EQ(stored("ZKDir"), "absent");
    EXPECT_EQ(dir(ZKMiscGetZKDir), module_dir());
}

TEST_F(Dirs, SettersTrimStoreAndRefuse) {
    EXPECT_EQ(ZKMiscSetDataDir(0, ZKMISC_FLAG_STORE, "D:\\Data\\"), 0u);
    EXPECT_EQ(dir(ZKMiscGetDataDir), "D:\\Data");
    EXPECT_EQ(stored("ZKDataDir"), std::string("D:\\Data", 8));
    EXPECT_EQ(ZKMiscSetZKDir(0, 0, "\\"), 0u);
    EXPECT_EQ(dir(ZKMiscGetZKDir), "\\");
    EXPECT_EQ(stored("ZKDir"), "absent");
    // A derived default, once cached, does not follow the ZK directory.
    EXPECT_EQ(dir(ZKMiscGetDllDir), "\\");
    ZKMiscSetZKDir(0, 0, "Q:\\New");
    EXPECT_EQ(dir(ZKMiscGetDllDir), "\\");

    EXPECT_EQ(ZKMiscSetDllDir(0, 0, nullptr), DWORD(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(ZKMiscSetDllDir(0, 0, ""), DWORD(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(ZKMiscSetZKDir(0, 0, std::string(261, 'z').c_str()), DWORD(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(ZKMiscSetDllDir(0, 0, std::string(261, 'l').c_str()), DWORD(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(ZKMiscSetDataDir(0, 0, std::string(270, 'd').c_str()), DWORD(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(dir(ZKMiscGetDataDir), "D:\\Data") << "a refused set changes nothing";
    const std::string longest(269, 'd');
    EXPECT_EQ(ZKMiscSetDataDir(0, 0, (longest + "\\").c_str()), 0u);
    EXPECT_EQ(dir(ZKMiscGetDataDir, 270), longest);
    EXPECT_EQ(ZKMiscSetZKDir(0, 0, std::string(260, 'z').c_str()), 0u);
    EXPECT_EQ(dir(ZKMiscGetZKDir, 261), std::string(260, 'z'));
}

TEST_F(Dirs, BadBuffersAreRefused) {
    char buf[4];
    DWORD length = 12345;
    for (DirGetter getter : {ZKMiscGetZKDir, ZKMiscGetDataDir, ZKMiscGetDllDir}) {
        EXPECT_EQ(getter(0, 0, buf, &length), DWORD(ERROR_INVALID_PARAMETER));
        EXPECT_EQ(getter(0, 261, nullptr, &length), DWORD(ERROR_INVALID_PARAMETER));
        EXPECT_EQ(length, 12345u);
        EXPECT_EQ(dir(getter, 1), kTooSmall);
    }
}

TEST_F(Dirs, OverlongStoredValuesAreRefusedNotCut) {
    put_text("ZKDir", std::string(261, 'z'));
    put_text("ZKDllDir", std::string(261, 'l'));
    EXPECT_EQ(dirs(), kTooSmall + "|" + kTooSmall + "|" + kTooSmall) << "nothing is derived from nothing";
    put_text("ZKDir", "D:\\Z");
    put_text("ZKDllDir", std::string(260, 'l'));
    EXPECT_EQ(dir(ZKMiscGetDataDir), "D:\\Z\\ZKWData");
    EXPECT_EQ(dir(ZKMiscGetDllDir, 261), std::string(260, 'l'));
}

ZKX_CHILD(set_zk_dir) {
    return int(ZKMiscSetZKDir(0, args[1] == "store" ? ZKMISC_FLAG_STORE : 0, args[0].c_str()));
}
ZKX_CHILD(expect_zk_dir) {
    char buf[ZKMISC_DIR_SIZE];
    return ZKMiscGetZKDir(0, sizeof buf, buf, nullptr) == 0 && args[0] == buf ? 0 : 1;
}

TEST_F(Dirs, ProcessesKeepTheirOwnCopies) {
    auto run = [](const char* name, const std::string& dir, const char* how = "") {
        return wait_child(spawn_child(name, {dir, how}));
    };
    const std::string mine = dir(ZKMiscGetZKDir);
    EXPECT_EQ(run("set_zk_dir", "L:\\Local"), 0);
    EXPECT_EQ(run("expect_zk_dir", mine), 0) << "a set without the store flag stays home";
    EXPECT_EQ(run("set_zk_dir", "S:\\Stored\\", "store"), 0);
    EXPECT_EQ(dir(ZKMiscGetZKDir), mine) << "this process had its copy cached";
    EXPECT_EQ(run("expect_zk_dir", "S:\\Stored"), 0);
}

class Environment : public FreshSettings {
protected:
    ZKMISC_ENVIRONMENT env;
    DWORD size = 0;  // as the last get left it

    DWORD read_env(DWORD capacity = sizeof(ZKMISC_ENVIRONMENT)) {
        std::memset(&env, 0x5A, sizeof env);
        size = capacity;
        return ZKMiscGetEnvironment(ZKMISC_ENV_LEVEL, &env, &size);
    }
    // The get's result, the OEM type's result and value, the name's result
    // and text ("unknown" while it holds the marker).
    using Fields = std::tuple<DWORD, DWORD, DWORD, DWORD, std::string>;
    Fields read_fields() {
        const DWORD rc = read_env();
        const bool unknown = std::memcmp(env.szProductName, "\xFF\xFF\xFF\xFF", 4) == 0;
        return {rc, env.dwOemTypeResult, env.dwOemType, env.dwProductNameResult,
                unknown ? "unknown" : product_name(env)};
    }
    // A record for the setter: the OEM type and a name, cleared behind it;
    // a null name leaves the field unknown.
    static ZKMISC_ENVIRONMENT record(DWORD oem_type, const char* name) {
        ZKMISC_ENVIRONMENT r;
        std::memset(&r, 0, sizeof r);
        r.dwOemType = oem_type;
        if (name) std::strcpy(r.szProductName, name);
        else std::memset(r.szProductName, 0xFF, 4);
        return r;
    }
    static DWORD set(const ZKMISC_ENVIRONMENT& r) { return ZKMiscSetEnvironment(ZKMISC_ENV_LEVEL, &r, 0); }
};

TEST_F(Environment, LevelCapacityAndArguments) {
    ZKMISC_ENVIRONMENT r = record(0, nullptr);
    size = 140;
    EXPECT_EQ(ZKMiscGetEnvironment(2, &r, &size), DWORD(ERROR_INVALID_LEVEL));
    EXPECT_EQ(ZKMiscSetEnvironment(2, &r, 0), DWORD(ERROR_INVALID_LEVEL));
    EXPECT_EQ(ZKMiscGetEnvironment(1, nullptr, &size), DWORD(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(ZKMiscGetEnvironment(1, &r, nullptr), DWORD(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(ZKMiscSetEnvironment(1, nullptr, 0), DWORD(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(ZKMiscSetEnvironment(1, &r, 1), DWORD(ERROR_INVALID_PARAMETER));

    put_number("ZKOemType", 1);
    EXPECT_EQ(read_env(100), DWORD(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(env.dwOemTypeResult, 0x5A5A5A5Au) << "the record is not written";
    EXPECT_EQ(size, 140u);
    EXPECT_EQ(read_env(140), 0u);
    EXPECT_EQ(read_env(200), 0u);
    EXPECT_EQ(env.dwOemType, 1u);
}

TEST_F(Environment, ResultFieldsAndMarkers) {
    put_text("Other", "x");  // the key exists, neither value does
    EXPECT_EQ(read_fields(), Fields(kNothingRead, ERROR_NO_DATA, ZKMISC_OEMTYPE_UNKNOWN, ERROR_NO_DATA, "unknown"));
    put_text("ZKOemType", "1");  // the wrong type: not stored, looked for again
    EXPECT_EQ(read_env(), kNothingRead);
    put_number("ZKOemType", 1);
    EXPECT_EQ(read_fields(), Fields(0, 0, 1, ERROR_NO_DATA, "unknown"));

    // A name too long for the record is a failed read; the marker stays.
    put_text("ZKProductName", std::string(128, 'n'));
    EXPECT_EQ(read_fields(), Fields(ERROR_MORE_DATA, 0, 1, ERROR_MORE_DATA, "unknown"));
    // The result is that of the last read made in the call.
    put_text("ZKProductName", "ZK Admin");
    zkutil_reset_environment_cache();
    put_text("ZKOemType", "12345678", REG_BINARY);
    EXPECT_EQ(read_fields(), Fields(0, ERROR_MORE_DATA, ZKMISC_OEMTYPE_UNKNOWN, 0, "ZK Admin"))
        << "the name's read came last and succeeded";
    EXPECT_EQ(read_env(), DWORD(ERROR_MORE_DATA)) << "now the OEM type's read is the only one";
}

TEST_F(Environment, SetterWritesOnlyWhatIsGiven) {
    EXPECT_EQ(set(record(1, nullptr)), DWORD(ERROR_ACCESS_DENIED)) << "the key is never created";
    EXPECT_EQ(set(record(ZKMISC_OEMTYPE_UNKNOWN, "Name")), DWORD(ERROR_NO_DATA));

    put_text("Other", "x");
    EXPECT_EQ(set(record(2, "Name")), DWORD(ERROR_INVALID_DATA));
    ZKMISC_ENVIRONMENT r = record(0, nullptr);
    std::memset(r.szProductName, 'n', sizeof r.szProductName);  // no terminator
    EXPECT_EQ(set(r), DWORD(ERROR_INVALID_PARAMETER));
    r = record(ZKMISC_OEMTYPE_UNKNOWN, nullptr);
    std::memcpy(r.szProductName, "A", 2);  // 'A', 0, 0xFF, 0xFF: still unknown
    EXPECT_EQ(set(r), 0u);
    EXPECT_EQ(stored("ZKOemType"), "absent");
    EXPECT_EQ(stored("ZKProductName"), "absent");

    // The setter leaves this process's cached record alone.
    put_number("ZKOemType", 0);
    EXPECT_EQ(read_env(), 0u);
    EXPECT_EQ(set(record(1, std::string(127, 'n').c_str())), 0u);
    EXPECT_EQ(read_fields(), Fields(0, 0, 0, 0, std::string(127, 'n'))) << "a field not cached yet is read anew";
}

// Everything each getter yields, in one line.
std::string all_settings() {
    ZKMISC_ENVIRONMENT env;
    DWORD size = sizeof env;
    const DWORD rc = ZKMiscGetEnvironment(ZKMISC_ENV_LEVEL, &env, &size);
    const std::string directories = dirs(), locale = codes();
    return directories + "|" + locale + "|" + std::to_string(system_type()) + "|" + std::to_string(rc) + "/" +
           std::to_string(env.dwOemType) + "/" + product_name(env);
}

// Threads whose first gets of the same setting run at once.  Callers need
// not serialise gets with each other, so every thread must see the whole
// value and the caches must not race (this test earns its keep under
// ThreadSanitizer, which reports any unguarded access).
using SettingsRace = FreshSettings;

TEST_F(SettingsRace, ConcurrentFirstGetsAgree) {
    put_text("ZKDir", "D:\\Prod\\");
    put_text("ZKLangCode", "zh");
    put_text("ZKCountryCode", "TW");
    put_number("ZKSystemType", 6);
    put_number("ZKOemType", 1);
    put_text("ZKProductName", "Racer");
    const std::string expected = "D:\\Prod|D:\\Prod\\ZKWData|D:\\Prod|zh/2/0000|TW|TW|6|0/1/Racer";
    constexpr int kThreads = 4, kRounds = 20;
    for (int round = 0; round < kRounds; ++round) {
        forget_cached_settings();
        std::atomic<int> ready{0};
        std::vector<std::string> seen(kThreads);
        std::vector<std::thread> threads;
        for (int i = 0; i < kThreads; ++i) {
            threads.emplace_back([&, i] {
                // Start together, so that first gets overlap.
                ++ready;
                while (ready.load() < kThreads) std::this_thread::yield();
                seen[i] = all_settings();
            });
        }
        for (auto& t : threads) t.join();
        for (int i = 0; i < kThreads; ++i) ASSERT_EQ(seen[i], expected) << "round " << round << " thread " << i;
    }
    EXPECT_EQ(all_settings(), expected) << "and the caches hold the values";
}

}  // namespace
