// The connection and device tables of an open port, built from the settings record at first
// open and freed at close. Between the two the lists keep their shape; only the connections'
// state fields change.

#include "quorvel.h"

// Once per port, when its device is created: the list locks, and the connect mutex and event
// that a disconnect work item may still use across a close and a reopen.
VOID GatewayInitialize(PDEVICE_EXTENSION Extension)
{
    Extension->ConnectionList.Next = NULL;
    Extension->DeviceList.Next = NULL;
    KeInitializeSpinLock(&Extension->ConnectionListLock);
    KeInitializeSpinLock(&Extension->DeviceListLock);
    KeInitializeMutex(&Extension->ConnectMutex, 0);
    NAME_DRIVER_LOCK(&Extension->ConnectionListLock, LOCK_NAME_CONNECTION_LIST);
    NAME_DRIVER_LOCK(&Extension->DeviceListLock, LOCK_NAME_DEVICE_LIST);
    NAME_DRIVER_LOCK(&Extension->ConnectMutex, LOCK_NAME_CONNECT);
    KeInitializeEvent(&Extension->ConnectEvent, SynchronizationEvent, FALSE);
    Extension->PendingData = NULL;
    Extension->PendingLength = 0;
    Extension->PendingConnection = NULL;
    KeInitializeTimer(&Extension->ResponseTimer);
    KeInitializeDpc(&Extension->ResponseDpc, ResponseTimeoutDpc, Extension);
    Extension->TimedConnection = NULL;
}

// Dotted decimal of an address in network order (lowest-addressed byte first). Needs 16
// characters; writes nothing and returns FALSE with less.
BOOLEAN IpToText(ULONG Address, PCHAR Buffer, ULONG Length)
{
    if (Buffer == NULL || Length < 16) return FALSE;
    const UCHAR *octets = (const UCHAR *)&Address;
    ULONG at = 0;
    for (int i = 0; i < 4; i++) {
        UCHAR v = octets[i];
        if (v >= 100) Buffer[at++] = (CHAR)('0' + v / 100);
        if (v >= 10) Buffer[at++] = (CHAR)('0' + (v / 10) % 10);
        Buffer[at++] = (CHAR)('0' + v % 10);
        if (i < 3) Buffer[at++] = '.';
    }
    Buffer[at] = 0;
    return TRUE;
}

VOID MakeDevicesList(PDEVICE_EXTENSION Extension, PETH_INFO_ENTRY Entry, PETH_CONNECTION Connection)
{
    DbgPrint("MakeDevicesList start\n");
    PUCHAR ids = (PUCHAR)Entry + ETH_ENTRY_HEADER_SIZE;
    ULONG count = Entry->size - ETH_ENTRY_HEADER_SIZE;
    for (ULONG i = 0; i < count; i++) {
        DbgPrint("id = %u\n", (ULONG)ids[i]);
        PETH_DEVICE device = (PETH_DEVICE)ExAllocatePoolWithTag(NonPagedPool, sizeof(ETH_DEVICE), QUORVEL_TAG);
        if (device == NULL) {
            // Out of memory: this id stays unserved; its requests are dropped like any
            // unconfigured id's.
            continue;
        }
        RtlZeroMemory(device, sizeof(ETH_DEVICE));
        device->DeviceId = ids[i];
        device->Connection = Connection;
        ExInterlockedPushEntryList(&Extension->DeviceList, &device->Link, &Extension->DeviceListLock);
    }
    DbgPrint("MakeDevicesList end\n");
}

