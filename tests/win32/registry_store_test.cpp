// The layer's on-disk store: its file format, damage and odd files in it, permissions, full
// disks and several processes writing at once.
#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include "fs_test_helpers.h"
#include "registry/format.h"
#include "registry/names.h"
#include "registry_test_util.h"

using namespace zkx::test;
using namespace zkx::win32::reg;
namespace fs = std::filesystem;

namespace {

constexpr uid_t kNobody = 65534;

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

// A child's exit code: 0 when every step held, else the number (from 1) of the first that did not.
int first_failed(std::initializer_list<bool> steps) {
    const bool* it = std::find(steps.begin(), steps.end(), false);
    return it == steps.end() ? 0 : int(it - steps.begin()) + 1;
}

std::string machine_root_dir() { return std::string(getenv("ZKX_REGISTRY")) + "/HKEY_LOCAL_MACHINE"; }

}  // namespace

TEST(RegistryFormat, AnyBytesRoundTripAndDamageIsRefused) {
    std::string all_bytes;
    for (int i = 0; i < 256; ++i) all_bytes += char(i);
    KeyFile back, key{0x0123456789abcdefull, "Mixed \"Case\"", {{"text", REG_SZ, all_bytes},
                      {"bin", REG_BINARY, all_bytes}, {"dw", REG_DWORD, "\x01\x02\x03\x04"}, {"", 99, ""}}};
    std::string text = serialize_key_file(key);
    ASSERT_TRUE(parse_key_file(text, &back));
    EXPECT_EQ(serialize_key_file(back), text);  // the API tests check the values themselves
    // A file cut anywhere is refused, never half read.
    for (size_t cut = 0; cut < text.size(); ++cut) EXPECT_FALSE(parse_key_file(text.substr(0, cut), &back)) << cut;
    const std::string head = "zkx-registry-key 1\nid 0000000000000001\nname \"k\"\n";
    for (const char* bad : {"value 1 \"a\" \"x\"\nvalue 1 \"A\" \"y\"\nend\n",  // one name twice
                            "value 1 \"a\" \"\\q\"\nend\n", "value 4 \"a\" dword:123\nend\n",
                            "value 4294967296 \"a\" hex:\nend\n", "value 3 \"a\" hex:0\nend\n",
                            "end\nextra\n", "value 1 \"a\" \"x\" \nend\n"})
        EXPECT_FALSE(parse_key_file(head + bad, &back)) << bad;
    EXPECT_FALSE(parse_key_file("zkx-registry-key 2\nid 0000000000000001\nname \"k\"\nend\n", &back));
    // A key's name never holds the path separator.
    EXPECT_FALSE(parse_key_file("zkx-registry-key 1\nid 0000000000000001\nname \"a\\\\b\"\nend\n", &back));
    std::vector<std::string> names{"left over"};
    EXPECT_EQ(split_key_path("A\\\\B\\", &names), ERROR_SUCCESS);
    EXPECT_EQ(names, (std::vector<std::string>{"A", "B"}));
}

