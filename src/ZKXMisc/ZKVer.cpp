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

PZKVER_STAMP zkver_save_to(LPCSTR pszPath, PZKVER_STAMP pStamp) {
    FILE* file = ZK_FOPEN(pszPath, "wb");
    if (!file) return nullptr;
    size_t written = std::fwrite(pStamp, 1, sizeof *pStamp, file);
    // The bytes reach the file only at the close; a failing close loses them.
    bool closed = std::fclose(file) == 0;
    return written == sizeof *pStamp && closed ? pStamp : nullptr;
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
