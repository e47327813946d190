// The shared library exports exactly the names of its module-definition
// file: nothing internal leaks, and nothing of the table is missing.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <cstring>
#include <set>
#include <string>

namespace {

std::set<std::string> def_names() {
    std::ifstream in(ZKX_DEF_FILE);
    std::set<std::string> names;
    std::string line;
    bool in_exports = false;
    while (std::getline(in, line)) {
        if (line.rfind("EXPORTS", 0) == 0) in_exports = true;
        // "    NAME   @ordinal", the Windows-decorated "_NAME@8" standing for NAME.
        char name[128];
        unsigned ordinal = 0;
        if (!in_exports || std::sscanf(line.c_str(), " %127s @%u", name, &ordinal) != 2) continue;
        std::string n = name;
        if (n[0] == '_' && n.find('@') != std::string::npos) n = n.substr(1, n.find('@') - 1);
        names.insert(n);
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
        char type = 0, name[256];
        unsigned long long address = 0;
        if (std::sscanf(line.c_str(), "%llx %c %255s", &address, &type, name) == 3 &&
            std::strchr("TDBRW", type))
            names.insert(name);
    }
    pclose(p);
    return names;
}

TEST(Exports, SharedLibraryExportsExactlyTheTable) {
    std::set<std::string> table = def_names();
    ASSERT_EQ(table.size(), 63u) << "the export table lists 63 operations";
    std::set<std::string> exported = exported_names();
    ASSERT_FALSE(exported.empty());
    for (const auto& name : exported) EXPECT_TRUE(table.count(name)) << "not in the table: " << name;
    for (const auto& name : table) EXPECT_TRUE(exported.count(name)) << "not exported: " << name;
}

}  // namespace
