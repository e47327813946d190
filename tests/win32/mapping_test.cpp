// Sections: create or open by name, views and their access, and a lifetime
// that ends with the last handle or view of any process, killed ones too.
#include <cstring>
#include <filesystem>
#include <vector>

#include "kobj_test_util.h"

using namespace zkx::test;

namespace {

HANDLE create(const char* name, DWORD size, DWORD protect = PAGE_READWRITE) {
    return CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, protect, 0, size, name);
}
// The layer keeps each section's memory in a file of the namespace, which
// must go with the section; Windows keeps it in the kernel.
#ifndef _WIN32
int memory_files() {
    const std::filesystem::path segment = zkx::win32::kernel_segment_path();
    int n = 0;
    for (const auto& e : std::filesystem::directory_iterator(segment.parent_path()))
        n += e.path().filename().string().rfind(segment.filename().string() + ".section.", 0) == 0;
    return n;
}
#define EXPECT_MEMORY_FILES(n) EXPECT_EQ(memory_files(), n)
#else
#define EXPECT_MEMORY_FILES(n) ((void)0)
#endif

char* view(HANDLE h, DWORD access = FILE_MAP_WRITE, SIZE_T bytes = 0, DWORD offset = 0) {
    return static_cast<char*>(MapViewOfFile(h, access, 0, offset, bytes));
}

TEST(Mapping, NamedSectionsTheirViewsLifetimeAndBadArguments) {
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

    // The name goes with the last handle, the memory with the last view.
    for (HANDLE h : {a, b}) CloseHandle(h);
    a = create("sec", 100);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_ALREADY_EXISTS)) << "a handle kept it";
    for (HANDLE h : {a, c}) EXPECT_TRUE(CloseHandle(h));
    tail[1] = 'H';  // views outlive every handle, and still share the memory
    EXPECT_STREQ(va + 65536, "sHared");
    a = create("sec", 100);
    EXPECT_EQ(GetLastError(), 0u) << "no handle left: the name is free";
    char* fresh = view(a);
    EXPECT_STREQ(fresh, "");
    for (const void* v : std::initializer_list<const void*>{va, vb, vc, tail, copy, fresh})
        EXPECT_TRUE(UnmapViewOfFile(v));
    CloseHandle(a);

    // Bad arguments and access.
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
    EXPECT_MEMORY_FILES(0);  // every section took its file with it
}

// args: an event, then sections to create and write; then waits to be killed.
ZKX_CHILD(section_holder) {
    for (size_t i = 1; i < args.size(); ++i) std::strcpy(view(create(args[i].c_str(), 4096)), "from the child");
    SetEvent(CreateEventA(nullptr, TRUE, FALSE, args.at(0).c_str()));
    Sleep(60000);
    return 2;
}

TEST(Mapping, KilledHoldersGiveTheirReferencesUp) {
    HANDLE ready = CreateEventA(nullptr, TRUE, FALSE, "ready");
    pid_t child = spawn_child("section_holder", {"ready", "held", "alone"});
    ASSERT_EQ(WaitForSingleObject(ready, 30000), WAIT_OBJECT_0);
    HANDLE held = OpenFileMappingA(FILE_MAP_WRITE, FALSE, "held");
    EXPECT_MEMORY_FILES(2);
    kill_child(child);
    EXPECT_EQ(wait_child(child), kKilledStatus);
    // Held by nobody, a section is gone, memory file and all; held by us, it
    // keeps the dead creator's bytes until we let go.
    EXPECT_FAILS(OpenFileMappingA(FILE_MAP_READ, FALSE, "alone"), ERROR_FILE_NOT_FOUND);
    EXPECT_MEMORY_FILES(1);
    char* v = view(held);
    EXPECT_STREQ(v, "from the child");
    UnmapViewOfFile(v);
    CloseHandle(held);
    EXPECT_FAILS(OpenFileMappingA(FILE_MAP_READ, FALSE, "held"), ERROR_FILE_NOT_FOUND);
    EXPECT_MEMORY_FILES(0);
    CloseHandle(ready);
}

}  // namespace
