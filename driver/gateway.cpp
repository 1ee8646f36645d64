// The gateway proper: a frame written to the port goes to the server of its device id as a
// Modbus TCP request (or unchanged on a raw connection), and the server's reply comes back
// in the framing of the request.

#include "quorvel.h"

static_assert(ETH_REPLY_BUFFER_SIZE == VUART_RX_FIFO_SIZE - 2 + MBAP_HEADER_SIZE,
              "the reply buffer holds exactly the largest reply whose RTU frame fits the FIFO");

// Decodes the written frame into Request->Data: RTU is tried first, then ASCII. Mode stays
// FRAME_MODE_NONE for anything else.
NTSTATUS ParseRequest(PMODBUS_REQUEST Request)
{
    PUCHAR frame = Request->Frame;
    ULONG frameLength = Request->FrameLength;

    if (IsRtuFrame(frame, frameLength)) {
        ULONG dataLength = frameLength - 2;
        PUCHAR data = (PUCHAR)ExAllocatePoolWithTag(NonPagedPool, dataLength, QUORVEL_TAG);
        if (data == NULL) return STATUS_INSUFFICIENT_RESOURCES;
        RtlCopyMemory(data, frame, dataLength);
        Request->Data = data;
        Request->DataLength = (USHORT)dataLength;
        Request->Mode = FRAME_MODE_RTU;
        Request->DeviceId = data[0];
        return STATUS_SUCCESS;
    }

    if (IsAsciiFrame(frame, frameLength)) {
        ULONG capacity = frameLength - 5;
        PUCHAR data = (PUCHAR)ExAllocatePoolWithTag(NonPagedPool, capacity, QUORVEL_TAG);
        if (data == NULL) return STATUS_INSUFFICIENT_RESOURCES;
        Request->Data = data;
        Request->DataLength = (USHORT)DecodeAsciiFrame(frame, frameLength, data, capacity);
        Request->Mode = FRAME_MODE_ASCII;
        Request->DeviceId = data[0];
        return STATUS_SUCCESS;
    }

    Request->Mode = FRAME_MODE_NONE;
    return STATUS_SUCCESS;
}

// Completes the MBAP header of a zero-filled request buffer of Length bytes (Length - 6 bytes
// follow the length field). Called under ConnectMutex. The transaction id goes out low byte
// first; servers echo it unchanged, so only its matching matters.
VOID FillMbapHeader(PETH_CONNECTION Connection, PUCHAR Buffer, ULONG Length)
{
    ASSERT(Length > MBAP_HEADER_SIZE && Length - MBAP_HEADER_SIZE <= 0xFFFF);
    if (Length <= MBAP_HEADER_SIZE || Length - MBAP_HEADER_SIZE > 0xFFFF) return;

    USHORT id = (USHORT)(Connection->TransactionId + 1);
    if (id == 0) id = 1;
    WriteUnlocked(&Connection->TransactionId, id);
    Buffer[0] = (UCHAR)(id & 0xFF);
    Buffer[1] = (UCHAR)(id >> 8);

    USHORT length = (USHORT)(Length - MBAP_HEADER_SIZE);
    Buffer[4] = (UCHAR)(length & 0xFF);
    Buffer[5] = (UCHAR)(length >> 8);
    SwapBytePairs(Buffer + 4, 2);
}

VOID ResetReplyStream(PETH_CONNECTION Connection)
{
    KIRQL irql;
    KeAcquireSpinLock(&Connection->ReplyLock, &irql);
    Connection->ReplyLength = 0;
    Connection->ReplySkip = 0;
    KeReleaseSpinLock(&Connection->ReplyLock, irql);
}

// A connection costs its reassembly buffer only while its link is up: a port may be configured
// with very many connections and use few of them.
NTSTATUS AllocateReplyBuffer(PETH_CONNECTION Connection)
{
    if (Connection->raw != 0) return STATUS_SUCCESS;
    PUCHAR buffer = (PUCHAR)ExAllocatePoolWithTag(NonPagedPool, ETH_REPLY_BUFFER_SIZE, QUORVEL_TAG);
    if (buffer == NULL) return STATUS_INSUFFICIENT_RESOURCES;
    KIRQL irql;
    KeAcquireSpinLock(&Connection->ReplyLock, &irql);
    PUCHAR old = Connection->ReplyBuffer;
    Connection->ReplyBuffer = buffer;
    Connection->ReplyLength = 0;
    Connection->ReplySkip = 0;
    KeReleaseSpinLock(&Connection->ReplyLock, irql);
    if (old != NULL) ExFreePoolWithTag(old, QUORVEL_TAG);
    return STATUS_SUCCESS;
}

