// The shared library exports exactly the names of its module-definition
// file: nothing internal leaks, and nothing of the table is missing.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <regex>
#include <set>
#include <string>

namespace {

std::set<std::string> def_names() {
    std::ifstream in(ZKX_DEF_FILE);
    std::set<std::string> names;
    std::string line;
    bool in_exports = false;
    const std::regex entry(R"(^\s*_?([A-Za-z][A-Za-z0-9_]*)(@\d+)?\s+@(\d+))");
    while (std::getline(in, line)) {
        if (line.rfind("EXPORTS", 0) == 0) in_exports = true;
        std::smatch m;
        if (in_exports && std::regex_search(line, m, entry)) names.insert(m[1]);
    }
    return names;
}

std::set<std::string> exported_names() {
    std::set<std::string> names;
    std::string cmd = std::string("nm -D --defined-only '") + ZKX_LIBRARY_FILE + "'";
    FILE* p = popen(cmd.c_str(), "r");
    if (!p) return names;
    char buf[512];
    while (std::fgets(buf, sizeof buf, p)) {
        std::string line(buf);
        // "<address> <type> <name>"; only code and data symbols count.
        std::smatch m;
        static const std::regex sym(R"(^[0-9a-f]+ ([TDBRW]) (\S+))");
        if (std::regex_search(line, m, sym)) names.insert(m[2]);
    }
    pclose(p);
    return names;
}

// Families whose operations are not in the library yet; empty once every
// family is in.
const std::set<std::string> kNotYetBuilt = {
};

TEST(Exports, SharedLibraryExportsExactlyTheTable) {
    std::set<std::string> table = def_names();
    ASSERT_EQ(table.size(), 63u) << "the export table lists 63 operations";
    std::set<std::string> exported = exported_names();
    ASSERT_FALSE(exported.empty());
    for (const auto& name : exported) EXPECT_TRUE(table.count(name)) << "not in the table: " << name;
    for (const auto& name : table) {
        if (kNotYetBuilt.count(name))
            EXPECT_FALSE(exported.count(name)) << name << " is built now: take it off the list";
        else
            EXPECT_TRUE(exported.count(name)) << "not exported: " << name;
    }
}

}  // namespace
