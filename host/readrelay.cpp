#include "readrelay.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>

#include "qv/platform.h"

namespace quorvel {

namespace {

// A read that failed, or came back empty at once twice (timeouts someone set to return at
// once), is sent again after this pause, so a port in trouble cannot keep a thread busy.
constexpr std::uint64_t kRetryMicros = 10000;
// Gathering stops when less than this is left in the buffer; the next read starts at its head.
constexpr std::size_t kMinGather = 1024;

std::uint64_t NowMicros()
{
    return std::uint64_t(
        std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now().time_since_epoch())
            .count());
}

}  // namespace

NTSTATUS PortReadRelay::Start(HANDLE port, int terminal, int wake)
{
    PVOID object = nullptr;
    NTSTATUS status;
    {
        // The handle is the program's: taken in its context, as a driver takes a handle a
        // program's request passes it.
        qv::ProgramScope program(qv::DefaultProgram());
        status = ObReferenceObjectByHandle(port, FILE_READ_DATA, *IoFileObjectType, UserMode, &object, nullptr);
    }
    if (!NT_SUCCESS(status)) return status;
    file_ = static_cast<PFILE_OBJECT>(object);
    device_ = IoGetRelatedDeviceObject(file_);
    irp_ = IoAllocateIrp(device_->StackSize, FALSE);
    if (!irp_) {
        ObDereferenceObject(file_);
        file_ = nullptr;
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    terminal_ = terminal;
    wake_ = wake;
    KeInitializeSpinLock(&lock_);
    KeInitializeEvent(&idle_, NotificationEvent, FALSE);
    atPort_ = completed_ = stopping_ = false;
    pumping_ = true;
    fill_ = written_ = 0;
    retryAt_ = 0;
    emptyAtOnce_ = 0;
    bool full = false;
    if (Pump(&full) >= 0 || full) WakeOwner();
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI PortReadRelay::ReadDone(PDEVICE_OBJECT, PIRP Irp, PVOID Context)
{
    auto *self = static_cast<PortReadRelay *>(Context);
    KIRQL irql;
    KeAcquireSpinLock(&self->lock_, &irql);
    self->atPort_ = false;
    self->completed_ = true;
    self->doneStatus_ = Irp->IoStatus.Status;
    self->doneBytes_ = Irp->IoStatus.Information;
    bool take = !self->pumping_;  // else the pump's holder finds the result
    self->pumping_ = true;
    KeReleaseSpinLock(&self->lock_, irql);
    if (take) {
        bool full = false;
        if (self->Pump(&full) >= 0 || full) self->WakeOwner();
    }
    return STATUS_MORE_PROCESSING_REQUIRED;
}

int PortReadRelay::Pump(bool *terminalFull)
{
    *terminalFull = false;
    bool justSent = false;       // the last turn sent the read
    std::size_t sentLength = 0;  // and the length it asked for
    bool writeTried = false;     // the terminal has been offered what the buffer holds
    KIRQL irql;
    KeAcquireSpinLock(&lock_, &irql);
    for (;;) {
        // Every turn starts with the lock held; it is let go only to write the terminal or to
        // send the read.
        if (stopping_) {
            completed_ = false;
            pumping_ = false;
            if (!atPort_) KeSetEvent(&idle_, IO_NO_INCREMENT, FALSE);
            KeReleaseSpinLock(&lock_, irql);
            return -1;
        }
        const bool atOnce = justSent && completed_;  // came back inside its send
        justSent = false;
        bool send = false;
        if (completed_) {
            completed_ = false;
            writeTried = false;
            send = TakeResult(atOnce, sentLength);
        }
        if (!send && written_ < fill_ && !writeTried) {
            KeReleaseSpinLock(&lock_, irql);
            if (!WriteOut()) *terminalFull = true;
            writeTried = true;
            KeAcquireSpinLock(&lock_, &irql);
            continue;  // the read may have come back meanwhile
        }
        if (!send && !atPort_ && retryAt_ == 0 && (written_ == fill_ || sizeof(buffer_) - fill_ >= kMinGather)) {
            // All written: the next read starts at the head. A full terminal: the port's bytes
            // keep coming into the rest of the buffer while it has room.
            if (written_ == fill_) fill_ = written_ = 0;
            send = true;
        }
        if (send) {
            sentLength = PrepareRead();
            justSent = true;
            KeReleaseSpinLock(&lock_, irql);
            IoCallDriver(device_, irp_);
            KeAcquireSpinLock(&lock_, &irql);
            continue;
        }
        const std::uint64_t retryAt = retryAt_;
        pumping_ = false;
        KeReleaseSpinLock(&lock_, irql);
        if (retryAt == 0) return -1;
        std::uint64_t now = NowMicros();
        return retryAt <= now ? 0 : int((retryAt - now + 999) / 1000);
    }
}

bool PortReadRelay::TakeResult(bool atOnce, std::size_t sentLength)
{
    const std::size_t got = std::min(doneBytes_, sizeof(buffer_) - fill_);
    fill_ += got;
    if (!NT_SUCCESS(doneStatus_) && doneStatus_ != STATUS_CANCELLED) {
        retryAt_ = NowMicros() + kRetryMicros;
        return false;
    }
    if (got > 0) {
        emptyAtOnce_ = 0;
        // A read that came back at once short of its length took all the port held: the
        // terminal gets it before the next read goes. Otherwise what else the port holds comes
        // back at once to a read into the rest of the buffer.
        const bool drained = atOnce && got < sentLength;
        return !drained && sizeof(buffer_) - fill_ >= kMinGather;
    }
    if (atOnce && ++emptyAtOnce_ >= 2) {
        emptyAtOnce_ = 0;
        retryAt_ = NowMicros() + kRetryMicros;
    }
    return false;
}

std::size_t PortReadRelay::PrepareRead()
{
    const std::size_t length = sizeof(buffer_) - fill_;
    IoReuseIrp(irp_, STATUS_SUCCESS);
    irp_->RequestorMode = KernelMode;
    irp_->AssociatedIrp.SystemBuffer = buffer_ + fill_;
    PIO_STACK_LOCATION sp = IoGetNextIrpStackLocation(irp_);
    sp->MajorFunction = IRP_MJ_READ;
    sp->Parameters.Read.Length = ULONG(length);
    sp->FileObject = file_;
    IoSetCompletionRoutine(irp_, ReadDone, this, TRUE, TRUE, TRUE);
    atPort_ = true;
    return length;
}

int PortReadRelay::Service(bool *wantWritable)
{
    *wantWritable = false;
    if (!irp_) return -1;
    KIRQL irql;
    KeAcquireSpinLock(&lock_, &irql);
    bool take = !pumping_ && !stopping_;
    if (take) pumping_ = true;
    KeReleaseSpinLock(&lock_, irql);
    if (!take) return -1;
    if (retryAt_ != 0 && NowMicros() >= retryAt_) retryAt_ = 0;
    return Pump(wantWritable);
}

void PortReadRelay::Stop()
{
    if (!irp_) return;
    KIRQL irql;
    KeAcquireSpinLock(&lock_, &irql);
    stopping_ = true;
    KeReleaseSpinLock(&lock_, irql);
    for (;;) {
        KeAcquireSpinLock(&lock_, &irql);
        bool busy = atPort_ || pumping_ || completed_, atPort = atPort_;
        KeReleaseSpinLock(&lock_, irql);
        if (!busy) break;
        // The port gives a cancelled read back at once; a read sent just as the cancel came is
        // cancelled on the next round. The read's own one-second timeout bounds it anyway.
        if (atPort) IoCancelIrp(irp_);
        LARGE_INTEGER pause;
        pause.QuadPart = -5 * 10000LL;
        KeWaitForSingleObject(&idle_, Executive, KernelMode, FALSE, &pause);
    }
    IoFreeIrp(irp_);
    irp_ = nullptr;
    ObDereferenceObject(file_);
    file_ = nullptr;
    device_ = nullptr;
}

bool PortReadRelay::WriteOut()
{
    while (written_ < fill_) {
        ssize_t n = write(terminal_, buffer_ + written_, fill_ - written_);
        if (n > 0) {
            written_ += std::size_t(n);
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else if (n < 0 && errno == EAGAIN) {
            return false;
        } else {
            written_ = fill_;  // the program went away: its bytes go with it, as a line's would
        }
    }
    return true;
}

void PortReadRelay::WakeOwner()
{
    std::uint64_t one = 1;
    (void)!write(wake_, &one, sizeof(one));
}

}  // namespace quorvel
