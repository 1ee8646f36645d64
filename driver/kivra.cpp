// Driver entry, the dispatch table, device creation and the open, cleanup and close requests.
// A port admits one open handle at a time; the gateway (tables, receive ring, connection
// thread) exists only between open and close.
#include "quorvel.h"

#define DEVICE_NAME_BUFFER_SIZE 64

// Devices created since the driver was loaded; gives each port its instance number. Touched
// only by add-device, which Plug and Play runs one at a time.
static ULONG PortInstanceCounter;

// Reads, writes and flushes on a handle whose port has been removed fail at once: the queues
// that would hold them are stalled for good.
static NTSTATUS NTAPI KivraDataDispatch(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PDEVICE_EXTENSION extension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
    ULONG state = ReadUnlocked(&extension->PnpState);

    if (state == PnpRemoved || state == PnpSurpriseRemoved) {
        Irp->IoStatus.Information = 0;
        return CompleteRequest(Irp, STATUS_DELETE_PENDING);
    }
    if (IsMonitorHandle(IoGetCurrentIrpStackLocation(Irp)->FileObject))
        return CompleteRequest(Irp, STATUS_INVALID_DEVICE_REQUEST);
    switch (IoGetCurrentIrpStackLocation(Irp)->MajorFunction) {
    case IRP_MJ_READ: return KivraReadDispatch(DeviceObject, Irp);
    case IRP_MJ_WRITE: return KivraWriteDispatch(DeviceObject, Irp);
    default: return KivraFlushDispatch(DeviceObject, Irp);
    }
}

extern "C" INIT_ROUTINE NTSTATUS DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath)
{
    PortInstanceCounter = 0;
    LoadTraceLevel(RegistryPath);

    DriverObject->MajorFunction[IRP_MJ_CREATE] = KivraCreateDispatch;
    DriverObject->MajorFunction[IRP_MJ_CLOSE] = KivraCloseDispatch;
    DriverObject->MajorFunction[IRP_MJ_CLEANUP] = KivraCleanupDispatch;
    DriverObject->MajorFunction[IRP_MJ_READ] = KivraDataDispatch;
    DriverObject->MajorFunction[IRP_MJ_WRITE] = KivraDataDispatch;
    DriverObject->MajorFunction[IRP_MJ_FLUSH_BUFFERS] = KivraDataDispatch;
    DriverObject->MajorFunction[IRP_MJ_DEVICE_CONTROL] = KivraIoControlDispatch;
    DriverObject->MajorFunction[IRP_MJ_POWER] = KivraPowerDispatch;
    DriverObject->MajorFunction[IRP_MJ_SYSTEM_CONTROL] = KivraSystemControlDispatch;
    DriverObject->MajorFunction[IRP_MJ_PNP] = KivraPnpDispatch;
    DriverObject->DriverExtension->AddDevice = KivraAddDevice;
    DriverObject->DriverUnload = KivraUnload;

    return KivraTdiRegisterPnPHandlers(RegistryPath);
}