TEST(RegistryStore, ADamagedOrForeignFileFailsOnlyItsOwnKey) {
    HKEY good = create_key(HKEY_LOCAL_MACHINE, "Damage\\Good"), bad = create_key(HKEY_LOCAL_MACHINE, "Damage\\Bad");
    ASSERT_EQ(set_string(good, "v", "fine"), ERROR_SUCCESS);
    ASSERT_EQ(set_string(bad, "v", "lost"), ERROR_SUCCESS);
    const std::string dir = machine_root_dir() + "/damage";
    write_file(dir + "/bad/.values", "\x7f" "ELF garbage");
    fs::create_directory(dir + "/foreign");  // not made by the store
    write_file(dir + "/notes.txt", "a person's note");
    fs::create_directories(dir + "/.newkey-0123/x");  // left by a killed creator
    EXPECT_EQ(query_rc(bad, "v"), ERROR_REGISTRY_CORRUPT);
    HKEY h = nullptr;
    EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Damage\\Bad", 0, KEY_READ, &h), ERROR_REGISTRY_CORRUPT);
    EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Damage\\Foreign", 0, KEY_READ, &h), ERROR_REGISTRY_CORRUPT);
    EXPECT_EQ(RegCreateKeyA(HKEY_LOCAL_MACHINE, "Damage\\Foreign", &h), ERROR_REGISTRY_CORRUPT);
    EXPECT_EQ(get_bytes(good, "v"), std::string("fine\0", 5));
    HKEY parent = create_key(HKEY_LOCAL_MACHINE, "Damage");
    // Sorted: bad, foreign, good; the file is no key.
    EXPECT_EQ(name_at(parent, 0), error_entry(ERROR_REGISTRY_CORRUPT));
    EXPECT_EQ(name_at(parent, 2), "Good");
    EXPECT_EQ(name_at(parent, 3), error_entry(ERROR_NO_MORE_ITEMS));
    // A damaged key can still be deleted by name, to repair the store.
    EXPECT_EQ(RegDeleteKeyA(parent, "Bad"), ERROR_SUCCESS);
    EXPECT_EQ(RegOpenKeyExA(parent, "Bad", 0, KEY_READ, &h), ERROR_FILE_NOT_FOUND);
}

// Writer `me` (a child process or a thread) reads what the test stored, makes a key of its own
// beside the others', then writes values of its own and one value that every writer writes.
static int write_crowd(const std::string& me, int rounds) {
    HKEY shared = create_key(HKEY_LOCAL_MACHINE, "Crowd");
    if (!create_key(shared, ("Own" + me).c_str()) || get_bytes(shared, "From-Parent") != std::string("hello\0", 6))
        return 1;
    for (int i = 0; i < rounds; ++i) {
        std::string name = "w" + me + "_" + std::to_string(i);
        if (set_bytes(shared, name.c_str(), REG_BINARY, pattern(name, 4000)) != ERROR_SUCCESS ||
            set_bytes(shared, "everyone", REG_BINARY, pattern(me, 3000 + 500 * std::stoi(me))) != ERROR_SUCCESS)
            return 2;
    }
    return RegCloseKey(shared) == ERROR_SUCCESS ? 0 : 3;
}

ZKX_CHILD(registry_writer) { return write_crowd(args.at(0), std::stoi(args.at(1))); }

// Threads of one process share its file locks; the store must keep them apart all the same.
TEST(RegistryProcesses, ConcurrentWritersNeitherTearNorLoseValues) {
    constexpr int kChildren = 4, kThreads = 2, kRounds = 15;
    HKEY shared = create_key(HKEY_LOCAL_MACHINE, "Crowd");
    ASSERT_EQ(set_string(shared, "from-parent", "hello"), ERROR_SUCCESS);
    std::vector<pid_t> pids;
    for (int c = 0; c < kChildren; ++c)
        pids.push_back(spawn_child("registry_writer", {std::to_string(c), std::to_string(kRounds)}));
    std::vector<std::thread> threads;
    for (int t = kChildren; t < kChildren + kThreads; ++t)
        threads.emplace_back([t] { EXPECT_EQ(write_crowd(std::to_string(t), kRounds), 0) << t; });
    // Read while they write: every read sees one writer's value, whole, or none yet.
    for (bool running = true; running;) {
        LONG rc = 0;
        std::string v = get_bytes(shared, "everyone", &rc);
        ASSERT_TRUE(rc == ERROR_FILE_NOT_FOUND || (rc == ERROR_SUCCESS && is_whole_pattern(v))) << v.substr(0, 40);
        running = false;
        for (pid_t p : pids) running |= (kill(p, 0) == 0 && waitpid(p, nullptr, WNOHANG) == 0);
    }
    for (auto& th : threads) th.join();
    // The loop reaped the children; a failed one shows in its missing values.
    for (int c = 0; c < kChildren + kThreads; ++c)
        for (int i = 0; i < kRounds; ++i) {
            std::string name = "w" + std::to_string(c) + "_" + std::to_string(i);
            EXPECT_EQ(get_bytes(shared, ("W" + name.substr(1)).c_str()), pattern(name, 4000)) << name;
        }
    EXPECT_EQ(names_of(shared), (std::vector<std::string>{"Own0", "Own1", "Own2", "Own3", "Own4", "Own5"}));
}

