// Who completes a request that several parties hold (reference bits), and the one routine that
// completes a request.
#include "quorvel.h"

NTSTATUS CompleteRequest(PIRP Irp, NTSTATUS Status)
{
    Irp->IoStatus.Status = Status;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return Status;
}

BOOLEAN TakeBackCancelReference(PULONG Refs, PIRP Irp)
{
    // A cancel routine already running found the exchange done by the I/O manager: it keeps
    // its bit and clears it itself.
    if (!(*Refs & REF_CANCEL) || IoSetCancelRoutine(Irp, NULL) == NULL) return FALSE;
    *Refs &= ~REF_CANCEL;
    return TRUE;
}

// A timer whose DPC is already on its way keeps its bit: that DPC clears it.
static VOID StopTimerReference(PULONG Refs, ULONG Holder, PKTIMER Timer)
{
    if (Timer != NULL && (*Refs & Holder) && KeCancelTimer(Timer)) *Refs &= ~Holder;
}

BOOLEAN LetGoOfRequest(PULONG Refs, ULONG Holder, PIRP Irp, PKTIMER TotalTimer, PKTIMER IntervalTimer)
{
    *Refs &= ~Holder;
    StopTimerReference(Refs, REF_TOTAL_TIMER, TotalTimer);
    StopTimerReference(Refs, REF_INTERVAL_TIMER, IntervalTimer);
    TakeBackCancelReference(Refs, Irp);
    return *Refs == 0;
}