VOID FreeReplyBuffer(PETH_CONNECTION Connection)
{
    KIRQL irql;
    KeAcquireSpinLock(&Connection->ReplyLock, &irql);
    PUCHAR buffer = Connection->ReplyBuffer;
    Connection->ReplyBuffer = NULL;
    Connection->ReplyLength = 0;
    Connection->ReplySkip = 0;
    KeReleaseSpinLock(&Connection->ReplyLock, irql);
    if (buffer != NULL) ExFreePoolWithTag(buffer, QUORVEL_TAG);
}

// Called by the write path for every non-empty write, at PASSIVE_LEVEL, before the write is
// queued. Only a failure status fails the write: unrecognised frames, unserved device ids and
// writes during a connect are dropped with success. STATUS_TIMEOUT says the request waits for
// the connection thread.
NTSTATUS ForwardRequest(PDEVICE_EXTENSION Extension, PUCHAR Frame, ULONG Length)
{
    // No Modbus frame is longer; a longer write is not a frame and is not looked at.
    if (Frame == NULL || Length == 0 || Length > MODBUS_MAX_FRAME) return STATUS_SUCCESS;

    MODBUS_REQUEST request;
    RtlZeroMemory(&request, sizeof(request));
    request.Frame = Frame;
    request.FrameLength = (USHORT)Length;

    NTSTATUS status = ParseRequest(&request);
    if (!NT_SUCCESS(status)) return status;
    if (request.Mode != FRAME_MODE_RTU && request.Mode != FRAME_MODE_ASCII) return STATUS_SUCCESS;

    PETH_CONNECTION connection = FindConnectionByDeviceID(Extension, request.DeviceId);
    if (connection == NULL) {
        ExFreePoolWithTag(request.Data, QUORVEL_TAG);
        return STATUS_SUCCESS;
    }

    // Sizes in 32 bits: an RTU frame near 64 KB would wrap content + 6 at 16 bits. Such a
    // request cannot be carried by the MBAP length anyway and is dropped like an
    // unrecognised frame.
    ULONG size = connection->raw != 0 ? (ULONG)request.FrameLength : (ULONG)request.DataLength + MBAP_HEADER_SIZE;
    if (size > MODBUS_MAX_FRAME) {
        ExFreePoolWithTag(request.Data, QUORVEL_TAG);
        return STATUS_SUCCESS;
    }

    // Replies follow the framing of the newest request, even one dropped below.
    WriteUnlocked(&connection->Mode, request.Mode);

    // Never wait: a write must not block behind a connect or another write.
    if (!TryToAcquireConnectMutex(Extension)) {
        ExFreePoolWithTag(request.Data, QUORVEL_TAG);
        return STATUS_SUCCESS;
    }

    PUCHAR buffer = (PUCHAR)ExAllocatePoolWithTag(NonPagedPool, size, QUORVEL_TAG);
    if (buffer == NULL) {
        ReleaseConnectMutex(Extension);
        ExFreePoolWithTag(request.Data, QUORVEL_TAG);
        return STATUS_INSUFFICIENT_RESOURCES;
    }

    if (connection->raw != 0) {
        RtlCopyMemory(buffer, request.Frame, size);
    } else {
        RtlZeroMemory(buffer, size);
        RtlCopyMemory(buffer + MBAP_HEADER_SIZE, request.Data, request.DataLength);
        FillMbapHeader(connection, buffer, size);
    }

    // A reply still being gathered belongs to an older request.
    ResetReplyStream(connection);

    status = SendDataToLinkServer(connection, buffer, size);
    if (status != STATUS_SUCCESS) {
        // Park the request for the connection thread, which connects this connection and
        // sends it there once. Only the newest request is kept.
        if (Extension->PendingData != NULL) ExFreePool(Extension->PendingData);
        Extension->PendingData = buffer;
        Extension->PendingLength = size;
        Extension->PendingConnection = connection;
        connection->NeedConnection = 1;
        KeSetEvent(&Extension->ConnectEvent, IO_NO_INCREMENT, FALSE);
        status = STATUS_TIMEOUT;
    } else {
        ExFreePoolWithTag(buffer, QUORVEL_TAG);
    }

    ReleaseConnectMutex(Extension);
    ExFreePoolWithTag(request.Data, QUORVEL_TAG);
    return status;
}

