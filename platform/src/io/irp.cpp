// IRPs: allocation, sending down a device stack, completion, cancellation, and the requests the
// I/O manager builds for kernel callers.
//
// Every IRP block starts with a private header the driver never sees:
//   [IrpHeader][IRP][IO_STACK_LOCATION x StackSize][device of each location x StackSize]
// The header records the IRP's state so that the verifier can tell a second completion or a
// freed IRP from a live one. Freed blocks wait in a short quarantine before their memory is
// reused, so a late access to a freed IRP is reported instead of hitting another request.
#include "io/irp.h"

#include <pthread.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <mutex>
#include <vector>

#include "addresstable.h"
#include "io/iomgr.h"
#include "ke/ke.h"
#include "qv/platform.h"
#include "verifier.h"

namespace qv {

namespace {

RecordLock gIrpLock;  // guards the live set, the quarantine, IRP states and file request lists
AddressTable<> gLive;
std::deque<IrpHeader *> gQuarantine;
constexpr size_t kQuarantine = 64;

// Dispatch routines running on this thread, innermost last.
struct CallFrame {
    PIRP Irp;
    PIO_STACK_LOCATION Sp;
    PDEVICE_OBJECT Device;
    bool Marked;        // the dispatch routine marked its location pending
    bool ChildPending;  // a driver it called returned STATUS_PENDING for the same IRP
};
struct ThreadFrames {
    CallFrame *Frames[64];
    int Count = 0;
    PDEVICE_OBJECT WorkItemDevice = nullptr;
};
thread_local ThreadFrames tFrames;

const char *MajorName(UCHAR major)
{
    static const char *names[] = {"CREATE",
                                  "CREATE_NAMED_PIPE",
                                  "CLOSE",
                                  "READ",
                                  "WRITE",
                                  "QUERY_INFORMATION",
                                  "SET_INFORMATION",
                                  "QUERY_EA",
                                  "SET_EA",
                                  "FLUSH_BUFFERS",
                                  "QUERY_VOLUME_INFORMATION",
                                  "SET_VOLUME_INFORMATION",
                                  "DIRECTORY_CONTROL",
                                  "FILE_SYSTEM_CONTROL",
                                  "DEVICE_CONTROL",
                                  "INTERNAL_DEVICE_CONTROL",
                                  "SHUTDOWN",
                                  "LOCK_CONTROL",
                                  "CLEANUP",
                                  "CREATE_MAILSLOT",
                                  "QUERY_SECURITY",
                                  "SET_SECURITY",
                                  "POWER",
                                  "SYSTEM_CONTROL",
                                  "DEVICE_CHANGE",
                                  "QUERY_QUOTA",
                                  "SET_QUOTA",
                                  "PNP"};
    return major <= IRP_MJ_MAXIMUM_FUNCTION ? names[major] : "?";
}

void ReleaseBlockLocked(IrpHeader *h)
{
    if (h->Pins > 0) {
        h->FreeDeferred = true;
        return;
    }
    gQuarantine.push_back(h);
    if (gQuarantine.size() > kQuarantine) {
        free(gQuarantine.front());
        gQuarantine.pop_front();
    }
}

// Completions that reach their thread as a special kernel APC, from the request's issue until
// the thread could take the APC. Guarded by gIrpLock.
struct ApcCompletion {
    PIRP Irp;           // NULL once the request finished
    const void *Event;  // the request's UserEvent, which the APC sets
    ThreadState *Thread;
};
std::vector<ApcCompletion> &ApcCompletions()
{
    static auto *list = new std::vector<ApcCompletion>;
    return *list;
}

// Caller holds gIrpLock.
void ForgetApcCompletionLocked(PIRP irp)
{
    auto &list = ApcCompletions();
    for (auto it = list.begin(); it != list.end(); ++it) {
        if (it->Irp == irp) {
            list.erase(it);
            return;
        }
    }
}

void FreeIrpLocked(PIRP irp)
{
    if (IrpHeaderOf(irp)->ApcCompletion) ForgetApcCompletionLocked(irp);
    IrpHeader *h = IrpHeaderOf(irp);
    gLive.erase(irp);
    h->Magic = 0;
    h->State = IrpState::Freed;
    if (h->File) {
        RemoveEntryList(&h->FileLink);
        h->File = nullptr;
    }
    ReleaseBlockLocked(h);
}

void ZeroStackLocation(PIO_STACK_LOCATION sp)
{
    PDEVICE_OBJECT keep = sp->DeviceObject;
    memset(sp, 0, sizeof *sp);
    sp->DeviceObject = keep;
}

std::atomic<int> gFinalizing{0};

struct DeferredFinal {
    PIRP Irp;
};

void FinishThreadedIrp(PIRP irp);

void FinishDeferred(void *context) { FinishThreadedIrp(static_cast<PIRP>(context)); }

// Last step of a request the I/O manager built: copy back, status block, event, free. A request
// on a file finishes at PASSIVE_LEVEL (as an APC would on Windows) so that the file's last
// reference, which sends IRP_MJ_CLOSE, is never dropped at DISPATCH_LEVEL.
void FinishThreadedIrp(PIRP irp)
{
    IrpHeader *h = IrpHeaderOf(irp);
    if (h->ApcCompletion) {
        // The APC is queued now; it runs once the thread can take it (at once if that is us).
        std::lock_guard<RecordLock> guard(gIrpLock);
        auto &list = ApcCompletions();
        for (auto it = list.begin(); it != list.end(); ++it) {
            if (it->Irp != irp) continue;
            ThreadState &self = CurrentThreadState();
            if ((h->ApcIfPending && !irp->PendingReturned) || (it->Thread == &self && !SpecialApcsBlocked(self))) {
                list.erase(it);
            } else {
                it->Irp = nullptr;
                it->Thread->UndeliveredApcs.fetch_add(1);
            }
            break;
        }
    }
    NTSTATUS status = irp->IoStatus.Status;
    ULONG_PTR information = irp->IoStatus.Information;
    if (irp->Flags & IRP_BUFFERED_IO) {
        if ((irp->Flags & IRP_INPUT_OPERATION) && !NT_ERROR(status) && h->CopyBackTo && information) {
            ULONG_PTR n = information;
            if (n > h->CopyBackLength) {
                VerifierViolation("IoCompleteRequest",
                                  "IRP %p: Information %lu exceeds the caller's output buffer of %lu bytes", irp,
                                  (unsigned long)information, (unsigned long)h->CopyBackLength);
                n = h->CopyBackLength;
            }
            memcpy(h->CopyBackTo, irp->AssociatedIrp.SystemBuffer, n);
        }
        if (irp->Flags & IRP_DEALLOCATE_BUFFER) free(irp->AssociatedIrp.SystemBuffer);
        irp->AssociatedIrp.SystemBuffer = nullptr;
    }
    if (h->OwnsMdl && irp->MdlAddress) {
        PMDL mdl = irp->MdlAddress;
        irp->MdlAddress = nullptr;
        while (mdl) {
            PMDL next = mdl->Next;
            IoFreeMdl(mdl);
            mdl = next;
        }
    }
    if (irp->UserIosb) {
        irp->UserIosb->Information = information;
        __atomic_store_n(&irp->UserIosb->Status, status, __ATOMIC_RELEASE);
    }
    PKEVENT event = irp->UserEvent;
    IoUserCompletion completion = h->Completion;
    void *completionContext = h->CompletionContext;
    PFILE_OBJECT file = irp->Tail.Overlay.OriginalFileObject;
    {
        std::lock_guard<RecordLock> guard(gIrpLock);
        FreeIrpLocked(irp);
    }
    // The file's reference goes before the requester hears of the completion, so a requester
    // that closes its handle at once sees IRP_MJ_CLOSE happen within CloseHandle.
    if (file) {
        KeSetEvent(IoFileEvent(file), IO_NO_INCREMENT, FALSE);
        ObfDereferenceObject(file);
    }
    if (completion) completion(completionContext, status, information);
    if (event) KeSetEvent(event, IO_NO_INCREMENT, FALSE);
    gFinalizing.fetch_sub(1);
}

}  // namespace

// ---------------------------------------------------------------- shared with the rest of io

void IoCompleteByThreadApc(PIRP irp, bool ifPending)
{
    IrpHeader *h = IrpHeaderOf(irp);
    h->ApcCompletion = true;
    h->ApcIfPending = ifPending;
    std::lock_guard<RecordLock> guard(gIrpLock);
    ApcCompletions().push_back(ApcCompletion{irp, irp->UserEvent, &CurrentThreadState()});
}

void RunThreadFinishes(ThreadState &t)
{
    std::vector<void *> finishes;
    {
        std::lock_guard<RecordLock> guard(DispatcherLock());
        finishes.swap(t.Finishes);
        t.FinishCount.store(0, std::memory_order_relaxed);
    }
    for (void *irp : finishes) FinishThreadedIrp(static_cast<PIRP>(irp));
}

void DeliverThreadApcs(ThreadState &t)
{
    std::lock_guard<RecordLock> guard(gIrpLock);
    auto &list = ApcCompletions();
    for (auto it = list.begin(); it != list.end();) {
        if (it->Thread == &t && it->Irp == nullptr) {
            it = list.erase(it);
            t.UndeliveredApcs.fetch_sub(1);
        } else {
            ++it;
        }
    }
}

bool WaitNeedsThreadApc(ThreadState &t, const void *object)
{
    std::lock_guard<RecordLock> guard(gIrpLock);
    for (const ApcCompletion &c : ApcCompletions()) {
        if (c.Thread != &t || c.Event != object) continue;
        // A deferred create needs the APC only when it was left pending; until it finishes the
        // waiter cannot know, and a create is waited for only after STATUS_PENDING.
        return true;
    }
    return false;
}

void ForgetThreadApcs(ThreadState &t)
{
    std::lock_guard<RecordLock> guard(gIrpLock);
    auto &list = ApcCompletions();
    for (auto it = list.begin(); it != list.end();) {
        if (it->Thread == &t)
            it = list.erase(it);
        else
            ++it;
    }
    t.UndeliveredApcs.store(0);
}

PIRP IoAllocateIrpBlock(CCHAR stackSize, bool threaded)
{
    if (stackSize < 1) {
        VerifierViolation("IoAllocateIrp", "stack size %d; an IRP needs at least one stack location", stackSize);
        return nullptr;
    }
    size_t n = (size_t)stackSize;
    size_t size = sizeof(IrpHeader) + sizeof(IRP) + n * sizeof(IO_STACK_LOCATION) + n * sizeof(PDEVICE_OBJECT);
    auto *h = static_cast<IrpHeader *>(calloc(1, size));
    if (!h) return nullptr;
    h->Magic = kIrpMagic;
    h->State = IrpState::Idle;
    h->Threaded = threaded;
    h->StackSize = stackSize;
    PIRP irp = reinterpret_cast<PIRP>(h + 1);
    auto *stack = reinterpret_cast<PIO_STACK_LOCATION>(irp + 1);
    h->Devices = reinterpret_cast<PDEVICE_OBJECT *>(stack + n);
    irp->Type = 6;
    irp->Size = IoSizeOfIrp(stackSize);
    irp->StackCount = stackSize;
    irp->CurrentLocation = (CHAR)(stackSize + 1);
    irp->Tail.Overlay.CurrentStackLocation = stack + n;
    InitializeListHead(&irp->ThreadListEntry);
    if (threaded) irp->Tail.Overlay.Thread = (PETHREAD)KeGetCurrentThread();
    h->Requester = (uintptr_t)pthread_self();
    h->RequesterState = &CurrentThreadState();
    std::lock_guard<RecordLock> guard(gIrpLock);
    gLive.insert(irp);
    return irp;
}

bool IoIrpIsLive(PIRP irp)
{
    std::lock_guard<RecordLock> guard(gIrpLock);
    return gLive.count(irp) != 0;
}

void IoTrackFileRequest(PIRP irp, PFILE_OBJECT file, LIST_ENTRY *fileList)
{
    std::lock_guard<RecordLock> guard(gIrpLock);
    IrpHeader *h = IrpHeaderOf(irp);
    h->File = file;
    InsertTailList(fileList, &h->FileLink);
}

void IoCancelFileRequestList(LIST_ENTRY *fileList, bool callingThreadOnly, IoRequestMatch match, void *argument)
{
    std::vector<PIRP> pinned;
    {
        std::lock_guard<RecordLock> guard(gIrpLock);
        uintptr_t self = (uintptr_t)pthread_self();
        for (LIST_ENTRY *e = fileList->Flink; e != fileList; e = e->Flink) {
            IrpHeader *h = CONTAINING_RECORD(e, IrpHeader, FileLink);
            if (callingThreadOnly && h->Requester != self) continue;
            if (match && !match(h->CompletionContext, argument)) continue;
            h->Pins++;
            pinned.push_back(reinterpret_cast<PIRP>(h + 1));
        }
    }
    for (PIRP irp : pinned) {
        bool live;
        {
            std::lock_guard<RecordLock> guard(gIrpLock);
            live = gLive.count(irp) != 0;
        }
        if (live) IoCancelIrp(irp);
        std::lock_guard<RecordLock> guard(gIrpLock);
        IrpHeader *h = IrpHeaderOf(irp);
        if (--h->Pins == 0 && h->FreeDeferred) {
            h->FreeDeferred = false;
            ReleaseBlockLocked(h);
        }
    }
}

PDEVICE_OBJECT IoRequestorDevice()
{
    ThreadFrames &t = tFrames;
    // The innermost frame is the request being dispatched (the transport's create, say): the
    // requestor is whoever called it.
    if (t.Count >= 2) return t.Frames[t.Count - 2]->Device;
    if (t.Count == 1) return t.WorkItemDevice;
    return t.WorkItemDevice;
}

void IoSetWorkItemDevice(PDEVICE_OBJECT device) { tFrames.WorkItemDevice = device; }

PDEVICE_OBJECT IoCurrentDevice()
{
    ThreadFrames &t = tFrames;
    if (t.Count >= 1) return t.Frames[t.Count - 1]->Device;
    return t.WorkItemDevice;
}

// Reports the IRPs still inside `device` (IoDeleteDevice calls it). Requests being dispatched
// on the calling thread are the deleting driver's own (a remove request) and do not count.
void IoCheckPendingIrpsOnDelete(PDEVICE_OBJECT device)
{
    std::vector<PIRP> own;
    for (int i = 0; i < tFrames.Count; ++i) own.push_back(tFrames.Frames[i]->Irp);
    std::lock_guard<RecordLock> guard(gIrpLock);
    gLive.ForEach([&](const void *key, NoValue) {
        PIRP irp = static_cast<PIRP>(const_cast<void *>(key));
        IrpHeader *h = IrpHeaderOf(irp);
        if (h->State != IrpState::InDriver && h->State != IrpState::Owned) return;
        if (std::find(own.begin(), own.end(), irp) != own.end()) return;
        for (int k = 0; k < h->StackSize; ++k) {
            if (h->Devices[k] == device) {
                VerifierViolation("IoDeleteDevice", "device %p deleted while IRP %p is still pending in it", device,
                                  irp);
                break;
            }
        }
    });
}

void IrpStartup() {}

void IrpShutdown(std::vector<std::string> &leaks)
{
    while (gFinalizing.load() != 0) sched_yield();
    std::lock_guard<RecordLock> guard(gIrpLock);
    if (!gLive.empty()) {
        leaks.push_back("io: " + std::to_string(gLive.size()) + " IRP(s) never freed or completed");
        gLive.ForEach([](const void *irp, NoValue) {
            IrpHeader *h = IrpHeaderOf(static_cast<PIRP>(const_cast<void *>(irp)));
            if (h->File) RemoveEntryList(&h->FileLink);
            free(h);
        });
        gLive.clear();
    }
    for (IrpHeader *h : gQuarantine) free(h);
    gQuarantine.clear();
}

}  // namespace qv