PAGED_ROUTINE NTSTATUS KivraAddDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT PhysicalDeviceObject)
{
    PAGED_CODE();
    UNICODE_STRING deviceName;
    UNICODE_STRING number;
    WCHAR digits[12];
    PDEVICE_OBJECT deviceObject;
    PDEVICE_EXTENSION extension;
    POWER_STATE powerState;
    NTSTATUS status;

    deviceName.Buffer = (PWCH)ExAllocatePoolWithTag(PagedPool, DEVICE_NAME_BUFFER_SIZE, QUORVEL_TAG);
    if (deviceName.Buffer == NULL) return STATUS_INSUFFICIENT_RESOURCES;
    RtlZeroMemory(deviceName.Buffer, DEVICE_NAME_BUFFER_SIZE);
    deviceName.Length = 0;
    deviceName.MaximumLength = DEVICE_NAME_BUFFER_SIZE;
    RtlAppendUnicodeToString(&deviceName, WIDE("\\Device\\QuorvelDevice"));
    number.Buffer = digits;
    number.Length = 0;
    number.MaximumLength = sizeof(digits);
    RtlIntegerToUnicodeString(PortInstanceCounter, 10, &number);
    RtlAppendUnicodeStringToString(&deviceName, &number);

    status = IoCreateDevice(DriverObject, sizeof(DEVICE_EXTENSION), &deviceName, FILE_DEVICE_SERIAL_PORT,
                            FILE_DEVICE_SECURE_OPEN, FALSE, &deviceObject);
    if (!NT_SUCCESS(status)) {
        ExFreePoolWithTag(deviceName.Buffer, QUORVEL_TAG);
        return status;
    }

    extension = (PDEVICE_EXTENSION)deviceObject->DeviceExtension;
    RtlZeroMemory(extension, sizeof(DEVICE_EXTENSION));
    extension->DeviceObject = deviceObject;
    extension->Pdo = PhysicalDeviceObject;
    extension->DeviceName = deviceName;

    // Queues, gate, DeviceLock and the emulated interrupt's timers; the gateway's lists,
    // ConnectMutex and ConnectEvent (once for the device's life); the serial defaults.
    InitializeSerialCore(extension);
    GatewayInitialize(extension);
    MonitorInitialize(extension);
    InitializeSerialData(extension);

    extension->OutstandingIo = 1;
    KeInitializeEvent(&extension->RemoveEvent, NotificationEvent, FALSE);
    KeInitializeEvent(&extension->OpenCloseLock, SynchronizationEvent, TRUE);
    extension->PnpState = PnpNotStarted;
    extension->PreviousPnpState = PnpNotStarted;

    extension->PowerWorkItem = IoAllocateWorkItem(deviceObject);
    if (extension->PowerWorkItem == NULL) {
        IoDeleteDevice(deviceObject);
        ExFreePoolWithTag(deviceName.Buffer, QUORVEL_TAG);
        return STATUS_INSUFFICIENT_RESOURCES;
    }

    deviceObject->Flags |= DO_POWER_PAGABLE | DO_BUFFERED_IO;

    extension->SystemPowerState = PowerSystemWorking;
    extension->DevicePowerState = PowerDeviceD3;
    powerState.DeviceState = PowerDeviceD3;
    PoSetPowerState(deviceObject, DevicePowerState, powerState);

    extension->LowerDeviceObject = IoAttachDeviceToDeviceStack(deviceObject, PhysicalDeviceObject);
    if (extension->LowerDeviceObject == NULL) {
        IoFreeWorkItem(extension->PowerWorkItem);
        IoDeleteDevice(deviceObject);
        ExFreePoolWithTag(deviceName.Buffer, QUORVEL_TAG);
        return STATUS_DEVICE_REMOVED;
    }

    PortInstanceCounter++;
    deviceObject->Flags &= ~DO_DEVICE_INITIALIZING;
    return STATUS_SUCCESS;
}

// The open sequence, under OpenCloseLock; the caller completes the request with the result.
// Every failure leaves the port as it was: no lists, no ring, no thread, OpenCount back.
static PAGED_ROUTINE NTSTATUS OpenPort(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PAGED_CODE();
    PDEVICE_EXTENSION extension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
    PIO_STACK_LOCATION irpSp = IoGetCurrentIrpStackLocation(Irp);
    PUCHAR record;
    NTSTATUS status;

    // A port that is not started has no emulated UART and no name; one that is stopping or
    // being removed is about to lose them.
    if (ReadUnlocked(&extension->PnpState) != PnpStarted) return STATUS_NO_SUCH_DEVICE;

    if (InterlockedIncrement(&extension->OpenCount) != 1) {
        InterlockedDecrement(&extension->OpenCount);
        return STATUS_ACCESS_DENIED;
    }

    record = GetEthernetSettings(extension);
    if (record != NULL) {
        MakeEthernetLists(extension, record);
        ExFreePool(record);
    }
    LoadPortOptions(extension);

    if (irpSp->Parameters.Create.Options & FILE_DIRECTORY_FILE) {
        FreeEthernetLists(extension);
        InterlockedDecrement(&extension->OpenCount);
        return STATUS_NOT_A_DIRECTORY;
    }

    status = AllocateRxRing(extension);
    if (NT_SUCCESS(status)) {
        status = ConnectToLinkServer(DeviceObject);
        if (!NT_SUCCESS(status)) FreeRxRing(extension);
    }
    if (!NT_SUCCESS(status)) {
        FreeEthernetLists(extension);
        InterlockedDecrement(&extension->OpenCount);
        return status;
    }

    SerialOpenPort(extension);
    return STATUS_SUCCESS;
}

