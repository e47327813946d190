// zkx objects: the named kernel objects of the namespace, to find who holds
// a lock and what state an event or semaphore is in.
#include <algorithm>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "cli.h"
#include "kernel/kernel_objects.h"

namespace zkx::tool {
namespace {

using zkx::win32::KernelObjectInfo;
using zkx::win32::KernelObjectType;

const char* type_text(KernelObjectType t) {
    switch (t) {
        case KernelObjectType::Event: return "event";
        case KernelObjectType::Mutex: return "mutex";
        case KernelObjectType::Semaphore: return "semaphore";
        case KernelObjectType::Thread: return "thread";
        case KernelObjectType::Section: return "section";
    }
    return "?";
}

// The program name of a live process, to say who holds a mutex.
std::string process_name(uint32_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/comm");
    std::string name;
    if (!std::getline(in, name)) return "";
    return " (" + printable(name) + ")";
}

std::string state_text(const KernelObjectInfo& o) {
    char buf[160];
    switch (o.type) {
        case KernelObjectType::Event:
            std::snprintf(buf, sizeof buf, "%s, %s", o.signalled ? "set" : "reset",
                          o.manual_reset ? "manual reset" : "auto reset");
            return buf;
        case KernelObjectType::Mutex:
            if (o.owner_pid == 0) return o.abandoned ? "free, abandoned" : "free";
            std::snprintf(buf, sizeof buf, "owned by pid %u%s thread %u, recursion %u%s",
                          unsigned(o.owner_pid), process_name(o.owner_pid).c_str(),
                          unsigned(o.owner_tid), unsigned(o.recursion),
                          o.abandoned ? ", abandoned" : "");
            return buf;
        case KernelObjectType::Semaphore:
            std::snprintf(buf, sizeof buf, "count %d of %d", int(o.count), int(o.max_count));
            return buf;
        case KernelObjectType::Thread:
            if (o.exit_code == 259) std::snprintf(buf, sizeof buf, "running, id %u", unsigned(o.thread_id));
            else std::snprintf(buf, sizeof buf, "ended with %u, id %u", unsigned(o.exit_code), unsigned(o.thread_id));
            return buf;
        case KernelObjectType::Section:
            return "";
    }
    return "";
}

int objects_main(Args& args) {
    bool all = false;
    std::string type_filter, name_filter;
    while (!args.empty()) {
        if (args.take_flag("--all")) {
            all = true;
        } else if (args.take_option("--type", &type_filter)) {
            static const char* kTypes[] = {"event", "mutex", "semaphore", "thread", "section"};
            if (std::none_of(std::begin(kTypes), std::end(kTypes),
                             [&](const char* t) { return equals_ignoring_case(type_filter, t); }))
                throw UsageError("unknown type '" + type_filter +
                                 "' (event, mutex, semaphore, thread or section)");
        } else if (args.take_option("--name", &name_filter)) {
        } else {
            args.finish();
        }
    }
    const char* ns = zkx::win32::kernel_namespace();
    if (!ns) throw Failure("cannot open the object namespace: " + win32_error_text(GetLastError()));
    std::vector<KernelObjectInfo> objects;
    if (!zkx::win32::enumerate_kernel_objects(&objects))
        throw Failure("cannot list the objects: " + win32_error_text(GetLastError()));
    std::sort(objects.begin(), objects.end(), [](const KernelObjectInfo& a, const KernelObjectInfo& b) {
        return a.name != b.name ? a.name < b.name : a.slot < b.slot;
    });
    std::printf("namespace %s\n", printable(ns).c_str());
    std::printf("%-9s %-48s %7s  %s\n", "TYPE", "NAME", "HANDLES", "STATE");
    int listed = 0;
    for (const KernelObjectInfo& o : objects) {
        if (o.name.empty() && !all) continue;
        if (!type_filter.empty() && !equals_ignoring_case(type_filter, type_text(o.type))) continue;
        if (!name_filter.empty() && o.name.find(name_filter) == std::string::npos) continue;
        std::string state = state_text(o);
        if (o.waiters) state += (state.empty() ? "" : ", ") + std::to_string(o.waiters) + " waiting";
        std::printf("%-9s %-48s %7u  %s\n", type_text(o.type), o.name.empty() ? "(unnamed)" : printable(o.name).c_str(),
                    unsigned(o.handles), state.c_str());
        ++listed;
    }
    std::printf("%d object(s)\n", listed);
    return kExitOk;
}

}  // namespace

extern const Command kObjectsCommand = {
    "objects", "list the named kernel objects: type, name, handles, owner or state",
    "usage:\n"
    "  zkx objects [--type TYPE] [--name TEXT] [--all]\n"
    "\n"
    "Lists the named kernel objects of the object namespace (ZKX_NAMESPACE):\n"
    "type, name, open handles in all processes, and the state: the owner\n"
    "process and thread of a mutex, set or reset for an event, the count of a\n"
    "semaphore, and how many threads wait on it.\n"
    "  --type TYPE  event, mutex, semaphore, thread or section\n"
    "  --name TEXT  only names containing TEXT\n"
    "  --all        unnamed objects too\n",
    objects_main};

}  // namespace zkx::tool