using namespace qv;

// ---------------------------------------------------------------- kernel routines

extern "C" USHORT IoSizeOfIrp(CCHAR StackSize)
{
    return (USHORT)(sizeof(IRP) + (size_t)StackSize * sizeof(IO_STACK_LOCATION));
}

extern "C" PIRP IoAllocateIrp(CCHAR StackSize, BOOLEAN ChargeQuota)
{
    QV_VERIFY_IRQL("IoAllocateIrp");
    if (ShouldInjectFault("IoAllocateIrp")) return nullptr;
    return IoAllocateIrpBlock(StackSize, false);
}

extern "C" void IoInitializeIrp(PIRP Irp, USHORT PacketSize, CCHAR StackSize)
{
    // Only IRPs from IoAllocateIrp are known to the I/O manager; this re-initialises one.
    memset(Irp, 0, PacketSize);
    Irp->Type = 6;
    Irp->Size = PacketSize;
    Irp->StackCount = StackSize;
    Irp->CurrentLocation = (CHAR)(StackSize + 1);
    Irp->Tail.Overlay.CurrentStackLocation = reinterpret_cast<PIO_STACK_LOCATION>(Irp + 1) + StackSize;
    InitializeListHead(&Irp->ThreadListEntry);
}

extern "C" void IoFreeIrp(PIRP Irp)
{
    QV_VERIFY_IRQL("IoFreeIrp");
    std::lock_guard<RecordLock> guard(gIrpLock);
    if (!gLive.count(Irp)) {
        VerifierViolation("IoFreeIrp", "IRP %p is not allocated (freed twice?)", Irp);
        return;
    }
    IrpHeader *h = IrpHeaderOf(Irp);
    if (h->State == IrpState::InDriver || h->State == IrpState::Completing)
        VerifierViolation("IoFreeIrp", "IRP %p freed while a driver still holds it", Irp);
    if (Irp->CancelRoutine) VerifierViolation("IoFreeIrp", "IRP %p freed with a cancel routine set", Irp);
    FreeIrpLocked(Irp);
}

