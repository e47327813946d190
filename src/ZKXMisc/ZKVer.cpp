#include <cstdio>
#include <cstring>

#include "ZKMiscPriv.h"
#include "ZKVerPriv.h"

static_assert(sizeof(ZKVER_STAMP) == 8, "the version file is exactly the record");

namespace {

const char kFileName[] = "zkx.ver";
constexpr INT kMinTextSize = 13;

// The version file's path beside the library's own module file.
bool stamp_path(char (&path)[ZKVER_PATH_SIZE]) {
    char module[ZKVER_PATH_SIZE];
    DWORD n = GetModuleFileNameA(g_hZKMiscModule, module, sizeof module);
    // Without the module's whole path there is no telling where the stamp
    // lies; the current directory would be a guess.
    if (n == 0 || n >= sizeof module) return false;
    module[n] = 0;
    return zkver_file_path(module, n, path);
}

PZKVER_STAMP load_stamp(PZKVER_STAMP stamp) {
    char path[ZKVER_PATH_SIZE];
    if (!stamp || !stamp_path(path)) return nullptr;
    return zkver_load_from(path, stamp);
}

}  // namespace

bool zkver_file_path(LPCSTR pszModule, DWORD dwLength, LPSTR pszPath) {
    DWORD dir = dwLength;
    while (dir > 0 && pszModule[dir - 1] != '\\' && pszModule[dir - 1] != ':') --dir;
    pszPath[0] = 0;
    if (dir + sizeof kFileName > ZKVER_PATH_SIZE) return false;
    std::memcpy(pszPath, pszModule, dir);
    std::memcpy(pszPath + dir, kFileName, sizeof kFileName);
    return true;
}

// The new stamp is written to a file of its own beside the old one and then
// renamed over it: a full disk, a file-size limit or a crash halfway leaves
// the old stamp, never a short file.  The temporary name is unique to this
// save, so two savers never write into each other's file, and it is created
// new, so nothing already lying at that name is opened.
PZKVER_STAMP zkver_save_to(LPCSTR pszPath, PZKVER_STAMP pStamp) {
    static LONG s_nSaves = 0;
    char temp[ZKVER_PATH_SIZE + 40];
    if (std::strlen(pszPath) >= ZKVER_PATH_SIZE) return nullptr;
    wsprintfA(temp, "%s.%lu-%ld.new", pszPath, static_cast<unsigned long>(GetCurrentProcessId()),
              static_cast<long>(InterlockedIncrement(&s_nSaves)));
    HANDLE file = CreateFileA(temp, GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return nullptr;
    DWORD written = 0;
    BOOL ok = WriteFile(file, pStamp, sizeof *pStamp, &written, nullptr) && written == sizeof *pStamp;
    ok = CloseHandle(file) && ok;
    if (ok) ok = MoveFileExA(temp, pszPath, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH);
    if (!ok) {
        DeleteFileA(temp);
        return nullptr;
    }
    return pStamp;
}

PZKVER_STAMP zkver_load_from(LPCSTR pszPath, PZKVER_STAMP pStamp) {
    FILE* file = ZK_FOPEN(pszPath, "rb");
    if (!file) return nullptr;
    size_t read = std::fread(pStamp, 1, sizeof *pStamp, file);
    std::fclose(file);
    return read == sizeof *pStamp ? pStamp : nullptr;
}

bool zkver_format(const ZKVER_STAMP* pStamp, LPSTR pszBuffer, INT nSize) {
    char text[32];
    int n = wsprintfA(text, "%d.%d.%d.%d", int(pStamp->cNumber1), int(pStamp->cNumber2),
                      int(pStamp->cNumber3), int(pStamp->cNumber4));
    if (n < 0) return false;
    if (pStamp->cSuffix) text[n++] = pStamp->cSuffix;
    text[n] = 0;
    if (n + 1 > nSize) return false;
    std::memcpy(pszBuffer, text, n + 1);
    return true;
}

ZKEXTERN PZKVER_STAMP ZKAPI ZKVerSave(PZKVER_STAMP pStamp) {
    ZK_THREAD_CHECK();
    char path[ZKVER_PATH_SIZE];
    if (!pStamp || !stamp_path(path)) return nullptr;
    return zkver_save_to(path, pStamp);
}

ZKEXTERN PZKVER_STAMP ZKAPI ZKVerLoad(PZKVER_STAMP pStamp) {
    ZK_THREAD_CHECK();
    return load_stamp(pStamp);
}

ZKEXTERN LPSTR ZKAPI ZKVer(LPSTR pszBuffer, INT nSize) {
    ZK_THREAD_CHECK();
    if (nSize < kMinTextSize || !pszBuffer) return nullptr;
    std::memset(pszBuffer, 0, static_cast<size_t>(nSize));
    ZKVER_STAMP stamp;
    if (!load_stamp(&stamp)) return nullptr;
    return zkver_format(&stamp, pszBuffer, nSize) ? pszBuffer : nullptr;
}
