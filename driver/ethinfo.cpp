// The Ethernet settings record of a port: walking its entries, storing it as the driver
// key's ETHERNET2 value and reading it back, and the two control requests that carry it.
// The port's options beside it, as the OPTIONS value, with their own two requests.

#include "quorvel.h"

static const WCHAR EthernetValueName[] = WIDE("ETHERNET2");
static const WCHAR OptionsValueName[] = WIDE("OPTIONS");

// Returns the entry at *Offset and moves *Offset past it, or NULL when the walk has reached
// the record's size or the entry there is malformed (shorter than its 11-byte head, or
// running past the record). Only bytes below the record's size are read, and every step
// advances by at least 11 bytes, so a size-0 entry cannot make the walk loop.
PETH_INFO_ENTRY EthInfoNextEntry(PETH_INFO_HEADER Record, PULONG Offset)
{
    ULONG size = Record->size;
    ULONG offset = *Offset;
    if (offset >= size || size - offset < ETH_ENTRY_HEADER_SIZE) return NULL;
    PETH_INFO_ENTRY entry = (PETH_INFO_ENTRY)((PUCHAR)Record + offset);
    ULONG entrySize = entry->size;
    if (entrySize < ETH_ENTRY_HEADER_SIZE || entrySize > size - offset) return NULL;
    *Offset = offset + entrySize;
    return entry;
}

// A record the driver accepts: header of at least 10 bytes, version 0x0101, and entries that
// tile the rest of the record exactly. The caller guarantees that Record->size bytes are
// readable (GetEthernetSettings checks it against the stored length).
BOOLEAN EthInfoIsWellFormed(PETH_INFO_HEADER Record)
{
    if (Record->size < ETH_INFO_HEADER_SIZE || Record->version != ETH_INFO_VERSION) return FALSE;
    ULONG offset = ETH_INFO_HEADER_SIZE;
    while (EthInfoNextEntry(Record, &offset) != NULL) {
    }
    return offset == Record->size ? TRUE : FALSE;
}

// Stores the record unchanged as ETHERNET2 (REG_BINARY) in the port's driver key. Entries are
// not examined; the record takes effect at the next first open.
PAGED_ROUTINE NTSTATUS SetEthernetSettings(PDEVICE_EXTENSION Extension, PUCHAR Record, ULONG Length)
{
    PAGED_CODE();
    DbgPrint("SetEthernetSettings\n");

    if (Record == NULL || Length < ETH_INFO_HEADER_SIZE) return STATUS_INVALID_PARAMETER;
    if (((PETH_INFO_HEADER)Record)->version != ETH_INFO_VERSION) return STATUS_DEVICE_CONFIGURATION_ERROR;

    HANDLE key = NULL;
    NTSTATUS status = IoOpenDeviceRegistryKey(Extension->Pdo, PLUGPLAY_REGKEY_DRIVER, KEY_ALL_ACCESS, &key);
    if (!NT_SUCCESS(status)) return status;

    status = RegistryWriteValue(key, NULL, EthernetValueName, REG_BINARY, Record, Length);
    ZwClose(key);
    return status;
}

// Returns a new paged copy of the stored record, which the caller releases, or NULL when
// there is none, when it is shorter than its header, or when its size field disagrees with
// the stored length. The version is the callers' to check.
PAGED_ROUTINE PUCHAR GetEthernetSettings(PDEVICE_EXTENSION Extension)
{
    PAGED_CODE();
    DbgPrint("GetEthernetSettings start\n");

    HANDLE key = NULL;
    NTSTATUS status = IoOpenDeviceRegistryKey(Extension->Pdo, PLUGPLAY_REGKEY_DRIVER, KEY_ALL_ACCESS, &key);
    if (!NT_SUCCESS(status)) {
        DbgPrint("GetEthernetSettings end\n");
        return NULL;
    }

    ULONG length = 0;
    PUCHAR record = (PUCHAR)RegistryReadValue(key, NULL, EthernetValueName, &length);
    if (record != NULL) {
        if (length < ETH_INFO_HEADER_SIZE) {
            // Too short to hold the header: nothing in it can be trusted.
            ExFreePool(record);
            record = NULL;
        } else {
            ULONG size = ((PETH_INFO_HEADER)record)->size;
            DbgPrint("DataSize = %u\n", size);
            if (size != length) {
                ExFreePool(record);
                record = NULL;
            }
        }
    }

    ZwClose(key);
    DbgPrint("GetEthernetSettings end\n");
    return record;
}