extern "C" void IoReuseIrp(PIRP Irp, NTSTATUS Iostatus)
{
    QV_VERIFY_IRQL("IoReuseIrp");
    {
        std::lock_guard<RecordLock> guard(gIrpLock);
        if (!gLive.count(Irp)) {
            VerifierViolation("IoReuseIrp", "IRP %p is not allocated", Irp);
            return;
        }
        IrpHeader *h = IrpHeaderOf(Irp);
        if (h->State == IrpState::InDriver || h->State == IrpState::Completing)
            VerifierViolation("IoReuseIrp", "IRP %p reused while a driver still holds it", Irp);
        h->State = IrpState::Idle;
        memset(h->Devices, 0, (size_t)h->StackSize * sizeof(PDEVICE_OBJECT));
    }
    CCHAR stackSize = Irp->StackCount;
    USHORT size = Irp->Size;
    UCHAR allocationFlags = Irp->AllocationFlags;
    IoInitializeIrp(Irp, size, stackSize);
    Irp->AllocationFlags = allocationFlags;
    Irp->IoStatus.Status = Iostatus;
}

extern "C" void IoMarkIrpPending(PIRP Irp)
{
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(Irp);
    sp->Control |= SL_PENDING_RETURNED;
    ThreadFrames &t = tFrames;
    for (int i = t.Count - 1; i >= 0; --i) {
        if (t.Frames[i]->Irp == Irp && t.Frames[i]->Sp == sp) {
            t.Frames[i]->Marked = true;
            break;
        }
    }
}

