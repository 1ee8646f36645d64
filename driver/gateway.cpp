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

// Puts Buffer (or NULL) in place of the connection's reply buffer, with an empty stream, and
// frees the old one outside ReplyLock.
static VOID ReplaceReplyBuffer(PETH_CONNECTION Connection, PUCHAR Buffer)
{
    KIRQL irql;
    KeAcquireSpinLock(&Connection->ReplyLock, &irql);
    PUCHAR old = Connection->ReplyBuffer;
    Connection->ReplyBuffer = Buffer;
    Connection->ReplyLength = 0;
    Connection->ReplySkip = 0;
    KeReleaseSpinLock(&Connection->ReplyLock, irql);
    if (old != NULL) ExFreePoolWithTag(old, QUORVEL_TAG);
}

// A connection costs its reassembly buffer only while its link is up: a port may be configured
// with very many connections and use few of them. Raw connections gather their frames in it too.
NTSTATUS AllocateReplyBuffer(PETH_CONNECTION Connection)
{
    PUCHAR buffer = (PUCHAR)ExAllocatePoolWithTag(NonPagedPool, ETH_REPLY_BUFFER_SIZE, QUORVEL_TAG);
    if (buffer == NULL) return STATUS_INSUFFICIENT_RESOURCES;
    ReplaceReplyBuffer(Connection, buffer);
    return STATUS_SUCCESS;
}

VOID FreeReplyBuffer(PETH_CONNECTION Connection) { ReplaceReplyBuffer(Connection, NULL); }

// Makes Request the connection's one transaction: its predecessor is over, a part reply to it
// is forgotten. A broadcast (device id 0) is never answered, so nothing is awaited for it.
static VOID StartTransaction(PETH_CONNECTION Connection, PMODBUS_REQUEST Request, LONG Serial)
{
    ULONGLONG now = KeQueryInterruptTime();
    KIRQL irql;
    KeAcquireSpinLock(&Connection->ReplyLock, &irql);
    Connection->ReplyLength = 0;
    Connection->ReplySkip = 0;
    Connection->Mode = Request->Mode;
    Connection->AwaitUnit = Request->DeviceId;
    Connection->AwaitFunction = Request->DataLength > 1 ? Request->Data[1] : 0;
    Connection->AwaitSerial = Serial;
    Connection->AwaitSince = now;
    Connection->TimedOut = FALSE;
    Connection->Awaiting = Request->DeviceId != 0 ? TRUE : FALSE;
    KeReleaseSpinLock(&Connection->ReplyLock, irql);
}

// Builds the request for one connection: the frame itself on a raw connection, else MBAP header
// and content. Under ConnectMutex; NULL when out of memory.
static PUCHAR BuildRequest(PETH_CONNECTION Connection, PMODBUS_REQUEST Request, ULONG Size)
{
    PUCHAR buffer = (PUCHAR)ExAllocatePoolWithTag(NonPagedPool, Size, QUORVEL_TAG);
    if (buffer == NULL) return NULL;
    if (Connection->raw != 0) {
        RtlCopyMemory(buffer, Request->Frame, Size);
    } else {
        RtlZeroMemory(buffer, Size);
        RtlCopyMemory(buffer + MBAP_HEADER_SIZE, Request->Data, Request->DataLength);
        FillMbapHeader(Connection, buffer, Size);
    }
    return buffer;
}

static ULONG RequestSize(PETH_CONNECTION Connection, PMODBUS_REQUEST Request)
{
    return Connection->raw != 0 ? (ULONG)Request->FrameLength : (ULONG)Request->DataLength + MBAP_HEADER_SIZE;
}

