#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "child.h"
#include "fs_test_helpers.h"
#include "registry_format.h"
#include "registry_store.h"
#include "registry_test_util.h"

using namespace zkx::test;
using namespace zkx::win32::reg;
namespace fs = std::filesystem;

namespace {

// A value that shows whether it was written whole: "<tag>:" repeated.
std::string pattern(const std::string& tag, size_t size) {
    std::string out;
    while (out.size() < size) out += tag + ":";
    return out;
}

bool is_whole_pattern(const std::string& data) {
    size_t colon = data.find(':');
    return colon != std::string::npos && data == pattern(data.substr(0, colon), data.size());
}

}  // namespace

TEST(RegistryFormat, AnyBytesRoundTripAndDamageIsRefused) {
    KeyFile key, back;
    key.id = 0x0123456789abcdefull;
    key.name = "Mixed \"Case\"";
    std::string all_bytes;
    for (int i = 0; i < 256; ++i) all_bytes += char(i);
    key.values = {{"text", REG_SZ, all_bytes}, {"bin", REG_BINARY, all_bytes},
                  {"dw", REG_DWORD, "\x01\x02\x03\x04"}, {"", 99, ""}};
    std::string text = serialize_key_file(key);
    ASSERT_TRUE(parse_key_file(text, &back));
    EXPECT_EQ(back.id, key.id);
    EXPECT_EQ(back.name, key.name);
    ASSERT_EQ(back.values.size(), key.values.size());
    for (size_t i = 0; i < key.values.size(); ++i) {
        EXPECT_EQ(back.values[i].name, key.values[i].name);
        EXPECT_EQ(back.values[i].type, key.values[i].type);
        EXPECT_EQ(back.values[i].data, key.values[i].data);
    }
    // A file cut anywhere is refused, never half read.
    for (size_t cut = 0; cut < text.size(); ++cut) EXPECT_FALSE(parse_key_file(text.substr(0, cut), &back)) << cut;
    const std::string head = "zkx-registry-key 1\nid 0000000000000001\nname \"k\"\n";
    EXPECT_TRUE(parse_key_file(head + "value 4 \"a\" dword:0000000A\nend\n", &back));
    EXPECT_EQ(back.values[0].data, std::string("\x0A\0\0\0", 4));
    for (const char* bad : {"value 1 \"a\" \"x\"\nvalue 1 \"A\" \"y\"\nend\n",  // one name twice
                            "value 1 \"a\" \"\\q\"\nend\n", "value 4 \"a\" dword:123\nend\n",
                            "value 4294967296 \"a\" hex:\nend\n", "value 3 \"a\" hex:0\nend\n",
                            "end\nextra\n", "value 1 \"a\" \"x\" \nend\n"}) {
        EXPECT_FALSE(parse_key_file(head + bad, &back)) << bad;
    }
    EXPECT_FALSE(parse_key_file("zkx-registry-key 2\nid 0000000000000001\nname \"k\"\nend\n", &back));
}

