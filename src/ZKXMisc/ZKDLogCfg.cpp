#include "ZKDLogPriv.h"
#include "ZKUtil.h"

namespace {

constexpr DWORD kFullAccess = 0xF003F;
constexpr DWORD kPathBufferSize = 261;
constexpr DWORD kValueBufferSize = 260;
constexpr DWORD kDebugLevelBufferSize = 64;

// The key and value names read below ("Message", "OutputTo", "OutputLevel")
// and the "LOGExcl" object name are what installed registries and other
// processes hold: part of the on-disk and cross-process format, spelled as
// they are for good.

// A string value counts only when it is a non-empty REG_SZ that fitted.
bool query_string(HKEY key, LPCSTR name, char* buffer, DWORD size) {
    DWORD type = 0, bytes = size;
    if (RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<LPBYTE>(buffer), &bytes) != 0)
        return false;
    if (bytes == 0 || buffer[0] == 0 || type != REG_SZ) return false;
    // A value stored without its terminator must still end inside the buffer.
    if (bytes < size) buffer[bytes] = 0;
    else if (buffer[size - 1] != 0) return false;
    return true;
}

void set_level(ZKDLOG_OUTPUT* out, LPCSTR name) {
    __atomic_store_n(&out->wLevel, zkdlog_level_from_name(name), __ATOMIC_RELAXED);
}

void drop_file(ZKDLOG_OUTPUT* out) {
    if (out->pszPath) LocalFree(out->pszPath);
    if (out->hFileMutex) CloseHandle(out->hFileMutex);
    out->pszPath = nullptr;
    out->hFileMutex = nullptr;
}

DWORD load_file_output(HKEY message, ZKDLOG_OUTPUT* out) {
    HKEY key = nullptr;
    if (RegOpenKeyExA(message, out->pszKey, 0, kFullAccess, &key) != 0) return 0;
    char value[kValueBufferSize];
    DWORD result = 0;
    if (query_string(key, "OutputTo", value, sizeof value)) {
        if (!out->pszPath || lstrcmpiA(out->pszPath, value) != 0) {
            LPSTR path = static_cast<LPSTR>(LocalAlloc(LPTR, lstrlenA(value) + 1));
            if (!path) {
                RegCloseKey(key);
                return ERROR_NOT_ENOUGH_MEMORY;
            }
            lstrcpyA(path, value);
            // A path too long for a kernel-object name gets no mutex rather
            // than a mutex of a cut name that another file might share.
            HANDLE mutex = nullptr;
            if (ZKMiscMakeSysObjName("ZKDLog", "LOGExcl", path, kValueBufferSize, value) == 0)
                mutex = CreateMutexA(nullptr, FALSE, value);
            else
                SetLastError(ERROR_FILENAME_EXCED_RANGE);
            if (!mutex) {
                result = GetLastError();
                LocalFree(path);
                RegCloseKey(key);
                return result;
            }
            drop_file(out);
            out->pszPath = path;
            out->hFileMutex = mutex;
        }
    } else {
        drop_file(out);
    }
    if (query_string(key, "OutputLevel", value, sizeof value)) set_level(out, value);
    RegCloseKey(key);
    return result;
}

void load_debug_output(HKEY message, ZKDLOG_OUTPUT* out) {
    HKEY key = nullptr;
    if (RegOpenKeyExA(message, out->pszKey, 0, kFullAccess, &key) != 0) return;
    char value[kDebugLevelBufferSize];
    if (query_string(key, "OutputLevel", value, sizeof value)) set_level(out, value);
    RegCloseKey(key);
}

// The path of the Message key; false when it does not fit, so that a cut
// path never opens some other module's configuration.
bool message_key_path(PZKDLOG_HANDLE log, LPCSTR path, char (&buffer)[kPathBufferSize]) {
    if (!path) return ZKMiscMakeRegPath(log->szName, "Message", kPathBufferSize, buffer) == 0;
    if (lstrlenA(path) + sizeof("\\Message") > kPathBufferSize) return false;
    wsprintfA(buffer, "%s\\%s", path, "Message");
    return true;
}

}  // namespace

ZKEXTERN DWORD ZKAPI ZKDLogLoadCfg(PZKDLOG_HANDLE hLog, DWORD dwRoot, LPCSTR pszPath, DWORD,
                                   DWORD) {
    ZK_THREAD_CHECK();
    if (!hLog) return ERROR_INVALID_PARAMETER;
    if (ZKExclEnterCritSec(&hLog->csLock, ZKDLOG_LOCK_TIMEOUT, 0, 0) != 0) return ERROR_BUSY;
    HKEY root = dwRoot ? reinterpret_cast<HKEY>(static_cast<ULONG_PTR>(dwRoot)) : HKEY_LOCAL_MACHINE;
    char path[kPathBufferSize];
    DWORD result = ERROR_FILENAME_EXCED_RANGE;
    HKEY message = nullptr;
    if (message_key_path(hLog, pszPath, path)) {
        result = RegOpenKeyExA(root, path, 0, kFullAccess, &message);
        if (result == 0) {
            load_file_output(message, &hLog->aOutput[ZKDLOG_OUT_FILE]);
            load_debug_output(message, &hLog->aOutput[ZKDLOG_OUT_DEBUG]);
            RegCloseKey(message);
        }
    }
    ZKExclLeaveCritSec(&hLog->csLock, 0);
    return result;
}