extern "C" NTSTATUS IofCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    QV_VERIFY_IRQL("IofCallDriver");
    {
        std::lock_guard<RecordLock> guard(gIrpLock);
        if (!gLive.count(Irp)) {
            VerifierViolation("IofCallDriver", "IRP %p is not allocated (already completed and freed?)", Irp);
            return STATUS_INVALID_PARAMETER;
        }
        IrpHeader *h = IrpHeaderOf(Irp);
        if (Irp->CurrentLocation <= 1) {
            VerifierViolation("IofCallDriver", "IRP %p has no stack location left for device %p", Irp, DeviceObject);
            return STATUS_INVALID_PARAMETER;
        }
        if (h->State == IrpState::Done)
            VerifierViolation("IofCallDriver", "IRP %p sent again after its completion", Irp);
        h->State = IrpState::InDriver;
        Irp->CurrentLocation--;
        Irp->Tail.Overlay.CurrentStackLocation--;
        h->Devices[Irp->CurrentLocation - 1] = DeviceObject;
    }
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(Irp);
    sp->DeviceObject = DeviceObject;
    UCHAR major = sp->MajorFunction;
    if (major > IRP_MJ_MAXIMUM_FUNCTION) {
        VerifierViolation("IofCallDriver", "IRP %p has major function %u", Irp, major);
        major = IRP_MJ_MAXIMUM_FUNCTION;
    }
    PDRIVER_OBJECT driver = DeviceObject->DriverObject;
    CallFrame frame{Irp, sp, DeviceObject, false, false};
    ThreadFrames &t = tFrames;
    bool tracked = t.Count < (int)(sizeof t.Frames / sizeof t.Frames[0]);
    if (tracked) t.Frames[t.Count++] = &frame;
    KIRQL irqlBefore = KeGetCurrentIrql();
    int spinLocksBefore = HeldSpinLockCount();
    NTSTATUS status = driver->MajorFunction[major](DeviceObject, Irp);
    if (tracked) t.Count--;
    auto driverName = [driver] {
        std::u16string w(driver->DriverName.Buffer ? driver->DriverName.Buffer : u"",
                         driver->DriverName.Length / sizeof(WCHAR));
        return std::string(w.begin(), w.end());
    };
    if (KeGetCurrentIrql() != irqlBefore || HeldSpinLockCount() != spinLocksBefore)
        VerifierViolation("IofCallDriver",
                          "IRP_MJ_%s routine of %s returned at IRQL %u holding %d spin lock(s); it was called at "
                          "IRQL %u holding %d",
                          MajorName(major), driverName().c_str(), KeGetCurrentIrql(), HeldSpinLockCount(), irqlBefore,
                          spinLocksBefore);
    if (tracked && frame.Marked && status != STATUS_PENDING)
        VerifierViolation("IofCallDriver",
                          "IRP_MJ_%s routine of %s marked IRP %p pending (IoMarkIrpPending) but returned 0x%08x, "
                          "not STATUS_PENDING",
                          MajorName(major), driverName().c_str(), Irp, (unsigned)status);
    if (status == STATUS_PENDING) {
        if (tracked && !frame.Marked && !frame.ChildPending) {
            VerifierViolation("IofCallDriver",
                              "IRP_MJ_%s routine of %s returned STATUS_PENDING for IRP %p without IoMarkIrpPending",
                              MajorName(major), driverName().c_str(), Irp);
        }
        for (int i = t.Count - 1; i >= 0; --i) {
            if (t.Frames[i]->Irp == Irp) {
                t.Frames[i]->ChildPending = true;
                break;
            }
        }
    }
    return status;
}

