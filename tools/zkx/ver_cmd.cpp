// zkx ver: version strings and the installation's version stamp.
#include <dlfcn.h>

#include <cctype>
#include <cstdio>
#include <cstring>
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
    std::printf("%s %s %s\n", printable(a).c_str(), order < 0 ? "<" : order > 0 ? ">" : "=", printable(b).c_str());
    return kExitOk;
}

// Where the library looks for its stamp: beside its own module file.
std::string stamp_path() {
    Dl_info info;
    if (dladdr(reinterpret_cast<void*>(&ZKVerLoad), &info) == 0 || !info.dli_fname) return "";
    std::string path = info.dli_fname;
    size_t slash = path.rfind('/');
    return (slash == std::string::npos ? std::string() : path.substr(0, slash + 1)) + "zkx.ver";
}

int ver_show(Args& args) {
    args.finish();
    std::string path = stamp_path();
    char text[ZKVER_TEXT_SIZE];
    if (!ZKVer(text, sizeof text))
        throw Failure("no version stamp" + (path.empty() ? std::string() : " in " + path));
    std::printf("%s\n", printable(text).c_str());
    if (!path.empty()) std::printf("stamp file %s\n", printable(path).c_str());
    return kExitOk;
}

// "1.2.3.4a": four numbers of -128 to 127 and at most one suffix character.
bool parse_stamp(const std::string& text, ZKVER_STAMP* stamp) {
    signed char* numbers[] = {&stamp->cNumber1, &stamp->cNumber2, &stamp->cNumber3, &stamp->cNumber4};
    size_t pos = 0;
    for (int i = 0; i < 4; ++i) {
        if (i > 0) {
            if (pos >= text.size() || text[pos] != '.') return false;
            ++pos;
        }
        size_t start = pos;
        if (pos < text.size() && text[pos] == '-') ++pos;
        size_t digits = pos;
        while (pos < text.size() && std::isdigit(static_cast<unsigned char>(text[pos])) && pos - digits < 4) ++pos;
        if (pos == digits) return false;
        int n = std::stoi(text.substr(start, pos - start));
        if (n < -128 || n > 127) return false;
        *numbers[i] = static_cast<signed char>(n);
    }
    stamp->cSuffix = 0;
    if (pos < text.size()) {
        unsigned char c = static_cast<unsigned char>(text[pos]);
        if (pos + 1 != text.size() || std::isdigit(c) || c == '.' || c < 0x21) return false;
        stamp->cSuffix = static_cast<CHAR>(c);
    }
    return true;
}

int ver_save(Args& args) {
    std::string text = args.take("version such as 1.2.3.4a");
    args.finish();
    ZKVER_STAMP stamp = {};
    if (!parse_stamp(text, &stamp))
        throw UsageError("a stamp is four numbers of -128 to 127 and an optional letter, such as 1.2.3.4a; not '" +
                         text + "'");
    // The reserved bytes belong to whoever wrote the stamp: keep them.
    ZKVER_STAMP old = {};
    if (ZKVerLoad(&old)) std::memcpy(stamp.abReserved, old.abReserved, sizeof stamp.abReserved);
    if (!ZKVerSave(&stamp)) throw Failure("cannot write the version stamp " + stamp_path());
    return ver_show(args);
}

int ver_main(Args& args) {
    std::string op = args.take("operation (show, save or compare)");
    if (op == "show") return ver_show(args);
    if (op == "save") return ver_save(args);
    if (op == "compare") return ver_compare(args);
    throw UsageError("unknown ver operation '" + op + "'");
}

}  // namespace

extern const Command kVerCommand = {
    "ver", "show and save the version stamp, compare version strings",
    "usage:\n"
    "  zkx ver show\n"
    "  zkx ver save    VERSION\n"
    "  zkx ver compare VERSION1 VERSION2\n"
    "\n"
    "show prints the installation's version stamp, the file zkx.ver beside the\n"
    "library.  save writes VERSION, four numbers and an optional suffix such as\n"
    "1.2.3.4a, as the new stamp.\n"
    "compare prints VERSION1 <, = or > VERSION2, part by part: digits outweigh\n"
    "letters (1.2 < 1.2a < 1.3, 1.9 < 1.10) and missing parts count as 0.\n",
    ver_main};

}  // namespace zkx::tool
