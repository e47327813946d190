// The object queries of ntdll that Windows and Wine both answer.
#include "kernel/kernel_objects.h"

#include <winternl.h>

#include <cstring>

namespace zkx::win32 {
namespace {

struct EventBasic {
    ULONG type;  // 0 notification (manual reset), 1 synchronisation
    LONG state;
};
struct MutantBasic {
    LONG current_count;  // 1 free, 1 - n when owned n times
    BOOLEAN owned_by_caller;
    BOOLEAN abandoned;
};
struct SemaphoreBasic {
    LONG current_count;
    LONG maximum_count;
};
struct ObjectBasic {
    ULONG attributes, granted_access, handle_count, pointer_count;
    ULONG reserved[10];
};

extern "C" {
NTSTATUS NTAPI NtQueryEvent(HANDLE, ULONG, PVOID, ULONG, PULONG);
NTSTATUS NTAPI NtQueryMutant(HANDLE, ULONG, PVOID, ULONG, PULONG);
NTSTATUS NTAPI NtQuerySemaphore(HANDLE, ULONG, PVOID, ULONG, PULONG);
}

// The object's name after the directory part (\BaseNamedObjects\...).
std::string object_name(HANDLE h) {
    alignas(8) unsigned char buf[2048];
    ULONG len = 0;
    if (NtQueryObject(h, OBJECT_INFORMATION_CLASS(1), buf, sizeof buf, &len) != 0) return "";
    const auto* u = reinterpret_cast<const UNICODE_STRING*>(buf);
    if (!u->Buffer || u->Length == 0) return "";
    std::wstring w(u->Buffer, u->Length / sizeof(wchar_t));
    w = w.substr(w.rfind(L'\\') + 1);
    std::string out(w.size() * 2 + 1, '\0');
    int n = WideCharToMultiByte(CP_ACP, 0, w.data(), int(w.size()), &out[0], int(out.size()), nullptr, nullptr);
    out.resize(n > 0 ? size_t(n) : 0);
    return out;
}

std::wstring type_name(HANDLE h) {
    alignas(8) unsigned char buf[1024];
    ULONG len = 0;
    if (NtQueryObject(h, ObjectTypeInformation, buf, sizeof buf, &len) != 0) return L"";
    const auto* u = reinterpret_cast<const UNICODE_STRING*>(buf);
    return std::wstring(u->Buffer, u->Length / sizeof(wchar_t));
}

}  // namespace

bool describe_kernel_object(HANDLE h, KernelObjectInfo* out) {
    *out = KernelObjectInfo{};
    std::wstring type = type_name(h);
    ObjectBasic basic{};
    if (NtQueryObject(h, ObjectBasicInformation, &basic, sizeof basic, nullptr) == 0)
        out->handles = basic.handle_count;
    out->name = object_name(h);
    if (type == L"Event") {
        EventBasic e{};
        if (NtQueryEvent(h, 0, &e, sizeof e, nullptr) != 0) return false;
        out->type = KernelObjectType::Event;
        out->manual_reset = e.type == 0;
        out->signalled = e.state != 0;
    } else if (type == L"Mutant") {
        MutantBasic m{};
        if (NtQueryMutant(h, 0, &m, sizeof m, nullptr) != 0) return false;
        out->type = KernelObjectType::Mutex;
        out->signalled = m.current_count > 0;
        out->recursion = m.current_count > 0 ? 0 : uint32_t(1 - m.current_count);
        if (!out->signalled) out->owner_tid = m.owned_by_caller ? GetCurrentThreadId() : ~0u;
        out->abandoned = m.abandoned != 0;
    } else if (type == L"Semaphore") {
        SemaphoreBasic s{};
        if (NtQuerySemaphore(h, 0, &s, sizeof s, nullptr) != 0) return false;
        out->type = KernelObjectType::Semaphore;
        out->count = s.current_count;
        out->max_count = s.maximum_count;
        out->signalled = s.current_count > 0;
    } else if (type == L"Thread") {
        out->type = KernelObjectType::Thread;
        out->signalled = WaitForSingleObject(h, 0) == WAIT_OBJECT_0;
    } else if (type == L"Section") {
        out->type = KernelObjectType::Section;
    } else {
        return false;
    }
    return true;
}

}  // namespace zkx::win32