extern "C" void IofCompleteRequest(PIRP Irp, CCHAR PriorityBoost)
{
    IrpHeader *h;
    {
        std::lock_guard<RecordLock> guard(gIrpLock);
        if (!gLive.count(Irp)) {
            VerifierViolation("IoCompleteRequest", "IRP %p completed twice: it is already completed and freed", Irp);
            return;
        }
        h = IrpHeaderOf(Irp);
        if (h->State == IrpState::Completing || h->State == IrpState::Done) {
            VerifierViolation("IoCompleteRequest", "IRP %p completed twice", Irp);
            return;
        }
        // An IRP handed over without IofCallDriver (a receive IRP a transport client returns from
        // its indication, after IoSetNextIrpStackLocation) has a current location: that is fine.
        if (h->State == IrpState::Idle && Irp->CurrentLocation > Irp->StackCount) {
            VerifierViolation("IoCompleteRequest", "IRP %p completed without having been sent to a driver", Irp);
            return;
        }
        h->State = IrpState::Completing;
    }
    QV_VERIFY_IRQL("IoCompleteRequest");
    if (HeldSpinLockCount() > 0)
        VerifierViolation("IoCompleteRequest", "IRP %p completed while the caller holds %d spin lock(s)", Irp,
                          HeldSpinLockCount());
    if (IoSetCancelRoutine(Irp, nullptr) != nullptr)
        VerifierViolation("IoCompleteRequest", "IRP %p completed with its cancel routine still set", Irp);
    if (Irp->IoStatus.Status == STATUS_PENDING)
        VerifierViolation("IoCompleteRequest", "IRP %p completed with STATUS_PENDING", Irp);

    while (Irp->CurrentLocation <= Irp->StackCount) {
        PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(Irp);
        const CCHAR location = Irp->CurrentLocation;
        Irp->CurrentLocation++;
        Irp->Tail.Overlay.CurrentStackLocation++;
        Irp->PendingReturned = (sp->Control & SL_PENDING_RETURNED) != 0;
        NTSTATUS status = Irp->IoStatus.Status;
        bool invoke = (NT_SUCCESS(status) && (sp->Control & SL_INVOKE_ON_SUCCESS)) ||
                      (!NT_SUCCESS(status) && (sp->Control & SL_INVOKE_ON_ERROR)) ||
                      (__atomic_load_n(&Irp->Cancel, __ATOMIC_SEQ_CST) && (sp->Control & SL_INVOKE_ON_CANCEL));
        PIO_COMPLETION_ROUTINE routine = sp->CompletionRoutine;
        PVOID context = sp->Context;
        ZeroStackLocation(sp);
        {
            std::lock_guard<RecordLock> guard(gIrpLock);
            h->Devices[location - 1] = nullptr;
            // While its routine runs, the IRP belongs to the driver that set it.
            if (invoke && routine) h->State = IrpState::Owned;
        }
        if (invoke && routine) {
            PDEVICE_OBJECT device =
                Irp->CurrentLocation <= Irp->StackCount ? IoGetCurrentIrpStackLocation(Irp)->DeviceObject : nullptr;
            NTSTATUS result = routine(device, Irp, context);
            if (result == STATUS_MORE_PROCESSING_REQUIRED) return;
            std::lock_guard<RecordLock> guard(gIrpLock);
            if (!gLive.count(Irp) || h->State != IrpState::Owned) {
                VerifierViolation("IoCompleteRequest",
                                  "completion routine %p returned 0x%08x for IRP %p it had freed, sent or completed",
                                  (void *)routine, (unsigned)result, Irp);
                return;
            }
            h->State = IrpState::Completing;
        } else if (Irp->PendingReturned && Irp->CurrentLocation <= Irp->StackCount) {
            IoGetCurrentIrpStackLocation(Irp)->Control |= SL_PENDING_RETURNED;
        }
    }
    {
        std::lock_guard<RecordLock> guard(gIrpLock);
        h->State = IrpState::Done;
    }
    if (!h->Threaded) {
        VerifierViolation("IoCompleteRequest",
                          "IRP %p from IoAllocateIrp reached the top of its stack: its completion routine must "
                          "return STATUS_MORE_PROCESSING_REQUIRED",
                          Irp);
        return;
    }
    gFinalizing.fetch_add(1);
    // Above PASSIVE_LEVEL the requester finishes its request itself, as in the special kernel
    // APC Windows queues to it, when it can take one now (it waits, or it completed its own
    // request in a DPC); otherwise a worker thread does.
    if (Irp->Tail.Overlay.OriginalFileObject && KeGetCurrentIrql() > PASSIVE_LEVEL) {
        if (h->ApcCompletion || !HandFinishToThread(static_cast<ThreadState *>(h->RequesterState), Irp))
            IoQueueSystemWork(FinishDeferred, Irp);
    } else {
        FinishThreadedIrp(Irp);
    }
}