// Turns one complete converted reply (MBAP header and Content bytes) into the framing of the
// connection's last request, written over the start of the FIFO. Returns TRUE when a frame
// was placed. Called under DeviceLock.
static BOOLEAN PlaceReply(PDEVICE_EXTENSION Extension, PETH_CONNECTION Connection, const UCHAR *Reply, ULONG Content)
{
    // A late reply to an earlier request, or stray data: the FIFO is left as it is.
    USHORT id = (USHORT)(Reply[0] | (Reply[1] << 8));
    if (id != ReadUnlocked(&Connection->TransactionId)) return FALSE;

    PUCHAR fifo = Extension->Uart.RxFifo;
    if (fifo == NULL) return FALSE;  // the port's UART is gone: nowhere to put it

    // Encoded straight into the FIFO; a frame that would not fit writes nothing and is dropped.
    ULONG frameLength;
    if (ReadUnlocked(&Connection->Mode) == FRAME_MODE_RTU) {
        frameLength = EncodeRtuFrame(Reply + MBAP_HEADER_SIZE, Content, fifo, VUART_RX_FIFO_SIZE);
    } else {
        frameLength = EncodeAsciiFrame(Reply + MBAP_HEADER_SIZE, Content, fifo, VUART_RX_FIFO_SIZE);
    }
    ULONG count = frameLength < Extension->RxRingSize ? frameLength : Extension->RxRingSize;
    Extension->Uart.RxCount = count;
    return count != 0 ? TRUE : FALSE;
}

static VOID ProcessRawData(PDEVICE_EXTENSION Extension, PUCHAR Data, ULONG Length, PREPLY_PLACED_ROUTINE ReplyPlaced)
{
    PUCHAR fifo = Extension->Uart.RxFifo;
    if (fifo == NULL) return;
    ULONG count = Length < Extension->RxRingSize ? Length : Extension->RxRingSize;
    if (count > VUART_RX_FIFO_SIZE) count = VUART_RX_FIFO_SIZE;
    RtlCopyMemory(fifo, Data, count);
    Extension->Uart.RxCount = count;
    if (count != 0 && ReplyPlaced != NULL) ReplyPlaced(Extension);
}

// The receive indication's entry, at DISPATCH_LEVEL holding DeviceLock. A converted
// connection's bytes are gathered by MBAP length (the header is never read before its six
// bytes are there, and the indicated data is never written); each complete reply is checked
// and placed, and ReplyPlaced drains it before the next is looked at. A reply too long for
// the FIFO is skipped whole. A raw connection's block is placed as it is.
ULONG ProcessIncomingData(PDEVICE_EXTENSION Extension, PETH_CONNECTION Connection, PUCHAR Data, ULONG Length,
                          PREPLY_PLACED_ROUTINE ReplyPlaced)
{
    DbgPrint("ProcessIncomingData length = %u\n", Length);
    if (Data == NULL || Length == 0) return 0;

    if (Connection->raw != 0) {
        ProcessRawData(Extension, Data, Length, ReplyPlaced);
        return Length;
    }

    KIRQL irql;
    KeAcquireSpinLock(&Connection->ReplyLock, &irql);
    ULONG offset = 0;
    for (;;) {
        ULONG available = Length - offset;

        if (Connection->ReplySkip != 0) {
            if (available == 0) break;
            ULONG n = available < Connection->ReplySkip ? available : Connection->ReplySkip;
            Connection->ReplySkip -= n;
            offset += n;
            continue;
        }

        // Re-read each turn: ReplyLock is let go while a placed reply is drained.
        PUCHAR buffer = Connection->ReplyBuffer;
        if (buffer == NULL) break;  // the link that owned the stream is gone: the rest is dropped
        if (Connection->ReplyLength < MBAP_HEADER_SIZE) {
            if (available == 0) break;
            ULONG n = MBAP_HEADER_SIZE - Connection->ReplyLength;
            if (n > available) n = available;
            RtlCopyMemory(buffer + Connection->ReplyLength, Data + offset, n);
            Connection->ReplyLength += n;
            offset += n;
            continue;
        }

        // Length field high byte first, read into a local.
        ULONG content = ((ULONG)buffer[4] << 8) | buffer[5];
        ULONG total = content + MBAP_HEADER_SIZE;
        if (total > ETH_REPLY_BUFFER_SIZE) {
            // No framing of it fits the FIFO: drop it whole, its rest included.
            Connection->ReplySkip = total - Connection->ReplyLength;
            Connection->ReplyLength = 0;
            if (Extension->Uart.RxFifo != NULL) Extension->Uart.RxCount = 0;
            continue;
        }

        ULONG n = total - Connection->ReplyLength;
        if (n > available) n = available;
        RtlCopyMemory(buffer + Connection->ReplyLength, Data + offset, n);
        Connection->ReplyLength += n;
        offset += n;
        if (Connection->ReplyLength < total) break;  // the rest comes with a later block

        Connection->ReplyLength = 0;
        if (PlaceReply(Extension, Connection, buffer, content) && ReplyPlaced != NULL) {
            KeReleaseSpinLock(&Connection->ReplyLock, irql);
            ReplyPlaced(Extension);
            KeAcquireSpinLock(&Connection->ReplyLock, &irql);
        }
    }
    KeReleaseSpinLock(&Connection->ReplyLock, irql);
    return Length;
}
