// Object manager core: an object is a header followed by its body; handles are kernel handles
// (values with the top bits set, never reused within a boot) that each hold a reference.
#include <stdlib.h>

#include <map>
#include <mutex>
#include <unordered_map>
#include <unordered_set>

#include "io/iomgr.h"
#include "ke/ke.h"
#include "ob/object.h"
#include "ps/program.h"
#include "verifier.h"

namespace qv {
namespace {

struct alignas(16) ObjectHeader {
    POBJECT_TYPE Type;
    LONG_PTR PointerCount;  // guarded by ObState::Lock
    LONG HandleCount;       // guarded by ObState::Lock
    size_t BodySize;
};

// A handle: kernel handles are valid in every context; others belong to the program (or the
// system process) in whose context they were made.
struct HandleEntry {
    ObjectHeader *Object;
    bool Kernel;
    ProgramContext *Owner;
};

struct ObState {
    RecordLock Lock;
    std::unordered_set<ObjectHeader *> Live;             // guarded by Lock
    std::unordered_map<ULONG_PTR, HandleEntry> Handles;  // guarded by Lock
    ULONG_PTR NextHandle = 0;                            // guarded by Lock
};

ObState &Ob()
{
    static ObState *state = new ObState;
    return *state;
}

constexpr ULONG_PTR kHandleBase = 0xFFFFFFFF80000000ull;

ObjectHeader *HeaderOf(const void *body)
{
    return reinterpret_cast<ObjectHeader *>(const_cast<char *>(static_cast<const char *>(body))) - 1;
}

void *BodyOf(ObjectHeader *header) { return header + 1; }

// Caller holds Ob().Lock.
ObjectHeader *FindLocked(const void *body)
{
    if (body == nullptr) return nullptr;
    ObjectHeader *header = HeaderOf(body);
    return Ob().Live.count(header) ? header : nullptr;
}

const char *TypeName(ObjectHeader *header) { return header->Type && header->Type->Name ? header->Type->Name : "?"; }

// Runs the type's delete routine and frees the object.
void DeleteObject(ObjectHeader *header);
HandleEntry *LookupHandleLocked(const char *routine, HANDLE handle, KPROCESSOR_MODE mode);

}  // namespace

void *ObCreateObject(POBJECT_TYPE type, size_t bodySize)
{
    EnsureBooted();
    auto *header = static_cast<ObjectHeader *>(calloc(1, sizeof(ObjectHeader) + bodySize));
    if (header == nullptr) return nullptr;
    header->Type = type;
    header->PointerCount = 1;
    header->BodySize = bodySize;
    std::lock_guard<RecordLock> guard(Ob().Lock);
    Ob().Live.insert(header);
    return BodyOf(header);
}

NTSTATUS ObInsertHandle(void *body, HANDLE *handle, bool kernelHandle)
{
    ProgramContext *owner = CurrentProgram();
    ObState &s = Ob();
    std::lock_guard<RecordLock> guard(s.Lock);
    ObjectHeader *header = FindLocked(body);
    if (header == nullptr) {
        VerifierViolation("ObInsertHandle", "%p is not an object", body);
        return STATUS_INVALID_PARAMETER;
    }
    ULONG_PTR value = kHandleBase + 4 * ++s.NextHandle;
    s.Handles[value] = HandleEntry{header, kernelHandle, owner};
    ++header->HandleCount;
    ++header->PointerCount;
    *handle = reinterpret_cast<HANDLE>(value);
    return STATUS_SUCCESS;
}

POBJECT_TYPE ObGetObjectType(void *body)
{
    std::lock_guard<RecordLock> guard(Ob().Lock);
    ObjectHeader *header = FindLocked(body);
    return header ? header->Type : nullptr;
}

LONG ObHandleCount(void *body)
{
    std::lock_guard<RecordLock> guard(Ob().Lock);
    ObjectHeader *header = FindLocked(body);
    return header ? header->HandleCount : 0;
}

LONG ObPointerCount(void *body)
{
    std::lock_guard<RecordLock> guard(Ob().Lock);
    ObjectHeader *header = FindLocked(body);
    return header ? static_cast<LONG>(header->PointerCount) : 0;
}

bool ObIsObject(const void *body)
{
    std::lock_guard<RecordLock> guard(Ob().Lock);
    return FindLocked(body) != nullptr;
}

void ObStartup()
{
    std::lock_guard<RecordLock> guard(Ob().Lock);
    Ob().NextHandle = 0;
}

bool SystemThreadsAbandoned();

void ObShutdown(std::vector<std::string> &leaks)
{
    ObState &s = Ob();
    std::unordered_set<ObjectHeader *> live;
    std::map<std::string, int> handlesByType, objectsByType;
    {
        std::lock_guard<RecordLock> guard(s.Lock);
        for (auto &[value, entry] : s.Handles) ++handlesByType[TypeName(entry.Object)];
        for (ObjectHeader *header : s.Live) ++objectsByType[TypeName(header)];
        s.Handles.clear();
        live.swap(s.Live);
    }
    for (auto &[type, n] : handlesByType)
        leaks.push_back(std::to_string(n) + " handle(s) to " + type + " objects still open at shutdown");
    for (auto &[type, n] : objectsByType)
        leaks.push_back(std::to_string(n) + " " + type + " object(s) still referenced at shutdown");
    // Threads left running may still touch their objects: then the memory stays.
    if (SystemThreadsAbandoned()) return;
    for (ObjectHeader *header : live) free(header);
}

}  // namespace qv

