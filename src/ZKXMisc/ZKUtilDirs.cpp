#include <cstring>
#include <initializer_list>

#include "ZKMiscPriv.h"
#include "ZKUtilPriv.h"

namespace {

// One process-wide cache per directory.  length counts the text with its
// terminator, so an empty directory is 1 and 0 means nothing is cached.
//
// length is also the cache's publication word, read and written with
// atomic accesses.  Concurrent first gets each work the directory out on
// their own, into a buffer of their own; the one that wins the move from 0
// to kFilling copies its text in and then publishes the length, the others
// answer from their own copy.  Nobody waits, and the text is never written
// while a reader may copy it.  Sets are the callers' to serialise with gets.
struct DirCache {
    LPCSTR value_name;
    DWORD capacity;
    char* text;
    DWORD length;
};

constexpr DWORD kFilling = 0xFFFFFFFF;

char g_zk_text[ZKMISC_DIR_SIZE];
char g_data_text[ZKMISC_DATADIR_SIZE];
char g_dll_text[ZKMISC_DIR_SIZE];

DirCache g_zk_dir = {"ZKDir", sizeof g_zk_text, g_zk_text, 0};
DirCache g_data_dir = {"ZKDataDir", sizeof g_data_text, g_data_text, 0};
DirCache g_dll_dir = {"ZKDllDir", sizeof g_dll_text, g_dll_text, 0};

// A directory as one get sees it: the cache's text and length, copied out.
struct DirText {
    char text[ZKMISC_DATADIR_SIZE];
    DWORD length;
};

bool read_cache(const DirCache& cache, DirText* out) {
    DWORD length = __atomic_load_n(&cache.length, __ATOMIC_ACQUIRE);
    if (length == 0 || length == kFilling) return false;
    std::memcpy(out->text, cache.text, length);
    out->length = length;
    return true;
}

void publish(DirCache& cache, const DirText& dir) {
    DWORD expected = 0;
    if (!__atomic_compare_exchange_n(&cache.length, &expected, kFilling, false, __ATOMIC_ACQUIRE,
                                     __ATOMIC_RELAXED))
        return;
    std::memcpy(cache.text, dir.text, dir.length);
    __atomic_store_n(&cache.length, dir.length, __ATOMIC_RELEASE);
}

const char kDataSubdir[] = "\\ZKWData";
constexpr DWORD kPathSize = 261;

// Drops one trailing backslash, even when it is all there is: a stored
// value is a directory without one.
DWORD cut_trailing_backslash(char* text, DWORD length) {
    LPCSTR last = nullptr;
    if (zkutil_ends_in_backslash(text, length, &last)) {
        length = static_cast<DWORD>(last - text);
        text[length] = 0;
    }
    return length;
}

// First source of the ZK directory: its stored value.  232 sends the chain
// on to the next source, 122 stops it.
DWORD zk_dir_from_registry(const DirCache& cache, char* text, DWORD* length) {
    HKEY key = nullptr;
    if (zkutil_open_settings(KEY_READ, &key) != 0) return ERROR_NO_DATA;
    DWORD type = REG_NONE, bytes = cache.capacity;
    LONG rc = zkutil_query_setting(key, cache.value_name, &type, text, &bytes);
    RegCloseKey(key);
    if (rc == ERROR_INSUFFICIENT_BUFFER || rc == ERROR_MORE_DATA) return ERROR_INSUFFICIENT_BUFFER;
    if (rc != 0 || type != REG_SZ) return ERROR_NO_DATA;
    *length = cut_trailing_backslash(text, bytes - 1);
    return 0;
}

// Second source: the folder the library was loaded from.
DWORD zk_dir_from_module(const DirCache& cache, char* text, DWORD* length) {
    char path[kPathSize];
    DWORD n = GetModuleFileNameA(g_hZKMiscModule, path, sizeof path);
    // A cut path would name some other folder.  A module path too long for
    // the buffer is a failure of this source like any other, so the chain
    // goes on to the Windows directory instead of failing the getter.
    if (n == 0 || n >= sizeof path) return ERROR_NO_DATA;
    path[n] = 0;
    DWORD dir = zkutil_module_dir_length(path, n);
    if (dir == 0) return ERROR_NO_DATA;
    if (dir + 1 > cache.capacity) return ERROR_INSUFFICIENT_BUFFER;
    std::memcpy(text, path, dir);
    text[dir] = 0;
    *length = dir;
    return 0;
}

// Last source: "ZK" in the Windows directory.
DWORD zk_dir_from_windows(const DirCache& cache, char* text, DWORD* length) {
    char windir[kPathSize];
    UINT n = GetWindowsDirectoryA(windir, sizeof windir);
    if (n == 0) return ERROR_NO_DATA;
    if (n >= sizeof windir) return ERROR_INSUFFICIENT_BUFFER;
    windir[n] = 0;
    return zkutil_windows_zk_dir(windir, n, text, cache.capacity, length);
}

DWORD copy_out(const DirText& dir, DWORD size, LPSTR buffer, LPDWORD length) {
    if (size < dir.length) return ERROR_INSUFFICIENT_BUFFER;
    std::memcpy(buffer, dir.text, dir.length);
    if (length) *length = dir.length - 1;
    return 0;
}

// The ZK directory, from the cache or its chain of sources (which fills the
// cache); 0 or the chain's failure.
DWORD zk_dir(DirText* dir) {
    if (read_cache(g_zk_dir, dir)) return 0;
    DWORD n = 0;
    DWORD rc = zk_dir_from_registry(g_zk_dir, dir->text, &n);
    if (rc == ERROR_NO_DATA) rc = zk_dir_from_module(g_zk_dir, dir->text, &n);
    if (rc == ERROR_NO_DATA) rc = zk_dir_from_windows(g_zk_dir, dir->text, &n);
    if (rc != 0) return rc;
    dir->length = n + 1;
    publish(g_zk_dir, *dir);
    return 0;
}

DWORD get_zk_dir(DWORD size, LPSTR buffer, LPDWORD length) {
    if (!buffer || size == 0) return ERROR_INVALID_PARAMETER;
    DirText dir;
    DWORD rc = zk_dir(&dir);
    return rc ? rc : copy_out(dir, size, buffer, length);
}

// The stored value of a derived directory.  *absent tells the caller to
// derive the default; any other failure is the getter's result.
DWORD derived_from_registry(const DirCache& cache, DirText* dir, bool* absent) {
    *absent = false;
    HKEY key = nullptr;
    LONG rc = zkutil_open_settings(KEY_READ, &key);
    if (rc == ERROR_FILE_NOT_FOUND) {
        *absent = true;
        return 0;
    }
    if (rc != 0) return rc;
    DWORD type = REG_NONE, bytes = cache.capacity;
    rc = zkutil_query_setting(key, cache.value_name, &type, dir->text, &bytes);
    RegCloseKey(key);
    if ((rc == 0 || rc == ERROR_MORE_DATA) && type != REG_SZ) {
        *absent = true;
        return 0;
    }
    if (rc == ERROR_MORE_DATA) return ERROR_INSUFFICIENT_BUFFER;
    if (rc == ERROR_FILE_NOT_FOUND) {
        *absent = true;
        return 0;
    }
    if (rc != 0) return rc;
    dir->length = cut_trailing_backslash(dir->text, bytes - 1) + 1;
    return 0;
}

// Getter of the data and DLL directories: the stored value, else the ZK
// directory with the suffix.  When the ZK directory itself cannot be had,
// its error is the result and nothing is derived.
DWORD get_derived_dir(DirCache& cache, LPCSTR suffix, DWORD size, LPSTR buffer,
                      LPDWORD length) {
    if (!buffer || size == 0) return ERROR_INVALID_PARAMETER;
    DirText dir;
    if (!read_cache(cache, &dir)) {
        bool absent = false;
        DWORD rc = derived_from_registry(cache, &dir, &absent);
        if (rc == 0 && absent) {
            rc = zk_dir(&dir);
            const DWORD extra = zkutil_text_length(suffix);
            if (rc == 0 && dir.length + extra > cache.capacity) rc = ERROR_INSUFFICIENT_BUFFER;
            if (rc == 0) {
                std::memcpy(dir.text + dir.length - 1, suffix, extra + 1);
                dir.length += extra;
            }
        }
        if (rc != 0) return rc;
        publish(cache, dir);
    }
    return copy_out(dir, size, buffer, length);
}

DWORD set_dir(DirCache& cache, DWORD flags, LPCSTR dir) {
    if (flags & ZKMISC_FLAG_DELETE) {
        zkutil_delete_setting(cache.value_name);
        __atomic_store_n(&cache.length, 0u, __ATOMIC_RELEASE);
        return 0;
    }
    if (!dir || !dir[0]) return ERROR_INVALID_PARAMETER;
    // Measured no further than the cache could take even after a trailing
    // backslash is cut, so an unterminated argument is not read on and on.
    DWORD n = 0;
    while (n <= cache.capacity && dir[n]) ++n;
    if (n > cache.capacity) return ERROR_INSUFFICIENT_BUFFER;
    LPCSTR last = nullptr;
    // A lone backslash (the root of the current drive) stays as it is.
    if (zkutil_ends_in_backslash(dir, n, &last) && last != dir) n = static_cast<DWORD>(last - dir);
    if (n + 1 > cache.capacity) return ERROR_INSUFFICIENT_BUFFER;
    std::memcpy(cache.text, dir, n);
    cache.text[n] = 0;
    __atomic_store_n(&cache.length, n + 1, __ATOMIC_RELEASE);
    if (flags & ZKMISC_FLAG_STORE) zkutil_store_setting(cache.value_name, REG_SZ, cache.text, n + 1);
    return 0;
}

}  // namespace

