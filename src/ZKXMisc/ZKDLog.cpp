#include "ZKDLog.h"

#include <cstdint>

#include "CLib.h"
#include "ZKDLogPriv.h"

namespace {

struct LevelName {
    WORD wLevel;
    const char* pszName;
};

const LevelName kLevels[] = {
    {0x0001, "LO"},  {0x0008, "COM"}, {0x000A, "END"}, {0x000B, "STA"},
    {0x0010, "DBG"}, {0x0080, "CHK"}, {0x0300, "NTA"}, {0x0800, "ATT"},
    {0x1000, "STD"}, {0x8000, "ERR"}, {0xA000, "EMR"}, {0xFFFF, "HI"},
};
const char kUnknownLevel[] = "???";

const char* level_name(WORD level) {
    for (const auto& row : kLevels)
        if (row.wLevel == level) return row.pszName;
    return kUnknownLevel;
}

WORD level_of(const ZKDLOG_OUTPUT& out) { return __atomic_load_n(&out.wLevel, __ATOMIC_RELAXED); }

// The line under construction.  Everything is cut to leave room for the
// closing CR LF, so a record never runs past its 1024 bytes.
class Line {
public:
    void append(LPCSTR text, int length) {
        const int room = kBody - length_;
        if (length > room) length = room;
        for (int i = 0; i < length; ++i) buf_[length_ + i] = text[i];
        length_ += length;
    }
    void append(LPCSTR text) { append(text, lstrlenA(text)); }
    void append_spaces(long count) {
        while (count-- > 0 && length_ < kBody) buf_[length_++] = ' ';
    }
    int length() const { return length_; }
    void finish() {
        if (length_ > 0 && buf_[length_ - 1] == '\n') --length_;
        buf_[length_++] = '\r';
        buf_[length_++] = '\n';
    }
    LPCSTR data() const { return buf_; }

private:
    static constexpr int kBody = ZKDLOG_LINE_SIZE - 2;
    char buf_[ZKDLOG_LINE_SIZE];
    int length_ = 0;
};

// The printed source name: what follows the last '\' or ':' (or '/', so
// that a POSIX build's file names print the same way).
LPCSTR source_name(LPCSTR file) {
    if (!file) return "";
    LPCSTR name = file;
    for (LPCSTR p = file; *p; ++p)
        if (*p == '\\' || *p == ':' || *p == '/') name = p + 1;
    return name;
}

// Log files are shared with the processes of other accounts and often lie
// in folders anyone may write.  Off Windows a new file is 0640 (before the
// umask), and in such a folder a planted link or someone else's file is
// refused rather than written through.
HANDLE open_log_file(LPCSTR path, DWORD access, DWORD disposition) {
#ifdef _WIN32
    return CreateFileA(path, access, FILE_SHARE_READ, nullptr, disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
#else
    return zkx_create_file_guarded(path, access, FILE_SHARE_READ, disposition, 0640);
#endif
}

// A writer that died holding the file's mutex may have died inside its
// write and left a record without its line end.  Its heir cannot tell such
// a piece from text that some other program wrote, so nothing is cut: the
// piece gets the line end it lacks, and the next record starts a line of
// its own.
void end_torn_record(LPCSTR path) {
    HANDLE file = open_log_file(path, GENERIC_READ | GENERIC_WRITE, OPEN_EXISTING);
    if (file == INVALID_HANDLE_VALUE) return;
    LONG high = -1;
    char last = '\n';
    DWORD got = 0;
    if ((SetFilePointer(file, -1, &high, FILE_END) != INVALID_SET_FILE_POINTER ||
         GetLastError() == ERROR_SUCCESS) &&
        ReadFile(file, &last, 1, &got, nullptr) && got == 1 && last != '\n') {
        // A record torn between its CR and its LF needs only the LF.
        const char* end = last == '\r' ? "\n" : "\r\n";
        DWORD written = 0;
        WriteFile(file, end, DWORD(lstrlenA(end)), &written, nullptr);
    }
    CloseHandle(file);
}

DWORD write_file(ZKDLOG_OUTPUT* out, LPCSTR text, DWORD length) {
    if (!out->pszPath) return 0;
    if (out->hFileMutex) {
        DWORD wait = WaitForSingleObject(out->hFileMutex, ZKDLOG_LOCK_TIMEOUT);
        if (wait != WAIT_OBJECT_0) {
            // An abandoned mutex is ours now: mend what its owner may have
            // left half written, give the mutex back at once so the file
            // stays usable for everyone, and drop this record.
            if (wait == WAIT_ABANDONED) {
                end_torn_record(out->pszPath);
                ReleaseMutex(out->hFileMutex);
            }
            return ERROR_BUSY;
        }
    }
    UINT previous_mode = SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX);
    DWORD result = 0;
    HANDLE file = open_log_file(out->pszPath, GENERIC_WRITE, OPEN_ALWAYS);
    if (file != INVALID_HANDLE_VALUE) {
        LONG high = 0;
        const DWORD low = SetFilePointer(file, 0, &high, FILE_END);
        DWORD written = 0;
        if (!WriteFile(file, text, length, &written, nullptr)) result = GetLastError();
        else if (written != length) result = ERROR_DISK_FULL;
        // A full disk or a size limit can take part of a record; the next
        // record would then continue that broken line.  The file goes back
        // to where it ended, so this record is missing, not torn.
        if (result != 0 && written != 0 && SetFilePointer(file, LONG(low), &high, FILE_BEGIN) == low)
            SetEndOfFile(file);
        CloseHandle(file);
    } else {
        result = GetLastError();
    }
    SetErrorMode(previous_mode);
    if (out->hFileMutex) ReleaseMutex(out->hFileMutex);
    return result;
}

DWORD write_debug(ZKDLOG_OUTPUT*, LPCSTR text, DWORD length) {
    char message[ZKDLOG_LINE_SIZE + 1];
    if (length > ZKDLOG_LINE_SIZE) length = ZKDLOG_LINE_SIZE;
    for (DWORD i = 0; i < length; ++i) message[i] = text[i];
    message[length] = 0;
    OutputDebugStringA(message);
    return 0;
}

void init_output(ZKDLOG_OUTPUT* out, WORD kind, LPCSTR key, PFN_ZKDLOG_WRITE writer) {
    out->wKind = kind;
    out->wLevel = 0xFFFF;
    out->pszKey = key;
    out->pszPath = nullptr;
    out->hFileMutex = nullptr;
    out->pfnWrite = writer;
}

}  // namespace