extern "C" BOOLEAN IoCancelIrp(PIRP Irp)
{
    QV_VERIFY_IRQL("IoCancelIrp");
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    // Set before the routine is taken, so that a driver that installs its routine and then
    // tests Cancel cannot miss both. Atomic: a completion may be reading it at this moment.
    __atomic_store_n(&Irp->Cancel, (BOOLEAN)TRUE, __ATOMIC_SEQ_CST);
    PDRIVER_CANCEL routine = IoSetCancelRoutine(Irp, nullptr);
    if (routine) {
        Irp->CancelIrql = irql;
        PDEVICE_OBJECT device =
            Irp->CurrentLocation <= Irp->StackCount ? IoGetCurrentIrpStackLocation(Irp)->DeviceObject : nullptr;
        routine(device, Irp);
        return TRUE;
    }
    IoReleaseCancelSpinLock(irql);
    return FALSE;
}

namespace {

// Fills the buffers of a request built for a kernel or user-mode caller by the device's method.
bool SetUpBuffers(PIRP irp, IrpHeader *h, ULONG method, PVOID in, ULONG inLength, PVOID out, ULONG outLength)
{
    PIO_STACK_LOCATION sp = IoGetNextIrpStackLocation(irp);
    switch (method) {
    case METHOD_BUFFERED: {
        ULONG size = std::max(inLength, outLength);
        if (size) {
            // As on Windows, nothing past the input is initialised: a driver that reports more than
            // it wrote hands the caller whatever the pool held.
            void *buffer = malloc(size);
            if (!buffer) return false;
            if (in && inLength) memcpy(buffer, in, inLength);
            irp->AssociatedIrp.SystemBuffer = buffer;
            irp->Flags |= IRP_BUFFERED_IO | IRP_DEALLOCATE_BUFFER;
            if (out && outLength) {
                irp->Flags |= IRP_INPUT_OPERATION;
                h->CopyBackTo = out;
                h->CopyBackLength = outLength;
            }
        }
        irp->UserBuffer = out;
        break;
    }
    case METHOD_IN_DIRECT:
    case METHOD_OUT_DIRECT:
        if (in && inLength) {
            void *buffer = malloc(inLength);
            if (!buffer) return false;
            memcpy(buffer, in, inLength);
            irp->AssociatedIrp.SystemBuffer = buffer;
            irp->Flags |= IRP_BUFFERED_IO | IRP_DEALLOCATE_BUFFER;
        }
        if (out && outLength) {
            PMDL mdl = IoAllocateMdl(out, outLength, FALSE, FALSE, nullptr);
            if (!mdl) return false;
            MmBuildMdlForNonPagedPool(mdl);
            irp->MdlAddress = mdl;
            h->OwnsMdl = true;
        }
        irp->UserBuffer = out;
        break;
    default:
        sp->Parameters.DeviceIoControl.Type3InputBuffer = in;
        irp->UserBuffer = out;
        break;
    }
    return true;
}

void DiscardBuiltIrp(PIRP irp)
{
    IrpHeader *h = IrpHeaderOf(irp);
    if ((irp->Flags & IRP_DEALLOCATE_BUFFER)) free(irp->AssociatedIrp.SystemBuffer);
    if (h->OwnsMdl && irp->MdlAddress) IoFreeMdl(irp->MdlAddress);
    std::lock_guard<RecordLock> guard(gIrpLock);
    FreeIrpLocked(irp);
}

}  // namespace