// Runs as a user who may read the store but not write it.  args: a home directory (as another
// user only), where it then finds, without ZKX_REGISTRY, a machine store it may not write,
// never swapped for its own.
ZKX_CHILD(registry_read_only_user) {
    HKEY k = nullptr, h = nullptr;
    const int failed = first_failed({
        RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Locked", 0, KEY_READ, &h) == ERROR_SUCCESS,
        get_bytes(h, "v") == std::string("x\0", 2),
        RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Locked", 0, KEY_WRITE, &h) == ERROR_ACCESS_DENIED,
        RegOpenKeyA(HKEY_LOCAL_MACHINE, "Locked", &k) == ERROR_SUCCESS,  // as much as allowed
        set_string(k, "v", "y") == ERROR_ACCESS_DENIED,
        RegCreateKeyA(k, "New", &h) == ERROR_ACCESS_DENIED,
        set_string(HKEY_LOCAL_MACHINE, "v", "y") == ERROR_ACCESS_DENIED,
        RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Locked\\Secret", 0, KEY_READ, &h) == ERROR_ACCESS_DENIED,
        RegDeleteKeyA(HKEY_LOCAL_MACHINE, "Locked\\Secret") == ERROR_ACCESS_DENIED,
    });
    if (failed || args.empty()) return failed;
    unsetenv("ZKX_REGISTRY");
    unsetenv("XDG_DATA_HOME");
    setenv("HOME", args[0].c_str(), 1);
    if (access("/var/lib/zkx/registry", W_OK) == 0 || access("/var/lib", W_OK) == 0) return 80;
    const int machine = first_failed({
        RegCreateKeyA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Probe", &k) == ERROR_ACCESS_DENIED,
        RegOpenKeyExA(HKEY_LOCAL_MACHINE, nullptr, 0, KEY_WRITE, &k) == ERROR_ACCESS_DENIED,
        RegOpenKeyExA(HKEY_LOCAL_MACHINE, nullptr, 0, KEY_READ, &k) == ERROR_SUCCESS,
        set_string(create_key(HKEY_CURRENT_USER, "Mine"), "v", "x") == ERROR_SUCCESS,
        setenv("XDG_DATA_HOME", (args[0] + "/xdg").c_str(), 1) == 0,
        set_string(create_key(HKEY_CURRENT_USER, "Mine"), "v", "x") == ERROR_SUCCESS,
    });
    return machine ? 20 + machine : 0;
}

TEST(RegistryAccess, FileSystemPermissionsOfTheStoreGiveAccessDenied) {
    HKEY k = create_key(HKEY_LOCAL_MACHINE, "Locked");
    ASSERT_EQ(set_string(k, "v", "x"), ERROR_SUCCESS);
    RegCloseKey(create_key(k, "Secret"));
    const std::string root = machine_root_dir();
    auto set_all = [&](fs::perms dirs, fs::perms files) {
        for (auto& e : fs::recursive_directory_iterator(root))
            fs::permissions(e.path(), e.is_directory() ? dirs : files);
        fs::permissions(root, dirs);
    };
    set_all(fs::perms(0555), fs::perms(0444));
    fs::permissions(root + "/locked/secret", fs::perms(0));
    fs::permissions(temp_dir(), fs::perms(0755));  // let the other user in
    fs::permissions(std::string(getenv("ZKX_REGISTRY")), fs::perms(0755));
    // Root passes any permission check: it reads as another user.
    const bool as_root = geteuid() == 0;
    const std::string home = make_dir("nobody-home");
    ASSERT_TRUE(!as_root || chown(home.c_str(), kNobody, kNobody) == 0);
    int rc = wait_child(as_root ? spawn_child_as(kNobody, kNobody, {}, "registry_read_only_user", {home})
                                : spawn_child("registry_read_only_user"));
    EXPECT_TRUE(rc == 0 || rc == 80) << rc;  // 80: /var/lib/zkx/registry is writable for everyone here
    EXPECT_FALSE(fs::exists(home + "/.local/share/zkx/registry/HKEY_LOCAL_MACHINE"));
    for (const char* user_store : {"/.local/share/zkx/registry", "/xdg/zkx/registry"})
        EXPECT_EQ(fs::exists(home + user_store + "/HKEY_CURRENT_USER/mine"), rc == 0 && as_root) << user_store;
    fs::permissions(root + "/locked/secret", fs::perms(0755));  // give the test's cleanup its rights back
    set_all(fs::perms(0755), fs::perms(0755));
}