// A broadcast that no entry lists device 0 for goes to every server whose link is up, as on a
// serial line every device hears it. It is never answered and never parked: a link that is
// down misses it, as a master expects of an unconfirmed broadcast. Under ConnectMutex; the
// list keeps its shape while the port is open.
static NTSTATUS ForwardBroadcast(PDEVICE_EXTENSION Extension, PMODBUS_REQUEST Request, LONG Serial)
{
    for (PSINGLE_LIST_ENTRY link = Extension->ConnectionList.Next; link != NULL; link = link->Next) {
        PETH_CONNECTION connection = CONTAINING_RECORD(link, ETH_CONNECTION, Link);
        ULONG size = RequestSize(connection, Request);
        if (connection->Socket == NULL || size > MODBUS_MAX_FRAME) continue;
        PUCHAR buffer = BuildRequest(connection, Request, size);
        if (buffer == NULL) return STATUS_INSUFFICIENT_RESOURCES;
        StartTransaction(connection, Request, Serial);
        MonitorEvent(Extension, MonitorSent, Request->Mode, connection, buffer, size);
        SendDataToLinkServer(connection, buffer, size);
        ExFreePoolWithTag(buffer, QUORVEL_TAG);
    }
    return STATUS_SUCCESS;
}

static VOID ArmResponseTimer(PDEVICE_EXTENSION Extension, PETH_CONNECTION Connection, LONG Serial);

// Called by the write path for every non-empty write, at PASSIVE_LEVEL, before the write is
// queued. Only a failure status fails the write: unrecognised frames, unserved device ids and
// writes during a connect are dropped with success. STATUS_TIMEOUT says the request waits for
// the connection thread.
NTSTATUS ForwardRequest(PDEVICE_EXTENSION Extension, PUCHAR Frame, ULONG Length)
{
    if (Frame == NULL || Length == 0) return STATUS_SUCCESS;

    // Whatever was written, an older request's reply must not be read as the answer to it.
    LONG serial = InterlockedIncrement(&Extension->RequestSerial);

    // No Modbus frame is longer; a longer write is not a frame and is not looked at.
    if (Length > MODBUS_MAX_FRAME) {
        MonitorDrop(Extension, DropTooLong, NULL, Frame, Length);
        return STATUS_SUCCESS;
    }

    MODBUS_REQUEST request;
    RtlZeroMemory(&request, sizeof(request));
    request.Frame = Frame;
    request.FrameLength = (USHORT)Length;

    NTSTATUS status = ParseRequest(&request);
    if (!NT_SUCCESS(status)) return status;
    MonitorEvent(Extension, MonitorWritten, request.Mode, NULL, Frame, Length);
    if (request.Mode != FRAME_MODE_RTU && request.Mode != FRAME_MODE_ASCII) {
        CountDrop(Extension, NULL, DropChecksum);
        MonitorDrop(Extension, DropChecksum, NULL, Frame, Length);
        return STATUS_SUCCESS;
    }

    PETH_CONNECTION connection = FindConnectionByDeviceID(Extension, request.DeviceId);
    if (connection == NULL && request.DeviceId == 0) {
        status = STATUS_SUCCESS;
        if (TryToAcquireConnectMutex(Extension)) {
            status = ForwardBroadcast(Extension, &request, serial);
            ReleaseConnectMutex(Extension);
        } else {
            MonitorDrop(Extension, DropConnecting, NULL, Frame, Length);
        }
        ExFreePoolWithTag(request.Data, QUORVEL_TAG);
        return status;
    }
    if (connection == NULL) {
        CountDrop(Extension, NULL, DropNoRoute);
        MonitorDrop(Extension, DropNoRoute, NULL, Frame, Length);
        AnswerRequest(Extension, &request, serial, MODBUS_EXCEPTION_PATH_UNAVAILABLE);
        ExFreePoolWithTag(request.Data, QUORVEL_TAG);
        return STATUS_SUCCESS;
    }

    // Sizes in 32 bits: an RTU frame near 64 KB would wrap content + 6 at 16 bits. Such a
    // request cannot be carried by the MBAP length anyway and is dropped like an
    // unrecognised frame.
    ULONG size = RequestSize(connection, &request);
    if (size > MODBUS_MAX_FRAME) {
        CountDrop(Extension, connection, DropTooLong);
        MonitorDrop(Extension, DropTooLong, connection, Frame, Length);
        ExFreePoolWithTag(request.Data, QUORVEL_TAG);
        return STATUS_SUCCESS;
    }

    // Never wait: a write must not block behind a connect or another write.
    if (!TryToAcquireConnectMutex(Extension)) {
        CountDrop(Extension, connection, DropConnecting);
        MonitorDrop(Extension, DropConnecting, connection, Frame, Length);
        AnswerRequest(Extension, &request, serial, MODBUS_EXCEPTION_TARGET_FAILED);
        ExFreePoolWithTag(request.Data, QUORVEL_TAG);
        return STATUS_SUCCESS;
    }

    PUCHAR buffer = BuildRequest(connection, &request, size);
    if (buffer == NULL) {
        ReleaseConnectMutex(Extension);
        ExFreePoolWithTag(request.Data, QUORVEL_TAG);
        return STATUS_INSUFFICIENT_RESOURCES;
    }

    // Before the send: a fast server's reply must find its transaction.
    StartTransaction(connection, &request, serial);

    // Recorded before the send: the reply may be placed before the send returns.
    if (connection->Socket != NULL) MonitorEvent(Extension, MonitorSent, request.Mode, connection, buffer, size);
    status = SendDataToLinkServer(connection, buffer, size);
    if (status != STATUS_SUCCESS) MonitorEvent(Extension, MonitorParked, request.Mode, connection, buffer, size);
    if (status != STATUS_SUCCESS) {
        // Park the request for the connection thread, which connects this connection and
        // sends it there once. Only the newest request is kept.
        if (Extension->PendingData != NULL) {
            CountDrop(Extension, Extension->PendingConnection, DropLinkDown);
            MonitorDrop(Extension, DropLinkDown, Extension->PendingConnection, Extension->PendingData,
                        Extension->PendingLength);
            ExFreePool(Extension->PendingData);
        }
        Extension->PendingData = buffer;
        Extension->PendingLength = size;
        Extension->PendingConnection = connection;
        Extension->PendingSerial = serial;
        connection->NeedConnection = 1;
        KeSetEvent(&Extension->ConnectEvent, IO_NO_INCREMENT, FALSE);
        status = STATUS_TIMEOUT;
    } else {
        ExFreePoolWithTag(buffer, QUORVEL_TAG);
    }

    ReleaseConnectMutex(Extension);
    // Outside ConnectMutex: the timer's owner fields are DeviceLock's.
    if (ReadUnlocked(&Extension->Exceptions) && request.DeviceId != 0) ArmResponseTimer(Extension, connection, serial);
    ExFreePoolWithTag(request.Data, QUORVEL_TAG);
    return status;
}

