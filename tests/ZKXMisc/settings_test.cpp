// The installation settings, each read from the settings key and cached;
// the tests write the key behind the library's back.
#include <algorithm>
#include <cstdio>
#include <tuple>

#include "ZKEnv.h"
#include "ZKMiscPriv.h"
#include "ZKUtilPriv.h"
#include "misc_test_util.h"

using namespace zkx::test;

namespace {

constexpr DWORD kNothingRead = 1;  // the environment get's result when neither value could be read

void put_text(const char* name, const std::string& text, DWORD type = REG_SZ) {
    zkutil_store_setting(name, type, text.c_str(), DWORD(text.size() + 1));
}
void put_number(const char* name, DWORD value) { zkutil_store_setting(name, REG_DWORD, &value, sizeof value); }

void forget_cached_settings() {
    zkutil_reset_dir_caches();
    zkutil_reset_code_caches();
    zkutil_reset_environment_cache();
}

// A freshly loaded library on a machine without the settings key.
void fresh_settings() {
    forget_cached_settings();
    RegDeleteKeyA(HKEY_LOCAL_MACHINE, "SOFTWARE\\VELKO\\ZKW\\Admin");
}

class FreshSettings : public ::testing::Test {
protected:
    void SetUp() override { fresh_settings(); }
};

std::string rc_text(DWORD rc) { return "rc " + std::to_string(rc); }
const std::string kTooSmall = rc_text(ERROR_INSUFFICIENT_BUFFER);

using DirGetter = DWORD(ZKAPI*)(DWORD, DWORD, LPSTR, LPDWORD);
using CodeGetter = DWORD(ZKAPI*)(LPVOID, DWORD, LPSTR, LPDWORD);

// The directory, or "rc <code>".  Every get writes the length only on success,
// and nothing behind the terminator (refused: behind the size given).
std::string dir(DirGetter getter, DWORD size = 300) {
    char buf[320];
    std::memset(buf, '#', sizeof buf);
    DWORD length = 12345, rc = getter(0, size, buf, &length);
    EXPECT_EQ(length, rc ? 12345u : std::strlen(buf));
    const DWORD end = rc ? size : length + 1;
    EXPECT_EQ(std::count(buf + end, buf + sizeof buf, '#'), long(sizeof buf - end));
    return rc ? rc_text(rc) : buf;
}

DWORD system_type() {
    DWORD value = 77;
    EXPECT_EQ(ZKMiscGetSystemType(0, 0, 0, &value), 0u);
    return value;
}

std::string code(CodeGetter getter) {
    char buf[300];
    DWORD length = 0, rc = getter(nullptr, sizeof buf, buf, &length);
    return rc ? rc_text(rc) : std::string(buf, length);
}

// "ZK|data|DLL" directories and "language/its length/its id|country|localize"
// codes, each get made in that order.
std::string dirs() {
    const std::string zk = dir(ZKMiscGetZKDir), data = dir(ZKMiscGetDataDir);
    return zk + "|" + data + "|" + dir(ZKMiscGetDllDir);
}
std::string codes() {
    char buf[16], language[64];
    DWORD length = 0;
    WORD id = 0xBEEF;
    const DWORD rc = ZKMiscGetLangCode(&id, sizeof buf, buf, &length);
    std::snprintf(language, sizeof language, "%.*s/%u/%04X", int(rc ? 0 : length), buf, unsigned(length), id);
    const std::string country = code(ZKMiscGetCountryCode);
    return (rc ? rc_text(rc) : language) + "|" + country + "|" + code(ZKMiscGetLocalizeCode);
}

using Codes = FreshSettings;

TEST_F(Codes, StoredValuesAreReadUntilFoundAndSetLocally) {
    EXPECT_EQ(system_type(), 0u);
    put_number("ZKSystemType", 3);
    EXPECT_EQ(system_type(), 3u) << "the default 0 was not cached";
    put_number("ZKSystemType", 4);
    ZKMiscSetSystemType(0, 0, 5);
    EXPECT_EQ(system_type(), 5u) << "the set replaced the cached 3, not the stored 4";
    ZKMiscSetSystemType(0, 0, 0xFFFFFFFF);
    EXPECT_EQ(system_type(), 4u) << "0xFFFFFFFF leaves the cache empty";
    ZKMiscSetSystemType(0, ZKMISC_FLAG_DELETE | ZKMISC_FLAG_STORE, 9);
    put_text("ZKSystemType", "7");
    EXPECT_EQ(system_type(), 0u) << "a REG_SZ is no system type";
    EXPECT_EQ(ZKMiscGetSystemType(0, 0, 0, nullptr), DWORD(ERROR_INVALID_PARAMETER));

    // Stored codes are taken as they stand, and empty ones are not cached.
    put_text("ZKLangCode", "");
    put_text("ZKCountryCode", "");
    EXPECT_EQ(codes(), "/0/0000||");
    put_text("ZKLangCode", "jp");
    put_text("ZKCountryCode", "Japan");
    EXPECT_EQ(codes(), "jp/2/0411|Japan|jp");
    // Deleting the country forgets only the country; ZH is localized by it.
    ZKMiscSetLangCode(0, 0, "zh");
    EXPECT_EQ(ZKMiscSetCountryCode(0, ZKMISC_FLAG_DELETE, nullptr), 0u);
    put_text("ZKCountryCode", "HK");
    EXPECT_EQ(codes(), "zh/2/0000|HK|HK");
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
    EXPECT_EQ(ZKMiscGetLocalizeCode(nullptr, 1, buf, &length), DWORD(ERROR_INSUFFICIENT_BUFFER));
    // Each argument is refused alone, the reserved pointer too.
    for (CodeGetter getter : {ZKMiscGetCountryCode, ZKMiscGetLocalizeCode}) {
        EXPECT_EQ(getter(buf, 4, buf, &length), DWORD(ERROR_INVALID_PARAMETER));
        EXPECT_EQ(getter(nullptr, 4, nullptr, &length), DWORD(ERROR_INVALID_PARAMETER));
        EXPECT_EQ(getter(nullptr, 4, buf, nullptr), DWORD(ERROR_INVALID_PARAMETER));
    }
    EXPECT_EQ(std::string(buf, 4), "CNxx");

    const std::string longest(259, 'c');
    EXPECT_EQ(ZKMiscSetCountryCode(0, 0, (longest + "c").c_str()), DWORD(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(ZKMiscSetCountryCode(0, 0, nullptr), DWORD(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(code(ZKMiscGetCountryCode), "CN") << "a refused set changes nothing";
    EXPECT_EQ(ZKMiscSetCountryCode(0, 0, longest.c_str()), 0u);
    EXPECT_EQ(code(ZKMiscGetCountryCode), longest);
}

// In a process whose locale the parent chose; args[0]: the codes it gives.
ZKX_CHILD(expect_locale_codes) {
    fresh_settings();
    if (codes() != args[0]) return 1;
    // A stored code that is too long or of another type falls back.
    zkutil_reset_code_caches();
    put_text("ZKLangCode", std::string(260, 'L'));
    put_number("ZKCountryCode", 0x4544);
    if (codes() != args[0]) return 2;
    // An empty set empties the cache: the next get looks again.
    ZKMiscSetLangCode(0, 0, "");
    put_text("ZKLangCode", "DE");
    return codes().rfind("DE/2/0407|", 0) == 0 ? 0 : 3;
}

TEST_F(Codes, DefaultsComeFromTheUserLocale) {
    EXPECT_EQ(run_child_with("LC_ALL", "de_DE.UTF-8", "expect_locale_codes", {"DE/2/0407|DE|DE"}), 0);
    EXPECT_EQ(run_child_with("LC_ALL", "C", "expect_locale_codes", {"EN/2/0409|US|EN"}), 0);
}

std::string module_dir() {
    char path[ZKMISC_DIR_SIZE];
    std::string s(path, GetModuleFileNameA(g_hZKMiscModule, path, sizeof path));
    return s.substr(0, s.rfind('\\'));
}

using Dirs = FreshSettings;

TEST_F(Dirs, DefaultsFollowTheModuleThenTheWindowsDirectory) {
    put_text("ZKDir", "X:\\Other", REG_EXPAND_SZ);  // another type is no value
    const std::string home = module_dir();
    EXPECT_EQ(dirs(), home + "|" + home + "\\ZKWData|" + home);

    fresh_settings();
    HINSTANCE saved = g_hZKMiscModule;
    g_hZKMiscModule = reinterpret_cast<HINSTANCE>(&saved);  // no module lies there
    char windir[ZKMISC_DIR_SIZE];
    ASSERT_GT(GetWindowsDirectoryA(windir, sizeof windir), 0u);
    EXPECT_EQ(dir(ZKMiscGetDataDir), std::string(windir) + "\\ZK\\ZKWData");
    g_hZKMiscModule = saved;
}

TEST_F(Dirs, StoredAndSetValuesLoseOneTrailingBackslashWithinTheirLimits) {
    put_text("ZKDir", "D:\\Prod\\");
    put_text("ZKDataDir", "\\");
    put_text("ZKDllDir", "E:\\Lib\\\\");
    EXPECT_EQ(dir(ZKMiscGetZKDir, 7), kTooSmall);
    put_text("ZKDir", "D:\\Changed");
    EXPECT_EQ(dirs(), "D:\\Prod||E:\\Lib\\") << "a refused get cached the value all the same";
    EXPECT_EQ(dir(ZKMiscGetZKDir, 8), "D:\\Prod");

    EXPECT_EQ(ZKMiscSetZKDir(0, ZKMISC_FLAG_DELETE | ZKMISC_FLAG_STORE, nullptr), 0u);
    EXPECT_EQ(dir(ZKMiscGetZKDir), module_dir());

    // Too long is refused, not cut: nothing is derived from nothing.
    fresh_settings();
    put_text("ZKDir", std::string(261, 'z'));
    put_text("ZKDllDir", std::string(261, 'l'));
    EXPECT_EQ(dirs(), kTooSmall + "|" + kTooSmall + "|" + kTooSmall);
    put_text("ZKDllDir", std::string(260, 'l'));
    EXPECT_EQ(dir(ZKMiscGetDllDir, 261), std::string(260, 'l')) << "the longest stored value fits";

    fresh_settings();
    char buf[4];
    DWORD length = 12345;
    for (DirGetter getter : {ZKMiscGetZKDir, ZKMiscGetDataDir, ZKMiscGetDllDir}) {
        EXPECT_EQ(getter(0, 0, buf, &length), DWORD(ERROR_INVALID_PARAMETER));
        EXPECT_EQ(getter(0, 261, nullptr, &length), DWORD(ERROR_INVALID_PARAMETER));
    }
    EXPECT_EQ(ZKMiscSetDataDir(0, ZKMISC_FLAG_STORE, "D:\\Data\\"), 0u);
    EXPECT_EQ(ZKMiscSetZKDir(0, 0, "\\"), 0u);
    EXPECT_EQ(dir(ZKMiscGetZKDir), "\\") << "a lone backslash is the root, not a trailing one";

    EXPECT_EQ(ZKMiscSetDllDir(0, 0, nullptr), DWORD(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(ZKMiscSetDllDir(0, 0, ""), DWORD(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(ZKMiscSetDataDir(0, 0, std::string(270, 'd').c_str()), DWORD(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(dir(ZKMiscGetDataDir), "D:\\Data") << "a refused set changes nothing";
    // The longest of each fits even with the backslash that is cut.
    const struct { DWORD(ZKAPI* set)(DWORD, DWORD, LPCSTR); DirGetter get; size_t longest; } limits[] = {
        {ZKMiscSetZKDir, ZKMiscGetZKDir, 260}, {ZKMiscSetDataDir, ZKMiscGetDataDir, 269},
        {ZKMiscSetDllDir, ZKMiscGetDllDir, 260}};
    for (const auto& l : limits) {
        const std::string longest(l.longest, 'x');
        EXPECT_EQ(l.set(0, 0, (longest + "x").c_str()), DWORD(ERROR_INSUFFICIENT_BUFFER)) << l.longest;
        EXPECT_EQ(l.set(0, 0, (longest + "\\").c_str()), 0u);
        EXPECT_EQ(dir(l.get, DWORD(l.longest + 1)), longest);
    }
    forget_cached_settings();
    EXPECT_EQ(dirs(), module_dir() + "|D:\\Data|" + module_dir()) << "only the set with the store flag was stored";
}

std::string product_name(const ZKMISC_ENVIRONMENT& env) {
    return std::string(env.szProductName, strnlen(env.szProductName, sizeof env.szProductName));
}

class Environment : public FreshSettings {
protected:
    ZKMISC_ENVIRONMENT env;
    DWORD size = 0;  // as the last get left it

    // The get's result, the OEM type's result and value, the name's result and text.
    using Fields = std::tuple<DWORD, DWORD, DWORD, DWORD, std::string>;
    Fields read_fields(DWORD capacity = sizeof(ZKMISC_ENVIRONMENT)) {
        std::memset(&env, 0x5A, sizeof env);
        size = capacity;
        const DWORD rc = ZKMiscGetEnvironment(ZKMISC_ENV_LEVEL, &env, &size);
        const bool unknown = std::memcmp(env.szProductName, "\xFF\xFF\xFF\xFF", 4) == 0;
        return {rc, env.dwOemTypeResult, env.dwOemType, env.dwProductNameResult,
                unknown ? "unknown" : product_name(env)};  // "unknown": the marker
    }
    DWORD read_env() { return std::get<0>(read_fields()); }
    // A record for the setter; by default its name holds the unknown marker.
    static ZKMISC_ENVIRONMENT record(DWORD oem_type, const char* name = "\xFF\xFF\xFF\xFF") {
        ZKMISC_ENVIRONMENT r = {0, oem_type, 0, {}};
        std::memcpy(r.szProductName, name, std::strlen(name));
        return r;
    }
    static DWORD set(const ZKMISC_ENVIRONMENT& r) { return ZKMiscSetEnvironment(ZKMISC_ENV_LEVEL, &r, 0); }
};

TEST_F(Environment, ResultsMarkersCapacityAndNoKeyLeftOpen) {
    size = sizeof env;
    EXPECT_EQ(ZKMiscGetEnvironment(2, &env, &size), DWORD(ERROR_INVALID_LEVEL));
    EXPECT_EQ(ZKMiscGetEnvironment(1, nullptr, &size), DWORD(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(ZKMiscGetEnvironment(1, &env, nullptr), DWORD(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(ZKMiscSetEnvironment(2, &env, 0), DWORD(ERROR_INVALID_LEVEL));
    EXPECT_EQ(ZKMiscSetEnvironment(1, nullptr, 0), DWORD(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(ZKMiscSetEnvironment(1, &env, 1), DWORD(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(set(record(1)), DWORD(ERROR_ACCESS_DENIED)) << "the key is never created";
    EXPECT_EQ(set(record(ZKMISC_OEMTYPE_UNKNOWN, "Name")), DWORD(ERROR_NO_DATA));

    put_text("Other", "x");  // the key exists, neither value does
    EXPECT_EQ(set(record(2, "Name")), DWORD(ERROR_INVALID_DATA));
    ZKMISC_ENVIRONMENT r = record(0);
    std::memset(r.szProductName, 'n', sizeof r.szProductName);  // no terminator
    EXPECT_EQ(set(r), DWORD(ERROR_INVALID_PARAMETER));
    r = record(ZKMISC_OEMTYPE_UNKNOWN);
    std::memcpy(r.szProductName, "A", 2);  // 'A', 0, 0xFF, 0xFF: still unknown
    EXPECT_EQ(set(r), 0u);
    EXPECT_EQ(read_fields(), Fields(kNothingRead, ERROR_NO_DATA, ZKMISC_OEMTYPE_UNKNOWN, ERROR_NO_DATA, "unknown"));
    // Such a get, with nothing to cache, opens the key anew each time, and
    // a service calls it for as long as it runs: no key may stay open.
    const size_t before = open_handles();
    for (int i = 0; i < 50; ++i) EXPECT_EQ(read_env(), kNothingRead);
    EXPECT_EQ(open_handles(), before);
    put_text("ZKOemType", "1");  // the wrong type: not stored, looked for again
    EXPECT_EQ(read_env(), kNothingRead);
    put_number("ZKOemType", 1);
    EXPECT_EQ(read_fields(), Fields(0, 0, 1, ERROR_NO_DATA, "unknown"));
    // The setter leaves the cached OEM type alone; the name, not cached, is read anew.
    EXPECT_EQ(set(record(0, std::string(127, 'n').c_str())), 0u);
    EXPECT_EQ(read_fields(), Fields(0, 0, 1, 0, std::string(127, 'n')));

    // A name too long for the record is a failed read; the marker stays.
    zkutil_reset_environment_cache();
    put_text("ZKProductName", std::string(128, 'n'));
    EXPECT_EQ(read_fields(), Fields(ERROR_MORE_DATA, 0, 0, ERROR_MORE_DATA, "unknown"));
    // The result is that of the last read made in the call.
    put_text("ZKProductName", "ZK Admin");
    zkutil_reset_environment_cache();
    put_text("ZKOemType", "12345678", REG_BINARY);
    EXPECT_EQ(read_fields(), Fields(0, ERROR_MORE_DATA, ZKMISC_OEMTYPE_UNKNOWN, 0, "ZK Admin"))
        << "the name's read came last and succeeded";
    EXPECT_EQ(read_env(), DWORD(ERROR_MORE_DATA)) << "now the OEM type's read is the only one";

    EXPECT_EQ(std::get<0>(read_fields(139)), DWORD(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(env.dwOemTypeResult, 0x5A5A5A5Au) << "the record is not written";
    EXPECT_EQ(size, 140u);
}

// Threads whose first gets of the same setting run at once: callers need not
// serialise gets, so each must see the whole value, and the caches must not
// race (this test earns its keep under ThreadSanitizer).
TEST(SettingsRace, ConcurrentFirstGetsAgree) {
    fresh_settings();
    for (auto [name, text] : {std::pair<const char*, const char*>{"ZKDir", "D:\\Prod\\"}, {"ZKLangCode", "zh"},
                              {"ZKCountryCode", "TW"}, {"ZKProductName", "Racer"}})
        put_text(name, text);
    put_number("ZKSystemType", 6);
    put_number("ZKOemType", 1);
    auto all_settings = [] {
        ZKMISC_ENVIRONMENT env;
        DWORD size = sizeof env, rc = ZKMiscGetEnvironment(ZKMISC_ENV_LEVEL, &env, &size);
        const std::string directories = dirs(), locale = codes();
        return directories + "|" + locale + "|" + std::to_string(system_type()) + "|" + std::to_string(rc) + "/" +
               std::to_string(env.dwOemType) + "/" + product_name(env);
    };
    const std::string expected = "D:\\Prod|D:\\Prod\\ZKWData|D:\\Prod|zh/2/0000|TW|TW|6|0/1/Racer";
    constexpr int kThreads = 4;
    for (int round = 0; round < 20; ++round) {
        forget_cached_settings();
        std::atomic<int> ready{0};
        std::vector<std::string> seen(kThreads);
        std::vector<std::thread> threads;
        for (int i = 0; i < kThreads; ++i)
            threads.emplace_back([&, i] {
                // Start together, so that first gets overlap.
                for (++ready; ready.load() < kThreads;) std::this_thread::yield();
                seen[i] = all_settings();
            });
        for (auto& t : threads) t.join();
        ASSERT_EQ(seen, std::vector<std::string>(kThreads, expected)) << "round " << round;
    }
    EXPECT_EQ(all_settings(), expected) << "and the caches hold the values";
}

}  // namespace