static PAGED_ROUTINE NTSTATUS SetEthernetRequest(PDEVICE_EXTENSION Extension, PIRP Irp, PIO_STACK_LOCATION IrpSp)
{
    PAGED_CODE();
    ULONG inputLength = IrpSp->Parameters.DeviceIoControl.InputBufferLength;
    PUCHAR input = (PUCHAR)Irp->AssociatedIrp.SystemBuffer;

    Irp->IoStatus.Information = 0;
    // The size field is read only when the whole header is there.
    if (input == NULL || inputLength < ETH_INFO_HEADER_SIZE) return STATUS_INVALID_PARAMETER;
    if (((PETH_INFO_HEADER)input)->size != inputLength) return STATUS_INVALID_PARAMETER;
    return SetEthernetSettings(Extension, input, inputLength);
}

static PAGED_ROUTINE NTSTATUS GetEthernetRequest(PDEVICE_EXTENSION Extension, PIRP Irp, PIO_STACK_LOCATION IrpSp)
{
    PAGED_CODE();
    DbgPrint("IOCTL_SERIAL_GET_ETHERNET\n");
    Irp->IoStatus.Information = 0;

    PUCHAR record = GetEthernetSettings(Extension);
    if (record == NULL) return STATUS_INSUFFICIENT_RESOURCES;
    DbgPrint("GetEthernetSettings - SUCCESS\n");

    NTSTATUS status;
    PETH_INFO_HEADER header = (PETH_INFO_HEADER)record;
    ULONG outputLength = IrpSp->Parameters.DeviceIoControl.OutputBufferLength;
    PVOID output = Irp->AssociatedIrp.SystemBuffer;
    if (output == NULL || outputLength < header->size) {
        // The needed length goes back with the error, so that the caller can retry.
        Irp->IoStatus.Information = header->size;
        status = STATUS_BUFFER_TOO_SMALL;
    } else if (header->version != ETH_INFO_VERSION) {
        status = STATUS_DEVICE_CONFIGURATION_ERROR;
    } else {
        RtlCopyMemory(output, record, header->size);
        Irp->IoStatus.Information = header->size;
        status = STATUS_SUCCESS;
    }

    ExFreePool(record);
    return status;
}

static BOOLEAN OptionsAreValid(const QUORVEL_OPTIONS *Options)
{
    return Options->size == sizeof(QUORVEL_OPTIONS) && Options->version == QUORVEL_OPTIONS_VERSION &&
                   (Options->flags & ~QUORVEL_OPTION_FLAGS_KNOWN) == 0
               ? TRUE
               : FALSE;
}

VOID GetPortOptions(PDEVICE_EXTENSION Extension, PQUORVEL_OPTIONS Options)
{
    RtlZeroMemory(Options, sizeof(*Options));
    Options->size = sizeof(*Options);
    Options->version = QUORVEL_OPTIONS_VERSION;

    HANDLE key = NULL;
    if (!NT_SUCCESS(IoOpenDeviceRegistryKey(Extension->Pdo, PLUGPLAY_REGKEY_DRIVER, KEY_READ, &key))) return;
    ULONG length = 0;
    PQUORVEL_OPTIONS stored = (PQUORVEL_OPTIONS)RegistryReadValue(key, NULL, OptionsValueName, &length);
    ZwClose(key);
    if (stored == NULL) return;
    // A damaged value reads as the defaults rather than half-trusted fields.
    if (length == sizeof(*stored) && OptionsAreValid(stored)) RtlCopyMemory(Options, stored, sizeof(*Options));
    ExFreePool(stored);
}