// ---------------------------------------------------------------- replies
// Everything below runs at DISPATCH_LEVEL under DeviceLock, holding the connection's ReplyLock.

// Whether a reply may still answer the connection's transaction: 0 when it may, else the
// drop reason. A newer write on the port, or the response time running out, ends the
// transaction for good.
static ULONG TransactionClosed(PDEVICE_EXTENSION Extension, PETH_CONNECTION Connection)
{
    if (!Connection->Awaiting) return Connection->TimedOut ? DropLate : DropUnknownTransaction;
    if (Connection->AwaitSerial != ReadUnlocked(&Extension->RequestSerial)) {
        Connection->Awaiting = FALSE;
        return DropUnknownTransaction;
    }
    ULONG limit = ReadUnlocked(&Extension->ResponseMs);
    if (limit != 0 && KeQueryInterruptTime() - Connection->AwaitSince > (ULONGLONG)limit * 10000) {
        // With exceptions on, the response timer ends it, answering 0x0B.
        if (!ReadUnlocked(&Extension->Exceptions)) {
            Connection->Awaiting = FALSE;
            Connection->TimedOut = TRUE;
        }
        return DropLate;
    }
    return 0;
}

// The reply's unit id, function and length must be those of an answer to the request.
static BOOLEAN AnswersRequest(PETH_CONNECTION Connection, UCHAR Unit, UCHAR Function, ULONG Content, ULONG Implied)
{
    if (Content < 2 || Unit != Connection->AwaitUnit) return FALSE;
    if ((Function & 0x7F) != Connection->AwaitFunction) return FALSE;
    return Implied == MODBUS_LENGTH_OPEN || Implied == Content ? TRUE : FALSE;
}

