// The test environment on Windows.  Named kernel objects cannot be given a
// namespace of their own here, so the tests' own names carry the process id
// and the runs go one after another (scripts/test-wine.sh); the registry is
// isolated per run: HKEY_LOCAL_MACHINE and HKEY_CURRENT_USER are overridden
// for this process with keys below HKCU\Software\ZKXTest\<pid>, which its
// children adopt (the root is passed on in ZKX_TEST_REGISTRY_ROOT) and
// which goes at exit.
#include <windows.h>

#include <cstdio>
#include <filesystem>
#include <string>

#include "test_env.h"

namespace zkx::test {
namespace {

const char kRootVariable[] = "ZKX_TEST_REGISTRY_ROOT";
std::string g_dir;

// Points HKLM and HKCU of this process at the two keys below `root` (a path
// below the real HKCU).
bool override_roots(const std::string& root) {
    HKEY machine = nullptr, user = nullptr;
    bool ok = RegCreateKeyExA(HKEY_CURRENT_USER, (root + "\\HKLM").c_str(), 0, nullptr, 0, KEY_ALL_ACCESS,
                              nullptr, &machine, nullptr) == ERROR_SUCCESS &&
              RegCreateKeyExA(HKEY_CURRENT_USER, (root + "\\HKCU").c_str(), 0, nullptr, 0, KEY_ALL_ACCESS,
                              nullptr, &user, nullptr) == ERROR_SUCCESS &&
              RegOverridePredefKey(HKEY_LOCAL_MACHINE, machine) == ERROR_SUCCESS &&
              RegOverridePredefKey(HKEY_CURRENT_USER, user) == ERROR_SUCCESS;
    // The overrides hold handles of their own.
    if (machine) RegCloseKey(machine);
    if (user) RegCloseKey(user);
    return ok;
}

}  // namespace

TestEnvironment::TestEnvironment() {
    std::string root;
    char buf[MAX_PATH + 1];
    DWORD n = GetEnvironmentVariableA(kRootVariable, buf, sizeof buf);
    if (n > 0 && n < sizeof buf) {
        root = buf;
    } else {
        root = "Software\\ZKXTest\\" + std::to_string(GetCurrentProcessId());
        SetEnvironmentVariableA(kRootVariable, root.c_str());
        own_ns_ = true;
    }
    ns_ = root;
    if (!override_roots(root)) std::fprintf(stderr, "test environment: cannot override the registry roots\n");

    n = GetTempPathA(sizeof buf, buf);
    if (n > 0 && n < sizeof buf) {
        std::string dir = std::string(buf) + "zkx-test-" + std::to_string(GetCurrentProcessId()) + "-" +
                          std::to_string(GetTickCount());
        if (CreateDirectoryA(dir.c_str(), nullptr)) {
            dir_ = dir;
            own_dir_ = true;
        }
    }
    g_dir = dir_;
}

TestEnvironment::~TestEnvironment() {
    RegOverridePredefKey(HKEY_LOCAL_MACHINE, nullptr);
    RegOverridePredefKey(HKEY_CURRENT_USER, nullptr);
    if (own_ns_) RegDeleteTreeA(HKEY_CURRENT_USER, ns_.c_str());
    std::error_code ec;
    if (own_dir_) std::filesystem::remove_all(dir_, ec);
}

void adopt_test_environment() {
    char buf[MAX_PATH + 1];
    DWORD n = GetEnvironmentVariableA(kRootVariable, buf, sizeof buf);
    if (n > 0 && n < sizeof buf) override_roots(buf);
}

bool wine_departs(const char* what) {
    static const bool under_wine = GetProcAddress(GetModuleHandleA("ntdll.dll"), "wine_get_version") != nullptr;
    if (under_wine) std::printf("[ WINE     ] left out, Wine departs from Windows: %s\n", what);
    return under_wine;
}

bool windows_faults_on(const char* what) {
    std::printf("[ WINDOWS  ] left out, the layer's refusal is its own: %s\n", what);
    return true;
}

const std::string& temp_dir() { return g_dir; }

}  // namespace zkx::test