int zkdlog_format_record(char* pszLine, const ZKDLOG_RECORD& rec, LPCSTR pszFormat, va_list args) {
    Line line;
    char field[ZKDLOG_LINE_SIZE];
    line.append(field, wsprintfA(field, "%s(%4u)", source_name(rec.pszFile), rec.dwLine));
    line.append_spaces(18 - line.length());
    const SYSTEMTIME& t = rec.time;
    line.append(field, wsprintfA(field, ", %02hu/%02hu, %02hu:%02hu:%02hu.%03hu, ", t.wMonth,
                                 t.wDay, t.wHour, t.wMinute, t.wSecond, t.wMilliseconds));
    line.append(field, wsprintfA(field, "0x%08lX, 0x%08lX, %-8s, %s, ", rec.dwProcessId,
                                 rec.dwThreadId, rec.pszModule, level_name(rec.wLevel)));
    line.append_spaces(2L * rec.nIndent);
    if (pszFormat) line.append(field, wvsprintfA(field, pszFormat, args));
    line.finish();
    for (int i = 0; i < line.length(); ++i) pszLine[i] = line.data()[i];
    return line.length();
}

WORD zkdlog_level_from_name(LPCSTR name) {
    for (const auto& row : kLevels)
        if (lstrcmpiA(row.pszName, name) == 0) return row.wLevel;
    return 0;
}