namespace qv {

PIRP IoBuildRequest(PDEVICE_OBJECT device, UCHAR major, ULONG code, PVOID in, ULONG inLength, PVOID out,
                    ULONG outLength)
{
    PIRP irp = IoAllocateIrpBlock(device->StackSize, true);
    if (!irp) return nullptr;
    IrpHeader *h = IrpHeaderOf(irp);
    irp->RequestorMode = KernelMode;
    PIO_STACK_LOCATION sp = IoGetNextIrpStackLocation(irp);
    sp->MajorFunction = major;
    ULONG method;
    switch (major) {
    case IRP_MJ_DEVICE_CONTROL:
    case IRP_MJ_INTERNAL_DEVICE_CONTROL:
        sp->Parameters.DeviceIoControl.IoControlCode = code;
        sp->Parameters.DeviceIoControl.InputBufferLength = inLength;
        sp->Parameters.DeviceIoControl.OutputBufferLength = outLength;
        method = code & 3;
        break;
    case IRP_MJ_READ:
    case IRP_MJ_WRITE:
        sp->Parameters.Read.Length = major == IRP_MJ_READ ? outLength : inLength;
        method = (device->Flags & DO_BUFFERED_IO) ? METHOD_BUFFERED
                 : (device->Flags & DO_DIRECT_IO) ? METHOD_OUT_DIRECT
                                                  : METHOD_NEITHER;
        if (method == METHOD_OUT_DIRECT && major == IRP_MJ_WRITE) {
            // Direct writes describe the caller's data with an MDL, nothing to copy.
            std::swap(in, out);
            std::swap(inLength, outLength);
        }
        if (method == METHOD_NEITHER) {
            irp->UserBuffer = major == IRP_MJ_READ ? out : in;
            return irp;
        }
        break;
    default: return irp;
    }
    if (!SetUpBuffers(irp, h, method, in, inLength, out, outLength)) {
        DiscardBuiltIrp(irp);
        return nullptr;
    }
    if (major == IRP_MJ_WRITE && method == METHOD_OUT_DIRECT) irp->UserBuffer = out;
    return irp;
}

void IoDiscardRequest(PIRP irp) { DiscardBuiltIrp(irp); }

void IoSetUserCompletion(PIRP irp, IoUserCompletion completion, void *context)
{
    IrpHeader *h = IrpHeaderOf(irp);
    h->Completion = completion;
    h->CompletionContext = context;
}

}  // namespace qv

