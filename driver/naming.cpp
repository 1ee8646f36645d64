// Port naming: when Plug and Play starts a port it gets its COM name from the device key, a
// "\??\" link to its device object, an entry in DEVICEMAP\SERIALCOMM and an enabled COM-port
// device interface; a stop withdraws all four. PASSIVE_LEVEL, on the Plug and Play thread.
#include "quorvel.h"

#define NAME_WORK_BUFFER_SIZE 514  // a counted string of at most 512 bytes, and a terminator

// {86E0D1E0-8089-11D0-9CE4-08003E301F73}: the COM-port interface class.
static const GUID ComPortInterfaceClass = {
    0x86E0D1E0, 0x8089, 0x11D0, {0x9C, 0xE4, 0x08, 0x00, 0x3E, 0x30, 0x1F, 0x73}};

static PAGED_ROUTINE VOID FreeString(PUNICODE_STRING String)
{
    PAGED_CODE();
    if (String->Buffer != NULL) ExFreePoolWithTag(String->Buffer, QUORVEL_TAG);
    String->Buffer = NULL;
    String->Length = 0;
    String->MaximumLength = 0;
}

// A paged, zero-terminated copy of a string value of the key. Only REG_SZ and REG_EXPAND_SZ
// count: a name stored as anything else is treated as missing. The length stops at the first
// zero, so a value with embedded zeros gives its first string.
static PAGED_ROUTINE NTSTATUS ReadNameValue(HANDLE Key, PCWSTR ValueName, PUNICODE_STRING Name)
{
    PAGED_CODE();
    UNICODE_STRING valueName;
    PKEY_VALUE_PARTIAL_INFORMATION info;
    ULONG needed = 0;
    ULONG chars;
    ULONG i;
    NTSTATUS status;

    RtlInitUnicodeString(&valueName, ValueName);
    status = ZwQueryValueKey(Key, &valueName, KeyValuePartialInformation, NULL, 0, &needed);
    if ((status != STATUS_BUFFER_TOO_SMALL && status != STATUS_BUFFER_OVERFLOW) || needed == 0)
        return STATUS_OBJECT_NAME_NOT_FOUND;
    info = (PKEY_VALUE_PARTIAL_INFORMATION)ExAllocatePoolWithTag(PagedPool, needed, QUORVEL_TAG);
    if (info == NULL) return STATUS_INSUFFICIENT_RESOURCES;
    status = ZwQueryValueKey(Key, &valueName, KeyValuePartialInformation, info, needed, &needed);
    if (!NT_SUCCESS(status) || (info->Type != REG_SZ && info->Type != REG_EXPAND_SZ) ||
        info->DataLength > needed - (ULONG)FIELD_OFFSET(KEY_VALUE_PARTIAL_INFORMATION, Data)) {
        ExFreePoolWithTag(info, QUORVEL_TAG);
        return STATUS_OBJECT_NAME_NOT_FOUND;
    }
    chars = info->DataLength / sizeof(WCHAR);
    for (i = 0; i < chars; i++) {
        if (((PWCHAR)info->Data)[i] == 0) break;
    }
    chars = i;
    if (chars == 0 || chars * sizeof(WCHAR) > 0xFFFC) {
        ExFreePoolWithTag(info, QUORVEL_TAG);
        return STATUS_OBJECT_NAME_NOT_FOUND;
    }
    Name->Buffer = (PWCH)ExAllocatePoolWithTag(PagedPool, (chars + 1) * sizeof(WCHAR), QUORVEL_TAG);
    if (Name->Buffer == NULL) {
        ExFreePoolWithTag(info, QUORVEL_TAG);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    RtlCopyMemory(Name->Buffer, info->Data, chars * sizeof(WCHAR));
    Name->Buffer[chars] = 0;
    Name->Length = (USHORT)(chars * sizeof(WCHAR));
    Name->MaximumLength = (USHORT)((chars + 1) * sizeof(WCHAR));
    ExFreePoolWithTag(info, QUORVEL_TAG);
    return STATUS_SUCCESS;
}

// A paged, zero-filled copy of String with room for a terminator.
static PAGED_ROUTINE NTSTATUS CopyString(PCUNICODE_STRING String, PUNICODE_STRING Copy)
{
    PAGED_CODE();
    Copy->Buffer = (PWCH)ExAllocatePoolWithTag(PagedPool, String->Length + sizeof(WCHAR), QUORVEL_TAG);
    if (Copy->Buffer == NULL) return STATUS_INSUFFICIENT_RESOURCES;
    RtlZeroMemory(Copy->Buffer, String->Length + sizeof(WCHAR));
    RtlCopyMemory(Copy->Buffer, String->Buffer, String->Length);
    Copy->Length = String->Length;
    Copy->MaximumLength = (USHORT)(String->Length + sizeof(WCHAR));
    return STATUS_SUCCESS;
}

// "\??\" followed by Name, in a new paged buffer. A name too long for the 512-byte work
// string fails, as a missing name does.
static PAGED_ROUTINE NTSTATUS BuildLinkName(PCUNICODE_STRING Name, PUNICODE_STRING Link)
{
    PAGED_CODE();
    UNICODE_STRING work;
    NTSTATUS status;

    work.Buffer = (PWCH)ExAllocatePoolWithTag(PagedPool, NAME_WORK_BUFFER_SIZE, QUORVEL_TAG);
    if (work.Buffer == NULL) return STATUS_INSUFFICIENT_RESOURCES;
    RtlZeroMemory(work.Buffer, NAME_WORK_BUFFER_SIZE);
    work.Length = 0;
    work.MaximumLength = NAME_WORK_BUFFER_SIZE - sizeof(WCHAR);
    status = RtlAppendUnicodeToString(&work, WIDE("\\??\\"));
    if (NT_SUCCESS(status)) status = RtlAppendUnicodeStringToString(&work, Name);
    if (NT_SUCCESS(status)) {
        status = CopyString(&work, Link);
    } else {
        DbgPrint("KivraGetPortName - port name too long\n");
        status = STATUS_INSUFFICIENT_RESOURCES;
    }
    ExFreePoolWithTag(work.Buffer, QUORVEL_TAG);
    return status;
}

PAGED_ROUTINE NTSTATUS KivraGetPortName(PDEVICE_EXTENSION Extension, HANDLE DeviceKey, PUNICODE_STRING LinkName,
                                        PUNICODE_STRING PortName)
{
    PAGED_CODE();
    UNICODE_STRING name;
    NTSTATUS status;

    (VOID) Extension;
    RtlZeroMemory(LinkName, sizeof(UNICODE_STRING));
    RtlZeroMemory(PortName, sizeof(UNICODE_STRING));
    RtlZeroMemory(&name, sizeof(name));

    status = ReadNameValue(DeviceKey, WIDE("PortName"), &name);
    if (status == STATUS_OBJECT_NAME_NOT_FOUND) status = ReadNameValue(DeviceKey, WIDE("Identifier"), &name);
    if (!NT_SUCCESS(status)) {
        DbgPrint("KivraGetPortName - no port name\n");
        return STATUS_INSUFFICIENT_RESOURCES;
    }

    status = BuildLinkName(&name, LinkName);
    if (!NT_SUCCESS(status)) {
        FreeString(&name);
        return status;
    }
    *PortName = name;
    return STATUS_SUCCESS;
}

PAGED_ROUTINE NTSTATUS KivraDoExternalNaming(PDEVICE_EXTENSION Extension)
{
    PAGED_CODE();
    HANDLE key;
    UNICODE_STRING linkName;
    UNICODE_STRING portName;
    BOOLEAN linkCreated = FALSE;
    BOOLEAN mapWritten = FALSE;
    NTSTATUS status;

    status = IoOpenDeviceRegistryKey(Extension->Pdo, PLUGPLAY_REGKEY_DEVICE, KEY_READ, &key);
    if (!NT_SUCCESS(status)) return status;
    status = KivraGetPortName(Extension, key, &linkName, &portName);
    ZwClose(key);
    if (!NT_SUCCESS(status)) return status;

    status = CopyString(&portName, &Extension->ComPortName);
    if (NT_SUCCESS(status)) {
        status = IoCreateSymbolicLink(&linkName, &Extension->DeviceName);
        linkCreated = NT_SUCCESS(status);
    }
    if (NT_SUCCESS(status)) {
        status = RtlWriteRegistryValue(RTL_REGISTRY_DEVICEMAP, WIDE("SERIALCOMM"), Extension->DeviceName.Buffer, REG_SZ,
                                       portName.Buffer, portName.Length + sizeof(WCHAR));
        mapWritten = NT_SUCCESS(status);
    }
    if (NT_SUCCESS(status)) {
        status = IoRegisterDeviceInterface(Extension->Pdo, &ComPortInterfaceClass, NULL, &Extension->InterfaceName);
        if (!NT_SUCCESS(status)) RtlZeroMemory(&Extension->InterfaceName, sizeof(UNICODE_STRING));
    }
    if (NT_SUCCESS(status)) status = IoSetDeviceInterfaceState(&Extension->InterfaceName, TRUE);

    if (!NT_SUCCESS(status)) {
        DbgPrint("KivraDoExternalNaming - failed %08lx\n", (ULONG)status);
        if (Extension->InterfaceName.Buffer != NULL) {
            IoSetDeviceInterfaceState(&Extension->InterfaceName, FALSE);
            RtlFreeUnicodeString(&Extension->InterfaceName);
            RtlZeroMemory(&Extension->InterfaceName, sizeof(UNICODE_STRING));
        }
        if (mapWritten)
            RtlDeleteRegistryValue(RTL_REGISTRY_DEVICEMAP, WIDE("SERIALCOMM"), Extension->DeviceName.Buffer);
        if (linkCreated) IoDeleteSymbolicLink(&linkName);
        FreeString(&Extension->ComPortName);
    }

    FreeString(&linkName);
    FreeString(&portName);
    return status;
}

PAGED_ROUTINE NTSTATUS KivraUndoExternalNaming(PDEVICE_EXTENSION Extension)
{
    PAGED_CODE();
    UNICODE_STRING linkName;

    if (Extension->InterfaceName.Buffer != NULL) {
        IoSetDeviceInterfaceState(&Extension->InterfaceName, FALSE);
        RtlFreeUnicodeString(&Extension->InterfaceName);
        RtlZeroMemory(&Extension->InterfaceName, sizeof(UNICODE_STRING));
    }

    if (Extension->ComPortName.Buffer == NULL) return STATUS_SUCCESS;  // never named

    RtlDeleteRegistryValue(RTL_REGISTRY_DEVICEMAP, WIDE("SERIALCOMM"), Extension->DeviceName.Buffer);

    // The link the port was started with, whatever PortName says now.
    if (NT_SUCCESS(BuildLinkName(&Extension->ComPortName, &linkName))) {
        IoDeleteSymbolicLink(&linkName);
        FreeString(&linkName);
    }

    FreeString(&Extension->ComPortName);
    return STATUS_SUCCESS;
}

NTSTATUS KivraStartDevice(PDEVICE_EXTENSION Extension, PIRP Irp)
{
    PIO_STACK_LOCATION irpSp = IoGetCurrentIrpStackLocation(Irp);
    PCM_RESOURCE_LIST resources = irpSp->Parameters.StartDevice.AllocatedResourcesTranslated;
    PUCHAR fifo;
    KIRQL oldIrql;
    NTSTATUS status;

    // A virtual port has no hardware resources and takes none.
    if (resources != NULL && resources->Count != 0)
        DbgPrint("KivraStartDevice - %lu resource lists ignored\n", resources->Count);

    if (!ReadUnlocked(&Extension->PortOpen)) {
        // Fresh serial status; the line settings and handshake stay as stored and take effect
        // through the UART at the next open.
        KeAcquireSpinLock(&Extension->DeviceLock, &oldIrql);
        Extension->LatchedErrors = 0;
        Extension->TxHoldReasons = 0;
        Extension->RxHoldReasons = 0;
        KeReleaseSpinLock(&Extension->DeviceLock, oldIrql);
        status = VuartInitialize(&Extension->Uart, Extension);
        if (!NT_SUCCESS(status)) return status;
    } else if (Extension->Uart.RxFifo == NULL) {
        // An open port keeps its registers; it only gets its receive FIFO back.
        fifo = (PUCHAR)ExAllocatePoolWithTag(NonPagedPool, VUART_RX_FIFO_SIZE, QUORVEL_TAG);
        if (fifo == NULL) return STATUS_INSUFFICIENT_RESOURCES;
        KeAcquireSpinLock(&Extension->DeviceLock, &oldIrql);
        Extension->Uart.RxFifo = fifo;
        Extension->Uart.RxCount = 0;
        KeReleaseSpinLock(&Extension->DeviceLock, oldIrql);
    }

    return KivraDoExternalNaming(Extension);
}

PAGED_ROUTINE NTSTATUS KivraStopDevice(PDEVICE_EXTENSION Extension)
{
    PAGED_CODE();
    KivraUndoExternalNaming(Extension);
    VuartFree(&Extension->Uart);
    return STATUS_SUCCESS;
}