TEST(RegistryStore, AStoreThatOthersCouldChangeIsRefused) {
    const std::string open_dir = make_dir("open");
    fs::permissions(open_dir, fs::perms(01777));  // like /tmp
    const std::string everyones = make_dir("open/everyones"), mine = make_dir("open/mine");
    fs::permissions(everyones, fs::perms(0777));
    fs::permissions(mine, fs::perms(0755));
    fs::create_directory_symlink(mine, open_dir + "/link");
    std::vector<std::string> refused = {everyones, open_dir + "/link"};
    if (geteuid() == 0) {
        refused.push_back(make_dir("open/theirs"));
        ASSERT_EQ(chown(refused.back().c_str(), kNobody, kNobody), 0);
    }
    for (const std::string& store : refused) {
        ScopedEnv reg("ZKX_REGISTRY", store);
        HKEY k = nullptr;
        EXPECT_EQ(RegCreateKeyA(HKEY_LOCAL_MACHINE, "Planted", &k), ERROR_ACCESS_DENIED) << store;
        EXPECT_FALSE(fs::exists(store + "/HKEY_LOCAL_MACHINE")) << store;
    }
    ScopedEnv reg("ZKX_REGISTRY", mine);
    EXPECT_NE(create_key(HKEY_LOCAL_MACHINE, "Fine"), nullptr);
}

// Odd files planted where the store keeps its own: each call fails at once (or, for a stale
// temporary file, works), never waiting on a FIFO and never following a link.  In a child, so
// that a call that blocks shows as a timeout rather than a hung suite.
ZKX_CHILD(registry_odd_files) {
    HKEY fifo_lock = nullptr, temp = nullptr, h = nullptr;
    return first_failed({
        RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Odd\\FifoFile", 0, KEY_READ, &h) == ERROR_REGISTRY_CORRUPT,
        RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Odd\\FifoLock", 0, KEY_ALL_ACCESS, &fifo_lock) == ERROR_SUCCESS,
        set_string(fifo_lock, "v", "x") == ERROR_REGISTRY_CORRUPT,
        RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Odd\\Temp", 0, KEY_ALL_ACCESS, &temp) == ERROR_SUCCESS,
        set_string(temp, "v", "new") == ERROR_SUCCESS,
        RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Odd\\Link", 0, KEY_READ, &h) == ERROR_REGISTRY_CORRUPT,
        RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Odd\\Link\\Sub", 0, KEY_READ, &h) == ERROR_REGISTRY_CORRUPT,
        RegCreateKeyA(HKEY_LOCAL_MACHINE, "Odd\\FifoDir", &h) == ERROR_REGISTRY_CORRUPT,
    });
}

TEST(RegistryStore, OddFilesInPlaceOfTheStoresOwnNeverBlockOrLead) {
    for (const char* k : {"Odd\\FifoFile", "Odd\\FifoLock", "Odd\\Temp", "Elsewhere\\Sub"})
        RegCloseKey(create_key(HKEY_LOCAL_MACHINE, k));
    const std::string dir = machine_root_dir() + "/odd";
    fs::remove(dir + "/fifofile/.values");
    fs::remove(dir + "/fifolock/.lock");
    for (const char* fifo : {"/fifofile/.values", "/fifolock/.lock", "/temp/.values.new", "/fifodir"})
        ASSERT_EQ(mkfifo((dir + fifo).c_str(), 0666), 0) << fifo;
    fs::create_directory_symlink(machine_root_dir() + "/elsewhere", dir + "/link");
    EXPECT_EQ(wait_child(spawn_child("registry_odd_files"), 10000), 0);
}

