// Sections: create or open by name, views and their access, and a lifetime
// that ends with the last handle or view of any process, killed ones too.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <vector>

#include "child.h"
#include "kobj_test_util.h"

using namespace zkx::test;

namespace {

HANDLE create(const char* name, DWORD size, DWORD protect = PAGE_READWRITE) {
    return CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, protect, 0, size, name);
}
char* view(HANDLE h, DWORD access = FILE_MAP_WRITE, SIZE_T bytes = 0, DWORD offset = 0) {
    return static_cast<char*>(MapViewOfFile(h, access, 0, offset, bytes));
}

// The layer keeps each section's memory in a file of the namespace;
// Windows keeps it in the kernel, where there is nothing to count.
#ifndef _WIN32
int memory_files() {
    const std::filesystem::path segment = zkx::win32::kernel_segment_path();
    const std::string prefix = segment.filename().string() + ".section.";
    int n = 0;
    for (const auto& e : std::filesystem::directory_iterator(segment.parent_path()))
        n += e.path().filename().string().rfind(prefix, 0) == 0;
    return n;
}
#define EXPECT_MEMORY_FILES(n) EXPECT_EQ(memory_files(), n)
#else
#define EXPECT_MEMORY_FILES(n) ((void)0)
#endif

TEST(Mapping, NamedSectionsAndTheirViews) {
    HANDLE a = create("sec", 100000);
    EXPECT_EQ(GetLastError(), 0u);
    HANDLE b = create("sec", 99);  // an existing section keeps its size
    EXPECT_EQ(GetLastError(), DWORD(ERROR_ALREADY_EXISTS));
    HANDLE c = OpenFileMappingA(FILE_MAP_READ, FALSE, "sec");
    char *va = view(a), *vb = view(b, FILE_MAP_WRITE, 100000), *tail = view(a, FILE_MAP_WRITE, 0, 65536);
    const char* vc = view(c, FILE_MAP_READ);
    ASSERT_TRUE(va && vb && vc && tail);
    EXPECT_EQ(va[99999], 0) << "zero-filled";
    std::strcpy(va + 65536, "shared");
    EXPECT_STREQ(vb + 65536, "shared");
    EXPECT_STREQ(vc + 65536, "shared");
    EXPECT_STREQ(tail, "shared");
    char* copy = view(a, FILE_MAP_COPY);
    copy[0] = 'c';
    EXPECT_EQ(va[0], 0) << "a copy-on-write view keeps its changes";
    for (const void* v : {(const void*)va, (const void*)vb, (const void*)vc, (const void*)tail, (const void*)copy})
        EXPECT_TRUE(UnmapViewOfFile(v));
    for (HANDLE h : {a, b, c}) EXPECT_TRUE(CloseHandle(h));
    EXPECT_MEMORY_FILES(0);
}

TEST(Mapping, BadArgumentsAndAccess) {
    HANDLE mutex = CreateMutexA(nullptr, FALSE, "taken");
    HANDLE ro = create("ro", 100, PAGE_READONLY), rw = create("rw", 100000);
    auto error = [](bool failed) { return failed ? GetLastError() : 0u; };
    std::vector<DWORD> errors = {
        error(!create("s", 0)), error(!OpenFileMappingA(FILE_MAP_READ, FALSE, "s")),
        error(!create("taken", 100)), error(!MapViewOfFile(mutex, FILE_MAP_READ, 0, 0, 0)),
        error(!UnmapViewOfFile(&mutex)), error(!view(ro, FILE_MAP_WRITE)), error(!view(rw, FILE_MAP_READ, 0, 4096))};
    const DWORD kMappedAlignment = 1132;  // ERROR_MAPPED_ALIGNMENT, which the layer does not name
    EXPECT_EQ(errors, (std::vector<DWORD>{ERROR_INVALID_PARAMETER, ERROR_FILE_NOT_FOUND, ERROR_INVALID_HANDLE,
                                          ERROR_INVALID_HANDLE, ERROR_INVALID_ADDRESS, ERROR_ACCESS_DENIED,
                                          kMappedAlignment}));
    if (!wine_departs("MapViewOfFile maps past the end of a section")) {
        errors = {error(!view(rw, FILE_MAP_READ, 100001)), error(!MapViewOfFile(rw, FILE_MAP_READ, 1, 0, 0))};
        EXPECT_EQ(errors, (std::vector<DWORD>{ERROR_ACCESS_DENIED, ERROR_ACCESS_DENIED}));
    }
#ifndef _WIN32
    // The layer's own limits: it maps no files (Windows takes a null file
    // handle for the paging file), no executable memory, opens no read-only
    // section for writing, and wants an access to map with.
    const DWORD kPageExecuteReadWrite = 0x40;  // not in the layer's headers
    errors = {error(!CreateFileMappingA(nullptr, nullptr, PAGE_READWRITE, 0, 100, "s")),
              error(!create("s", 100, kPageExecuteReadWrite)), error(!create("ro", 100, PAGE_READWRITE)),
              error(!view(rw, 0))};
    EXPECT_EQ(errors, (std::vector<DWORD>{ERROR_NOT_SUPPORTED, ERROR_INVALID_PARAMETER, ERROR_ACCESS_DENIED,
                                          ERROR_INVALID_PARAMETER}));
#endif
    for (HANDLE h : {mutex, ro, rw}) CloseHandle(h);
}

