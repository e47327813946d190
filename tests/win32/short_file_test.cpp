// Files cut short (by a full file system or by another process) and file
// systems that fill up: never SIGBUS, a clear error instead, and a file
// nobody uses any more is replaced.
#ifndef _WIN32
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <string>

#include "child.h"
#include "kernel/layout.h"
#include "kobj_test_util.h"
#include "system/namespace_dir.h"
#include "zkxwin32.h"

using namespace zkx::test;
namespace fs = std::filesystem;

ZKX_CHILD(attach_and_stay) {
    if (!CreateEventA(nullptr, FALSE, FALSE, "stay")) return 1;
    std::printf("attached\n");
    std::fflush(stdout);
    for (;;) Sleep(1000);
}

TEST(ShortFiles, ASegmentCutShortIsRefusedWhileInUseAndReplacedOnceNobodyUsesIt) {
    const std::string ns = std::string(getenv("ZKX_NAMESPACE")) + ".short";
    zkx::win32::NamespaceDirectory dir;
    ASSERT_EQ(zkx::win32::namespace_directory_for(ns, &dir), 0u);
    setenv("ZKX_NAMESPACE", ns.c_str(), 1);
    pid_t user = spawn_child("attach_and_stay");
    const std::string segment = dir.path + "/segment";
    std::error_code ec;
    for (int i = 0; i < 1000 && fs::file_size(segment, ec) != zkx::win32::kobj::Layout::total; ++i) Sleep(5);
    Sleep(100);  // the child's event is made: its shared lock is in place
    ASSERT_EQ(truncate(segment.c_str(), 4096), 0);

    EXPECT_EQ(CreateEventA(nullptr, FALSE, FALSE, nullptr), nullptr);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_DATA));
    kill_child(user);
    wait_child(user);
    // The same process tries again and gets a new segment.
    HANDLE e = CreateEventA(nullptr, FALSE, FALSE, "after");
    EXPECT_NE(e, nullptr) << GetLastError();
    EXPECT_EQ(fs::file_size(segment), zkx::win32::kobj::Layout::total);
    CloseHandle(e);
    zkx::win32::remove_private_namespace(ns);
}

TEST(ShortFiles, ASectionWhoseMemoryWasCutShortGivesNoNewViews) {
    HANDLE s = CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, 1 << 20, "cut");
    ASSERT_NE(s, nullptr);
    const fs::path segment = zkx::win32::kernel_segment_path();
    int cut = 0;
    for (const auto& f : fs::directory_iterator(segment.parent_path()))
        if (f.path().filename().string().rfind("segment.section.", 0) == 0) cut += truncate(f.path().c_str(), 100) == 0;
    ASSERT_EQ(cut, 1);
    EXPECT_EQ(MapViewOfFile(s, FILE_MAP_WRITE, 0, 0, 0), nullptr);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_DATA));
    CloseHandle(s);
}

ZKX_CHILD(send_text) {
    OutputDebugStringA("text");
    return 0;
}

TEST(ShortFiles, ASenderDoesNotWriteThroughADebugBufferCutShort) {
    ZKX_DEBUG_VIEWER* viewer = zkx_debug_viewer_open();
    ASSERT_NE(viewer, nullptr);
    char text[16];
    DWORD pid = 0;
    EXPECT_FALSE(zkx_debug_viewer_read(viewer, 0, &pid, text, sizeof text));  // ready to hear
    ASSERT_EQ(truncate((zkx::win32::kernel_segment_path() + ".dbwin").c_str(), 0), 0);
    EXPECT_EQ(wait_child(spawn_child("send_text"), 10000), 0);  // not 128 + SIGBUS
    zkx_debug_viewer_close(viewer);
}

// A namespace on a small file system of its own (a private mount, gone with
// the test process).
TEST(ShortFiles, AFullFileSystemFailsAtCreationWithDiskFull) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root, to mount a small file system";
    if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
        GTEST_SKIP() << "cannot make a private mount namespace here";
    const size_t total = zkx::win32::kobj::Layout::total;
    const std::string base = getenv("ZKX_NAMESPACE");
    auto small_namespace = [&](const std::string& ns, size_t bytes) {
        zkx::win32::NamespaceDirectory dir;
        EXPECT_EQ(zkx::win32::namespace_directory_for(ns, &dir), 0u);
        const std::string options = "size=" + std::to_string(bytes) + ",mode=0700";
        return mount("tmpfs", dir.path.c_str(), "tmpfs", 0, options.c_str()) == 0 ? dir.path : std::string();
    };
    // Too small for the object segment.
    const std::string tiny = small_namespace(base + ".tiny", total / 2);
    if (tiny.empty()) GTEST_SKIP() << "cannot mount tmpfs here";
    EXPECT_EQ(wait_child(spawn_child("attach_error_code", {base + ".tiny"})), int(ERROR_DISK_FULL));

    // Room for the segment and a little more.
    const std::string small = small_namespace(base + ".small", total + (256 << 10));
    ASSERT_FALSE(small.empty());
    setenv("ZKX_NAMESPACE", (base + ".small").c_str(), 1);
    EXPECT_EQ(CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, 4 << 20, "big"), nullptr);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_DISK_FULL));
    HANDLE s = CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, 64 << 10, "fits");
    ASSERT_NE(s, nullptr) << GetLastError();
    char* v = static_cast<char*>(MapViewOfFile(s, FILE_MAP_WRITE, 0, 0, 0));
    ASSERT_NE(v, nullptr);
    std::memset(v, 1, 64 << 10);
    UnmapViewOfFile(v);
    CloseHandle(s);
    umount2(tiny.c_str(), MNT_DETACH);
    umount2(small.c_str(), MNT_DETACH);
    zkx::win32::remove_private_namespace(base + ".tiny");
    zkx::win32::remove_private_namespace(base + ".small");
}

ZKX_CHILD(attach_error_code) {
    setenv("ZKX_NAMESPACE", args.at(0).c_str(), 1);
    return CreateEventA(nullptr, FALSE, FALSE, nullptr) ? 0 : int(GetLastError() & 0x7F);
}
#endif