// A write that the file system refuses gives ERROR_DISK_FULL and keeps the old file: on a
// 64 KiB tmpfs, in a mount namespace of the test process's own, filled up before the write.
TEST(RegistryStore, AWriteOnAFullDiskGivesDiskFullAndKeepsTheOldFile) {
    if (geteuid() != 0) GTEST_SKIP() << "mounting a small tmpfs needs root";
    const std::string mnt = make_dir("small-disk"), store = mnt + "/store";
    if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
        mount("none", mnt.c_str(), "tmpfs", 0, "size=64k") != 0)
        GTEST_SKIP() << "cannot mount a tmpfs in a mount namespace here";
    ASSERT_EQ(mkdir(store.c_str(), 0755), 0);
    ScopedEnv reg("ZKX_REGISTRY", store);
    HKEY k = create_key(HKEY_LOCAL_MACHINE, "Full");
    ASSERT_EQ(set_bytes(k, "v", REG_BINARY, std::string(1000, 'o')), ERROR_SUCCESS);
    int fd = open((mnt + "/filler").c_str(), O_WRONLY | O_CREAT, 0600);
    for (std::string block(4096, 'f'); write(fd, block.data(), block.size()) > 0;) {
    }
    close(fd);
    EXPECT_EQ(set_bytes(k, "v", REG_BINARY, std::string(8000, 'n')), ERROR_DISK_FULL);
    EXPECT_EQ(get_bytes(k, "v"), std::string(1000, 'o'));
    EXPECT_FALSE(fs::exists(store + "/HKEY_LOCAL_MACHINE/full/.values.new"));
    umount2(mnt.c_str(), MNT_DETACH);
}

TEST(RegistryApi, ABatchOfValueChangesIsOneWriteAndAllOrNothing) {
    HKEY k = create_key(HKEY_LOCAL_MACHINE, "Batch"), write_only = nullptr;
    ASSERT_EQ(set_string(k, "Old", "o"), ERROR_SUCCESS);
    ASSERT_EQ(set_string(k, "Gone", "g"), ERROR_SUCCESS);
    const BYTE one[] = "1", two[] = "2";
    std::string long_name(16384, 'n');
    ZKX_REG_VALUE_CHANGE bad[] = {{"New", REG_SZ, one, 2, FALSE}, {long_name.c_str(), REG_SZ, one, 2, FALSE}};
    EXPECT_EQ(zkx_reg_change_values(k, 2, bad), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(query_rc(k, "New"), ERROR_FILE_NOT_FOUND) << "a refused batch changed the key";
    ZKX_REG_VALUE_CHANGE good[] = {{"new", REG_SZ, one, 2, FALSE}, {"GONE", 0, nullptr, 0, TRUE},
                                   {"absent", 0, nullptr, 0, TRUE}, {"NEW", REG_SZ, two, 2, FALSE},
                                   {"old", REG_DWORD, one, 2, FALSE}};
    ASSERT_EQ(zkx_reg_change_values(k, 5, good), ERROR_SUCCESS);
    // Order of first setting, the first spelling kept, the removed one gone.
    EXPECT_EQ(names_of(k, true), (std::vector<std::string>{"Old", "new"}));
    EXPECT_EQ(get_bytes(k, "new"), std::string("2\0", 2));
    DWORD type = 0;
    EXPECT_TRUE(get_bytes(k, "Old", nullptr, &type) == std::string("1\0", 2) && type == REG_DWORD);
    // Flushing needs the right to query, as on Windows, and works on a root.
    EXPECT_EQ(RegFlushKey(HKEY_LOCAL_MACHINE), ERROR_SUCCESS);
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Batch", 0, KEY_SET_VALUE, &write_only), ERROR_SUCCESS);
    EXPECT_EQ(RegFlushKey(write_only), ERROR_ACCESS_DENIED);
}
