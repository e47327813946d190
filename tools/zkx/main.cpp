// zkx: one tool to see and change what the library reads and makes.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "cli.h"

namespace zkx::tool {

extern const Command kRegCommand;
extern const Command kLogCommand;
extern const Command kDbgviewCommand;
extern const Command kObjectsCommand;
extern const Command kVerCommand;
extern const Command kSettingsCommand;
extern const Command kDemoCommand;
extern const Command kShmemCommand;
extern const Command kNamespaceCommand;

const std::vector<const Command*>& commands() {
    static const std::vector<const Command*> all = {
        &kRegCommand, &kLogCommand, &kDbgviewCommand, &kObjectsCommand, &kShmemCommand, &kNamespaceCommand, &kSettingsCommand, &kVerCommand, &kDemoCommand,
    };
    return all;
}

namespace {

const Command* find_command(const std::string& name) {
    for (const Command* c : commands())
        if (name == c->name) return c;
    return nullptr;
}

void print_overview() {
    std::printf("usage: zkx COMMAND [ARGUMENTS]\n\ncommands:\n");
    for (const Command* c : commands()) std::printf("  %-9s %s\n", c->name, c->summary);
    std::printf("  %-9s %s\n", "help", "this list, or \"zkx help COMMAND\" for one command");
    std::printf(
        "\nThe registry and the object namespace are those of the environment\n"
        "(ZKX_REGISTRY, ZKX_NAMESPACE), as for every program that uses the library.\n"
        "Exit codes: 0 done, 1 failed, 2 bad command line.\n");
}

int help(Args& args) {
    if (args.empty()) {
        print_overview();
        return kExitOk;
    }
    std::string name = args.take("command name");
    args.finish();
    const Command* c = find_command(name);
    if (!c) throw UsageError("no command '" + name + "' (see \"zkx help\")");
    std::fputs(c->usage, stdout);
    return kExitOk;
}

int run(int argc, char** argv) {
    if (argc < 2) {
        print_overview();
        return kExitUsage;
    }
    std::string name = argv[1];
    Args args(std::vector<std::string>(argv + 2, argv + argc));
    if (name == "help" || name == "--help" || name == "-h" || name == "/?") return help(args);
    const Command* c = find_command(name);
    if (!c) throw UsageError("no command '" + name + "' (see \"zkx help\")");
    if (!args.empty() && (args.peek() == "--help" || args.peek() == "/?")) {
        std::fputs(c->usage, stdout);
        return kExitOk;
    }
    return c->run(args);
}

}  // namespace
}  // namespace zkx::tool

int main(int argc, char** argv) {
    using namespace zkx::tool;
    try {
        int code = run(argc, argv);
        std::fflush(stdout);
        return code;
    } catch (const UsageError& e) {
        std::fflush(stdout);
        std::fprintf(stderr, "zkx: %s\n", printable(e.what()).c_str());
        return kExitUsage;
    } catch (const Failure& e) {
        std::fflush(stdout);
        std::fprintf(stderr, "zkx: %s\n", printable(e.what()).c_str());
        return kExitFailed;
    } catch (const std::exception& e) {
        std::fflush(stdout);
        std::fprintf(stderr, "zkx: %s\n", printable(e.what()).c_str());
        return kExitFailed;
    }
}
