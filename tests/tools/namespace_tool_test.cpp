// zkx namespace: an administrator's shared namespace from creation to
// removal, and the refusals on the way.
#include <grp.h>
#include <sys/stat.h>

#include "zkx_run.h"

using namespace zkx::test;

TEST(NamespaceTool, CreateListAndRemoveASharedNamespace) {
    const std::string name = std::string(getenv("ZKX_NAMESPACE")) + ".tool";
    EXPECT_EQ(run_zkx({"namespace", "create", "bad/name", "--group", "1"}).exit_code, kExitUsage);
    EXPECT_EQ(run_zkx({"namespace", "create", name}).exit_code, kExitUsage);
    if (geteuid() != 0) {
        ZkxResult r = run_zkx({"namespace", "create", name, "--group", "1"});
        EXPECT_TRUE(r.exit_code == kExitFailed && has(r.err, "only root")) << r.err;
        GTEST_SKIP() << "the rest needs root, to make a shared namespace";
    }
    const gid_t gid = 61920;
    if (getgrgid(gid)) GTEST_SKIP() << "gid " << gid << " names a group here";
    ZkxResult r = run_zkx({"namespace", "create", name, "--group", std::to_string(gid)});
    ASSERT_EQ(r.exit_code, 0) << r.err;
    struct stat st {};
    ASSERT_EQ(lstat(("/run/zkx/" + name).c_str(), &st), 0);
    EXPECT_TRUE((st.st_mode & 07777) == 02770 && st.st_gid == gid) << std::oct << st.st_mode;
    r = run_zkx({"namespace", "list"});
    EXPECT_TRUE(has(r.out, name + "  shared with group " + std::to_string(gid))) << r.out;

    // In use: a process holds the segment.
    setenv("ZKX_NAMESPACE", name.c_str(), 1);
    ZkxProcess holder = start_zkx({"dbgview", "--timeout", "3000"});
    for (int i = 0; i < 500 && access(("/run/zkx/" + name + "/segment").c_str(), F_OK) != 0; ++i) usleep(10000);
    usleep(200000);
    r = run_zkx({"namespace", "remove", name});
    EXPECT_TRUE(r.exit_code == kExitFailed && has(r.err, "in use")) << r.err;
    finish_zkx(holder);
    r = run_zkx({"namespace", "remove", name});
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_NE(lstat(("/run/zkx/" + name).c_str(), &st), 0);
}
