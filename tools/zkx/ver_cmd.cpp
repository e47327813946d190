// zkx ver: version strings and the installation's version stamp.
#include <cstdio>
#include <string>

#include "ZKVer.h"
#include "cli.h"

namespace zkx::tool {
namespace {

int ver_compare(Args& args) {
    std::string a = args.take("first version");
    std::string b = args.take("second version");
    args.finish();
    LONG order = 0;
    DWORD r = ZKCompareVersion(a.c_str(), b.c_str(), &order);
    if (r != 0)
        throw Failure("cannot compare '" + a + "' with '" + b +
                      "': a part holds something other than digits, letters and spaces, or a "
                      "version is longer than 255 characters");
    std::printf("%s %s %s\n", a.c_str(), order < 0 ? "<" : order > 0 ? ">" : "=", b.c_str());
    return kExitOk;
}

int ver_main(Args& args) {
    std::string op = args.take("operation (compare)");
    if (op == "compare") return ver_compare(args);
    throw UsageError("unknown ver operation '" + op + "'");
}

}  // namespace

extern const Command kVerCommand = {
    "ver", "compare version strings",
    "usage:\n"
    "  zkx ver compare VERSION1 VERSION2\n"
    "\n"
    "compare prints VERSION1 <, = or > VERSION2, part by part: digits outweigh\n"
    "letters (1.2 < 1.2a < 1.3, 1.9 < 1.10) and missing parts count as 0.\n",
    ver_main};

}  // namespace zkx::tool
