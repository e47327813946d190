// Sections backed by the paging file, and views of them.
//
// A section is a kernel object of its own type: it shares the objects' name
// space, reference counting and the sweeping of dead processes.  Its memory
// is a file beside the namespace's segment, created and sized before the
// object becomes visible, so whoever finds the object finds its memory too;
// the object's words name the file, and the last reference to go unlinks it.
// Views already mapped keep their pages, as mapped memory does.
//
// The memory is reserved when the section is created (posix_fallocate), as
// Windows commits a paging-file section at creation: a section that cannot
// be backed fails there (ERROR_DISK_FULL when the file system is full)
// instead of faulting later on a page that tmpfs cannot supply.  A view is
// mapped only after the file's size has been checked, since pages past the
// end of a file that somebody cut short would raise SIGBUS.
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <mutex>
#include <string>

#include "base/errno_map.h"
#include "base/handle_close.h"
#include "kernel/kernel_objects.h"
#include "system/namespace_dir.h"
#include "base/thread_guard.h"
#include "zkxwin32/errors.h"
#include "zkxwin32/handles.h"
#include "zkxwin32/mapping.h"

namespace zkx::win32 {
namespace {

constexpr DWORD kErrorMappedAlignment = 1132;
constexpr uint64_t kAllocationGranularity = 64 * 1024;

// The words of a section object, fixed when it is created.
enum Word { kSize = 0, kProtection = 1, kFilePid = 2, kFileSerial = 3, kFileStamp = 4 };

// Memory files sit beside the segment in the namespace's directory.  The
// destroy hook may run while this process is still attaching to the
// namespace (it sweeps dead processes then), so the directory comes from
// its own resolver, never from the attached segment.
std::string file_prefix() {
    NamespaceDirectory dir;
    return namespace_directory(&dir) == 0 ? dir.path + "/segment" : std::string();
}

std::string memory_file(const uint64_t ext[8]) {
    char suffix[80];
    std::snprintf(suffix, sizeof suffix, ".section.%" PRIx64 ".%" PRIx64 ".%" PRIx64, ext[kFilePid],
                  ext[kFileSerial], ext[kFileStamp]);
    const std::string prefix = file_prefix();
    return prefix.empty() ? prefix : prefix + suffix;
}

void destroy_section(uint32_t, uint32_t, const uint64_t ext[8]) {
    const std::string path = memory_file(ext);
    if (!path.empty()) unlink(path.c_str());
}

const bool g_type_registered =
    register_kernel_object_type(KernelObjectType::Section, KernelObjectTypeHooks{destroy_section});

// Process-local state: whether each handle may map for writing, and the
// views.  A view holds no reference to its section: as on Windows, a
// section's name goes with its last handle, and a mapped view keeps only
// the memory (the mapping outlives the unlinked memory file).
struct HandleInfo {
    bool writable = false;
};

struct View {
    size_t length;
};

std::mutex g_lock;
std::map<HANDLE, HandleInfo> g_handles;
std::map<uintptr_t, View> g_views;

void remember_handle(HANDLE h, bool writable) {
    NoTerminate guard;
    std::lock_guard<std::mutex> hold(g_lock);
    g_handles[h] = HandleInfo{writable};
}

HandleInfo handle_info(HANDLE h) {
    NoTerminate guard;
    std::lock_guard<std::mutex> hold(g_lock);
    auto it = g_handles.find(h);
    return it != g_handles.end() ? it->second : HandleInfo{};
}

BOOL close_section_handle(HANDLE h, const HandleEntry& entry) {
    {
        NoTerminate guard;
        std::lock_guard<std::mutex> hold(g_lock);
        g_handles.erase(h);
    }
    return close_kernel_object_handle(h, entry);
}

const bool g_closer_registered = register_handle_closer(HandleType::Mapping, close_section_handle);

// Creates the memory file of a new section, reserved to its full size.
bool make_memory_file(uint64_t size, uint64_t ext[8]) {
    static std::atomic<uint64_t> serial{0};
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    ext[kFilePid] = uint64_t(getpid());
    ext[kFileSerial] = serial.fetch_add(1, std::memory_order_relaxed);
    ext[kFileStamp] = uint64_t(now.tv_sec) * 1000000000u + uint64_t(now.tv_nsec);
    NamespaceDirectory dir;
    if (DWORD e = namespace_directory(&dir)) {
        SetLastError(e);
        return false;
    }
    const std::string path = memory_file(ext);
    bool created = false;
    int fd = open_namespace_file(dir, path, O_RDWR, true, &created, nullptr);
    if (fd >= 0 && !created) {
        // The name is this process's own (pid, serial, time): a file already
        // there was planted, and it is left alone.
        close(fd);
        namespace_complain("refusing " + path + ": it existed before this process made it");
        SetLastError(ERROR_ACCESS_DENIED);
        return false;
    }
    if (fd < 0) return false;
    int err = posix_fallocate(fd, 0, off_t(size));
    close(fd);
    if (err != 0) {
        unlink(path.c_str());
        SetLastError(err == ENOSPC || err == EFBIG ? DWORD(ERROR_DISK_FULL)
                                                   : win32_error_from_errno(err, kErrorGenFailure));
        return false;
    }
    return true;
}

void copy_words(uint64_t ext[8], void* ctx) {
    const uint64_t* words = static_cast<const uint64_t*>(ctx);
    for (int i = 0; i < 8; ++i) ext[i] = words[i];
}

// An existing section through a new handle: refused when it would give
// write access to a section made read-only.
HANDLE admit(HANDLE h, bool want_write, LPCSTR name) {
    HandleEntry entry;
    uint64_t ext[8];
    if (!handle_lookup(h, &entry) || !read_kernel_object(entry, KernelObjectType::Section, nullptr, nullptr, ext)) {
        CloseHandle(h);
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    if (want_write && ext[kProtection] != PAGE_READWRITE) {
        CloseHandle(h);
        SetLastError(ERROR_ACCESS_DENIED);
        return nullptr;
    }
    remember_handle(h, want_write);
    SetLastError(ERROR_ALREADY_EXISTS);
    return h;
}

bool is_named(LPCSTR name) { return name && *name; }

}  // namespace
}  // namespace zkx::win32

using namespace zkx::win32;

extern "C" HANDLE WINAPI CreateFileMappingA(HANDLE hFile, LPSECURITY_ATTRIBUTES, DWORD flProtect,
                                            DWORD dwMaximumSizeHigh, DWORD dwMaximumSizeLow,
                                            LPCSTR lpName) {
    // Only memory sections: a mapping of a file is not part of this layer.
    if (hFile != INVALID_HANDLE_VALUE) {
        SetLastError(ERROR_NOT_SUPPORTED);
        return nullptr;
    }
    if (flProtect != PAGE_READONLY && flProtect != PAGE_READWRITE) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    const bool want_write = flProtect == PAGE_READWRITE;
    if (is_named(lpName)) {
        // Opening is the common case, and it needs no memory file.
        if (HANDLE h = open_kernel_object(KernelObjectType::Section, HandleType::Mapping, lpName))
            return admit(h, want_write, lpName);
        if (GetLastError() != ERROR_FILE_NOT_FOUND) return nullptr;
    }
    const uint64_t size = uint64_t(dwMaximumSizeHigh) << 32 | dwMaximumSizeLow;
    if (size == 0 || size > uint64_t(INT64_MAX)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    uint64_t ext[8] = {size, flProtect};
    if (!make_memory_file(size, ext)) return nullptr;
    HANDLE h = create_kernel_object(KernelObjectType::Section, HandleType::Mapping, lpName, copy_words, ext);
    const DWORD created = GetLastError();
    if (!h || created == ERROR_ALREADY_EXISTS) {
        // Failed, or another process created the name in the meantime.
        const std::string path = memory_file(ext);
        if (!path.empty()) unlink(path.c_str());
        SetLastError(created);
        return h ? admit(h, want_write, lpName) : nullptr;
    }
    remember_handle(h, want_write);
    SetLastError(0);
    return h;
}

extern "C" HANDLE WINAPI OpenFileMappingA(DWORD dwDesiredAccess, BOOL, LPCSTR lpName) {
    if (!is_named(lpName)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    HANDLE h = open_kernel_object(KernelObjectType::Section, HandleType::Mapping, lpName);
    if (!h) return nullptr;
    h = admit(h, (dwDesiredAccess & FILE_MAP_WRITE) != 0, lpName);
    if (h) SetLastError(0);
    return h;
}

extern "C" LPVOID WINAPI MapViewOfFile(HANDLE hFileMappingObject, DWORD dwDesiredAccess,
                                       DWORD dwFileOffsetHigh, DWORD dwFileOffsetLow,
                                       SIZE_T dwNumberOfBytesToMap) {
    HandleEntry entry;
    uint64_t ext[8];
    if (!handle_lookup(hFileMappingObject, &entry) || entry.type != HandleType::Mapping ||
        !read_kernel_object(entry, KernelObjectType::Section, nullptr, nullptr, ext)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    const bool copy = dwDesiredAccess == FILE_MAP_COPY;
    const bool write = (dwDesiredAccess & FILE_MAP_WRITE) != 0;
    if (!copy && !write && (dwDesiredAccess & FILE_MAP_READ) == 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    const HandleInfo info = handle_info(hFileMappingObject);
    if (write && !info.writable) {
        SetLastError(ERROR_ACCESS_DENIED);
        return nullptr;
    }
    const uint64_t size = ext[kSize];
    const uint64_t offset = uint64_t(dwFileOffsetHigh) << 32 | dwFileOffsetLow;
    if (offset % kAllocationGranularity != 0) {
        SetLastError(kErrorMappedAlignment);
        return nullptr;
    }
    if (offset >= size || dwNumberOfBytesToMap > size - offset) {
        SetLastError(ERROR_ACCESS_DENIED);
        return nullptr;
    }
    const size_t length = dwNumberOfBytesToMap ? dwNumberOfBytesToMap : size_t(size - offset);

    NamespaceDirectory dir;
    if (DWORD e = namespace_directory(&dir)) {
        SetLastError(e);
        return nullptr;
    }
    const std::string path = memory_file(ext);
    struct stat st {};
    int fd = open_namespace_file(dir, path, write || copy ? O_RDWR : O_RDONLY, false, nullptr, &st);
    if (fd < 0) return nullptr;
    if (uint64_t(st.st_size) < size) {
        close(fd);
        namespace_complain("the memory of a section, " + path + ", has been cut short (" +
                           std::to_string(st.st_size) + " of " + std::to_string(size) +
                           " bytes); its views are refused");
        SetLastError(ERROR_INVALID_DATA);
        return nullptr;
    }
    const int protection = write || copy ? PROT_READ | PROT_WRITE : PROT_READ;
    void* p = mmap(nullptr, length, protection, copy ? MAP_PRIVATE : MAP_SHARED, fd, off_t(offset));
    const int map_errno = errno;
    close(fd);
    if (p == MAP_FAILED) {
        SetLastError(map_errno == ENOMEM ? DWORD(ERROR_NOT_ENOUGH_MEMORY)
                                         : win32_error_from_errno(map_errno, kErrorGenFailure));
        return nullptr;
    }
    {
        NoTerminate guard;
        std::lock_guard<std::mutex> hold(g_lock);
        g_views[reinterpret_cast<uintptr_t>(p)] = View{length};
    }
    SetLastError(0);
    return p;
}

extern "C" BOOL WINAPI UnmapViewOfFile(LPCVOID lpBaseAddress) {
    View view{};
    {
        NoTerminate guard;
        std::lock_guard<std::mutex> hold(g_lock);
        auto it = g_views.find(reinterpret_cast<uintptr_t>(lpBaseAddress));
        if (it == g_views.end()) {
            SetLastError(ERROR_INVALID_ADDRESS);
            return FALSE;
        }
        view = it->second;
        g_views.erase(it);
    }
    munmap(const_cast<void*>(lpBaseAddress), view.length);
    return TRUE;
}
