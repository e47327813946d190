#include "base/handle_close.h"

#include "zkxwin32/errors.h"
#include "zkxwin32/handles.h"

namespace zkx::win32 {
namespace {
constexpr int kTypes = 256;
// Constant-initialised, so registration from other static initialisers is
// safe whatever their order.
HandleCloser g_closers[kTypes] = {};
}  // namespace

bool register_handle_closer(HandleType type, HandleCloser closer) {
    g_closers[static_cast<uint8_t>(type)] = closer;
    return true;
}

}  // namespace zkx::win32

using namespace zkx::win32;

extern "C" BOOL WINAPI CloseHandle(HANDLE h) {
    HandleEntry entry;
    if (!handle_remove(h, &entry)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    HandleCloser closer = g_closers[static_cast<uint8_t>(entry.type)];
    if (!closer) return TRUE;
    return closer(h, entry);
}
