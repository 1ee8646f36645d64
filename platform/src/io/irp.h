// IRP internals: the private header in front of every IRP and the builders the I/O manager's
// own requests use.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "io/iomgr.h"
#include "wdm.h"

namespace qv {

enum class IrpState : uint8_t {
    Idle,        // allocated or reused, not sent
    InDriver,    // sent with IofCallDriver, not completed
    Completing,  // IoCompleteRequest is walking its stack
    Owned,       // a completion routine took it back (STATUS_MORE_PROCESSING_REQUIRED)
    Done,        // completion reached the top
    Freed,
};

constexpr uint32_t kIrpMagic = 0x50524951;  // "QIRP"

// Guarded by the IRP lock of irp.cpp, except the fields set while building the request.
struct alignas(16) IrpHeader {
    uint32_t Magic;
    IrpState State;
    bool Threaded;       // built by the I/O manager: finished and freed at the top of completion
    bool OwnsMdl;        // the MDL chain was built for the request and goes with it
    bool FreeDeferred;   // freed while pinned by a cancel walk
    bool ApcCompletion;  // finished by a special kernel APC to the thread that built it
    bool ApcIfPending;   // ... only when a driver returned STATUS_PENDING (deferred completion)
    int Pins;
    CCHAR StackSize;
    uintptr_t Requester;   // thread that built it (CancelIo cancels the caller's requests)
    void *RequesterState;  // its kernel thread state: the thread that may finish the request
    PFILE_OBJECT File;     // file whose request list holds it
    LIST_ENTRY FileLink;
    void *CopyBackTo;  // buffered output: the caller's buffer and its size
    ULONG CopyBackLength;
    IoUserCompletion Completion;
    void *CompletionContext;
    PDEVICE_OBJECT *Devices;  // the device each stack location was sent to, while it is there
};
static_assert(sizeof(IrpHeader) % 16 == 0, "the IRP must follow its header aligned");

inline IrpHeader *IrpHeaderOf(PIRP irp) { return reinterpret_cast<IrpHeader *>(irp) - 1; }

PIRP IoAllocateIrpBlock(CCHAR stackSize, bool threaded);
bool IoIrpIsLive(PIRP irp);
// A threaded request for `device` with its buffers set up by the major function and method;
// the caller fills the rest of the next stack location. NULL when out of memory.
PIRP IoBuildRequest(PDEVICE_OBJECT device, UCHAR major, ULONG code, PVOID in, ULONG inLength, PVOID out,
                    ULONG outLength);
void IoDiscardRequest(PIRP irp);
void IoSetUserCompletion(PIRP irp, IoUserCompletion completion, void *context);
void IoTrackFileRequest(PIRP irp, PFILE_OBJECT file, LIST_ENTRY *fileList);
void IoCancelFileRequestList(LIST_ENTRY *fileList, bool callingThreadOnly, IoRequestMatch match, void *argument);
void IoCheckPendingIrpsOnDelete(PDEVICE_OBJECT device);
void IoSetWorkItemDevice(PDEVICE_OBJECT device);
// The request's last step (status block, event) reaches the calling thread as a special kernel
// APC, as for a thread-queued synchronous request; `ifPending`: only when its completion was
// deferred (a create). Its UserEvent must be set.
void IoCompleteByThreadApc(PIRP irp, bool ifPending);

}  // namespace qv