TEST(Mapping, TheNameGoesWithTheLastHandleTheMemoryWithTheLastView) {
    HANDLE priv = create(nullptr, 100), h = create("life", 100);
    char *p = view(priv), *v = view(h);
    CloseHandle(priv);
    p[1] = 2;  // a view outlives its section's handle
    std::strcpy(v, "kept");
    HANDLE second = OpenFileMappingA(FILE_MAP_WRITE, FALSE, "life");
    CloseHandle(h);
    h = create("life", 100);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_ALREADY_EXISTS)) << "a handle kept it";
    char* again = view(h);
    EXPECT_STREQ(again, "kept");
    UnmapViewOfFile(again);
    CloseHandle(second);
    CloseHandle(h);

    // No handle left: the name is free although a view still shows the memory.
    h = create("life", 100);
    EXPECT_EQ(GetLastError(), 0u);
    again = view(h);
    EXPECT_STREQ(again, "");
    EXPECT_STREQ(v, "kept");
    for (const char* x : {(const char*)again, (const char*)v, (const char*)p}) EXPECT_TRUE(UnmapViewOfFile(x));
    CloseHandle(h);
    EXPECT_MEMORY_FILES(0);
}

// args: section name, event name.  Creates and writes the section, says so
// and waits to be killed.
ZKX_CHILD(section_holder) {
    std::strcpy(view(create(args.at(0).c_str(), 4096)), "from the child");
    SetEvent(CreateEventA(nullptr, TRUE, FALSE, args.at(1).c_str()));
    Sleep(60000);
    return 2;
}

TEST(Mapping, KilledHoldersGiveTheirReferencesUp) {
    for (bool keep : {true, false}) {
        const std::string name = keep ? "held" : "alone", ready = name + "-ready";
        HANDLE event = CreateEventA(nullptr, TRUE, FALSE, ready.c_str());
        pid_t child = spawn_child("section_holder", {name, ready});
        ASSERT_EQ(WaitForSingleObject(event, 30000), WAIT_OBJECT_0);
        HANDLE mine = keep ? OpenFileMappingA(FILE_MAP_WRITE, FALSE, name.c_str()) : nullptr;
        EXPECT_MEMORY_FILES(1);
        kill_child(child);
        wait_child(child);
        // Held by us, the section keeps the dead creator's bytes; held by
        // nobody, it is gone, memory file and all.
        if (!keep) {
            mine = create(name.c_str(), 4096);
            EXPECT_EQ(GetLastError(), 0u);
        }
        char* v = view(mine);
        EXPECT_STREQ(v, keep ? "from the child" : "");
        UnmapViewOfFile(v);
        CloseHandle(mine);
        CloseHandle(event);
        SetLastError(0);
        EXPECT_EQ(OpenFileMappingA(FILE_MAP_READ, FALSE, name.c_str()), nullptr);
        EXPECT_EQ(GetLastError(), DWORD(ERROR_FILE_NOT_FOUND));
        EXPECT_MEMORY_FILES(0);
    }
}

}  // namespace