TEST(RegistryStore, ADamagedOrForeignFileFailsOnlyItsOwnKey) {
    HKEY good = create_key(HKEY_LOCAL_MACHINE, "Damage\\Good");
    HKEY bad = create_key(HKEY_LOCAL_MACHINE, "Damage\\Bad");
    ASSERT_EQ(set_string(good, "v", "fine"), 0);
    ASSERT_EQ(set_string(bad, "v", "lost"), 0);
    const std::string dir = machine_root_dir() + "/damage";
    // The store is plain text that a person can read.
    EXPECT_NE(read_text(dir + "/bad/.values").find("value 1 \"v\" \"lost\\0\""), std::string::npos);

    write_text(dir + "/bad/.values", "\x7f" "ELF garbage");
    fs::create_directory(dir + "/foreign");  // not made by the store
    write_text(dir + "/notes.txt", "a person's note");
    fs::create_directories(dir + "/.newkey-0123/x");  // left by a killed creator

    EXPECT_EQ(query_rc(bad, "v"), ERROR_REGISTRY_CORRUPT);
    EXPECT_EQ(set_string(bad, "v", "x"), ERROR_REGISTRY_CORRUPT);
    EXPECT_EQ(read_text(dir + "/bad/.values"), "\x7f" "ELF garbage");  // left for inspection
    HKEY h = nullptr;
    EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Damage\\Bad", 0, KEY_READ, &h),
              ERROR_REGISTRY_CORRUPT);
    EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Damage\\Foreign", 0, KEY_READ, &h),
              ERROR_REGISTRY_CORRUPT);
    EXPECT_EQ(RegCreateKeyA(HKEY_LOCAL_MACHINE, "Damage\\Foreign", &h), ERROR_REGISTRY_CORRUPT);
    EXPECT_EQ(get_bytes(good, "v"), std::string("fine\0", 5));

    HKEY parent = create_key(HKEY_LOCAL_MACHINE, "Damage");
    char name[32];
    DWORD len = sizeof name;
    // Sorted: bad, foreign, good; the file is no key.
    EXPECT_EQ(RegEnumKeyExA(parent, 0, name, &len, nullptr, nullptr, nullptr, nullptr),
              ERROR_REGISTRY_CORRUPT);
    len = sizeof name;
    EXPECT_EQ(RegEnumKeyExA(parent, 2, name, &len, nullptr, nullptr, nullptr, nullptr), 0);
    EXPECT_STREQ(name, "Good");
    EXPECT_EQ(RegEnumKeyExA(parent, 3, name, &len, nullptr, nullptr, nullptr, nullptr),
              ERROR_NO_MORE_ITEMS);
    // A damaged key can still be deleted by name, to repair the store; the
    // delete also sweeps what the killed creator left.
    EXPECT_EQ(RegDeleteKeyA(parent, "Bad"), ERROR_SUCCESS);
    EXPECT_FALSE(fs::exists(dir + "/bad"));
    EXPECT_FALSE(fs::exists(dir + "/.newkey-0123"));
    for (HKEY k : {good, bad, parent}) RegCloseKey(k);
}

TEST(RegistryStore, DefaultStoreIsMachineWideWhenWritableElsePerUser) {
    std::string machine = temp_dir() + "/var-lib/zkx/registry";
    EXPECT_EQ(choose_machine_store(machine, "/user"), machine);
    EXPECT_FALSE(fs::exists(temp_dir() + "/var-lib")) << "choosing the store creates nothing";
    EXPECT_EQ(choose_machine_store("/proc/zkx-cannot-exist/registry", "/user"), "/user");

    ScopedEnv reg("ZKX_REGISTRY", std::nullopt), xdg("XDG_DATA_HOME", "/data/home"), home("HOME", "/home/u");
    EXPECT_EQ(user_store_dir(), "/data/home/zkx/registry");
    ScopedEnv no_xdg("XDG_DATA_HOME", std::nullopt);
    EXPECT_EQ(user_store_dir(), "/home/u/.local/share/zkx/registry");
}

// args: child number, rounds.  Reads what the parent stored, then writes
// values of its own and one value that every child writes, in one shared key
// and in a key of its own.
ZKX_CHILD(registry_writer) {
    std::string me = args.at(0);
    int rounds = std::stoi(args.at(1));
    HKEY shared = create_key(HKEY_LOCAL_MACHINE, "Crowd");
    HKEY own = create_key(HKEY_LOCAL_MACHINE, ("Crowd\\Own" + me).c_str());
    if (!shared || !own || get_bytes(shared, "From-Parent") != std::string("hello\0", 6)) return 1;
    for (int i = 0; i < rounds; ++i) {
        std::string name = "w" + me + "_" + std::to_string(i);
        std::string data = pattern(name, 4000);
        if (set_bytes(shared, name.c_str(), REG_BINARY, data) != 0) return 2;
        if (set_bytes(shared, "everyone", REG_BINARY, pattern(me, 3000 + 500 * std::stoi(me))) != 0) return 3;
        if (set_bytes(own, name.c_str(), REG_BINARY, data) != 0) return 4;
    }
    return 0;
}

