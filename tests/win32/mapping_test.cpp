// Sections: create or open by name, views, access, and a lifetime that ends
// with the last handle or view of any process, killed ones included.
#include <gtest/gtest.h>
#include <signal.h>

#include <cstring>
#include <filesystem>
#include <string>

#include "child.h"
#include "kobj_test_util.h"

using namespace zkx::test;

namespace {

HANDLE create(const char* name, DWORD size, DWORD protect = PAGE_READWRITE) {
    return CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, protect, 0, size, name);
}

char* view(HANDLE h, DWORD access = FILE_MAP_WRITE, SIZE_T bytes = 0) {
    return static_cast<char*>(MapViewOfFile(h, access, 0, 0, bytes));
}

// The memory files of this namespace's sections.
int memory_files() {
    int n = 0;
    const std::string prefix = "zkx." + std::string(getenv("ZKX_NAMESPACE")) + ".section.";
    for (const auto& e : std::filesystem::directory_iterator("/dev/shm"))
        n += e.path().filename().string().rfind(prefix, 0) == 0;
    return n;
}

TEST(Mapping, SecondCreateOpensTheSameMemory) {
    HANDLE a = create("sec", 10000);
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(GetLastError(), 0u);
    HANDLE b = create("sec", 99);  // the size of an existing section stays
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_ALREADY_EXISTS));
    char* va = view(a);
    char* vb = view(b, FILE_MAP_WRITE, 10000);
    ASSERT_NE(va, nullptr);
    ASSERT_NE(vb, nullptr);
    EXPECT_NE(va, vb);
    EXPECT_EQ(va[9999], 0) << "new sections are zero-filled";
    std::strcpy(va + 5000, "shared");
    EXPECT_STREQ(vb + 5000, "shared");
    HANDLE c = OpenFileMappingA(FILE_MAP_READ, FALSE, "sec");
    ASSERT_NE(c, nullptr);
    const char* vc = view(c, FILE_MAP_READ);
    EXPECT_STREQ(vc + 5000, "shared");
    for (const void* v : {static_cast<const void*>(va), static_cast<const void*>(vb), static_cast<const void*>(vc)})
        EXPECT_TRUE(UnmapViewOfFile(v));
    for (HANDLE h : {a, b, c}) EXPECT_TRUE(CloseHandle(h));
    EXPECT_EQ(memory_files(), 0);
}

TEST(Mapping, BadArgumentsAndAccess) {
    EXPECT_EQ(CreateFileMappingA(nullptr, nullptr, PAGE_READWRITE, 0, 100, "s"), nullptr);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_NOT_SUPPORTED));
    EXPECT_EQ(create("s", 100, 0x40), nullptr);
    EXPECT_EQ(GetLastError(), 87u);
    EXPECT_EQ(create("s", 0), nullptr);
    EXPECT_EQ(GetLastError(), 87u);
    EXPECT_EQ(OpenFileMappingA(FILE_MAP_READ, FALSE, "s"), nullptr);
    EXPECT_EQ(GetLastError(), 2u);
    HANDLE mutex = CreateMutexA(nullptr, FALSE, "taken");
    EXPECT_EQ(create("taken", 100), nullptr);
    EXPECT_EQ(GetLastError(), 6u) << "another type holds the name";
    CloseHandle(mutex);
    EXPECT_EQ(MapViewOfFile(mutex, FILE_MAP_READ, 0, 0, 0), nullptr);
    EXPECT_EQ(GetLastError(), 6u);
    EXPECT_FALSE(UnmapViewOfFile(&mutex));
    EXPECT_EQ(GetLastError(), 487u);

    HANDLE ro = create("ro", 100, PAGE_READONLY);
    ASSERT_NE(ro, nullptr);
    EXPECT_EQ(view(ro, FILE_MAP_WRITE), nullptr);
    EXPECT_EQ(GetLastError(), 5u);
    EXPECT_EQ(create("ro", 100, PAGE_READWRITE), nullptr) << "a read-only section stays read-only";
    EXPECT_EQ(GetLastError(), 5u);
    const char* r = view(ro, FILE_MAP_READ);
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(r[99], 0);
    UnmapViewOfFile(r);

    HANDLE rw = create("rw", 100000);
    EXPECT_EQ(MapViewOfFile(rw, 0, 0, 0, 0), nullptr);
    EXPECT_EQ(GetLastError(), 87u);
    EXPECT_EQ(MapViewOfFile(rw, FILE_MAP_READ, 0, 4096, 0), nullptr);
    EXPECT_EQ(GetLastError(), 1132u) << "offsets go by 64 KiB";
    EXPECT_EQ(view(rw, FILE_MAP_WRITE, 100001), nullptr);
    EXPECT_EQ(GetLastError(), 5u);
    EXPECT_EQ(MapViewOfFile(rw, FILE_MAP_READ, 1, 0, 0), nullptr);
    EXPECT_EQ(GetLastError(), 5u);
    // A view from 64 KiB on sees the same bytes as the whole.
    char* whole = view(rw);
    char* tail = static_cast<char*>(MapViewOfFile(rw, FILE_MAP_WRITE, 0, 65536, 0));
    ASSERT_NE(tail, nullptr);
    whole[65536 + 7] = 'x';
    EXPECT_EQ(tail[7], 'x');
    // A copy-on-write view keeps its changes to itself.
    char* copy = view(rw, FILE_MAP_COPY);
    ASSERT_NE(copy, nullptr);
    copy[1] = 'c';
    EXPECT_EQ(whole[1], 0);
    for (void* v : {static_cast<void*>(whole), static_cast<void*>(tail), static_cast<void*>(copy)})
        UnmapViewOfFile(v);
    CloseHandle(ro);
    CloseHandle(rw);
}