// Copies a whole frame to the FIFO; one that the FIFO or the receive ring could not take whole
// is dropped, never cut. Returns TRUE when placed.
static BOOLEAN PlaceFrame(PDEVICE_EXTENSION Extension, const UCHAR *Frame, ULONG Length)
{
    PUCHAR fifo = Extension->Uart.RxFifo;
    if (fifo == NULL || Length == 0 || Length > VUART_RX_FIFO_SIZE || Length > Extension->RxRingSize) return FALSE;
    if (Frame != fifo) RtlCopyMemory(fifo, Frame, Length);
    Extension->Uart.RxCount = Length;
    return TRUE;
}

// One complete converted reply (MBAP header and Content bytes). Returns TRUE when a frame was
// placed; whichever way the reply goes, a reply to the current transaction ends it.
static BOOLEAN PlaceReply(PDEVICE_EXTENSION Extension, PETH_CONNECTION Connection, const UCHAR *Reply, ULONG Content)
{
    ULONG total = Content + MBAP_HEADER_SIZE;
    MonitorEvent(Extension, MonitorReceived, Connection->Mode, Connection, Reply, total);
    // A late reply to an earlier request, or stray data, leaves the transaction waiting.
    USHORT id = (USHORT)(Reply[0] | (Reply[1] << 8));
    if (id != ReadUnlocked(&Connection->TransactionId)) {
        CountDrop(Extension, Connection, DropUnknownTransaction);
        MonitorDrop(Extension, DropUnknownTransaction, Connection, Reply, total);
        return FALSE;
    }
    ULONG closed = TransactionClosed(Extension, Connection);
    if (closed != 0) {
        CountDrop(Extension, Connection, (QUORVEL_DROP_REASON)closed);
        MonitorDrop(Extension, (QUORVEL_DROP_REASON)closed, Connection, Reply, total);
        return FALSE;
    }
    Connection->Awaiting = FALSE;

    const UCHAR *content = Reply + MBAP_HEADER_SIZE;
    if (Reply[2] != 0 || Reply[3] != 0 || Content < 2 ||
        !AnswersRequest(Connection, content[0], content[1], Content, ReplyContentLength(content, Content))) {
        CountDrop(Extension, Connection, DropBadLength);
        MonitorDrop(Extension, DropBadLength, Connection, Reply, total);
        return FALSE;
    }

    PUCHAR fifo = Extension->Uart.RxFifo;
    if (fifo == NULL) return FALSE;  // the port's UART is gone: nowhere to put it
    // Encoded straight into the FIFO; a frame that would not fit writes nothing.
    ULONG frameLength;
    if (Connection->Mode == FRAME_MODE_RTU) {
        frameLength = EncodeRtuFrame(content, Content, fifo, VUART_RX_FIFO_SIZE);
    } else {
        frameLength = EncodeAsciiFrame(content, Content, fifo, VUART_RX_FIFO_SIZE);
    }
    if (PlaceFrame(Extension, fifo, frameLength)) {
        CountReplyDelivered(Connection);
        MonitorEvent(Extension, MonitorPlaced, Connection->Mode, Connection, fifo, frameLength);
        return TRUE;
    }
    Extension->Uart.RxCount = 0;  // the encoder may have written part of it
    CountDrop(Extension, Connection, DropBadLength);
    MonitorDrop(Extension, DropBadLength, Connection, Reply, total);
    return FALSE;
}

#define RAW_NO_REPLY 0xFFFFFFFF

static UCHAR AsciiByte(const UCHAR *Frame, ULONG Index)
{
    return (UCHAR)(HexCharToNibble(Frame[1 + 2 * Index]) * 16 + HexCharToNibble(Frame[2 + 2 * Index]));
}

