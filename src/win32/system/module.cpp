// Modules.  An HMODULE is the load base of a shared object or of the
// executable: the start of its first mapped segment, which is what dladdr
// reports as dli_fbase, so a module can find its own handle with dladdr.
#include <dlfcn.h>
#include <link.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "system/path_map.h"
#include "zkxwin32/errors.h"
#include "zkxwin32/system.h"

namespace zkx::win32 {
namespace {

struct LoadedObject {
    uintptr_t base;
    std::string path;  // as the loader knows it; "" for the executable
    bool executable;
};

uintptr_t load_base(const dl_phdr_info* info) {
    uintptr_t lowest = UINTPTR_MAX;
    for (int i = 0; i < info->dlpi_phnum; ++i) {
        const auto& ph = info->dlpi_phdr[i];
        if (ph.p_type == PT_LOAD && ph.p_vaddr < lowest) lowest = ph.p_vaddr;
    }
    if (lowest == UINTPTR_MAX) return info->dlpi_addr;
    uintptr_t page = uintptr_t(sysconf(_SC_PAGESIZE));
    return info->dlpi_addr + (lowest & ~(page - 1));
}

std::vector<LoadedObject> loaded_objects() {
    std::vector<LoadedObject> objects;
    dl_iterate_phdr(
        [](dl_phdr_info* info, size_t, void* ctx) {
            auto* out = static_cast<std::vector<LoadedObject>*>(ctx);
            bool first = out->empty();  // the loader lists the executable first
            const char* name = info->dlpi_name ? info->dlpi_name : "";
            if (first || name[0]) out->push_back(LoadedObject{load_base(info), first ? "" : name, first});
            return 0;
        },
        &objects);
    return objects;
}

std::string executable_path() {
    char buf[4096];
    ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
    if (n <= 0) return "";
    buf[n] = 0;
    return buf;
}

std::string lower(std::string s) {
    for (char& c : s) {
        if (c >= 'A' && c <= 'Z') c = char(c - 'A' + 'a');
    }
    return s;
}

std::string base_name(const std::string& path) {
    size_t slash = path.find_last_of("/\\");
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// "libfoo.so.1.2" -> "libfoo"; other names unchanged.
std::string without_so(const std::string& name) {
    for (size_t p = name.find(".so"); p != std::string::npos; p = name.find(".so", p + 1)) {
        if (p + 3 == name.size() || name[p + 3] == '.') return name.substr(0, p);
    }
    return name;
}

bool ends_with(const std::string& s, const char* tail) {
    size_t n = strlen(tail);
    return s.size() >= n && s.compare(s.size() - n, n, tail) == 0;
}

// The lower-case names a module answers to.
std::vector<std::string> object_names(const std::string& path) {
    std::string name = lower(base_name(path));
    std::string stem = without_so(name);
    std::vector<std::string> names{name, stem};
    if (stem.size() > 3 && stem.compare(0, 3, "lib") == 0) names.push_back(stem.substr(3));
    return names;
}

std::vector<std::string> requested_names(const char* request) {
    std::string name = lower(base_name(request));
    std::vector<std::string> names{name, without_so(name)};
    if (ends_with(name, ".dll") || ends_with(name, ".exe")) names.push_back(name.substr(0, name.size() - 4));
    return names;
}

bool find_object(HMODULE module, LoadedObject* found) {
    auto objects = loaded_objects();
    for (auto& o : objects) {
        if ((module == nullptr && o.executable) || reinterpret_cast<uintptr_t>(module) == o.base) {
            *found = o;
            if (o.executable) found->path = executable_path();
            return !found->path.empty();
        }
    }
    return false;
}

}  // namespace
}  // namespace zkx::win32

using namespace zkx::win32;

extern "C" DWORD WINAPI GetModuleFileNameA(HMODULE module, LPSTR buffer, DWORD size) {
    if (!buffer || size == 0) {
        SetLastError(buffer ? ERROR_INSUFFICIENT_BUFFER : ERROR_INVALID_PARAMETER);
        return 0;
    }
    LoadedObject object;
    if (!find_object(module, &object)) {
        SetLastError(ERROR_MOD_NOT_FOUND);
        return 0;
    }
    std::string path = path_to_windows(absolute_host_path(object.path));
    if (path.size() < size) {
        memcpy(buffer, path.c_str(), path.size() + 1);
        return DWORD(path.size());
    }
    memcpy(buffer, path.data(), size - 1);
    buffer[size - 1] = 0;
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return size;
}

extern "C" HMODULE WINAPI GetModuleHandleA(LPCSTR name) {
    auto objects = loaded_objects();
    if (!name) return objects.empty() ? nullptr : reinterpret_cast<HMODULE>(objects.front().base);
    auto wanted = requested_names(name);
    for (auto& o : objects) {
        for (auto& have : object_names(o.executable ? executable_path() : o.path)) {
            for (auto& want : wanted) {
                if (!want.empty() && want == have) return reinterpret_cast<HMODULE>(o.base);
            }
        }
    }
    SetLastError(ERROR_MOD_NOT_FOUND);
    return nullptr;
}

extern "C" HMODULE zkx_module_from_address(const void* address) {
    Dl_info info;
    if (!address || !dladdr(address, &info) || !info.dli_fbase) {
        SetLastError(ERROR_MOD_NOT_FOUND);
        return nullptr;
    }
    return static_cast<HMODULE>(info.dli_fbase);
}