VOID LoadPortOptions(PDEVICE_EXTENSION Extension)
{
    QUORVEL_OPTIONS options;
    GetPortOptions(Extension, &options);
    BOOLEAN exceptions = (options.flags & QUORVEL_OPTION_EXCEPTIONS) != 0 ? TRUE : FALSE;
    ULONG responseMs = options.responseMs;
    // An exception is only worth having if it comes before the application gives up.
    if (exceptions && responseMs == 0) responseMs = QUORVEL_DEFAULT_EXCEPTION_MS;
    WriteUnlocked(&Extension->ResponseMs, responseMs);
    WriteUnlocked(&Extension->Exceptions, exceptions);
    InterlockedExchange(&Extension->ChecksumRejects, 0);
    InterlockedExchange(&Extension->NoRouteDrops, 0);
    InterlockedExchange(&Extension->ExceptionsSent, 0);
}

// Stored for the next first open, as the settings record is.
static NTSTATUS SetOptionsRequest(PDEVICE_EXTENSION Extension, PIRP Irp, PIO_STACK_LOCATION IrpSp)
{
    PQUORVEL_OPTIONS input = (PQUORVEL_OPTIONS)Irp->AssociatedIrp.SystemBuffer;
    Irp->IoStatus.Information = 0;
    if (input == NULL || IrpSp->Parameters.DeviceIoControl.InputBufferLength != sizeof(QUORVEL_OPTIONS) ||
        !OptionsAreValid(input))
        return STATUS_INVALID_PARAMETER;

    HANDLE key = NULL;
    NTSTATUS status = IoOpenDeviceRegistryKey(Extension->Pdo, PLUGPLAY_REGKEY_DRIVER, KEY_ALL_ACCESS, &key);
    if (!NT_SUCCESS(status)) return status;
    status = RegistryWriteValue(key, NULL, OptionsValueName, REG_BINARY, input, sizeof(QUORVEL_OPTIONS));
    ZwClose(key);
    return status;
}

static NTSTATUS GetOptionsRequest(PDEVICE_EXTENSION Extension, PIRP Irp, PIO_STACK_LOCATION IrpSp)
{
    Irp->IoStatus.Information = 0;
    PVOID output = Irp->AssociatedIrp.SystemBuffer;
    if (output == NULL || IrpSp->Parameters.DeviceIoControl.OutputBufferLength < sizeof(QUORVEL_OPTIONS)) {
        Irp->IoStatus.Information = sizeof(QUORVEL_OPTIONS);
        return STATUS_BUFFER_TOO_SMALL;
    }
    QUORVEL_OPTIONS options;
    GetPortOptions(Extension, &options);
    RtlCopyMemory(output, &options, sizeof(options));
    Irp->IoStatus.Information = sizeof(options);
    return STATUS_SUCCESS;
}

// The control-request dispatcher hands the Ethernet and options requests here after its
// common checks. Sets Irp->IoStatus (Status and Information) and returns the status;
// completing the request stays with the dispatcher. PASSIVE_LEVEL, no gateway lock.
PAGED_ROUTINE NTSTATUS EthernetIoctl(PDEVICE_EXTENSION Extension, PIRP Irp, PIO_STACK_LOCATION IrpSp)
{
    PAGED_CODE();
    NTSTATUS status;
    switch (IrpSp->Parameters.DeviceIoControl.IoControlCode) {
    case IOCTL_SERIAL_SET_ETHERNET: status = SetEthernetRequest(Extension, Irp, IrpSp); break;
    case IOCTL_SERIAL_GET_ETHERNET: status = GetEthernetRequest(Extension, Irp, IrpSp); break;
    case IOCTL_QUORVEL_SET_OPTIONS: status = SetOptionsRequest(Extension, Irp, IrpSp); break;
    case IOCTL_QUORVEL_GET_OPTIONS: status = GetOptionsRequest(Extension, Irp, IrpSp); break;
    case IOCTL_QUORVEL_GET_COUNTERS: status = CountersIoctl(Extension, Irp, IrpSp); break;
    default:
        Irp->IoStatus.Information = 0;
        status = STATUS_INVALID_PARAMETER;
        break;
    }
    Irp->IoStatus.Status = status;
    return status;
}