// Builds both lists from a record whose size field has been checked against its allocation
// (GetEthernetSettings does). A record with another version, or with entries that do not
// tile it exactly, is refused whole: nothing is built and EthInfo keeps its values.
PAGED_ROUTINE NTSTATUS MakeEthernetLists(PDEVICE_EXTENSION Extension, PUCHAR Record)
{
    PAGED_CODE();
    DbgPrint("MakeEthernetLists start\n");
    PETH_INFO_HEADER header = (PETH_INFO_HEADER)Record;
    if (Record == NULL || !EthInfoIsWellFormed(header)) return STATUS_DEVICE_CONFIGURATION_ERROR;

    WriteUnlocked(&Extension->EthInfo.delay, header->delay);
    DbgPrint("EthInfo.delay = %u\n", (ULONG)header->delay);
    WriteUnlocked(&Extension->EthInfo.rtsMask, header->rtsMask);
    WriteUnlocked(&Extension->EthInfo.dtrMask, header->dtrMask);

    ULONG offset = ETH_INFO_HEADER_SIZE;
    PETH_INFO_ENTRY entry;
    while ((entry = EthInfoNextEntry(header, &offset)) != NULL) {
        PETH_CONNECTION connection =
            (PETH_CONNECTION)ExAllocatePoolWithTag(NonPagedPool, sizeof(ETH_CONNECTION), QUORVEL_TAG);
        if (connection == NULL) {
            // Out of memory: the entry's connection and its ids are left out; the port opens
            // with what could be built.
            continue;
        }
        RtlZeroMemory(connection, sizeof(ETH_CONNECTION));
        connection->ip = entry->ip;
        connection->port = entry->port;
        connection->raw = entry->raw != 0 ? 1 : 0;
        KeInitializeSpinLock(&connection->ReplyLock);
        NAME_DRIVER_LOCK(&connection->ReplyLock, LOCK_NAME_REPLY);

        CHAR text[20];
        RtlZeroMemory(text, sizeof(text));
        IpToText(connection->ip, text, sizeof(text));
        DbgPrint("ip = %s, port = %u\n", text, (ULONG)connection->port);

        ExInterlockedPushEntryList(&Extension->ConnectionList, &connection->Link, &Extension->ConnectionListLock);
        MakeDevicesList(Extension, entry, connection);
    }
    return STATUS_SUCCESS;
}

PETH_CONNECTION FindConnectionByDeviceID(PDEVICE_EXTENSION Extension, UCHAR DeviceId)
{
    QvTrace(TRACE_LEVEL_VERBOSE, "FindConnectionByDeviceID start\n");
    PETH_CONNECTION connection = NULL;
    KIRQL irql;
    KeAcquireSpinLock(&Extension->DeviceListLock, &irql);
    for (PSINGLE_LIST_ENTRY link = Extension->DeviceList.Next; link != NULL; link = link->Next) {
        PETH_DEVICE device = CONTAINING_RECORD(link, ETH_DEVICE, Link);
        if (device->DeviceId == DeviceId) {
            connection = device->Connection;
            break;
        }
    }
    KeReleaseSpinLock(&Extension->DeviceListLock, irql);
    QvTrace(TRACE_LEVEL_VERBOSE, "FindConnectionByDeviceID end\n");
    return connection;
}

// The first flagged connection from the head, i.e. the one of the last record entry. The
// flag is read here without ConnectMutex only because the caller (the connection thread)
// holds it.
PETH_CONNECTION GetNeedConnection(PDEVICE_EXTENSION Extension)
{
    QvTrace(TRACE_LEVEL_VERBOSE, "GetNeedConnection start\n");
    PETH_CONNECTION connection = NULL;
    KIRQL irql;
    KeAcquireSpinLock(&Extension->ConnectionListLock, &irql);
    for (PSINGLE_LIST_ENTRY link = Extension->ConnectionList.Next; link != NULL; link = link->Next) {
        PETH_CONNECTION candidate = CONTAINING_RECORD(link, ETH_CONNECTION, Link);
        if (candidate->NeedConnection != 0) {
            connection = candidate;
            break;
        }
    }
    KeReleaseSpinLock(&Extension->ConnectionListLock, irql);
    QvTrace(TRACE_LEVEL_VERBOSE, "GetNeedConnection end\n");
    return connection;
}

// At close, after the connection thread has stopped and every link is down. A pending
// request left behind belongs to a connection about to be freed, so it goes too.
PAGED_ROUTINE VOID FreeEthernetLists(PDEVICE_EXTENSION Extension)
{
    PAGED_CODE();
    DbgPrint("FreeEthernetLists start\n");
    StopResponseTimer(Extension);

    PSINGLE_LIST_ENTRY link;
    while ((link = ExInterlockedPopEntryList(&Extension->ConnectionList, &Extension->ConnectionListLock)) != NULL) {
        ExFreePoolWithTag(CONTAINING_RECORD(link, ETH_CONNECTION, Link), QUORVEL_TAG);
    }
    while ((link = ExInterlockedPopEntryList(&Extension->DeviceList, &Extension->DeviceListLock)) != NULL) {
        ExFreePoolWithTag(CONTAINING_RECORD(link, ETH_DEVICE, Link), QUORVEL_TAG);
    }

    AcquireConnectMutex(Extension);
    if (Extension->PendingData != NULL) {
        ExFreePoolWithTag(Extension->PendingData, QUORVEL_TAG);
        Extension->PendingData = NULL;
        Extension->PendingLength = 0;
    }
    Extension->PendingConnection = NULL;
    ReleaseConnectMutex(Extension);
    DbgPrint("FreeEthernetLists end\n");
}