ZKEXTERN DWORD ZKAPI ZKDLogCreate(LPCSTR pszName, DWORD, PZKDLOG_HANDLE* phLog) {
    ZK_THREAD_CHECK();
    if (!phLog) return ERROR_INVALID_PARAMETER;
    *phLog = nullptr;
    auto* log = static_cast<PZKDLOG_HANDLE>(LocalAlloc(LPTR, sizeof(_ZKDLOG_HANDLE)));
    if (!log) return ERROR_NOT_ENOUGH_MEMORY;
    DWORD result = ZKExclInitCritSec(&log->csLock, 0, 0);
    if (result != 0) {
        ZKDLogDestroy(log, 0);
        return result;
    }
    lstrcpynA(log->szName, pszName ? pszName : "", ZKDLOG_NAME_SIZE);
    init_output(&log->aOutput[ZKDLOG_OUT_FILE], 4, "LOG", write_file);
    init_output(&log->aOutput[ZKDLOG_OUT_DEBUG], 8, "DBG", write_debug);
    *phLog = log;
    return 0;
}

ZKEXTERN DWORD ZKAPI ZKDLogDestroy(PZKDLOG_HANDLE hLog, DWORD) {
    ZK_THREAD_CHECK();
    if (!hLog) return ERROR_INVALID_HANDLE;
    ZKExclEnterCritSec(&hLog->csLock, ZKDLOG_LOCK_TIMEOUT, 0, 0);
    ZKDLOG_OUTPUT& file = hLog->aOutput[ZKDLOG_OUT_FILE];
    if (file.pszPath) LocalFree(file.pszPath);
    if (file.hFileMutex) CloseHandle(file.hFileMutex);
    ZKExclDeleteCritSec(&hLog->csLock, 0);
    MEMSET(hLog, 0, sizeof(*hLog));
    LocalFree(hLog);
    return 0;
}

ZKEXTERN DWORD ZKAPI ZKDLogIndent(PZKDLOG_HANDLE hLog, LONG nChange) {
    ZK_THREAD_CHECK();
    if (!hLog) return ERROR_INVALID_PARAMETER;
    if (ZKExclEnterCritSec(&hLog->csLock, ZKDLOG_LOCK_TIMEOUT, 0, 0) != 0) return ERROR_BUSY;
    int64_t depth = int64_t(hLog->nIndent) + nChange;
    if (depth < 0) depth = 0;
    if (depth > 0x7FFFFFFF) depth = 0x7FFFFFFF;
    __atomic_store_n(&hLog->nIndent, LONG(depth), __ATOMIC_RELAXED);
    ZKExclLeaveCritSec(&hLog->csLock, 0);
    return 0;
}

ZKEXTERN DWORD ZKAPIV ZKDLogOut(PZKDLOG_HANDLE hLog, LPCSTR pszFile, DWORD dwLine, DWORD dwFlags,
                                LPCSTR pszFormat, ...) {
    ZK_THREAD_CHECK();
    if (!hLog) return ERROR_INVALID_PARAMETER;
    const WORD level = LOWORD(dwFlags);
    // The cheap filter: a record no output takes costs two comparisons.
    if (level < level_of(hLog->aOutput[0]) && level < level_of(hLog->aOutput[1])) return 0;

    ZKDLOG_RECORD rec;
    rec.pszFile = pszFile;
    rec.dwLine = dwLine;
    GetLocalTime(&rec.time);
    rec.dwProcessId = GetCurrentProcessId();
    rec.dwThreadId = GetCurrentThreadId();
    rec.pszModule = hLog->szName;
    rec.wLevel = level;
    rec.nIndent = __atomic_load_n(&hLog->nIndent, __ATOMIC_RELAXED);
    char line[ZKDLOG_LINE_SIZE];
    va_list args;
    va_start(args, pszFormat);
    const int length = zkdlog_format_record(line, rec, pszFormat, args);
    va_end(args);

    if (ZKExclEnterCritSec(&hLog->csLock, ZKDLOG_LOCK_TIMEOUT, 0, 0) != 0) return ERROR_BUSY;
    for (ZKDLOG_OUTPUT& out : hLog->aOutput) {
        if (level >= out.wLevel && out.pfnWrite)
            out.pfnWrite(&out, line, DWORD(length));
    }
    ZKExclLeaveCritSec(&hLog->csLock, 0);
    return 0;
}
