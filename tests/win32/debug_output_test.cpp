// Debug strings: sent by any process, read by one viewer at a time.
#include "test_util.h"
#include "zkxwin32.h"

using namespace zkx::test;

namespace {

ZKX_CHILD(debug_sender) {
    for (const std::string& text : args) OutputDebugStringA(text.c_str());
    return 0;
}

long ms_to_send(int n, const char* text) {
    auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < n; ++i) OutputDebugStringA(text);
    return elapsed_ms(start);
}

// A viewer that says "up" once it reads, stops reading on "pause" until
// "resume" is set, and ends on "quit".  Not SIGSTOP: the kernel hangs up an
// orphaned process group with a stopped member, and that once killed it.
ZKX_CHILD(debug_viewer_until_quit) {
    ZKX_DEBUG_VIEWER* viewer = zkx_debug_viewer_open();
    if (!viewer) return 1;
    char text[8192];
    DWORD pid = 0;
    zkx_debug_viewer_read(viewer, 0, &pid, text, sizeof text);
    SetEvent(CreateEventA(nullptr, TRUE, FALSE, "up"));
    for (;;) {
        if (!zkx_debug_viewer_read(viewer, 30000, &pid, text, sizeof text)) return 2;
        if (std::string(text) == "pause") WaitForSingleObject(CreateEventA(nullptr, TRUE, FALSE, "resume"), 30000);
        if (std::string(text) == "quit") return 0;
    }
}

TEST(DebugOutput, DroppedWithoutAViewerReadInOrderAndAStoppedOrDeadViewerCostsOneShortWait) {
    // Nobody listens yet: the text goes nowhere at once, and never reaches
    // the viewer opened later.
    SetLastError(1234);
    EXPECT_LT(ms_to_send(100, "nobody listens"), 2000);
    EXPECT_EQ(GetLastError(), 1234u) << "the sender leaves the last error alone";

    ZKX_DEBUG_VIEWER* mine = zkx_debug_viewer_open();
    ASSERT_NE(mine, nullptr);
    EXPECT_EQ(zkx_debug_viewer_open(), nullptr) << "one viewer at a time";
    EXPECT_EQ(GetLastError(), DWORD(ERROR_BUSY));
    const std::string long_text(5000, 'x');
    pid_t child = spawn_child("debug_sender", {"first line\n", "second", long_text});
    char text[8192];
    DWORD pid = 0;
    std::string got;
    for (int i = 0; i < 4; ++i) {
        ASSERT_TRUE(zkx_debug_viewer_read(mine, 10000, &pid, text, sizeof text));
        EXPECT_EQ(pid, DWORD(child));
        got += text + std::string("|");
    }
    // A long text arrives in pieces, in order, each as much as the buffer
    // holds after the sender's pid and the terminator.
    EXPECT_EQ(got, "first line\n|second|" + long_text.substr(0, 4091) + "|" + long_text.substr(4091) + "|");
    EXPECT_EQ(wait_child(child), 0);
    EXPECT_FALSE(zkx_debug_viewer_read(mine, 50, &pid, text, sizeof text));
    EXPECT_EQ(GetLastError(), DWORD(WAIT_TIMEOUT));
    zkx_debug_viewer_close(mine);

    HANDLE up = CreateEventA(nullptr, TRUE, FALSE, "up"), resume = CreateEventA(nullptr, TRUE, FALSE, "resume");
    pid_t viewer = spawn_child("debug_viewer_until_quit", {});
    ASSERT_EQ(WaitForSingleObject(up, 30000), WAIT_OBJECT_0) << "the closed viewer made room for the next";
    // Another process's "pause" stops the viewer and its next text fills the
    // buffer: this process's first text waits for the viewer once, the rest
    // skip the channel.
    ASSERT_EQ(wait_child(spawn_child("debug_sender", {"pause", "fill"})), 0);
    const long paused = ms_to_send(20, "more");
    EXPECT_GE(paused, 400) << "the first text the viewer does not take is waited for";
    EXPECT_LT(paused, 3000);
    SetEvent(resume);
    // Back in use as soon as the viewer is ready again.
    int status = -1;
    wait_until([&] {
        OutputDebugStringA("quit");
        Sleep(20);
        return child_exited(viewer, &status);
    }, 20000);
    EXPECT_EQ(status, 0) << "the viewer got the text sent after it went on";

    ResetEvent(up);
    pid_t dead = spawn_child("debug_viewer_until_quit", {});
    ASSERT_EQ(WaitForSingleObject(up, 30000), WAIT_OBJECT_0);
    kill_child(dead);
    EXPECT_EQ(wait_child(dead), kKilledStatus);
    EXPECT_LT(ms_to_send(20, "to nobody"), 3000);
    for (HANDLE h : {up, resume}) CloseHandle(h);
}

}  // namespace
