#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "child.h"
#include "zkxwin32.h"

namespace {

ZKX_CHILD(debug_sender) {
    for (const std::string& text : args) OutputDebugStringA(text.c_str());
    return 0;
}

TEST(DebugOutput, DroppedWithoutAViewerElseReadInOrderFromAnotherProcess) {
    // Nobody listens yet: the text goes nowhere at once, and never reaches
    // the viewer opened later.
    auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < 100; ++i) OutputDebugStringA("nobody listens");
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
    SetLastError(1234);
    OutputDebugStringA(nullptr);
    EXPECT_EQ(GetLastError(), 1234u) << "the sender leaves the last error alone";

    ZKX_DEBUG_VIEWER* viewer = zkx_debug_viewer_open();
    ASSERT_NE(viewer, nullptr);
    EXPECT_EQ(zkx_debug_viewer_open(), nullptr) << "one viewer at a time";
    EXPECT_EQ(GetLastError(), 170u);

    std::string long_text(5000, 'x');
    long_text.back() = 'y';
    pid_t child = zkx::test::spawn_child("debug_sender", {"first line\n", "second", long_text});
    char text[8192];
    DWORD pid = 0;
    std::string got[4];
    for (auto& g : got) {
        ASSERT_TRUE(zkx_debug_viewer_read(viewer, 10000, &pid, text, sizeof text));
        EXPECT_EQ(pid, DWORD(child));
        g = text;
    }
    EXPECT_EQ(got[0], "first line\n");
    EXPECT_EQ(got[1], "second");
    EXPECT_EQ(got[2] + got[3], long_text) << "a long text arrives in pieces, in order";
    EXPECT_EQ(zkx::test::wait_child(child), 0);
    EXPECT_FALSE(zkx_debug_viewer_read(viewer, 50, &pid, text, sizeof text));
    EXPECT_EQ(GetLastError(), 258u);
    zkx_debug_viewer_close(viewer);

    ZKX_DEBUG_VIEWER* again = zkx_debug_viewer_open();
    EXPECT_NE(again, nullptr) << "a closed viewer makes room for the next";
    zkx_debug_viewer_close(again);
}

}  // namespace