// A raw connection's reply, gathered in ReplyBuffer until it makes a whole frame in the
// request's framing. Returns the length of a frame that answers the request, 0 while more is
// needed; ~0 says the bytes cannot become one and the transaction is over. An RTU reply of no
// fixed length ends at a block's end whose CRC holds (checked only there, not at every byte).
static ULONG RawReplyFrame(PETH_CONNECTION Connection, const UCHAR *Buffer, ULONG Length, BOOLEAN BlockEnd)
{
    if (Connection->Mode == FRAME_MODE_ASCII) {
        ULONG end = 0;
        while (end < Length && Buffer[end] != 0x0A) end++;
        if (end == Length) return 0;
        ULONG frameLength = end + 1;
        if (!IsAsciiFrame(Buffer, frameLength)) return RAW_NO_REPLY;
        ULONG content = (frameLength - 5) / 2;
        UCHAR head[3];
        ULONG known = content < 3 ? content : 3;
        for (ULONG i = 0; i < known; i++) head[i] = AsciiByte(Buffer, i);
        if (content < 2 || !AnswersRequest(Connection, head[0], head[1], content, ReplyContentLength(head, known)))
            return RAW_NO_REPLY;
        return frameLength;
    }

    if (Length >= 2 && (Buffer[0] != Connection->AwaitUnit || (Buffer[1] & 0x7F) != Connection->AwaitFunction))
        return RAW_NO_REPLY;
    ULONG implied = ReplyContentLength(Buffer, Length);
    if (implied == 0) return 0;
    if (implied == MODBUS_LENGTH_OPEN) {
        if (Length < 4 || !BlockEnd) return 0;
        USHORT crc = (USHORT)(Buffer[Length - 2] | (Buffer[Length - 1] << 8));
        return CalcCrc16(Buffer, Length - 2, 0xFFFF) == crc ? Length : 0;
    }
    ULONG frameLength = implied + 2;
    if (Length < frameLength) return 0;
    USHORT crc = (USHORT)(Buffer[frameLength - 2] | (Buffer[frameLength - 1] << 8));
    return CalcCrc16(Buffer, frameLength - 2, 0xFFFF) == crc ? frameLength : RAW_NO_REPLY;
}

static VOID ProcessRawData(PDEVICE_EXTENSION Extension, PETH_CONNECTION Connection, PUCHAR Data, ULONG Length,
                           PREPLY_PLACED_ROUTINE ReplyPlaced)
{
    KIRQL irql;
    KeAcquireSpinLock(&Connection->ReplyLock, &irql);
    PUCHAR buffer = Connection->ReplyBuffer;
    BOOLEAN placed = FALSE;
    ULONG offset = 0;
    // Byte by byte into the gathered reply, so that what follows a frame is never taken into it.
    while (offset < Length && buffer != NULL) {
        ULONG closed = TransactionClosed(Extension, Connection);
        if (closed != 0) {
            CountDrop(Extension, Connection, (QUORVEL_DROP_REASON)closed);
            MonitorDrop(Extension, (QUORVEL_DROP_REASON)closed, Connection, Data + offset, Length - offset);
            break;
        }
        if (Connection->ReplyLength == ETH_REPLY_BUFFER_SIZE) {
            Connection->Awaiting = FALSE;
            CountDrop(Extension, Connection, DropBadLength);
            MonitorDrop(Extension, DropBadLength, Connection, Data + offset, Length - offset);
            break;
        }
        buffer[Connection->ReplyLength++] = Data[offset++];
        ULONG frameLength = RawReplyFrame(Connection, buffer, Connection->ReplyLength, offset == Length);
        if (frameLength == 0) continue;
        Connection->Awaiting = FALSE;
        ULONG gathered = Connection->ReplyLength;
        Connection->ReplyLength = 0;
        MonitorEvent(Extension, MonitorReceived, Connection->Mode, Connection, buffer, gathered);
        if (frameLength != RAW_NO_REPLY && PlaceFrame(Extension, buffer, frameLength)) {
            placed = TRUE;
            CountReplyDelivered(Connection);
            MonitorEvent(Extension, MonitorPlaced, Connection->Mode, Connection, buffer, frameLength);
        } else {
            CountDrop(Extension, Connection, DropBadLength);
            MonitorDrop(Extension, DropBadLength, Connection, buffer, gathered);
        }
    }
    KeReleaseSpinLock(&Connection->ReplyLock, irql);
    if (placed && ReplyPlaced != NULL) ReplyPlaced(Extension);
}

