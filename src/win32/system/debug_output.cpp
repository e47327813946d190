// Debug-string output between processes of one object namespace.
//
// Senders take "DBWinMutex", wait for the viewer's "buffer ready", fill the
// shared buffer and set "data ready".  The buffer is a small file beside the
// namespace's segment; the viewer creates it, senders map it once.
//
// A viewer that is stopped (or hangs) must not slow every sender down: once
// a sender of this process has waited for it in vain, the next ones only
// try the channel without waiting and drop their text while it is busy,
// until they find the viewer ready again.
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <new>
#include <string>

#include "kernel/kernel_objects.h"
#include "system/namespace_dir.h"
#include "zkxwin32.h"

namespace {

constexpr size_t kBufferSize = 4096;
constexpr size_t kTextSize = kBufferSize - sizeof(DWORD);
constexpr DWORD kSendTimeout = 500;  // the most a sender waits, once
const char kBufferReady[] = "DBWIN_BUFFER_READY";
const char kDataReady[] = "DBWIN_DATA_READY";
const char kSenderMutex[] = "DBWinMutex";
const char kViewerMutex[] = "DBWIN_VIEWER";

struct SharedBuffer {
    DWORD pid;
    char text[kTextSize];
};

std::string buffer_path() {
    std::string seg = zkx::win32::kernel_segment_path();
    return seg.empty() ? seg : seg + ".dbwin";
}

// The buffer is held to the same rules as every file of the namespace, so
// only processes that may use the namespace can send or read.  Senders map
// it only once it has its full size (a shorter file would raise SIGBUS);
// the viewer, alone in its role, gives it that size with its memory
// reserved, so that a full file system cannot fault a later write.
SharedBuffer* map_buffer(bool create) {
    std::string path = buffer_path();
    if (path.empty()) return nullptr;
    zkx::win32::NamespaceDirectory dir;
    if (zkx::win32::namespace_directory(&dir) != 0) return nullptr;
    struct stat st {};
    int fd = zkx::win32::open_namespace_file(dir, path, O_RDWR, create, nullptr, &st);
    if (fd < 0) return nullptr;
    const int reserved = create ? posix_fallocate(fd, 0, off_t(kBufferSize)) : 0;
    if (reserved != 0 || fstat(fd, &st) != 0 || st.st_size < off_t(kBufferSize)) {
        close(fd);
        SetLastError(reserved == ENOSPC || reserved == EFBIG ? ERROR_DISK_FULL
                     : reserved                              ? ERROR_WRITE_FAULT
                                                             : ERROR_INVALID_DATA);
        return nullptr;
    }
    void* p = mmap(nullptr, kBufferSize, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    close(fd);
    return p == MAP_FAILED ? nullptr : static_cast<SharedBuffer*>(p);
}

// Senders map the buffer once per process and keep it.
std::mutex g_sender_lock;
SharedBuffer* g_sender_buffer = nullptr;

SharedBuffer* sender_buffer() {
    std::lock_guard<std::mutex> guard(g_sender_lock);
    if (!g_sender_buffer) g_sender_buffer = map_buffer(false);
    return g_sender_buffer;
}

// Set when the channel kept a sender waiting for the whole timeout; cleared
// when a sender finds the viewer ready.
std::atomic<bool> g_stalled{false};

DWORD patience() { return g_stalled.load(std::memory_order_relaxed) ? 0 : kSendTimeout; }

// Waits for an object of the channel (a mutex left by a dead sender is
// taken over); a wait that runs out marks the channel stalled.
bool wait_for_channel(HANDLE h) {
    DWORD wait = WaitForSingleObject(h, patience());
    if (wait == WAIT_TIMEOUT) g_stalled.store(true, std::memory_order_relaxed);
    return wait == WAIT_OBJECT_0 || wait == WAIT_ABANDONED;
}

bool send_chunk(SharedBuffer* buffer, HANDLE buffer_ready, HANDLE data_ready, const char* text,
                size_t length) {
    if (!wait_for_channel(buffer_ready)) return false;
    g_stalled.store(false, std::memory_order_relaxed);
    buffer->pid = GetCurrentProcessId();
    std::memcpy(buffer->text, text, length);
    buffer->text[length] = 0;
    SetEvent(data_ready);
    return true;
}

}  // namespace

extern "C" void WINAPI OutputDebugStringA(LPCSTR text) {
    if (!text) return;
    DWORD saved_error = GetLastError();
    // No "buffer ready" event means nobody is listening: drop the text.
    HANDLE buffer_ready = OpenEventA(SYNCHRONIZE | EVENT_MODIFY_STATE, FALSE, kBufferReady);
    if (buffer_ready) {
        HANDLE data_ready = OpenEventA(EVENT_MODIFY_STATE, FALSE, kDataReady);
        HANDLE mutex = CreateMutexA(nullptr, FALSE, kSenderMutex);
        SharedBuffer* buffer = data_ready && mutex ? sender_buffer() : nullptr;
        if (buffer) {
            if (wait_for_channel(mutex)) {
                // A long text goes out in pieces, in order, under one turn;
                // the rest of it is dropped once the viewer stops taking it.
                size_t length = std::strlen(text);
                do {
                    size_t piece = length < kTextSize - 1 ? length : kTextSize - 1;
                    if (!send_chunk(buffer, buffer_ready, data_ready, text, piece)) break;
                    text += piece;
                    length -= piece;
                } while (length > 0);
                ReleaseMutex(mutex);
            }
        }
        if (mutex) CloseHandle(mutex);
        if (data_ready) CloseHandle(data_ready);
        CloseHandle(buffer_ready);
    }
    SetLastError(saved_error);
}

struct ZKX_DEBUG_VIEWER {
    HANDLE viewer_mutex = nullptr;
    HANDLE buffer_ready = nullptr;
    HANDLE data_ready = nullptr;
    SharedBuffer* buffer = nullptr;
    bool ready_given = false;
};

extern "C" void WINAPI zkx_debug_viewer_close(ZKX_DEBUG_VIEWER* v) {
    if (!v) return;
    if (v->buffer) munmap(v->buffer, kBufferSize);
    if (v->data_ready) CloseHandle(v->data_ready);
    if (v->buffer_ready) CloseHandle(v->buffer_ready);
    if (v->viewer_mutex) {
        ReleaseMutex(v->viewer_mutex);
        CloseHandle(v->viewer_mutex);
    }
    delete v;
}

extern "C" ZKX_DEBUG_VIEWER* WINAPI zkx_debug_viewer_open(void) {
    auto* v = new (std::nothrow) ZKX_DEBUG_VIEWER();
    if (!v) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    // The viewer owns a mutex while it reads; one left by a viewer that died
    // comes back abandoned and is taken over.
    v->viewer_mutex = CreateMutexA(nullptr, FALSE, kViewerMutex);
    DWORD wait = v->viewer_mutex ? WaitForSingleObject(v->viewer_mutex, 0) : WAIT_FAILED;
    zkx::win32::KernelObjectInfo info;
    if ((wait == WAIT_OBJECT_0 || wait == WAIT_ABANDONED) &&
        zkx::win32::describe_kernel_object(v->viewer_mutex, &info) && info.recursion > 1) {
        // This very thread is the viewer already: the mutex let it in again.
        ReleaseMutex(v->viewer_mutex);
        wait = WAIT_TIMEOUT;
    }
    if (wait != WAIT_OBJECT_0 && wait != WAIT_ABANDONED) {
        if (v->viewer_mutex) CloseHandle(v->viewer_mutex);
        v->viewer_mutex = nullptr;
        zkx_debug_viewer_close(v);
        SetLastError(wait == WAIT_TIMEOUT ? ERROR_BUSY : GetLastError());
        return nullptr;
    }
    v->buffer = map_buffer(true);
    const DWORD buffer_error = v->buffer ? 0 : GetLastError();
    v->buffer_ready = CreateEventA(nullptr, FALSE, FALSE, kBufferReady);
    v->data_ready = CreateEventA(nullptr, FALSE, FALSE, kDataReady);
    if (!v->buffer || !v->buffer_ready || !v->data_ready) {
        DWORD error = v->buffer ? GetLastError() : buffer_error ? buffer_error : ERROR_NOT_ENOUGH_MEMORY;
        zkx_debug_viewer_close(v);
        SetLastError(error ? error : ERROR_INVALID_HANDLE);
        return nullptr;
    }
    return v;
}

extern "C" BOOL WINAPI zkx_debug_viewer_read(ZKX_DEBUG_VIEWER* v, DWORD timeout, LPDWORD pid,
                                             LPSTR text, DWORD size) {
    if (!v || !text || size == 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (!v->ready_given) {
        SetEvent(v->buffer_ready);
        v->ready_given = true;
    }
    DWORD wait = WaitForSingleObject(v->data_ready, timeout);
    if (wait != WAIT_OBJECT_0) {
        SetLastError(wait == WAIT_TIMEOUT ? WAIT_TIMEOUT : GetLastError());
        return FALSE;
    }
    if (pid) *pid = v->buffer->pid;
    size_t n = strnlen(v->buffer->text, kTextSize - 1);
    if (n > size - 1) n = size - 1;
    std::memcpy(text, v->buffer->text, n);
    text[n] = 0;
    // The buffer is free again only once its text has been copied out.
    v->ready_given = false;
    SetEvent(v->buffer_ready);
    v->ready_given = true;
    return TRUE;
}
