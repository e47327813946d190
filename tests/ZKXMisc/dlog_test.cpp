// The debug log: thresholds, indentation, the record's layout, loading its
// configuration from the registry, and what a dead writer, a full disk and
// other users' files in shared folders may do to its file.
#include "dlog_test_util.h"
#include "misc_test_util.h"
#ifndef _WIN32
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

namespace {

using namespace zkx::test;

TEST(DLog, EachOutputHasItsOwnThreshold) {
    CapturedLog log("Test", 0x0010, 0x8000);
    // Below both: formatting this would read through a wild pointer.
    EXPECT_EQ(ZKDLogOut(log.handle(), "f", 1, 0x0008, "%s", reinterpret_cast<const char*>(16)), 0u);
    ZKDLogOut(log.handle(), "f", 2, 0xC0080, "between");
    ZKDLogOut(log.handle(), "f", 2, 0x00080, "between");
    ZKDLogOut(log.handle(), "f", 4, 0x8000, "both");
    ZKDLogOut(log.handle(), "f", 5, 0x0002, "unknown level, filtered by its value");
    auto file = log.file_lines();
    ASSERT_EQ(file.size(), 3u);
    ASSERT_EQ(log.debug_lines().size(), 1u);
    EXPECT_NE(log.debug_lines()[0].find("ERR, both"), std::string::npos);
    // The high word of the flags changes nothing but the time stamp.
    EXPECT_EQ(file[0].substr(file[0].find(", 0x")), file[1].substr(file[1].find(", 0x")));
}

TEST(DLog, IndentationNeverGoesBelowZero) {
    CapturedLog log("Test", 0);
    // Each line's text is the last word of what it must show.
    const std::pair<LONG, const char*> steps[] = {{2, "STA,     two"}, {-5, "STA, zero"}, {1, "STA,   one"}};
    for (auto [delta, shown] : steps) {
        ZKDLogIndent(log.handle(), delta);
        ZKDLogOut(log.handle(), "f", 1, 0x0B, "%s", std::strrchr(shown, ' ') + 1);
    }
    auto lines = log.file_lines();
    ASSERT_EQ(lines.size(), 3u);
    for (int i = 0; i < 3; ++i) EXPECT_NE(lines[i].find(steps[i].second), std::string::npos) << lines[i];
}

TEST(DLog, NullHandlesAndNames) {
    EXPECT_EQ(ZKDLogOut(nullptr, "f", 1, 0xFFFF, "x"), DWORD(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(ZKDLogIndent(nullptr, 1), DWORD(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(ZKDLogLoadCfg(nullptr, 0, nullptr, 0, 0), DWORD(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(ZKDLogDestroy(nullptr, 0), DWORD(ERROR_INVALID_HANDLE));
    EXPECT_EQ(ZKDLogCreate("x", 0, nullptr), DWORD(ERROR_INVALID_PARAMETER));
    std::string long_name(400, 'n');
    PZKDLOG_HANDLE log = nullptr;
    ASSERT_EQ(ZKDLogCreate(long_name.c_str(), 0, &log), 0u);
    EXPECT_EQ(std::string(log->szName), long_name.substr(0, 260));
    EXPECT_EQ(ZKDLogDestroy(log, 0), 0u);
}

// Source "trace" line 92, 2026-12-04 18:29:48.123, process 0x1A0, thread
// 0x2C4, module ZKMisc, level COM, no indentation.
const ZKDLOG_RECORD kRecord = {"trace", 92, {2026, 12, 5, 4, 18, 29, 48, 123}, 0x1A0, 0x2C4, "ZKMisc", ZKDLOG_COM, 0};

// Formats into a buffer one byte longer than a line, and checks that the
// byte after the record's length is never written, also for a full line.
std::string format(const ZKDLOG_RECORD& rec, const char* fmt, ...) {
    char line[ZKDLOG_LINE_SIZE + 1];
    memset(line, '#', sizeof line);
    va_list args;
    va_start(args, fmt);
    int n = zkdlog_format_record(line, rec, fmt, args);
    va_end(args);
    EXPECT_TRUE(n > 0 && n <= ZKDLOG_LINE_SIZE && line[n] == '#') << "written past its length " << n;
    return std::string(line, n);
}

const char kExample[] =
    "trace(  92)       , 12/04, 18:29:48.123, 0x000001A0, 0x000002C4, ZKMisc  , COM, "
    "PROCESS_ATTACH";

TEST(DLogFormat, ReferenceLineSourceFieldAndModuleName) {
    ZKDLOG_RECORD rec = kRecord;
    EXPECT_EQ(format(rec, "PROCESS_ATTACH"), std::string(kExample) + "\r\n");
    rec.pszFile = "C:\\src\\zk\\ZKPollM.cpp";
    EXPECT_EQ(format(rec, nullptr).substr(0, 20), "ZKPollM.cpp(  92) , ");
    rec.pszFile = "D:ZKUtil";
    rec.dwLine = 123456;
    EXPECT_EQ(format(rec, nullptr).substr(0, 16), "ZKUtil(123456)  ");
    rec.pszFile = "AVeryLongSourceFileName.cpp";
    EXPECT_EQ(format(rec, nullptr).substr(0, 37), "AVeryLongSourceFileName.cpp(123456), ");
    rec = kRecord;
    rec.pszModule = "ZKShMemLonger";
    EXPECT_NE(format(rec, "x").find(", ZKShMemLonger, COM, x"), std::string::npos);
    rec.pszModule = "A";
    EXPECT_NE(format(rec, "x").find(", A       , COM, x"), std::string::npos);
}

TEST(DLogFormat, LevelNamesIndentationLineEndsAndCuts) {
    ZKDLOG_RECORD rec = kRecord;
    const std::pair<WORD, const char*> names[] = {
        {ZKDLOG_LO, "LO"},   {ZKDLOG_END, "END"}, {ZKDLOG_STA, "STA"}, {ZKDLOG_DBG, "DBG"}, {ZKDLOG_CHK, "CHK"},
        {ZKDLOG_NTA, "NTA"}, {ZKDLOG_ATT, "ATT"}, {ZKDLOG_STD, "STD"}, {ZKDLOG_ERR, "ERR"}, {ZKDLOG_EMR, "EMR"},
        {ZKDLOG_HI, "HI"},   {0x0002, "???"},     {0x0000, "???"}};
    for (auto [level, name] : names) {
        rec.wLevel = level;
        EXPECT_NE(format(rec, "m").find(std::string(", ") + name + ", m\r\n"), std::string::npos) << name;
    }
    rec = kRecord;
    rec.nIndent = 2;
    std::string header = std::string(kExample).substr(0, 80);
    EXPECT_EQ(format(rec, "} done (%u)", 0u), header + "    } done (0)\r\n");
    EXPECT_EQ(format(rec, nullptr), header + "    \r\n");
    rec.nIndent = 0;
    EXPECT_EQ(format(rec, "a\n"), header + "a\r\n");
    EXPECT_EQ(format(rec, "a\r\n"), header + "a\r\r\n");
    EXPECT_EQ(format(rec, "a\n\n"), header + "a\n\r\n");
    // Overlong records are cut before the line end.
    std::string big(3000, 'm');
    std::string line = format(rec, "%s%s", big.c_str(), big.c_str());
    ASSERT_EQ(line.size(), size_t(ZKDLOG_LINE_SIZE));
    EXPECT_EQ(line.substr(line.size() - 3), "m\r\n");
    rec.nIndent = 100000;
    line = format(rec, "tail");
    ASSERT_EQ(line.size(), size_t(ZKDLOG_LINE_SIZE));
    EXPECT_EQ(line.substr(line.size() - 3), " \r\n");
    std::string long_name(900, 'f');
    rec = kRecord;
    rec.pszFile = long_name.c_str();
    line = format(rec, "x");
    EXPECT_LE(line.size(), size_t(ZKDLOG_LINE_SIZE));
    EXPECT_EQ(line.substr(line.size() - 2), "\r\n");
}

class DLogConfig : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(ZKDLogCreate("CfgTest", 0, &log), 0u);
        char path[261];
        ZKMiscMakeRegPath("CfgTest", "Message", sizeof path, path);
        message = path;
    }
    void TearDown() override { ZKDLogDestroy(log, 0); }

    void set(const std::string& sub, const char* name, const std::string& value, DWORD type = REG_SZ) {
        ASSERT_EQ(put_reg_text(HKEY_LOCAL_MACHINE, message + sub, name, value, type), 0);
    }
    DWORD load() { return ZKDLogLoadCfg(log, 0, nullptr, 0, 0); }
    const ZKDLOG_OUTPUT& file() const { return log->aOutput[0]; }
    const ZKDLOG_OUTPUT& debug() const { return log->aOutput[1]; }
    std::string path() const { return file().pszPath ? file().pszPath : "(none)"; }

    PZKDLOG_HANDLE log = nullptr;
    std::string message;
};

TEST_F(DLogConfig, MissingKeyChangesNothingLevelNamesIgnoreCase) {
    EXPECT_EQ(load(), DWORD(ERROR_FILE_NOT_FOUND));
    set("", "unrelated", "x");
    EXPECT_EQ(load(), 0u) << "the Message key exists now, without LOG or DBG";
    EXPECT_TRUE(file().wLevel == ZKDLOG_HI && debug().wLevel == ZKDLOG_HI && file().pszPath == nullptr);

    set("\\LOG", "OutputLevel", "eRr");
    set("\\DBG", "OutputLevel", "HI");
    ASSERT_EQ(load(), 0u);
    // No OutputTo: the file output stays off.
    EXPECT_TRUE(file().wLevel == ZKDLOG_ERR && debug().wLevel == ZKDLOG_HI && path() == "(none)");
    // Unknown names let everything through.
    set("\\DBG", "OutputLevel", "LOUD");
    set("\\LOG", "OutputLevel", "7", REG_EXPAND_SZ);
    ASSERT_EQ(load(), 0u);
    // A value of another type counts as absent.
    EXPECT_TRUE(debug().wLevel == 0 && file().wLevel == ZKDLOG_ERR);
}

TEST_F(DLogConfig, ReloadKeepsSwapsOrDropsTheFileAndItsMutex) {
    std::string a = temp_dir() + "/a.log", upper = a, b = temp_dir() + "/b.log";
    for (char& c : upper) c = char(toupper(c));
    set("\\LOG", "OutputTo", a);
    set("\\LOG", "OutputLevel", "DBG");
    ASSERT_EQ(load(), 0u);
    HANDLE first = file().hFileMutex;
    ASSERT_TRUE(path() == a && first != nullptr) << path();
    set("\\LOG", "OutputTo", upper);
    ASSERT_EQ(load(), 0u);
    EXPECT_TRUE(path() == a && file().hFileMutex == first) << "the same path in other letters keeps the mutex";

    set("\\LOG", "OutputTo", b);
    ASSERT_EQ(load(), 0u);
    EXPECT_EQ(path(), b);
    // The new mutex is the one named after b, and the old handle is closed.
    HANDLE other = OpenMutexA(SYNCHRONIZE, FALSE, file_mutex_name(b).c_str());
    EXPECT_TRUE(other && CloseHandle(other));
    EXPECT_FALSE(CloseHandle(first)) << "the old mutex handle was closed by the reload";

    // An empty value counts as absent; the threshold is still read.
    set("\\LOG", "OutputTo", "");
    set("\\LOG", "OutputLevel", "STA");
    ASSERT_EQ(load(), 0u);
    EXPECT_TRUE(path() == "(none)" && file().hFileMutex == nullptr && file().wLevel == ZKDLOG_STA);
}

TEST_F(DLogConfig, CallerPathAndRoot) {
    const DWORD kCurrentUser = 0x80000001u;  // HKEY_CURRENT_USER as a root word
    ASSERT_EQ(put_reg_text(HKEY_CURRENT_USER, "Custom\\Place\\Message\\DBG", "OutputLevel", "CHK"), 0);
    EXPECT_EQ(ZKDLogLoadCfg(log, kCurrentUser, "Custom\\Place", 0, 0), 0u);
    EXPECT_EQ(debug().wLevel, ZKDLOG_CHK);
    std::string too_long(300, 'p');
    EXPECT_NE(ZKDLogLoadCfg(log, kCurrentUser, too_long.c_str(), 0, 0), 0u);
    EXPECT_EQ(debug().wLevel, ZKDLOG_CHK) << "a path that does not fit opens nothing";
}

// Takes the named mutex of a log file and ends without giving it back, as a
// writer killed inside its write does.
ZKX_CHILD(dlog_mutex_dies) {
    HANDLE m = CreateMutexA(nullptr, FALSE, args.at(0).c_str());
    return m && WaitForSingleObject(m, 5000) == WAIT_OBJECT_0 ? 0 : 1;
}

// The heir of an abandoned file mutex cannot know who wrote an unfinished
// last line, so it ends that line and removes nothing, whatever the file's
// line ends are.
TEST(DLogFile, HeirOfADeadWritersMutexEndsTheLastLineAndKeepsEveryByte) {
    const std::pair<const char*, const char*> cases[] = {  // before, mended
        {"whole line one\r\nwhole line two\r\nhalf a rec", "whole line one\r\nwhole line two\r\nhalf a rec\r\n"},
        {"written by another tool\nline two\n", "written by another tool\nline two\n"},
        {"torn between CR and LF\r", "torn between CR and LF\r\n"},
    };
    int n = 0;
    for (auto [before, mended] : cases) {
        std::string path = temp_dir() + "/torn" + std::to_string(n++) + ".log";
        write_file(path, before);
        PZKDLOG_HANDLE log = nullptr;
        ASSERT_EQ(ZKDLogCreate("Torn", 0, &log), 0u);
        set_file_output(log, path, 0);
        ASSERT_EQ(wait_child(spawn_child("dlog_mutex_dies", {file_mutex_name(path)})), 0);

        EXPECT_EQ(ZKDLogOut(log, "f", 1, 0x10, "dropped: the mutex came abandoned"), 0u);
        EXPECT_EQ(ZKDLogOut(log, "f", 2, 0x10, "written"), 0u);
        ZKDLogDestroy(log, 0);
        const std::string content = read_file(path);
        EXPECT_EQ(content.substr(0, strlen(mended)), mended) << before;
        EXPECT_EQ(content.find("f(   2)", strlen(mended)), strlen(mended)) << content;
    }
}

#ifndef _WIN32

DWORD write_through(const std::string& path, const char* text) {
    PZKDLOG_HANDLE log = nullptr;
    if (ZKDLogCreate("Shared", 0, &log) != 0) return ERROR_NOT_ENOUGH_MEMORY;
    set_file_output(log, path, 0);
    ZKDLOG_OUTPUT& out = log->aOutput[ZKDLOG_OUT_FILE];
    DWORD result = out.pfnWrite(&out, text, DWORD(strlen(text)));
    ZKDLogDestroy(log, 0);
    return result;
}

// Writes a record under a file-size limit (args: path, limit) that leaves
// room for only part of it, then one more without the limit.  Exits with
// what the file writer returned for the first.
ZKX_CHILD(dlog_writes_past_size_limit) {
    signal(SIGXFSZ, SIG_IGN);
    struct rlimit limit;
    // An empty write first brings up the platform's segment, which the limit would refuse.
    if (write_through(args.at(0), "") != 0 || getrlimit(RLIMIT_FSIZE, &limit) != 0) return 200;
    const rlim_t unlimited = limit.rlim_cur;
    limit.rlim_cur = rlim_t(std::stoul(args.at(1)));
    if (setrlimit(RLIMIT_FSIZE, &limit) != 0) return 201;
    const DWORD result = write_through(args.at(0), "a record longer than the twenty bytes left\r\n");
    limit.rlim_cur = unlimited;
    if (setrlimit(RLIMIT_FSIZE, &limit) != 0 || write_through(args.at(0), "after the limit\r\n") != 0) return 202;
    return int(result);
}

// A write that the disk or a size limit cuts short takes its piece back: the
// old lines stay, the next record starts its own line, and the writer
// reports the disk-full code (the caller of ZKDLogOut still gets 0).
TEST(DLogFile, WriteCutShortByAFileSizeLimitLeavesNoPiece) {
    const std::string path = temp_dir() + "/full.log";
    const std::string old = "old line one\r\nold line two\r\n";
    write_file(path, old);
    const std::string limit = std::to_string(old.size() + 20);
    EXPECT_EQ(wait_child(spawn_child("dlog_writes_past_size_limit", {path, limit})), int(ERROR_DISK_FULL));
    EXPECT_EQ(read_file(path), old + "after the limit\r\n");
}

// A new log file is 0640 before the umask.  In a sticky folder that every
// user may write, another user's link to a file of root's, or their own
// file, is not written by a root writer, whose file writer says ERROR_ACCESS_DENIED.
TEST(DLogFile, OtherUsersGetNeitherOurRecordsNorOurWrites) {
    const mode_t old_mask = umask(022);
    const std::string fresh = temp_dir() + "/fresh.log";
    EXPECT_EQ(write_through(fresh, "first\r\n"), 0u);
    umask(old_mask);
    struct stat st;
    ASSERT_EQ(stat(fresh.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0640u);

    if (geteuid() != 0) GTEST_SKIP() << "needs root to act as a second, unprivileged user";
    char dir_template[] = "/tmp/zkx-dlog-shared.XXXXXX";
    ASSERT_NE(mkdtemp(dir_template), nullptr);
    const std::string dir = dir_template, secret = temp_dir() + "/root-only";
    ASSERT_EQ(chmod(dir.c_str(), 01777), 0);
    write_file(secret, "root's own\n");
    // An unprivileged user plants a link to root's file and a file of its own.
    const std::string linked = dir + "/linked.log", owned = dir + "/owned.log";
    const pid_t pid = fork();
    if (pid == 0) {
        if (!become_user(65534, 65534)) _exit(90);
        int fd = open(owned.c_str(), O_CREAT | O_EXCL | O_WRONLY, 0666);
        _exit(symlink(secret.c_str(), linked.c_str()) == 0 && fd >= 0 && fchmod(fd, 0666) == 0 ? 0 : 91);
    }
    int status = 0;
    ASSERT_TRUE(pid > 0 && waitpid(pid, &status, 0) == pid && WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_EQ(write_through(linked, "secret\r\n"), DWORD(ERROR_ACCESS_DENIED));
    EXPECT_EQ(write_through(owned, "secret\r\n"), DWORD(ERROR_ACCESS_DENIED));
    EXPECT_EQ(read_file(secret), "root's own\n");
    EXPECT_EQ(read_file(owned), "");
    for (const char* name : {"/linked.log", "/owned.log"}) unlink((dir + name).c_str());
    rmdir(dir.c_str());
}

#endif

}  // namespace
