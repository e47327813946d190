// zkx shmem: a shared region seen from outside: its header, its lists and
// blocks, its use, and the heap checker's verdict, all read-only; and the
// administrator's way back from a heap marked damaged.
#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "ZKShMem.h"
#include "ZKShMemCheck.h"
#include "ZKShMemPriv.h"
#include "ZKShMemRepair.h"
#include "cli.h"
#include "kernel/kernel_objects.h"

namespace zkx::tool {
namespace {

// Long enough for a heap call in another process to finish; the heap's own
// callers give up after 3 ms.
constexpr DWORD kLockTimeoutMs = 2000;

// A copy of the region taken under its heap mutex, so that the report is
// one consistent state even while other processes work on it.
struct Snapshot {
    std::string name;
    DWORD size = 0;
    DWORD total = 0;
    std::vector<BYTE> bytes;
    bool index_valid = false;  // the lookup index agreed with the region
    DWORD index_builds = 0;

    const ZKSHMEM_REGION& header() const { return *reinterpret_cast<const ZKSHMEM_REGION*>(bytes.data()); }
    bool entry_valid(DWORD k) const {
        return k >= 1 && k != ZKSHMEM_NO_ENTRY && DWORD(k) * ZKSHMEM_ENTRY_SIZE <= total;
    }
    ZKSHMEM_INDEX entry(DWORD k) const {
        ZKSHMEM_INDEX e;
        std::memcpy(&e, bytes.data() + total - ZKSHMEM_ENTRY_SIZE * k, sizeof e);
        return e;
    }
};

// NAME SIZE from the command line, into s.name, s.size and s.total.
void parse_region(Args& args, Snapshot& s) {
    s.name = args.take("region name");
    std::string size_text = args.take("region size");
    args.finish();
    if (s.name.empty() || s.name.size() > ZKSHMEM_MAX_NAME)
        throw UsageError("a region name has 1 to 32 characters");
    uint64_t total = 0;
    if (!parse_u32(size_text, &s.size) || s.size == 0 ||
        (total = uint64_t(s.size) + ((uint64_t(s.size) + 31) >> 5) * 24 + 28) > 0xFFFFFFFFull)
        throw UsageError("the size is the payload size the region was opened with, not '" + size_text + "'");
    s.total = DWORD(total);
}

// Read-only, so that a region nobody has open is reported, not created.
PZKSHMEM_HEAD open_existing(const Snapshot& s) {
    PZKSHMEM_HEAD h = nullptr;
    DWORD r = ZKShMemOpen(&h, s.size, ZKSHMEM_READONLY, s.name.c_str());
    if (r == ERROR_OPEN_FAILED) throw Failure("no region '" + s.name + "': no process has it open");
    if (r == ERROR_INVALID_PARAMETER)
        throw Failure("region '" + s.name + "' has another size: give the payload size its users open it with");
    if (r != 0) throw Failure("cannot open region '" + s.name + "': " + win32_error_text(r));
    return h;
}

Snapshot take_snapshot(Args& args) {
    Snapshot s;
    parse_region(args, s);
    PZKSHMEM_HEAD h = open_existing(s);
    HANDLE lock = CreateMutexA(nullptr, FALSE, ("ZKMUTEX_" + s.name).c_str());
    DWORD wait = lock ? WaitForSingleObject(lock, kLockTimeoutMs) : WAIT_FAILED;
    const BYTE* base = static_cast<const BYTE*>(ZKShMemBaseAddress(h));
    s.bytes.assign(base, base + s.total);
    ZKSHMEM_JOURNAL journal = *zkshmem_journal(h);
    if (const ZKSHMEM_LOOKUP* ix = zkshmem_lookup(h)) {
        s.index_valid = zkshmem_lookup_usable(ix, base, s.total);
        s.index_builds = ix->dwRebuilds;
    }
    if (wait == WAIT_OBJECT_0 || wait == WAIT_ABANDONED) ReleaseMutex(lock);
    if (lock) CloseHandle(lock);
    ZKShMemClose(h);
    if (wait == WAIT_TIMEOUT)
        std::fprintf(stderr, "zkx: the heap stayed busy for %u ms; showing it as it was\n", unsigned(kLockTimeoutMs));
    // A dead process's half-done operation: shown as the next heap call of
    // a read-write user will roll it back.
    if (wait != WAIT_TIMEOUT && zkshmem_journal_pending(&journal) != 0) {
        const ZKSHMEM_UNDO undo{&journal, nullptr, nullptr};
        zkshmem_journal_rollback(&undo, s.bytes.data(), s.total);
        std::fprintf(stderr, "zkx: a process died inside a heap operation; shown rolled back, as the next "
                             "read-write call will leave it\n");
    }
    if (journal.dwDamaged)
        std::fprintf(stderr, "zkx: the heap is marked damaged: every heap call on it fails with 1392\n");
    return s;
}

std::string entry_text(WORD k) { return k == ZKSHMEM_NO_ENTRY ? "none" : std::to_string(k); }

void print_info(const Snapshot& s, const ZKSHMEM_CHECK& check) {
    const ZKSHMEM_REGION& h = s.header();
    std::printf("region        %s (section ZKSHMEM_MAPNAME_%s, heap mutex ZKMUTEX_%s)\n", s.name.c_str(),
                s.name.c_str(), s.name.c_str());
    std::printf("size          %u bytes of payload, %u bytes in all\n", unsigned(s.size), unsigned(s.total));
    std::printf("used list     first %s, last %s\n", entry_text(h.wUsedHead).c_str(), entry_text(h.wUsedTail).c_str());
    std::printf("free list     first %s, last %s\n", entry_text(h.wFreeHead).c_str(), entry_text(h.wFreeTail).c_str());
    std::printf("spare list    first %s, last %s\n", entry_text(h.wSpareHead).c_str(), entry_text(h.wSpareTail).c_str());
    std::printf("data top      %u\nindex bottom  %u (%u entries)\n", unsigned(h.dwDataTop), unsigned(h.dwIndexBottom),
                unsigned(h.dwIndexBottom <= s.total ? (s.total - h.dwIndexBottom) / ZKSHMEM_ENTRY_SIZE : 0));
    std::printf("in use        %u bytes (%.1f%%)\nfree          %u bytes (%.1f%%), largest free block %u\n",
                unsigned(h.dwBytesInUse), 100.0 * h.dwBytesInUse / s.total, unsigned(h.dwBytesFree),
                100.0 * h.dwBytesFree / s.total, unsigned(check.dwLargestFree));
    std::printf("blocks        %u in use, %u free; %u spare entries\n", unsigned(check.dwUsedBlocks),
                unsigned(check.dwFreeBlocks), unsigned(check.dwSpareEntries));
    // Below 1,024 entries the heap is walked; a stale index is rebuilt by
    // the next read-write call.
    std::printf("lookup index  %s, built %u times\n", s.index_valid ? "in use" : "not in use", unsigned(s.index_builds));
}

// The first bytes of a block's memory, as text where they are printable.
std::string preview(const Snapshot& s, const ZKSHMEM_INDEX& e) {
    if (e.dwOffset > s.total || e.dwSize < ZKSHMEM_BLOCK_OVERHEAD || e.dwSize > s.total - e.dwOffset) return "";
    DWORD start = e.dwOffset + ZKSHMEM_TAG_SIZE, n = std::min<DWORD>(e.dwSize - 4, 24);
    std::string text;
    for (DWORD i = 0; i < n; ++i) {
        BYTE b = s.bytes[start + i];
        if (b == 0 && i > 0) break;
        text += std::isprint(b) ? char(b) : '.';
    }
    return text;
}

void print_list(const Snapshot& s, const char* title, WORD head, bool with_data) {
    std::printf("\n%s list\n  %5s  %10s  %10s  %10s%s\n", title, "ENTRY", "ID", "OFFSET", "SIZE",
                with_data ? "  DATA" : "");
    std::set<DWORD> seen;
    for (DWORD k = head; k != ZKSHMEM_NO_ENTRY;) {
        if (!s.entry_valid(k) || !seen.insert(k).second) {
            std::printf("  %5u  (the list breaks off here: %s)\n", unsigned(k),
                        seen.count(k) ? "it loops" : "no such entry");
            return;
        }
        ZKSHMEM_INDEX e = s.entry(k);
        std::string id = e.dwId == ZKSHMEM_FREE_ID ? "free" : std::to_string(e.dwId);
        std::printf("  %5u  %10s  %10u  %10u", unsigned(k), id.c_str(), unsigned(e.dwOffset), unsigned(e.dwSize));
        if (with_data) std::printf("  \"%s\"", preview(s, e).c_str());
        std::printf("\n");
        k = e.wNext;
    }
    if (seen.empty()) std::printf("  (empty)\n");
}

int shmem_info(Args& args, bool dump) {
    Snapshot s = take_snapshot(args);
    ZKSHMEM_CHECK check;
    zkshmem_check_region(s.bytes.data(), s.total, &check);
    print_info(s, check);
    if (dump) {
        const ZKSHMEM_REGION& h = s.header();
        print_list(s, "used", h.wUsedHead, true);
        print_list(s, "free", h.wFreeHead, false);
        print_list(s, "spare", h.wSpareHead, false);
    }
    if (check.dwRule != ZKSHMEM_RULE_NONE)
        std::printf("\nthe heap checker finds a fault: %s (see \"zkx shmem check\")\n", check.szText);
    return kExitOk;
}

// Who keeps the region alive and who is inside a heap call: the processes
// to restart when a damaged region has to go.  The platform counts the
// section's handles but does not record their processes.
std::string holders_text(const std::string& name) {
    std::vector<zkx::win32::KernelObjectInfo> objects;
    if (!zkx::win32::enumerate_kernel_objects(&objects)) return "";
    std::string text;
    for (const auto& o : objects) {
        if (o.type == zkx::win32::KernelObjectType::Section && o.name == ZKSHMEM_MAP_PREFIX + name)
            text = "held open by " + std::to_string(o.handles) + " handle(s) in all processes; created by pid " +
                   std::to_string(o.creator_pid) + text;
        else if (o.type == zkx::win32::KernelObjectType::Mutex && o.name == ZKSHMEM_MUTEX_PREFIX + name &&
                 o.owner_pid)
            text += "; heap mutex held by pid " + std::to_string(o.owner_pid);
    }
    return text;
}

// Which entry and where, as the checker found it.
std::string where_text(const ZKSHMEM_CHECK& check) {
    std::string where;
    if (check.dwEntry) where += ", entry " + std::to_string(check.dwEntry);
    if (check.dwOffset) where += ", offset " + std::to_string(check.dwOffset);
    return where;
}

int shmem_check(Args& args) {
    Snapshot s = take_snapshot(args);
    ZKSHMEM_CHECK check;
    DWORD r = zkshmem_check_region(s.bytes.data(), s.total, &check);
    const std::string holders = holders_text(s.name);
    if (!holders.empty()) std::printf("region %s is %s\n", s.name.c_str(), holders.c_str());
    if (r == ERROR_FILE_CORRUPT) {
        const std::string where = where_text(check);
        throw Failure("region '" + s.name + "' is damaged: " + check.szText + where +
                      " (\"zkx shmem repair\" rebuilds what can be proven)");
    }
    if (r != 0) throw Failure("cannot check region '" + s.name + "': " + win32_error_text(r));
    std::printf("region %s is consistent: %u blocks in use, %u free, %u of %u bytes in use (%.1f%%)\n",
                s.name.c_str(), unsigned(check.dwUsedBlocks), unsigned(check.dwFreeBlocks),
                unsigned(s.header().dwBytesInUse), unsigned(s.total), 100.0 * s.header().dwBytesInUse / s.total);
    return kExitOk;
}

int shmem_repair(Args& args) {
    Snapshot s;
    parse_region(args, s);
    PZKSHMEM_HEAD reader = open_existing(s);
    // The reader keeps the region alive, so this open only attaches.
    PZKSHMEM_HEAD h = nullptr;
    DWORD r = ZKShMemOpen(&h, s.size, ZKSHMEM_READWRITE, s.name.c_str());
    ZKShMemClose(reader);
    if (r != 0) throw Failure("cannot open region '" + s.name + "' to write: " + win32_error_text(r));
    ZKSHMEM_REPAIR rep;
    r = zkshmem_repair_handle(h, kLockTimeoutMs, &rep);
    ZKShMemClose(h);
    if (r == ERROR_SERVICE_REQUEST_TIMEOUT)
        throw Failure("region '" + s.name + "': the heap stayed busy for " + std::to_string(kLockTimeoutMs) +
                      " ms; nothing changed");
    if (rep.dwRolledBack) std::printf("rolled back a heap operation that a killed process left half done\n");
    if (r == ERROR_FILE_CORRUPT)
        throw Failure("region '" + s.name + "' is damaged: " + rep.before.szText + where_text(rep.before) + "; " +
                      rep.szText);
    if (r != 0) throw Failure("cannot repair region '" + s.name + "': " + win32_error_text(r));
    if (rep.dwRebuilt)
        std::printf("region %s was damaged: %s%s\n%s\n", s.name.c_str(), rep.before.szText,
                    where_text(rep.before).c_str(), rep.szText);
    else
        std::printf("region %s is consistent; no bookkeeping changed\n", s.name.c_str());
    if (rep.dwWasMarked || rep.dwRebuilt)
        std::printf("cleared the damaged mark; heap calls work again and the lookup index is rebuilt by the next one\n");
    return kExitOk;
}

int shmem_main(Args& args) {
    std::string op = args.take("operation (info, dump, check or repair)");
    if (op == "info") return shmem_info(args, false);
    if (op == "dump") return shmem_info(args, true);
    if (op == "check") return shmem_check(args);
    if (op == "repair") return shmem_repair(args);
    throw UsageError("unknown shmem operation '" + op + "'");
}

}  // namespace

extern const Command kShmemCommand = {
    "shmem", "inspect a shared-memory heap: header, blocks, use, consistency; repair",
    "usage:\n"
    "  zkx shmem info  NAME SIZE\n"
    "  zkx shmem dump  NAME SIZE\n"
    "  zkx shmem check NAME SIZE\n"
    "  zkx shmem repair NAME SIZE\n"
    "\n"
    "Opens the region NAME, which some process must have open, read-only;\n"
    "SIZE is the payload size its users open it with.  info shows the header,\n"
    "the use in bytes and percent and the block counts; dump adds the used,\n"
    "free and spare lists with entry numbers, ids, offsets and sizes; check\n"
    "runs the heap checker and exits with 1 and what is wrong on a fault.\n"
    "The region is copied under its heap mutex, so the report is one state.\n"
    "repair opens it read-write and, under the heap mutex, rebuilds the\n"
    "bookkeeping (lists, counters, lost tags) around the blocks in use and\n"
    "clears the damaged mark; it never moves or frees a block in use, and\n"
    "when those cannot be proven intact it changes nothing and exits with 1.\n",
    shmem_main};

}  // namespace zkx::tool