// The receive indication's entry, at DISPATCH_LEVEL holding DeviceLock. A converted
// connection's bytes are gathered by MBAP length (the header is never read before its six
// bytes are there, and the indicated data is never written); each complete reply is checked
// against the connection's transaction and at most one is placed, which ReplyPlaced drains. A
// reply too long for the FIFO is skipped whole. A raw connection's bytes are gathered until
// they make a whole frame of the request's framing.
ULONG ProcessIncomingData(PDEVICE_EXTENSION Extension, PETH_CONNECTION Connection, PUCHAR Data, ULONG Length,
                          PREPLY_PLACED_ROUTINE ReplyPlaced)
{
    QvTrace(TRACE_LEVEL_VERBOSE, "ProcessIncomingData length = %u\n", Length);
    if (Data == NULL || Length == 0) return 0;

    if (Connection->raw != 0) {
        ProcessRawData(Extension, Connection, Data, Length, ReplyPlaced);
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
            // No framing of it fits the FIFO: drop it whole, its rest included. If it answers
            // the transaction, the transaction is over.
            USHORT id = (USHORT)(buffer[0] | (buffer[1] << 8));
            if (id == ReadUnlocked(&Connection->TransactionId)) Connection->Awaiting = FALSE;
            CountDrop(Extension, Connection, DropBadLength);
            MonitorDrop(Extension, DropBadLength, Connection, buffer, total);
            Connection->ReplySkip = total - Connection->ReplyLength;
            Connection->ReplyLength = 0;
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

// ---------------------------------------------------------------- exception replies
// A gateway answers what it cannot serve rather than leave the master waiting out its own
// timeout. Each exception belongs to one request, identified by its serial: it is placed only
// while no newer write has come, so it can never be read as the answer to another request.

// DeviceLock held. The frame is built by the codec in the request's framing.
static BOOLEAN PlaceException(PDEVICE_EXTENSION Extension, UCHAR Mode, UCHAR Unit, UCHAR Function, UCHAR Code)
{
    UCHAR content[3] = {Unit, (UCHAR)(Function | 0x80), Code};
    PUCHAR fifo = Extension->Uart.RxFifo;
    if (fifo == NULL) return FALSE;
    ULONG frameLength = Mode == FRAME_MODE_RTU ? EncodeRtuFrame(content, sizeof(content), fifo, VUART_RX_FIFO_SIZE)
                                               : EncodeAsciiFrame(content, sizeof(content), fifo, VUART_RX_FIFO_SIZE);
    if (!PlaceFrame(Extension, fifo, frameLength)) {
        Extension->Uart.RxCount = 0;
        return FALSE;
    }
    InterlockedIncrement(&Extension->ExceptionsSent);
    MonitorEvent(Extension, MonitorPlaced, Mode, NULL, fifo, frameLength);
    return TRUE;
}

VOID AnswerRequest(PDEVICE_EXTENSION Extension, PMODBUS_REQUEST Request, LONG Serial, UCHAR Code)
{
    // A broadcast is never answered; a frame without a function code has nothing to echo.
    if (!ReadUnlocked(&Extension->Exceptions) || Request->DeviceId == 0 || Request->DataLength < 2) return;
    KIRQL irql;
    KeAcquireSpinLock(&Extension->DeviceLock, &irql);
    if (Serial == ReadUnlocked(&Extension->RequestSerial) &&
        PlaceException(Extension, Request->Mode, Request->DeviceId, Request->Data[1], Code))
        RunReceiveStep(Extension);
    KeReleaseSpinLock(&Extension->DeviceLock, irql);
}

// DeviceLock held. Ends the transaction: whatever the server still sends for it is dropped.
static VOID AnswerTransactionLocked(PDEVICE_EXTENSION Extension, PETH_CONNECTION Connection, LONG Serial, UCHAR Code,
                                    BOOLEAN TimedOut)
{
    BOOLEAN placed = FALSE;
    KIRQL irql;
    KeAcquireSpinLock(&Connection->ReplyLock, &irql);
    if (Connection->Awaiting && Connection->AwaitSerial == Serial &&
        Serial == ReadUnlocked(&Extension->RequestSerial)) {
        Connection->Awaiting = FALSE;
        Connection->TimedOut = TimedOut;
        Connection->ReplyLength = 0;
        placed = PlaceException(Extension, Connection->Mode, Connection->AwaitUnit, Connection->AwaitFunction, Code);
    }
    KeReleaseSpinLock(&Connection->ReplyLock, irql);
    if (placed) RunReceiveStep(Extension);
}

VOID AnswerTransaction(PDEVICE_EXTENSION Extension, PETH_CONNECTION Connection, LONG Serial, UCHAR Code)
{
    if (!ReadUnlocked(&Extension->Exceptions)) return;
    KIRQL irql;
    KeAcquireSpinLock(&Extension->DeviceLock, &irql);
    AnswerTransactionLocked(Extension, Connection, Serial, Code, FALSE);
    KeReleaseSpinLock(&Extension->DeviceLock, irql);
}

// Times the port's newest request; a newer one takes the timer over. No gateway lock held.
static VOID ArmResponseTimer(PDEVICE_EXTENSION Extension, PETH_CONNECTION Connection, LONG Serial)
{
    KIRQL irql;
    KeAcquireSpinLock(&Extension->DeviceLock, &irql);
    Extension->TimedConnection = Connection;
    Extension->TimedSerial = Serial;
    KeSetTimer(&Extension->ResponseTimer, RelativeTimeFromMs(ReadUnlocked(&Extension->ResponseMs)),
               &Extension->ResponseDpc);
    KeReleaseSpinLock(&Extension->DeviceLock, irql);
}

// The response time ran out. A reply that came in time has ended the transaction already.
VOID NTAPI ResponseTimeoutDpc(PKDPC Dpc, PVOID Context, PVOID SystemArgument1, PVOID SystemArgument2)
{
    UNREFERENCED_PARAMETER(Dpc);
    UNREFERENCED_PARAMETER(SystemArgument1);
    UNREFERENCED_PARAMETER(SystemArgument2);
    PDEVICE_EXTENSION extension = (PDEVICE_EXTENSION)Context;
    KIRQL irql;
    KeAcquireSpinLock(&extension->DeviceLock, &irql);
    PETH_CONNECTION connection = extension->TimedConnection;
    if (connection != NULL) {
        extension->TimedConnection = NULL;
        AnswerTransactionLocked(extension, connection, extension->TimedSerial, MODBUS_EXCEPTION_TARGET_FAILED, TRUE);
    }
    KeReleaseSpinLock(&extension->DeviceLock, irql);
}

// The response timer's DPC reaches a connection only through TimedConnection, under DeviceLock:
// once it is cleared here a DPC still queued or running finds nothing, so the lists may be freed
// without waiting for DPCs (a close must not wait on a processor that is busy elsewhere). Not
// pageable: takes DeviceLock.
VOID StopResponseTimer(PDEVICE_EXTENSION Extension)
{
    KIRQL irql;
    KeAcquireSpinLock(&Extension->DeviceLock, &irql);
    Extension->TimedConnection = NULL;
    KeReleaseSpinLock(&Extension->DeviceLock, irql);
    KeCancelTimer(&Extension->ResponseTimer);
}