DWORD zkutil_module_dir_length(LPCSTR pszPath, DWORD dwLength) {
    for (DWORD i = dwLength; i-- > 1;) {
        if (pszPath[i] == '\\') return i;
        if (pszPath[i] == ':') return i + 1;
    }
    return 0;
}

DWORD zkutil_windows_zk_dir(LPCSTR pszWinDir, DWORD dwLength, LPSTR pszOut, DWORD dwCapacity,
                            LPDWORD pdwLength) {
    const bool separator = !zkutil_ends_in_backslash(pszWinDir, dwLength, nullptr);
    const DWORD total = dwLength + (separator ? 1 : 0) + 2;
    if (total + 1 > dwCapacity) return ERROR_INSUFFICIENT_BUFFER;
    std::memcpy(pszOut, pszWinDir, dwLength);
    char* p = pszOut + dwLength;
    if (separator) *p++ = '\\';
    std::memcpy(p, "ZK", 3);
    *pdwLength = total;
    return 0;
}

void zkutil_reset_dir_caches() {
    for (DirCache* cache : {&g_zk_dir, &g_data_dir, &g_dll_dir})
        __atomic_store_n(&cache->length, 0u, __ATOMIC_RELEASE);
}

ZKEXTERN DWORD ZKAPI ZKMiscGetZKDir(DWORD dwReserved, DWORD dwSize, LPSTR pszBuffer,
                                    LPDWORD pdwLength) {
    ZK_THREAD_CHECK();
    return get_zk_dir(dwSize, pszBuffer, pdwLength);
}

