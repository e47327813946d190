// zkx reg against the real store: REGEDIT4 round trips, refusals that change nothing, and the
// reg command's options.
#include "zkx_run.h"

namespace zkx::test {
namespace {

const char kKey[] = "HKLM\\SOFTWARE\\VELKO\\ZKW\\Admin";

// Every kind of value the format carries, a continued hex line, a comment, CR LF line ends, a
// value name with escapes and the UTF-8 mark some editors put first.
const char kSample[] =
    "\xEF\xBB\xBFREGEDIT4\r\n"
    "\r\n"
    "; installation settings\r\n"
    "[HKEY_LOCAL_MACHINE\\SOFTWARE\\VELKO\\ZKW\\Admin]\r\n"
    "\"ZKDir\"=\"C:\\\\Prod\\\\bin\"\r\n"
    "\"ZKSystemType\"=dword:00000005\r\n"
    "@=\"default \\\"quoted\\\"\"\r\n"
    "\"Blob\"=hex:00,01,fe,\\\r\n"
    "  ff\r\n"
    "\"Multi\"=hex(7):61,00,62,00,00\r\n"
    "\r\n"
    "[HKEY_LOCAL_MACHINE\\SOFTWARE\\VELKO\\ZKW\\Admin\\ZKMisc\\Message\\LOG]\r\n"
    "\"OutputLevel\"=\"ERR\"\r\n";

ZkxResult import_text(const std::string& text) {
    const std::string file = temp_dir() + "/import.reg";
    write_file(file, text);
    return run_zkx({"reg", "import", file});
}

TEST(RegTool, ImportQueryExportRoundTripAddAndDelete) {
    ASSERT_EQ(import_text(kSample).exit_code, 0);
    ZkxResult q = run_zkx({"reg", "query", kKey});
    for (const char* line : {"    ZKDir    REG_SZ    C:\\Prod\\bin\n", "    ZKSystemType    REG_DWORD    0x5\n",
                             "    (Default)    REG_SZ    default \"quoted\"\n", "    Blob    REG_BINARY    0001FEFF\n",
                             "    Multi    REG_MULTI_SZ    a\\0b\n",
                             "HKEY_LOCAL_MACHINE\\SOFTWARE\\VELKO\\ZKW\\Admin\\ZKMisc\n"})
        EXPECT_TRUE(has(q.out, line)) << line << " in\n" << q.out;

    // Export, wipe, import the export: the second export is the same text.
    std::string out1 = temp_dir() + "/out1.reg", out2 = temp_dir() + "/out2.reg";
    ASSERT_EQ(run_zkx({"reg", "export", "HKLM\\SOFTWARE\\VELKO", out1}).exit_code, 0);
    ASSERT_EQ(run_zkx({"reg", "delete", "HKLM\\SOFTWARE\\VELKO", "/f"}).exit_code, 0);
    EXPECT_EQ(run_zkx({"reg", "query", kKey}).exit_code, kExitFailed);
    ASSERT_EQ(run_zkx({"reg", "import", out1}).exit_code, 0);
    ASSERT_EQ(run_zkx({"reg", "export", "HKLM\\SOFTWARE\\VELKO", out2}).exit_code, 0);
    EXPECT_EQ(read_file(out1), read_file(out2));
    // An existing file is not overwritten without /y or a yes.
    EXPECT_EQ(run_zkx({"reg", "export", kKey, out1}, "n\n").exit_code, kExitFailed);
    EXPECT_EQ(run_zkx({"reg", "export", kKey, out1, "/y"}).exit_code, 0);
    EXPECT_EQ(run_zkx({"reg", "add", kKey, "/v", "N", "/t", "REG_DWORD", "/d", "0x10"}).exit_code, 0);
    // Overwriting asks first; "no" keeps the value, /f does not ask.
    EXPECT_EQ(run_zkx({"reg", "add", kKey, "/v", "N", "/t", "REG_DWORD", "/d", "1"}, "no\n").exit_code, kExitFailed);
    EXPECT_TRUE(has(run_zkx({"reg", "query", kKey, "/v", "n"}).out, "0x10"));
    EXPECT_EQ(run_zkx({"reg", "add", kKey, "/v", "N", "/t", "REG_DWORD", "/d", "7", "/f"}).exit_code, 0);
    EXPECT_TRUE(has(run_zkx({"reg", "query", kKey, "/v", "N"}).out, "0x7"));
    EXPECT_EQ(run_zkx({"reg", "add", kKey, "/v", "Q", "/t", "REG_QWORD", "/d", "0x100000000"}).exit_code, 0);
    EXPECT_TRUE(has(run_zkx({"reg", "query", kKey, "/s", "/f", "100000000"}).out, "1 match(es)"));
    // A file deletes a value and a whole key.
    EXPECT_EQ(run_zkx({"reg", "add", std::string(kKey) + "\\Old\\Deeper", "/v", "x", "/d", "y"}).exit_code, 0);
    ASSERT_EQ(import_text("REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\VELKO\\ZKW\\Admin]\n\"N\"=-\n\n"
                          "[-HKEY_LOCAL_MACHINE\\SOFTWARE\\VELKO\\ZKW\\Admin\\Old]\n").exit_code, 0);
    EXPECT_EQ(run_zkx({"reg", "query", kKey, "/v", "N"}).exit_code, kExitFailed);
    EXPECT_EQ(run_zkx({"reg", "query", std::string(kKey) + "\\Old"}).exit_code, kExitFailed);
    EXPECT_EQ(run_zkx({"reg", "delete", kKey, "/va", "/f"}).exit_code, 0);
    EXPECT_EQ(run_zkx({"reg", "query", kKey, "/v", "Q"}).exit_code, kExitFailed);
    EXPECT_EQ(run_zkx({"reg", "delete", kKey}, "y\n").exit_code, 0);
    EXPECT_EQ(run_zkx({"reg", "query", kKey}).exit_code, kExitFailed);
}

// A refused file names the line of its first fault and changes nothing: faults of syntax, faults
// in the tenth key only, and a damaged key (B) that only the store finds.  A query of the tree
// reports B and goes on.
TEST(RegTool, ARefusedImportNamesItsLineAndChangesNothing) {
    for (const char* k : {"A", "B", "C"})
        ASSERT_EQ(run_zkx({"reg", "add", std::string("HKLM\\SOFTWARE\\T\\") + k, "/v", "v", "/d", k}).exit_code, 0);
    write_file(std::string(getenv("ZKX_REGISTRY")) + "/HKEY_LOCAL_MACHINE/software/t/b/.values", "not a key file");
    std::string nine = "REGEDIT4\n";
    for (int i = 1; i <= 9; ++i) nine += "[HKLM\\SOFTWARE\\T\\K" + std::to_string(i) + "]\n\"v\"=\"1\"\n";
    std::string hex_over_1mib = "hex:00";
    for (size_t i = 0; i < (size_t(1) << 20); ++i) hex_over_1mib += ",00";
    const std::pair<std::string, const char*> cases[] = {
        {"REGEDIT4\n[HKLM\\SOFTWARE\\T]\n\"a\"=\"1\"\n\"b\"=dword:123456789\n", "line 4:"},
        {"REGEDIT4\n\"a\"=\"1\"\n", "line 2:"}, {"REGEDIT4\n[HKXX\\SOFTWARE\\T]\n", "line 2:"},
        {"REGEDIT4\n[HKLM\\SOFTWARE\\T\n", "line 2:"}, {"", "line 1:"},
        {"Windows Registry Editor Version 5.00\n", "line 1:"},
        {"REGEDIT4\n[HKLM\\SOFTWARE\\T]\n\"a\"=\"unterminated\n", "line 3:"},
        {"REGEDIT4\n[HKLM\\SOFTWARE\\T]\n\"a\"=\"x\" trailing\n", "line 3:"},
        {"REGEDIT4\n[HKLM\\SOFTWARE\\T]\n\"a\"=hex:01,\\\n  02,zz\n", "line 3:"},
        {nine + "[HKLM\\SOFTWARE\\T\\K10]\n\"big\"=" + hex_over_1mib + "\n", "line 21:"},
        {nine + "[HKLM\\SOFTWARE\\T\\K10]\n\"" + std::string(16384, 'n') + "\"=\"1\"\n", "line 21:"},
        {nine + "[HKLM\\SOFTWARE\\T\\B]\n\"v\"=\"1\"\n", "line 20:"},
    };
    for (const auto& [text, where] : cases) {
        ZkxResult r = import_text(text);
        EXPECT_EQ(r.exit_code, kExitFailed) << text.substr(0, 60);
        EXPECT_TRUE(has(r.err, where) && std::count(r.err.begin(), r.err.end(), '\n') == 1) << r.err;
    }
    ZkxResult r = run_zkx({"reg", "query", "HKLM\\SOFTWARE\\T", "/s"});
    EXPECT_EQ(r.exit_code, kExitFailed);
    EXPECT_FALSE(has(r.out, "K1") || has(r.out, "    a    ")) << "a refused file changed the store:\n" << r.out;
    for (const std::string k : {"A", "C"})
        EXPECT_TRUE(has(r.out, "HKEY_LOCAL_MACHINE\\SOFTWARE\\T\\" + k + "\n    v    REG_SZ    " + k)) << r.out;
    EXPECT_TRUE(has(r.err, "cannot read subkey 1 of HKEY_LOCAL_MACHINE\\SOFTWARE\\T: ")) << r.err;
}

TEST(RegTool, BadCommandLinesGiveOneLineAndExitTwo) {
    const std::vector<std::vector<std::string>> lines = {
        {"nosuch"}, {"help", "nosuch"}, {"reg"}, {"reg", "frob", kKey}, {"reg", "delete", "HKLM", "/f"},
        {"reg", "query", "HKXX\\SOFTWARE"}, {"reg", "query", "HKLM\\A\\\\B"}, {"reg", "query", kKey, "/bogus"},
        {"reg", "add", kKey, "/v", "N", "/t", "REG_DWORD", "/d", "12x"}, {"reg", "add", kKey, "/t", "REG_FOO"},
        {"objects", "--type", "lock"}, {"dbgview", "--count", "0"}, {"dbgview", "--pid", "1", "extra"},
        {"log", "set", "M", "--level", "LOUD"},
    };
    for (const auto& args : lines) {
        ZkxResult r = run_zkx(args);
        EXPECT_EQ(r.exit_code, kExitUsage) << args[0] << " " << (args.size() > 1 ? args[1] : "");
        EXPECT_TRUE(r.err.rfind("zkx: ", 0) == 0 && std::count(r.err.begin(), r.err.end(), '\n') == 1) << r.err;
    }
    EXPECT_TRUE(has(run_zkx({"help", "reg"}).out, "zkx reg import FILE"));
}

}  // namespace
}  // namespace zkx::test