TEST(Mapping, PrivateSectionsShareNoName) {
    HANDLE a = create(nullptr, 100);
    HANDLE b = create("", 100);
    ASSERT_NE(a, nullptr);
    ASSERT_NE(b, nullptr);
    char* va = view(a);
    char* vb = view(b);
    va[0] = 1;
    EXPECT_EQ(vb[0], 0);
    // The view outlives the handle.
    CloseHandle(a);
    va[1] = 2;
    EXPECT_EQ(va[0] + va[1], 3);
    UnmapViewOfFile(va);
    UnmapViewOfFile(vb);
    CloseHandle(b);
    EXPECT_EQ(memory_files(), 0);
}

TEST(Mapping, ANamedSectionLivesWhileAHandleOrAViewIsOpen) {
    HANDLE h = create("life", 100);
    char* v = view(h);
    std::strcpy(v, "kept");
    CloseHandle(h);
    h = create("life", 100);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_ALREADY_EXISTS)) << "the view kept it";
    UnmapViewOfFile(v);
    char* again = view(h);
    EXPECT_STREQ(again, "kept");
    UnmapViewOfFile(again);
    CloseHandle(h);
    EXPECT_EQ(memory_files(), 0);
    h = create("life", 100);
    EXPECT_EQ(GetLastError(), 0u) << "the last handle and view took it along";
    CloseHandle(h);
}

// args: section name, event name.  Creates the section, writes to it, says
// so and waits to be killed.
ZKX_CHILD(section_holder) {
    HANDLE h = create(args.at(0).c_str(), 4096);
    char* v = view(h);
    if (!v) return 1;
    std::strcpy(v, "from the child");
    SetEvent(CreateEventA(nullptr, TRUE, FALSE, args.at(1).c_str()));
    Sleep(60000);
    return 2;
}

TEST(Mapping, KilledHoldersGiveTheirReferencesUp) {
    // A killed creator's section is still there for a process that holds it.
    HANDLE ready = CreateEventA(nullptr, TRUE, FALSE, "ready1");
    pid_t child = spawn_child("section_holder", {"held", "ready1"});
    ASSERT_EQ(WaitForSingleObject(ready, 30000), WAIT_OBJECT_0);
    HANDLE mine = OpenFileMappingA(FILE_MAP_WRITE, FALSE, "held");
    ASSERT_NE(mine, nullptr);
    kill(child, SIGKILL);
    wait_child(child);
    char* v = view(mine);
    EXPECT_STREQ(v, "from the child");
    UnmapViewOfFile(v);
    CloseHandle(mine);
    EXPECT_EQ(memory_files(), 0);

    // One that nobody else holds is gone, memory file and all.
    HANDLE ready2 = CreateEventA(nullptr, TRUE, FALSE, "ready2");
    child = spawn_child("section_holder", {"alone", "ready2"});
    ASSERT_EQ(WaitForSingleObject(ready2, 30000), WAIT_OBJECT_0);
    EXPECT_EQ(memory_files(), 1);
    kill(child, SIGKILL);
    wait_child(child);
    HANDLE h = create("alone", 4096);
    EXPECT_EQ(GetLastError(), 0u);
    char* fresh = view(h);
    EXPECT_EQ(fresh[0], 0);
    UnmapViewOfFile(fresh);
    CloseHandle(h);
    EXPECT_EQ(memory_files(), 0);
    CloseHandle(ready);
    CloseHandle(ready2);
}

}  // namespace