extern "C" PIRP IoBuildDeviceIoControlRequest(ULONG IoControlCode, PDEVICE_OBJECT DeviceObject, PVOID InputBuffer,
                                              ULONG InputBufferLength, PVOID OutputBuffer, ULONG OutputBufferLength,
                                              BOOLEAN InternalDeviceIoControl, PKEVENT Event,
                                              PIO_STATUS_BLOCK IoStatusBlock)
{
    QV_VERIFY_IRQL("IoBuildDeviceIoControlRequest");
    PIRP irp =
        IoBuildRequest(DeviceObject, InternalDeviceIoControl ? IRP_MJ_INTERNAL_DEVICE_CONTROL : IRP_MJ_DEVICE_CONTROL,
                       IoControlCode, InputBuffer, InputBufferLength, OutputBuffer, OutputBufferLength);
    if (!irp) return nullptr;
    irp->UserEvent = Event;
    irp->UserIosb = IoStatusBlock;
    // Queued to the thread: the I/O manager finishes it with a special kernel APC.
    if (Event) IoCompleteByThreadApc(irp, false);
    return irp;
}

extern "C" PIRP IoBuildSynchronousFsdRequest(ULONG MajorFunction, PDEVICE_OBJECT DeviceObject, PVOID Buffer,
                                             ULONG Length, PLARGE_INTEGER StartingOffset, PKEVENT Event,
                                             PIO_STATUS_BLOCK IoStatusBlock)
{
    QV_VERIFY_IRQL("IoBuildSynchronousFsdRequest");
    PIRP irp;
    if (MajorFunction == IRP_MJ_READ)
        irp = IoBuildRequest(DeviceObject, IRP_MJ_READ, 0, nullptr, 0, Buffer, Length);
    else if (MajorFunction == IRP_MJ_WRITE)
        irp = IoBuildRequest(DeviceObject, IRP_MJ_WRITE, 0, Buffer, Length, nullptr, 0);
    else
        irp = IoBuildRequest(DeviceObject, (UCHAR)MajorFunction, 0, nullptr, 0, nullptr, 0);
    if (!irp) return nullptr;
    if (StartingOffset && (MajorFunction == IRP_MJ_READ || MajorFunction == IRP_MJ_WRITE))
        IoGetNextIrpStackLocation(irp)->Parameters.Read.ByteOffset = *StartingOffset;
    irp->UserEvent = Event;
    irp->UserIosb = IoStatusBlock;
    if (Event) IoCompleteByThreadApc(irp, false);
    return irp;
}

namespace qv {

size_t OutstandingIrpCount()
{
    std::lock_guard<RecordLock> guard(gIrpLock);
    return gLive.size();
}

}  // namespace qv

namespace qv {

// The I/O manager's boot hooks live here, in the file every user of the I/O manager links, so
// that a static link never leaves them out.
NTSTATUS IoStartup(const BootConfig &)
{
    IrpStartup();
    WorkerStartup();
    return STATUS_SUCCESS;
}

void IoShutdown(PlatformReport &report)
{
    // Workers first: their routines and the requests they finish may still free what is
    // reported below.
    WorkerShutdown(report.Leaks);
    DevnodeShutdown(report.Leaks);
    FileShutdown(report.Leaks);
    NamespaceShutdown(report.Leaks);
    IrpShutdown(report.Leaks);
    MdlShutdown(report.Leaks);
}

}  // namespace qv