PAGED_ROUTINE NTSTATUS KivraCreateDispatch(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PAGED_CODE();
    PDEVICE_EXTENSION extension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
    NTSTATUS status;

    KivraDebugPrint(DBG_AREA_OPEN_CLOSE, DBG_LEVEL_INFO, "KivraCreateDispatch: IRP %p\n", Irp);

    Irp->IoStatus.Information = 0;
    if (!AcquireIoReference(extension)) return CompleteRequest(Irp, STATUS_NO_SUCH_DEVICE);
    // A monitor handle opens beside the port's one handle and does not open the port.
    if (MonitorCreate(extension, IoGetCurrentIrpStackLocation(Irp)->FileObject, &status)) {
        CompleteRequest(Irp, status);
        ReleaseIoReference(extension);
        return status;
    }
    KeWaitForSingleObject(&extension->OpenCloseLock, Executive, KernelMode, FALSE, NULL);
    status = OpenPort(DeviceObject, Irp);
    KeSetEvent(&extension->OpenCloseLock, IO_NO_INCREMENT, FALSE);
    CompleteRequest(Irp, status);
    ReleaseIoReference(extension);
    return status;
}

PAGED_ROUTINE NTSTATUS KivraCleanupDispatch(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PAGED_CODE();
    PDEVICE_EXTENSION extension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;

    MonitorCleanup(extension, IoGetCurrentIrpStackLocation(Irp)->FileObject);
    CleanupFileRequests(extension, IoGetCurrentIrpStackLocation(Irp)->FileObject);
    Irp->IoStatus.Information = 0;
    return CompleteRequest(Irp, STATUS_SUCCESS);
}

PAGED_ROUTINE NTSTATUS KivraCloseDispatch(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PAGED_CODE();
    PDEVICE_EXTENSION extension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
    ULONG state = ReadUnlocked(&extension->PnpState);

    if (IsMonitorHandle(IoGetCurrentIrpStackLocation(Irp)->FileObject)) {
        MonitorClose(IoGetCurrentIrpStackLocation(Irp)->FileObject);
        return CompleteRequest(Irp, STATUS_SUCCESS);
    }
    // After a removal the thread and the links are already gone; these cope with that.
    KeWaitForSingleObject(&extension->OpenCloseLock, Executive, KernelMode, FALSE, NULL);
    StopConnectThread(DeviceObject);
    FreeEthernetLists(extension);
    SerialClosePort(extension);
    if (state == PnpRemoved || state == PnpSurpriseRemoved) {
        // The device's memory goes with this handle: no interrupt DPC may run after it.
        KeFlushQueuedDpcs();
    }
    KeSetEvent(&extension->OpenCloseLock, IO_NO_INCREMENT, FALSE);

    Irp->IoStatus.Information = 0;
    CompleteRequest(Irp, STATUS_SUCCESS);
    InterlockedDecrement(&extension->OpenCount);
    return STATUS_SUCCESS;
}

PAGED_ROUTINE VOID KivraUnload(PDRIVER_OBJECT DriverObject)
{
    PAGED_CODE();
    UNREFERENCED_PARAMETER(DriverObject);
    ASSERT(DriverObject->DeviceObject == NULL);
    KivraTdiDeregisterPnPHandlers();
}