using namespace qv;

extern "C" {

NTSTATUS ObReferenceObjectByHandle(HANDLE Handle, ACCESS_MASK DesiredAccess, POBJECT_TYPE ObjectType,
                                   KPROCESSOR_MODE AccessMode, PVOID *Object,
                                   POBJECT_HANDLE_INFORMATION HandleInformation)
{
    QV_VERIFY_IRQL("ObReferenceObjectByHandle");
    ObState &s = Ob();
    std::lock_guard<RecordLock> guard(s.Lock);
    HandleEntry *entry = LookupHandleLocked("ObReferenceObjectByHandle", Handle, AccessMode);
    if (entry == nullptr) return STATUS_INVALID_HANDLE;
    ObjectHeader *header = entry->Object;
    if (ObjectType != nullptr && header->Type != ObjectType) return STATUS_OBJECT_TYPE_MISMATCH;
    ++header->PointerCount;
    *Object = BodyOf(header);
    if (HandleInformation != nullptr) {
        HandleInformation->HandleAttributes = 0;
        HandleInformation->GrantedAccess = DesiredAccess;
    }
    return STATUS_SUCCESS;
}

LONG_PTR ObfReferenceObject(PVOID Object)
{
    QV_VERIFY_IRQL("ObfReferenceObject");
    std::lock_guard<RecordLock> guard(Ob().Lock);
    ObjectHeader *header = FindLocked(Object);
    if (header == nullptr) {
        VerifierViolation("ObfReferenceObject", "%p is not a live object", Object);
        return 0;
    }
    return ++header->PointerCount;
}

LONG_PTR ObfDereferenceObject(PVOID Object)
{
    QV_VERIFY_IRQL("ObfDereferenceObject");
    ObjectHeader *header;
    LONG_PTR count;
    {
        std::lock_guard<RecordLock> guard(Ob().Lock);
        header = FindLocked(Object);
        if (header == nullptr) {
            VerifierViolation("ObfDereferenceObject", "%p is not a live object (dereferenced once too often?)", Object);
            return 0;
        }
        count = --header->PointerCount;
        if (count > 0) return count;
        Ob().Live.erase(header);
        if (header->HandleCount != 0)
            VerifierViolation("ObfDereferenceObject", "last reference to a %s object dropped while %d handle(s) remain",
                              TypeName(header), header->HandleCount);
    }
    // As on Windows, an object whose type has a delete routine is deleted at PASSIVE_LEVEL: a
    // last reference dropped at raised IRQL hands the deletion to a system worker.
    if (header->Type && header->Type->Delete && KeGetCurrentIrql() > PASSIVE_LEVEL) {
        IoQueueSystemWork([](void *h) { DeleteObject(static_cast<ObjectHeader *>(h)); }, header);
        return 0;
    }
    DeleteObject(header);
    return 0;
}

}  // extern "C"

namespace qv {
namespace {

// The handle's entry if the calling thread's context may use it. A handle of another program (or
// of the system process) means nothing here: on Windows it names whatever that table holds.
// Caller holds Ob().Lock.
HandleEntry *LookupHandleLocked(const char *routine, HANDLE handle, KPROCESSOR_MODE mode)
{
    auto it = Ob().Handles.find(reinterpret_cast<ULONG_PTR>(handle));
    if (it == Ob().Handles.end()) return nullptr;
    HandleEntry &entry = it->second;
    if (entry.Kernel) return &entry;
    ProgramContext *context = CurrentProgram();
    if (entry.Owner != context) {
        VerifierViolation(routine, "handle %p belongs to %s but is used in the context of %s (not a kernel handle)",
                          handle, ProgramName(entry.Owner), ProgramName(context));
        return nullptr;
    }
    if (entry.Owner != nullptr && mode == KernelMode)
        VerifierViolation(routine,
                          "user-mode handle %p of %s referenced as a kernel handle (KernelMode access to a "
                          "handle made without OBJ_KERNEL_HANDLE)",
                          handle, ProgramName(entry.Owner));
    return &entry;
}

void DeleteObject(ObjectHeader *header)
{
    void *Object = BodyOf(header);
    if (header->Type && header->Type->Delete) header->Type->Delete(Object);
    // A device extension is object memory: a DPC, timer or waited-on object left in it would be
    // run or signalled in freed memory.
    const char *what = nullptr;
    if (ForgetKernelObjectsIn(Object, header->BodySize, &what))
        VerifierViolation("ObfDereferenceObject", "%s object %p freed while it holds %s", TypeName(header), Object,
                          what);
    free(header);
}

}  // namespace
}  // namespace qv

extern "C" {

NTSTATUS ZwClose(HANDLE Handle)
{
    QV_VERIFY_IRQL("ZwClose");
    ObjectHeader *header;
    bool last;
    {
        ObState &s = Ob();
        std::lock_guard<RecordLock> guard(s.Lock);
        HandleEntry *entry = LookupHandleLocked("ZwClose", Handle, UserMode);
        if (entry == nullptr) {
            VerifierViolation("ZwClose", "invalid handle %p", Handle);
            return STATUS_INVALID_HANDLE;
        }
        header = entry->Object;
        s.Handles.erase(reinterpret_cast<ULONG_PTR>(Handle));
        last = --header->HandleCount == 0;
    }
    if (last && header->Type && header->Type->LastHandleClosed) header->Type->LastHandleClosed(BodyOf(header));
    ObfDereferenceObject(BodyOf(header));
    return STATUS_SUCCESS;
}

}  // extern "C"