ZKEXTERN DWORD ZKAPI ZKMiscGetDataDir(DWORD dwReserved, DWORD dwSize, LPSTR pszBuffer,
                                      LPDWORD pdwLength) {
    ZK_THREAD_CHECK();
    return get_derived_dir(g_data_dir, kDataSubdir, dwSize, pszBuffer, pdwLength);
}

ZKEXTERN DWORD ZKAPI ZKMiscGetDllDir(DWORD dwReserved, DWORD dwSize, LPSTR pszBuffer,
                                     LPDWORD pdwLength) {
    ZK_THREAD_CHECK();
    return get_derived_dir(g_dll_dir, "", dwSize, pszBuffer, pdwLength);
}

ZKEXTERN DWORD ZKAPI ZKMiscSetZKDir(DWORD dwReserved, DWORD dwFlags, LPCSTR pszDir) {
    ZK_THREAD_CHECK();
    return set_dir(g_zk_dir, dwFlags, pszDir);
}

ZKEXTERN DWORD ZKAPI ZKMiscSetDataDir(DWORD dwReserved, DWORD dwFlags, LPCSTR pszDir) {
    ZK_THREAD_CHECK();
    return set_dir(g_data_dir, dwFlags, pszDir);
}

ZKEXTERN DWORD ZKAPI ZKMiscSetDllDir(DWORD dwReserved, DWORD dwFlags, LPCSTR pszDir) {
    ZK_THREAD_CHECK();
    return set_dir(g_dll_dir, dwFlags, pszDir);
}
