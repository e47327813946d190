#include "registry/handles.h"

#include <atomic>
#include <mutex>
#include <unordered_map>

#include "base/handle_close.h"
#include "base/handle_table.h"
#include "zkxwin32/errors.h"

namespace zkx::win32::reg {
namespace {

std::mutex g_lock;
std::unordered_map<uint64_t, KeyPtr>& open_keys() {
    static auto* keys = new std::unordered_map<uint64_t, KeyPtr>();  // outlives exit-time closes
    return *keys;
}
std::atomic<uint64_t> g_next_serial{1};

void forget(uint64_t serial) {
    KeyPtr dropped;  // destroyed after the lock is released
    std::lock_guard<std::mutex> guard(g_lock);
    auto it = open_keys().find(serial);
    if (it == open_keys().end()) return;
    dropped = std::move(it->second);
    open_keys().erase(it);
}

// CloseHandle on an HKEY closes it, as on Windows NT where an HKEY is a
// kernel handle.
BOOL close_from_close_handle(HANDLE, const HandleEntry& entry) {
    forget(entry.payload);
    return TRUE;
}

const bool g_registered = register_handle_closer(HandleType::RegistryKey, close_from_close_handle);

}  // namespace

bool is_predefined_key(HKEY h) {
    uintptr_t v = reinterpret_cast<uintptr_t>(h);
    return v >= 0x80000000u && v <= 0x80000006u;
}

LONG make_key_handle(const KeyRef& key, HKEY* out) {
    (void)g_registered;
    uint64_t serial = g_next_serial.fetch_add(1) & kHandlePayloadMask;
    auto ptr = std::make_shared<const KeyRef>(key);
    {
        std::lock_guard<std::mutex> guard(g_lock);
        open_keys()[serial] = std::move(ptr);
    }
    HANDLE h = handle_insert(HandleType::RegistryKey, serial);
    if (!h) {
        forget(serial);
        return ERROR_TOO_MANY_OPEN_FILES;
    }
    *out = static_cast<HKEY>(h);
    return ERROR_SUCCESS;
}

LONG key_from_handle(HKEY h, KeyPtr* out) {
    if (is_predefined_key(h)) {
        KeyRef root;
        LONG r = root_key(h, &root);
        if (r != ERROR_SUCCESS) return r;
        *out = std::make_shared<const KeyRef>(std::move(root));
        return ERROR_SUCCESS;
    }
    HandleEntry entry;
    if (!handle_lookup(h, &entry) || entry.type != HandleType::RegistryKey) {
        return ERROR_INVALID_HANDLE;
    }
    std::lock_guard<std::mutex> guard(g_lock);
    auto it = open_keys().find(entry.payload);
    if (it == open_keys().end()) return ERROR_INVALID_HANDLE;
    *out = it->second;
    return ERROR_SUCCESS;
}

LONG close_key_handle(HKEY h) {
    HandleEntry entry;
    if (!handle_lookup(h, &entry) || entry.type != HandleType::RegistryKey) {
        return ERROR_INVALID_HANDLE;
    }
    if (!handle_remove(h, &entry) || entry.type != HandleType::RegistryKey) {
        return ERROR_INVALID_HANDLE;
    }
    forget(entry.payload);
    return ERROR_SUCCESS;
}

}  // namespace zkx::win32::reg
