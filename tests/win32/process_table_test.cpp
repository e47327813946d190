// The namespace's process table filled for real.  No object lives in the
// namespace meanwhile: the row just past the table's end then reads as
// free, so a full check that looked one row too far would let the
// 257th process in.
#ifndef _WIN32
#include <signal.h>
#include <sys/wait.h>

#include "kernel/layout.h"
#include "test_util.h"
#include "zkxwin32.h"

namespace {

// A forked member registers on its first call (opening a name that does
// not exist), reports that call's error and stays until it is killed.
pid_t fork_member(int report_fd) {
    pid_t pid = fork();
    if (pid != 0) return pid;
    DWORD error = OpenEventA(SYNCHRONIZE, FALSE, "nobody") ? ERROR_SUCCESS : GetLastError();
    if (write(report_fd, &error, sizeof error) == sizeof error)
        for (;;) pause();
    _exit(0);
}

void end(pid_t member) {
    kill(member, SIGKILL);
    waitpid(member, nullptr, 0);
}

}  // namespace

TEST(Limits, TheProcessBeyondTheTableIsRefusedUntilARowIsFree) {
    ASSERT_EQ(OpenEventA(SYNCHRONIZE, FALSE, "nobody"), nullptr);
    ASSERT_EQ(GetLastError(), DWORD(ERROR_FILE_NOT_FOUND)) << "this process takes the first row";
    int report[2];
    ASSERT_EQ(pipe(report), 0);
    std::vector<pid_t> members;
    auto join = [&] {
        members.push_back(fork_member(report[1]));
        DWORD error = 0;
        return read(report[0], &error, sizeof error) == ssize_t(sizeof error) ? error : DWORD(-1);
    };
    uint32_t rows = 1;
    while (rows < zkx::win32::kobj::kMaxProcesses && join() == ERROR_FILE_NOT_FOUND) ++rows;
    EXPECT_EQ(rows, zkx::win32::kobj::kMaxProcesses);
    EXPECT_EQ(join(), DWORD(ERROR_NO_SYSTEM_RESOURCES));
    // A member that ends makes room for the next.
    end(members.front());
    EXPECT_EQ(join(), DWORD(ERROR_FILE_NOT_FOUND));
    std::for_each(members.begin() + 1, members.end(), end);
    close(report[0]);
    close(report[1]);
}
#endif
