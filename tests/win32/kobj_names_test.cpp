#include "kobj_test_util.h"
#include "test_util.h"

using namespace zkx::test;

TEST(Names, CreatingAnExistingNameOpensItAndSaysSo) {
    std::string name = unique_name("ev");
    SetLastError(ERROR_ACCESS_DENIED);  // stale: a creation clears it
    HANDLE a = CreateEventA(nullptr, TRUE, FALSE, name.c_str());
    EXPECT_EQ(GetLastError(), DWORD(ERROR_SUCCESS));
    HANDLE b = CreateEventA(nullptr, FALSE, TRUE, name.c_str());  // keeps the first one's state and kind
    EXPECT_EQ(GetLastError(), DWORD(ERROR_ALREADY_EXISTS));
    ASSERT_TRUE(a && b && a != b);
    EXPECT_EQ(WaitForSingleObject(b, 0), WAIT_TIMEOUT);
    SetEvent(a);
    EXPECT_EQ(WaitForSingleObject(b, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(b, 0), WAIT_OBJECT_0) << "still manual reset";
    HANDLE c = OpenEventA(EVENT_ALL_ACCESS, FALSE, name.c_str());
    EXPECT_EQ(info_of(c).handles, 3u);

    HANDLE s1 = CreateSemaphoreA(nullptr, 1, 4, (name + "-s").c_str());
    HANDLE s2 = CreateSemaphoreA(nullptr, 0, 9, (name + "-s").c_str());
    EXPECT_EQ(GetLastError(), DWORD(ERROR_ALREADY_EXISTS));
    EXPECT_EQ(info_of(s2).max_count, 4);
    HANDLE m1 = CreateMutexA(nullptr, FALSE, (name + "-m").c_str());
    HANDLE m2 = CreateMutexA(nullptr, TRUE, (name + "-m").c_str());
    EXPECT_EQ(GetLastError(), DWORD(ERROR_ALREADY_EXISTS));
    EXPECT_EQ(info_of(m2).owner_tid, 0u) << "initial ownership applies only to a new mutex";
    for (HANDLE h : {a, b, c, s1, s2, m1, m2}) EXPECT_TRUE(CloseHandle(h));
}

TEST(Names, TypeMismatchMissingNamesAndLimits) {
    std::string name = unique_name("typed");
    HANDLE ev = CreateEventA(nullptr, FALSE, FALSE, name.c_str());
    SetLastError(0);
    EXPECT_FAILS(CreateMutexA(nullptr, FALSE, name.c_str()), ERROR_INVALID_HANDLE);
    EXPECT_FAILS(OpenMutexA(SYNCHRONIZE, FALSE, name.c_str()), ERROR_INVALID_HANDLE);

    EXPECT_FAILS(OpenEventA(SYNCHRONIZE, FALSE, (name + "-nope").c_str()), ERROR_FILE_NOT_FOUND);
    EXPECT_FAILS(OpenEventA(SYNCHRONIZE, FALSE, nullptr), ERROR_INVALID_PARAMETER);

    // Names are case-sensitive.
    std::string upper = name;
    for (auto& ch : upper) ch = char(toupper(ch));
    EXPECT_EQ(OpenEventA(SYNCHRONIZE, FALSE, upper.c_str()), nullptr);
    HANDLE other = CreateEventA(nullptr, FALSE, FALSE, upper.c_str());
    EXPECT_EQ(GetLastError(), DWORD(ERROR_SUCCESS));

    std::string longest = name + std::string(MAX_PATH - name.size(), 'n');
    HANDLE l = CreateMutexA(nullptr, FALSE, longest.c_str());
    EXPECT_NE(l, nullptr);
    EXPECT_EQ(info_of(l).name, longest);
    SetLastError(0);
    EXPECT_FAILS(CreateMutexA(nullptr, FALSE, (longest + "x").c_str()), ERROR_FILENAME_EXCED_RANGE);
    for (HANDLE h : {ev, other, l}) CloseHandle(h);
}

TEST(Names, AnObjectLivesWhileAnyHandleIsOpen) {
    std::string name = unique_name("life");
    HANDLE a = CreateMutexA(nullptr, FALSE, name.c_str());
    HANDLE b = OpenMutexA(SYNCHRONIZE, FALSE, name.c_str());
    EXPECT_TRUE(CloseHandle(a));
    HANDLE c = OpenMutexA(SYNCHRONIZE, FALSE, name.c_str());
    EXPECT_NE(c, nullptr);
    EXPECT_TRUE(CloseHandle(b) && CloseHandle(c));
    EXPECT_FAILS(OpenMutexA(SYNCHRONIZE, FALSE, name.c_str()), ERROR_FILE_NOT_FOUND);
    HANDLE d = CreateMutexA(nullptr, FALSE, name.c_str());
    EXPECT_EQ(GetLastError(), DWORD(ERROR_SUCCESS)) << "the name is free again";
    CloseHandle(d);

    // Unnamed objects (null or empty name) are distinct, each its own.
    HANDLE u1 = CreateEventA(nullptr, TRUE, FALSE, nullptr), u2 = CreateEventA(nullptr, TRUE, FALSE, "");
    SetEvent(u1);
    EXPECT_EQ(WaitForSingleObject(u2, 0), WAIT_TIMEOUT);
    EXPECT_EQ(info_of(u2).name, "");
    for (HANDLE u : {u1, u2}) CloseHandle(u);
}

// --- The namespace's segment file ------------------------------------------------
#ifndef _WIN32
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>

#include "kernel/layout.h"
#include "system/namespace_dir.h"

ZKX_CHILD(create_in_namespace) {
    setenv("ZKX_NAMESPACE", args.at(0).c_str(), 1);
    return CreateEventA(nullptr, FALSE, FALSE, "probe") ? 0 : int(GetLastError() & 0x7F);
}

TEST(Namespace, ForeignOrStaleSegmentsAreReplacedUnlessSomebodyIsAttached) {
    namespace kobj = zkx::win32::kobj;
    ASSERT_NE(CreateEventA(nullptr, FALSE, FALSE, nullptr), nullptr);  // maps ours first
    std::string ns = zkx::win32::kernel_namespace();
    std::string path = zkx::win32::kernel_segment_path();
    auto create_in = [](const std::string& ns) { return wait_child(spawn_child("create_in_namespace", {ns})); };

    // A file whose header says another layout version, and somebody else's file.
    kobj::SegmentHeader h;
    std::memset(static_cast<void*>(&h), 0, sizeof h);
    std::memcpy(h.magic, kobj::kMagic, sizeof h.magic);
    h.version = kobj::kLayoutVersion + 1;
    h.ready = 1;
    std::string old_header(reinterpret_cast<const char*>(&h), sizeof h);
    old_header.resize(1 << 20);
    for (const auto& [suffix, content] : {std::pair<std::string, std::string>{".old", old_header},
                                          {".foreign", std::string(8192, 'x')}}) {
        zkx::win32::NamespaceDirectory other;
        ASSERT_EQ(zkx::win32::namespace_directory_for(ns + suffix, &other), 0u);
        const std::string file = other.path + "/segment";
        int fd = open(file.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0600);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(write(fd, content.data(), content.size()), ssize_t(content.size()));
        // While a process of that build is attached (it holds the shared
        // lock), the file is refused and left as it is...
        ASSERT_EQ(flock(fd, LOCK_SH), 0);
        EXPECT_EQ(create_in(ns + suffix), int(ERROR_INVALID_DATA)) << suffix;
        struct stat before {}, after {};
        EXPECT_TRUE(fstat(fd, &before) == 0 && stat(file.c_str(), &after) == 0);
        EXPECT_EQ(before.st_ino, after.st_ino) << suffix;
        // ...and once nobody is, it is replaced by a working segment.
        close(fd);
        EXPECT_EQ(create_in(ns + suffix), 0) << suffix;
        zkx::win32::remove_private_namespace(ns + suffix);
    }

    EXPECT_EQ(create_in("bad/name"), int(ERROR_INVALID_NAME));
    EXPECT_EQ(create_in(ns + ".fresh"), 0);
    zkx::win32::remove_private_namespace(ns + ".fresh");
    EXPECT_EQ(access(path.c_str(), F_OK), 0);
}
#endif

// A namespace of the layer is the session's and the global one at once.
TEST(Names, LocalAndGlobalPrefixesNameTheSameObject) {
    const std::string name = unique_name("scoped");
    HANDLE plain = CreateEventA(nullptr, TRUE, FALSE, name.c_str());
    ASSERT_NE(plain, nullptr);
    HANDLE local = CreateEventA(nullptr, TRUE, FALSE, ("Local\\" + name).c_str());
    EXPECT_EQ(GetLastError(), DWORD(ERROR_ALREADY_EXISTS));
    ASSERT_NE(local, nullptr);
    SetEvent(local);
    EXPECT_EQ(WaitForSingleObject(plain, 0), WAIT_OBJECT_0);
#ifndef _WIN32
    // Windows keeps a session's objects apart from the global ones; a
    // namespace of the layer is both.
    HANDLE global = OpenEventA(EVENT_ALL_ACCESS, FALSE, ("Global\\" + name).c_str());
    ASSERT_NE(global, nullptr);
    ResetEvent(global);
    EXPECT_EQ(WaitForSingleObject(local, 0), WAIT_TIMEOUT);
    EXPECT_EQ(info_of(plain).handles, 3u);
    EXPECT_EQ(info_of(global).name, name);
    CloseHandle(global);
#endif
    // The prefixes are case-sensitive: "local\" is no prefix but a namespace
    // that does not exist.
    SetLastError(0);
    EXPECT_FAILS(OpenEventA(SYNCHRONIZE, FALSE, ("local\\" + name).c_str()), ERROR_PATH_NOT_FOUND);
    // Sections share the rule.
    HANDLE section = CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, 4096,
                                        ("Local\\" + name + "-map").c_str());
    ASSERT_NE(section, nullptr);
    HANDLE again = OpenFileMappingA(FILE_MAP_READ, FALSE, (name + "-map").c_str());
    EXPECT_NE(again, nullptr);
    for (HANDLE h : {plain, local, section, again}) CloseHandle(h);
}

TEST(Names, ABackslashAfterThePrefixIsRefused) {
    const std::string name = unique_name("slash");
    std::vector<std::string> bads = {name + "\\x", "Local\\" + name + "\\x", "Global\\" + name + "\\x"};
#ifndef _WIN32
    // Windows resolves these through the links of its object directories;
    // the layer has no directories, so they name nothing.
    for (const std::string& more : {"Global\\Local\\" + name, "Session\\1\\" + name, "\\" + name})
        bads.push_back(more);
#endif
    for (const std::string& bad : bads) {
        SetLastError(0);
        EXPECT_FAILS(CreateMutexA(nullptr, FALSE, bad.c_str()), ERROR_PATH_NOT_FOUND) << bad;
        EXPECT_EQ(CreateSemaphoreA(nullptr, 0, 1, bad.c_str()), nullptr) << bad;
        EXPECT_FAILS(OpenEventA(SYNCHRONIZE, FALSE, bad.c_str()), ERROR_PATH_NOT_FOUND) << bad;
    }
#ifndef _WIN32
    for (const char* empty : {"Local\\", "Global\\"}) {
        EXPECT_FAILS(CreateEventA(nullptr, FALSE, FALSE, empty), ERROR_INVALID_NAME) << empty;
    }
#endif
}