TEST(RegistryProcesses, ConcurrentWritersNeitherTearNorLoseValues) {
    constexpr int kChildren = 4, kRounds = 15;
    HKEY shared = create_key(HKEY_LOCAL_MACHINE, "Crowd");
    ASSERT_EQ(set_string(shared, "from-parent", "hello"), 0);
    std::vector<pid_t> pids;
    for (int c = 0; c < kChildren; ++c)
        pids.push_back(spawn_child("registry_writer", {std::to_string(c), std::to_string(kRounds)}));
    // Read while they write: every read sees one writer's value, whole.
    bool running = true;
    while (running) {
        LONG rc = 0;
        std::string v = get_bytes(shared, "everyone", &rc);
        if (rc != ERROR_FILE_NOT_FOUND) {  // not yet written
            ASSERT_EQ(rc, ERROR_SUCCESS);
            ASSERT_TRUE(is_whole_pattern(v)) << v.substr(0, 40);
        }
        running = false;
        for (pid_t p : pids) running |= (kill(p, 0) == 0 && waitpid(p, nullptr, WNOHANG) == 0);
    }
    for (pid_t p : pids) wait_child(p);  // a failed child shows in its missing values
    for (int c = 0; c < kChildren; ++c) {
        HKEY own = create_key(HKEY_LOCAL_MACHINE, ("Crowd\\Own" + std::to_string(c)).c_str());
        for (int i = 0; i < kRounds; ++i) {
            std::string name = "w" + std::to_string(c) + "_" + std::to_string(i);
            EXPECT_EQ(get_bytes(shared, ("W" + name.substr(1)).c_str()), pattern(name, 4000)) << name;
            EXPECT_EQ(get_bytes(own, name.c_str()), pattern(name, 4000)) << name;
        }
        RegCloseKey(own);
    }
    EXPECT_TRUE(is_whole_pattern(get_bytes(shared, "everyone")));
    RegCloseKey(shared);
}

// Runs as a user who may read the store but not write it.
ZKX_CHILD(registry_read_only_user) {
    if (geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0)) return 90;
    HKEY k = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Locked", 0, KEY_READ, &k) != 0) return 1;
    if (get_bytes(k, "v") != std::string("x\0", 2)) return 2;
    RegCloseKey(k);
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Locked", 0, KEY_ALL_ACCESS, &k) != 5) return 3;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Locked", 0, KEY_WRITE, &k) != 5) return 4;
    if (RegOpenKeyA(HKEY_LOCAL_MACHINE, "Locked", &k) != 0) return 5;  // as much as allowed
    if (set_string(k, "v", "y") != 5) return 6;
    if (RegCreateKeyA(k, "New", &k) != 5) return 7;
    if (set_string(HKEY_LOCAL_MACHINE, "v", "y") != 5) return 8;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Locked\\Secret", 0, KEY_READ, &k) != 5) return 9;
    if (RegDeleteKeyA(HKEY_LOCAL_MACHINE, "Locked\\Secret") != 5) return 10;
    return 0;
}

TEST(RegistryAccess, FileSystemPermissionsOfTheStoreGiveAccessDenied) {
    HKEY k = create_key(HKEY_LOCAL_MACHINE, "Locked");
    ASSERT_EQ(set_string(k, "v", "x"), 0);
    RegCloseKey(create_key(k, "Secret"));
    RegCloseKey(k);
    const std::string root = machine_root_dir();
    for (auto& e : fs::recursive_directory_iterator(root))
        fs::permissions(e.path(), e.is_directory() ? fs::perms(0555) : fs::perms(0444));
    fs::permissions(root, fs::perms(0555));
    fs::permissions(root + "/locked/secret", fs::perms(0));
    fs::permissions(temp_dir(), fs::perms(0755));  // let the other user in
    fs::permissions(std::string(getenv("ZKX_REGISTRY")), fs::perms(0755));
    EXPECT_EQ(wait_child(spawn_child("registry_read_only_user")), 0);
    // Give the test's cleanup its rights back.
    fs::permissions(root + "/locked/secret", fs::perms(0755));
    for (auto& e : fs::recursive_directory_iterator(root)) fs::permissions(e.path(), fs::perms(0755));
    fs::permissions(root, fs::perms(0755));
}
