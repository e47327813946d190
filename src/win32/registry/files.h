// The files inside one key's directory, and the only code that touches them:
//
//   .values       the key file (registry/format.h); replaced whole, never
//                 edited in place, so a reader needs no lock
//   .values.new   the next .values while a writer prepares it
//   .lock         held with flock() by the one writer of this key
#ifndef ZKXWIN32_REGISTRY_FILES_H
#define ZKXWIN32_REGISTRY_FILES_H

#include <sys/stat.h>

#include <cstdint>
#include <string>

#include "registry/format.h"
#include "zkxwin32/types.h"

namespace zkx::win32::reg {

extern const char kValuesFile[];
extern const char kLockFile[];

// The Win32 code for a failed system call; `fallback` when no better one fits.
LONG win32_from_errno(int err, LONG fallback);

// Reads dir/.values.  0; ERROR_FILE_NOT_FOUND when the file (or dir) is not
// there; ERROR_REGISTRY_CORRUPT when it is not a key file we can read; 5
// when the process may not read it.  `mtime` (optional) gets its time.
LONG read_key_file(const std::string& dir, KeyFile* out, timespec* mtime = nullptr);

// Replaces dir/.values with `key`: written beside it, then renamed over it,
// so a reader or a killed writer sees the old file or the new one.  With
// `durable` the new file and the rename are on disk before it returns;
// without, the kernel writes them back later (RegFlushKey forces it).
// The caller holds the key's lock.
LONG write_key_file(const std::string& dir, const KeyFile& key, bool durable);

// Makes a rename or a new entry in dir durable.
void sync_dir(const std::string& dir);

// Writes everything not yet on disk in the file system that holds `dir`:
// every key of the store, as RegFlushKey promises for a whole hive.
LONG flush_store(const std::string& dir);

bool is_directory(const std::string& path);

// A random id for a new key, never 0.
uint64_t new_key_id();

// The writer's lock of one key.  acquire() returns 0 once this process
// holds the lock file that is in the key's directory right now, or
// ERROR_FILE_NOT_FOUND when that directory is gone (the key was deleted).
class KeyLock {
public:
    KeyLock() = default;
    ~KeyLock() { release(); }
    KeyLock(const KeyLock&) = delete;
    KeyLock& operator=(const KeyLock&) = delete;

    LONG acquire(const std::string& dir);
    void release();

private:
    int fd_ = -1;
};

}  // namespace zkx::win32::reg

#endif
