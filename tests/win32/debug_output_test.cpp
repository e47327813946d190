// Debug strings: sent by any process, read by one viewer at a time.
#include <signal.h>

#include "test_util.h"
#include "zkxwin32.h"

using namespace zkx::test;

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
    EXPECT_LT(elapsed_ms(start), 2000);
    SetLastError(1234);
    OutputDebugStringA(nullptr);
    EXPECT_EQ(GetLastError(), 1234u) << "the sender leaves the last error alone";

    ZKX_DEBUG_VIEWER* viewer = zkx_debug_viewer_open();
    ASSERT_NE(viewer, nullptr);
    EXPECT_EQ(zkx_debug_viewer_open(), nullptr) << "one viewer at a time";
    EXPECT_EQ(GetLastError(), DWORD(ERROR_BUSY));

    std::string long_text(5000, 'x');
    long_text.back() = 'y';
    pid_t child = spawn_child("debug_sender", {"first line\n", "second", long_text});
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
    EXPECT_EQ(wait_child(child), 0);
    EXPECT_FALSE(zkx_debug_viewer_read(viewer, 50, &pid, text, sizeof text));
    EXPECT_EQ(GetLastError(), DWORD(WAIT_TIMEOUT));
    zkx_debug_viewer_close(viewer);

    ZKX_DEBUG_VIEWER* again = zkx_debug_viewer_open();
    EXPECT_NE(again, nullptr) << "a closed viewer makes room for the next";
    zkx_debug_viewer_close(again);
}

}  // namespace

#ifndef _WIN32  // stopping a process
namespace {

// A viewer that says "buffer ready" once, then reads until "quit".
ZKX_CHILD(debug_viewer_until_quit) {
    ZKX_DEBUG_VIEWER* viewer = zkx_debug_viewer_open();
    if (!viewer) return 1;
    char text[8192];
    DWORD pid = 0;
    zkx_debug_viewer_read(viewer, 0, &pid, text, sizeof text);
    SetEvent(CreateEventA(nullptr, TRUE, FALSE, args.at(0).c_str()));
    for (;;) {
        if (!zkx_debug_viewer_read(viewer, 30000, &pid, text, sizeof text)) return 2;
        if (std::string(text) == "quit") return 0;
    }
}

pid_t start_viewer(const std::string& ready_name) {
    HANDLE ready = CreateEventA(nullptr, TRUE, FALSE, ready_name.c_str());
    pid_t child = spawn_child("debug_viewer_until_quit", {ready_name});
    bool up = WaitForSingleObject(ready, 30000) == WAIT_OBJECT_0;
    CloseHandle(ready);
    return up ? child : 0;
}

long ms_to_send(int n, const char* text) {
    auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < n; ++i) OutputDebugStringA(text);
    return elapsed_ms(start);
}

TEST(DebugOutput, AStoppedOrDeadViewerCostsASenderOneShortWaitThenNothing) {
    pid_t viewer = start_viewer("dbwin-up-1");
    ASSERT_NE(viewer, 0);
    ASSERT_EQ(kill(viewer, SIGSTOP), 0);
    // The first text fills the buffer, the second waits for the stopped
    // viewer once; the rest skip the channel.
    EXPECT_LT(ms_to_send(20, "while stopped"), 3000);
    ASSERT_EQ(kill(viewer, SIGCONT), 0);
    // Back in use as soon as the viewer is ready again.
    int status = -1;
    wait_until([&] {
        OutputDebugStringA("quit");
        Sleep(20);
        return child_exited(viewer, &status);
    }, 20000);
    EXPECT_EQ(status, 0) << "the viewer got the text sent after it went on";

    pid_t dead = start_viewer("dbwin-up-2");
    ASSERT_NE(dead, 0);
    kill_child(dead);
    EXPECT_EQ(wait_child(dead), kKilledStatus);
    EXPECT_LT(ms_to_send(20, "to nobody"), 3000);
}

}  // namespace
#endif
