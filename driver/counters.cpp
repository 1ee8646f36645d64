// The gateway's counters: what each link and the port have done since the port was opened, and
// the control request that hands them out.

#include "quorvel.h"

static_assert(sizeof(QUORVEL_COUNTERS) == 24 && sizeof(QUORVEL_LINK_COUNTERS) == 64,
              "the counters record's layout is fixed for its readers");
// The record is packed; the interlocked counts and the 64-bit time inside it must still be
// naturally aligned in the connection.
static_assert(FIELD_OFFSET(ETH_CONNECTION, Counters) % 8 == 0, "the link counters are aligned");

static VOID CountUp(PULONG Counter) { InterlockedIncrement((volatile LONG *)Counter); }

static ULONG ReadCount(const ULONG *Counter)
{
    return (ULONG)InterlockedCompareExchange((volatile LONG *)Counter, 0, 0);
}

VOID CountDrop(PDEVICE_EXTENSION Extension, PETH_CONNECTION Link, QUORVEL_DROP_REASON Reason)
{
    PQUORVEL_LINK_COUNTERS counters = Link != NULL ? &Link->Counters : NULL;
    switch (Reason) {
    case DropNoRoute: InterlockedIncrement(&Extension->NoRouteDrops); return;
    case DropChecksum: InterlockedIncrement(&Extension->ChecksumRejects); return;
    default: break;
    }
    if (counters == NULL) return;
    switch (Reason) {
    case DropLinkDown: CountUp(&counters->requestsLinkDown); break;
    case DropConnecting: CountUp(&counters->requestsConnecting); break;
    case DropTooLong: CountUp(&counters->requestsTooLong); break;
    case DropUnknownTransaction: CountUp(&counters->repliesUnknown); break;
    case DropBadLength: CountUp(&counters->repliesBadLength); break;
    case DropLate: CountUp(&counters->repliesLate); break;
    default: break;
    }
}

VOID CountRequestSent(PETH_CONNECTION Link) { CountUp(&Link->Counters.requestsSent); }

VOID CountReplyDelivered(PETH_CONNECTION Link) { CountUp(&Link->Counters.repliesDelivered); }

static VOID NoteLinkError(PETH_CONNECTION Link, NTSTATUS Status)
{
    LARGE_INTEGER now;
    KeQuerySystemTime(&now);
    KIRQL irql;
    KeAcquireSpinLock(&Link->ReplyLock, &irql);
    Link->Counters.lastError = Status;
    Link->Counters.lastErrorTime = now.QuadPart;
    KeReleaseSpinLock(&Link->ReplyLock, irql);
}

VOID CountConnect(PETH_CONNECTION Link, NTSTATUS Status)
{
    if (NT_SUCCESS(Status)) {
        CountUp(&Link->Counters.connects);
        return;
    }
    CountUp(&Link->Counters.connectFailures);
    NoteLinkError(Link, Status);
}

VOID CountDisconnect(PETH_CONNECTION Link, NTSTATUS Status)
{
    CountUp(&Link->Counters.disconnects);
    if (Status != STATUS_SUCCESS) NoteLinkError(Link, Status);
}

// One link's counts, taken under its ReplyLock so the last error comes with its time.
static VOID SnapshotLink(PETH_CONNECTION Link, PQUORVEL_LINK_COUNTERS Out)
{
    const QUORVEL_LINK_COUNTERS *in = &Link->Counters;
    RtlZeroMemory(Out, sizeof(*Out));
    Out->ip = Link->ip;
    Out->port = Link->port;
    Out->raw = Link->raw;
    // Socket changes under ConnectMutex; a racing read only shows the state a moment early.
    Out->up = ReadUnlocked(&Link->Socket) != NULL ? 1 : 0;
    Out->requestsSent = ReadCount(&in->requestsSent);
    Out->repliesDelivered = ReadCount(&in->repliesDelivered);
    Out->repliesUnknown = ReadCount(&in->repliesUnknown);
    Out->repliesBadLength = ReadCount(&in->repliesBadLength);
    Out->repliesLate = ReadCount(&in->repliesLate);
    Out->requestsLinkDown = ReadCount(&in->requestsLinkDown);
    Out->requestsConnecting = ReadCount(&in->requestsConnecting);
    Out->requestsTooLong = ReadCount(&in->requestsTooLong);
    Out->connects = ReadCount(&in->connects);
    Out->connectFailures = ReadCount(&in->connectFailures);
    Out->disconnects = ReadCount(&in->disconnects);
    KIRQL irql;
    KeAcquireSpinLock(&Link->ReplyLock, &irql);
    Out->lastError = in->lastError;
    Out->lastErrorTime = in->lastErrorTime;
    KeReleaseSpinLock(&Link->ReplyLock, irql);
}

// The request comes on an open handle, so the lists keep their shape while they are walked
// (without ConnectionListLock: ReplyLock may not nest in it). A short buffer gets the size
// needed back with the error, as the settings request does.
// Not pageable: it takes each link's ReplyLock.
NTSTATUS CountersIoctl(PDEVICE_EXTENSION Extension, PIRP Irp, PIO_STACK_LOCATION IrpSp)
{
    ULONG links = 0;
    for (PSINGLE_LIST_ENTRY link = Extension->ConnectionList.Next; link != NULL; link = link->Next) links++;
    ULONG size = sizeof(QUORVEL_COUNTERS) + links * sizeof(QUORVEL_LINK_COUNTERS);

    PUCHAR output = (PUCHAR)Irp->AssociatedIrp.SystemBuffer;
    if (output == NULL || IrpSp->Parameters.DeviceIoControl.OutputBufferLength < size) {
        Irp->IoStatus.Information = size;
        Irp->IoStatus.Status = STATUS_BUFFER_TOO_SMALL;
        return STATUS_BUFFER_TOO_SMALL;
    }

    PQUORVEL_COUNTERS header = (PQUORVEL_COUNTERS)output;
    RtlZeroMemory(header, sizeof(*header));
    header->size = size;
    header->version = QUORVEL_COUNTERS_VERSION;
    header->linkSize = sizeof(QUORVEL_LINK_COUNTERS);
    header->linkCount = links;
    header->checksumRejects = (ULONG)InterlockedCompareExchange(&Extension->ChecksumRejects, 0, 0);
    header->noRoute = (ULONG)InterlockedCompareExchange(&Extension->NoRouteDrops, 0, 0);
    header->exceptionsSent = (ULONG)InterlockedCompareExchange(&Extension->ExceptionsSent, 0, 0);

    // The list holds the last record entry first; the record's order goes out.
    PQUORVEL_LINK_COUNTERS entries = (PQUORVEL_LINK_COUNTERS)(output + sizeof(QUORVEL_COUNTERS));
    ULONG index = links;
    for (PSINGLE_LIST_ENTRY link = Extension->ConnectionList.Next; link != NULL; link = link->Next) {
        QUORVEL_LINK_COUNTERS copy;
        SnapshotLink(CONTAINING_RECORD(link, ETH_CONNECTION, Link), &copy);
        RtlCopyMemory(&entries[--index], &copy, sizeof(copy));
    }
    Irp->IoStatus.Information = size;
    Irp->IoStatus.Status = STATUS_SUCCESS;
    return STATUS_SUCCESS;
}
