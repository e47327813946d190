#include <set>

#include "registry_test_util.h"

using namespace zkx::test;

TEST(RegistryKeys, NamesIgnoreCaseAndKeepTheCaseTheyWereCreatedWith) {
    HKEY a = nullptr, b = nullptr, c = nullptr, h = nullptr;
    DWORD disp[2] = {};
    ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, "Software\\Velko\\ZKW", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                              &a, &disp[0]), ERROR_SUCCESS);
    ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\velko\\zkw\\", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                              &b, &disp[1]), ERROR_SUCCESS);
    EXPECT_TRUE(disp[0] == REG_CREATED_NEW_KEY && disp[1] == REG_OPENED_EXISTING_KEY);
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "software\\\\VELKO\\Zkw", 0, KEY_READ, &c), ERROR_SUCCESS);
    EXPECT_EQ(set_string(a, "OutputTo", "C:\\Logs\\misc.log"), ERROR_SUCCESS);
    EXPECT_EQ(set_string(b, "OUTPUTTO", "D:\\x.log"), ERROR_SUCCESS);  // same value
    EXPECT_EQ(get_bytes(c, "outputto"), std::string("D:\\x.log", 9));
    EXPECT_EQ(names_of(c, true), std::vector<std::string>{"OutputTo"});
    HKEY soft = create_key(HKEY_LOCAL_MACHINE, "SOFTWARE");
    EXPECT_EQ(names_of(soft), std::vector<std::string>{"Velko"});
    EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "\\Software", 0, KEY_READ, &h), ERROR_BAD_PATHNAME);
    if (!wine_departs("key names of more than 255 characters are accepted")) {
        EXPECT_EQ(RegCreateKeyA(soft, std::string(256, 'k').c_str(), &h), ERROR_INVALID_PARAMETER);
    }
}

// Each name stands for a way its file name could go wrong: the store's own names, separators,
// escapes, hashing of long names.
TEST(RegistryKeys, AnyNameABackslashCannotSplitIsAKey) {
    HKEY parent = create_key(HKEY_CURRENT_USER, "Odd");
    const std::vector<std::string> names = {
        ".", "..", ".values", "a/b", "%41", "x~y", "Tab\there", std::string(255, '/'),
        std::string(254, 'Q') + "1", std::string(254, 'q') + "2", "\xC9t\xE9"};
    for (const auto& n : names) ASSERT_EQ(set_string(create_key(parent, n.c_str()), "me", n), ERROR_SUCCESS) << n;
    auto listed = names_of(parent);
    EXPECT_EQ(std::set<std::string>(listed.begin(), listed.end()), std::set<std::string>(names.begin(), names.end()));
    for (auto n : names) {
        std::string want = n + '\0';
        for (char& ch : n) ch = char(toupper(static_cast<unsigned char>(ch)));
        EXPECT_EQ(get_bytes(create_key(parent, n.c_str()), "ME"), want) << n;
    }
}

TEST(RegistryValues, EveryTypeKeepsItsBytesAndByteCountWithinTheWin32SizeRules) {
    HKEY k = create_key(HKEY_LOCAL_MACHINE, "Types");
    std::string all_bytes;
    for (int i = 0; i < 256; ++i) all_bytes += char(i);
    const struct { const char* name; DWORD type; std::string data; } cases[] = {
        {"sz-unterminated", REG_SZ, "text"}, {"multi", REG_MULTI_SZ, std::string("a\0bc\0\0", 6)},
        {"dword", REG_DWORD, std::string("\x05\x00\x00\x80", 4)}, {"dword-2", REG_DWORD, std::string("\x01\x02", 2)},
        {"binary", REG_BINARY, all_bytes}, {"empty", REG_BINARY, ""}, {"odd-type", 0x12345678u, "\"quoted\" \\ \n"},
        {"", REG_SZ, std::string("default\0", 8)},
    };
    for (const auto& c : cases) ASSERT_EQ(set_bytes(k, c.name, c.type, c.data), ERROR_SUCCESS) << c.name;
    for (const auto& c : cases) {
        if (c.name == std::string("sz-unterminated") &&
            wine_departs("the ANSI query of a REG_SZ stored without terminator adds one"))
            continue;
        DWORD type = 0;
        LONG rc = -1;
        EXPECT_EQ(get_bytes(k, c.name, &rc, &type), c.data) << c.name;
        EXPECT_TRUE(rc == ERROR_SUCCESS && type == c.type) << c.name;
    }
    EXPECT_EQ(get_bytes(k, nullptr), std::string("default\0", 8));  // null names the unnamed value
    // Query and set follow the Win32 size rules.
    ASSERT_EQ(set_string(k, "v", "12345"), ERROR_SUCCESS);
    BYTE buf[16] = {};
    DWORD type = 0, size = 5, reserved = 0;
    EXPECT_EQ(RegQueryValueExA(k, "v", nullptr, &type, buf, &size), ERROR_MORE_DATA);  // one short
    EXPECT_TRUE(size == 6 && type == REG_SZ);
    EXPECT_EQ(RegQueryValueExA(k, "v", nullptr, nullptr, buf, nullptr), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(RegQueryValueExA(k, "v", &reserved, nullptr, nullptr, &size), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(RegQueryValueExA(k, "v", nullptr, nullptr, buf, &size), ERROR_SUCCESS);  // just enough
    EXPECT_EQ(RegSetValueExA(k, "n", 0, REG_BINARY, nullptr, 4), ERROR_NOACCESS);
    EXPECT_EQ(set_string(k, std::string(16384, 'n').c_str(), "x"), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(set_string(k, std::string(16383, 'n').c_str(), "x"), ERROR_SUCCESS);
#ifndef _WIN32
    // The layer's store keeps a value to 1 MB; Windows to what memory allows.
    EXPECT_EQ(set_bytes(k, "big", REG_BINARY, std::string((1 << 20) + 1, 'b')), ERROR_INVALID_PARAMETER);
#endif
    EXPECT_EQ(RegDeleteValueA(k, "V"), ERROR_SUCCESS);
    EXPECT_EQ(RegDeleteValueA(k, "v"), ERROR_FILE_NOT_FOUND);
}

// Names, and data, one byte short of what they need and just enough.
TEST(RegistryEnum, KeysAndValuesByIndex) {
    HKEY k = create_key(HKEY_LOCAL_MACHINE, "Enum");
    for (const char* n : {"b", "A", "c"}) create_key(k, n);
    EXPECT_EQ(names_of(k), (std::vector<std::string>{"A", "b", "c"}));
    ASSERT_EQ(set_bytes(k, "Second", REG_BINARY, "xyz"), ERROR_SUCCESS);
    char name[8];
    DWORD len = 1, type = 0, size = 2;
    BYTE data[8];
    EXPECT_EQ(RegEnumKeyExA(k, 0, name, &len, nullptr, nullptr, nullptr, nullptr), ERROR_MORE_DATA);
    len = 2;
    EXPECT_EQ(RegEnumKeyExA(k, 0, name, &len, nullptr, nullptr, nullptr, nullptr), ERROR_SUCCESS);
    EXPECT_EQ(len, 1u);
    len = 6;
    EXPECT_EQ(RegEnumValueA(k, 0, name, &len, nullptr, nullptr, nullptr, nullptr), ERROR_MORE_DATA);
    len = 7;
    EXPECT_EQ(RegEnumValueA(k, 0, name, &len, nullptr, &type, data, &size), ERROR_MORE_DATA);
    EXPECT_EQ(size, 3u);
    len = 7;
    EXPECT_EQ(RegEnumValueA(k, 0, name, &len, nullptr, &type, data, &size), ERROR_SUCCESS);
    EXPECT_TRUE(name == std::string("Second") && type == REG_BINARY);
}

TEST(RegistryHandles, DeletedKeysBadOrClosedHandlesAndTheAccessMaskRefuseCalls) {
    HKEY parent = create_key(HKEY_LOCAL_MACHINE, "Del"), leaf = create_key(parent, "Leaf"), h = nullptr, same[2] = {};
    ASSERT_EQ(set_string(leaf, "v", "old"), ERROR_SUCCESS);
    EXPECT_EQ(RegDeleteKeyA(HKEY_LOCAL_MACHINE, "Del"), ERROR_ACCESS_DENIED);
    EXPECT_EQ(RegDeleteKeyA(HKEY_LOCAL_MACHINE, ""), ERROR_ACCESS_DENIED);
    EXPECT_EQ(RegDeleteKeyA(parent, "Absent"), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(RegDeleteKeyA(parent, nullptr), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(RegDeleteKeyA(parent, "LEAF"), ERROR_SUCCESS);
    EXPECT_EQ(query_rc(leaf, "v"), ERROR_KEY_DELETED);
    EXPECT_EQ(RegCreateKeyA(leaf, "Sub", &h), ERROR_KEY_DELETED);
    // A new key of the same name is another key.
    HKEY again = create_key(parent, "Leaf");
    EXPECT_EQ(query_rc(again, "v"), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(set_string(leaf, "v", "new"), ERROR_KEY_DELETED);
    EXPECT_EQ(RegCloseKey(leaf), ERROR_SUCCESS);
    EXPECT_EQ(RegDeleteKeyA(again, ""), ERROR_SUCCESS);  // deletes itself
    EXPECT_EQ(RegDeleteKeyA(HKEY_LOCAL_MACHINE, "Del"), ERROR_SUCCESS);
    EXPECT_EQ(RegOpenKeyExA(HKEY_PERFORMANCE_DATA, "x", 0, KEY_READ, &h), ERROR_INVALID_HANDLE);
    if (!wine_departs("RegOpenKeyExA writes through a null result pointer")) {
        EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "x", 0, KEY_READ, nullptr), ERROR_INVALID_PARAMETER);
    }
    EXPECT_EQ(RegCloseKey(nullptr), ERROR_INVALID_HANDLE);
    h = create_key(HKEY_LOCAL_MACHINE, "Handles");
    // The old calls hand back the handle itself for an empty name.
    if (!wine_departs("RegOpenKeyA and RegCreateKeyA of an empty name open a new handle")) {
        EXPECT_EQ(RegOpenKeyA(h, "", &same[0]), ERROR_SUCCESS);
        EXPECT_EQ(RegCreateKeyA(h, nullptr, &same[1]), ERROR_SUCCESS);
        EXPECT_TRUE(same[0] == h && same[1] == h);
    }
    EXPECT_EQ(RegCloseKey(h), ERROR_SUCCESS);
    EXPECT_EQ(RegCloseKey(h), ERROR_INVALID_HANDLE);
    EXPECT_EQ(set_string(h, "v", "x"), ERROR_INVALID_HANDLE);
    // The handle's access mask decides what it may do.
    create_key(HKEY_LOCAL_MACHINE, "Acc\\Sub");
    HKEY rd = nullptr, wr = nullptr;
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Acc", 0, KEY_READ, &rd), ERROR_SUCCESS);
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Acc", 0, KEY_WRITE, &wr), ERROR_SUCCESS);
    EXPECT_EQ(set_string(rd, "v", "x"), ERROR_ACCESS_DENIED);
    EXPECT_EQ(RegDeleteValueA(rd, "v"), ERROR_ACCESS_DENIED);
    EXPECT_EQ(set_string(wr, "v", "x"), ERROR_SUCCESS);
    EXPECT_EQ(query_rc(wr, "v"), ERROR_ACCESS_DENIED);
    EXPECT_EQ(names_of(wr), std::vector<std::string>{error_entry(ERROR_ACCESS_DENIED)});
    EXPECT_EQ(names_of(wr, true), std::vector<std::string>{error_entry(ERROR_ACCESS_DENIED)});
    EXPECT_EQ(get_bytes(rd, "v"), std::string("x\0", 2));
    if (!wine_departs("RegOpenKeyExA ignores options other than REG_OPTION_OPEN_LINK")) {
        EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Acc", 0x10, KEY_READ, &rd), ERROR_INVALID_PARAMETER);
    }
}
