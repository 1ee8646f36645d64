// Kernel side of the test port: a test driver whose read, write, flush and control entries are
// the driver's own, and whose create, cleanup and close run the serial half of open and close.
#include "serial_port.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <stdexcept>

#include <sched.h>

#include "io/iomgr.h"
#include "quorvel.h"
#include "qv/io.h"
#include "qv/platform.h"

namespace sertest {
namespace {

// Test-only state kept after the driver's extension in the same allocation.
struct HarnessState {
    LONG OpenCount;
    std::vector<uint8_t> *Record;  // empty: the port runs without connections
};

HarnessState *Harness(PDEVICE_OBJECT device)
{
    return (HarnessState *)((PUCHAR)device->DeviceExtension + sizeof(DEVICE_EXTENSION));
}

void CompleteWith(PIRP irp, NTSTATUS status)
{
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = 0;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
}

NTSTATUS NTAPI TestCreate(PDEVICE_OBJECT device, PIRP irp)
{
    PDEVICE_EXTENSION extension = (PDEVICE_EXTENSION)device->DeviceExtension;
    HarnessState *harness = Harness(device);
    if (InterlockedIncrement(&harness->OpenCount) != 1) {
        InterlockedDecrement(&harness->OpenCount);
        CompleteWith(irp, STATUS_ACCESS_DENIED);
        return STATUS_ACCESS_DENIED;
    }
    bool gateway = !harness->Record->empty();
    if (gateway) {
        std::vector<uint8_t> copy = *harness->Record;
        MakeEthernetLists(extension, copy.data());
    }
    NTSTATUS status = AllocateRxRing(extension);
    if (NT_SUCCESS(status) && gateway) {
        status = ConnectToLinkServer(device);
        if (!NT_SUCCESS(status)) FreeRxRing(extension);
    }
    if (!NT_SUCCESS(status)) {
        if (gateway) FreeEthernetLists(extension);
        InterlockedDecrement(&harness->OpenCount);
        CompleteWith(irp, status);
        return status;
    }
    SerialOpenPort(extension);
    CompleteWith(irp, STATUS_SUCCESS);
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI TestCleanup(PDEVICE_OBJECT device, PIRP irp)
{
    PDEVICE_EXTENSION extension = (PDEVICE_EXTENSION)device->DeviceExtension;
    CleanupFileRequests(extension, IoGetCurrentIrpStackLocation(irp)->FileObject);
    CompleteWith(irp, STATUS_SUCCESS);
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI TestClose(PDEVICE_OBJECT device, PIRP irp)
{
    PDEVICE_EXTENSION extension = (PDEVICE_EXTENSION)device->DeviceExtension;
    if (!Harness(device)->Record->empty()) {
        StopConnectThread(device);
        FreeEthernetLists(extension);
    }
    SerialClosePort(extension);
    CompleteWith(irp, STATUS_SUCCESS);
    InterlockedDecrement(&Harness(device)->OpenCount);
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI TestDriverInit(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath)
{
    driver->MajorFunction[IRP_MJ_CREATE] = TestCreate;
    driver->MajorFunction[IRP_MJ_CLEANUP] = TestCleanup;
    driver->MajorFunction[IRP_MJ_CLOSE] = TestClose;
    driver->MajorFunction[IRP_MJ_READ] = KivraReadDispatch;
    driver->MajorFunction[IRP_MJ_WRITE] = KivraWriteDispatch;
    driver->MajorFunction[IRP_MJ_FLUSH_BUFFERS] = KivraFlushDispatch;
    driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = KivraIoControlDispatch;
    return STATUS_SUCCESS;
}

// A DPC that keeps its processor until told to let go.
struct DpcHold {
    KDPC Dpc;
    std::atomic<bool> Running{false};
    std::atomic<bool> Held{true};
};

VOID NTAPI HoldingDpc(PKDPC, PVOID context, PVOID, PVOID)
{
    auto *hold = static_cast<DpcHold *>(context);
    hold->Running = true;
    while (hold->Held) sched_yield();
}

std::atomic<int> nextPort{0};

PDEVICE_OBJECT Device(void *device) { return (PDEVICE_OBJECT)device; }
PDEVICE_EXTENSION Extension(void *device) { return (PDEVICE_EXTENSION)Device(device)->DeviceExtension; }

void Check(NTSTATUS status, const char *what)
{
    if (!NT_SUCCESS(status)) throw std::runtime_error(std::string(what) + " failed");
}

}  // namespace

Port::Port(const PortOptions &options)
{
    int number = nextPort++;
    std::u16string index;
    for (char c : std::to_string(number)) index += (char16_t)c;
    std::u16string driverName = u"\\Driver\\QuorvelSerialTest" + index;
    std::u16string deviceName = u"\\Device\\QuorvelDevice" + index;
    std::u16string linkName = u"\\??\\QVSERIAL" + index;
    path_ = u"\\\\.\\QVSERIAL" + index;

    // The port's physical device: its driver key holds the stored settings record.
    PDEVICE_OBJECT pdo = nullptr;
    Check(qv::CreateTestPdo("ROOT\\PORTS\\QVSERIAL" + std::to_string(number), &pdo), "CreateTestPdo");
    pdo_ = pdo;

    PDRIVER_OBJECT driver = nullptr;
    Check(qv::IoCreateDriver(driverName.c_str(), TestDriverInit, &driver), "IoCreateDriver");

    UNICODE_STRING name;
    RtlInitUnicodeString(&name, deviceName.c_str());
    PDEVICE_OBJECT device = nullptr;
    Check(IoCreateDevice(driver, sizeof(DEVICE_EXTENSION) + sizeof(HarnessState), &name, FILE_DEVICE_SERIAL_PORT,
                         FILE_DEVICE_SECURE_OPEN, FALSE, &device),
          "IoCreateDevice");
    device_ = device;

    PDEVICE_EXTENSION extension = (PDEVICE_EXTENSION)device->DeviceExtension;
    RtlZeroMemory(extension, sizeof(DEVICE_EXTENSION) + sizeof(HarnessState));
    extension->DeviceObject = device;
    extension->Pdo = pdo;
    Harness(device)->Record = new std::vector<uint8_t>(options.Record);
    InitializeSerialCore(extension);
    GatewayInitialize(extension);
    InitializeSerialData(extension);
    extension->DevicePowerState = PowerDeviceD0;
    extension->EthInfo.rtsMask = options.RtsMask;
    extension->EthInfo.dtrMask = options.DtrMask;
    Check(VuartInitialize(&extension->Uart, extension), "VuartInitialize");
    device->Flags |= DO_BUFFERED_IO;
    device->Flags &= ~DO_DEVICE_INITIALIZING;

    auto *link = new UNICODE_STRING;
    auto *linkText = new std::u16string(linkName);
    RtlInitUnicodeString(link, linkText->c_str());
    link_ = link;
    linkText_ = linkText;
    Check(IoCreateSymbolicLink(link, &name), "IoCreateSymbolicLink");

    // The driver's lock order, checked by the verifier on every path the tests drive.
    qv::VerifierForbidNestings(QuorvelForbiddenNesting);

    // The device has started: requests may run.
    RestartAllQueues(extension);
}

void Port::HoldDpcs()
{
    auto *hold = new DpcHold;
    KeInitializeDpc(&hold->Dpc, HoldingDpc, hold);
    hold_ = hold;
    KeInsertQueueDpc(&hold->Dpc, nullptr, nullptr);
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!hold->Running) {
        if (std::chrono::steady_clock::now() > deadline) throw std::runtime_error("the holding DPC never ran");
        sched_yield();
    }
}

void Port::ReleaseDpcs()
{
    auto *hold = static_cast<DpcHold *>(hold_);
    if (hold == nullptr) return;
    hold->Held = false;
    KeFlushQueuedDpcs();
    delete hold;
    hold_ = nullptr;
}

Port::~Port()
{
    ReleaseDpcs();
    PDEVICE_OBJECT device = Device(device_);
    PDEVICE_EXTENSION extension = Extension(device_);
    PDRIVER_OBJECT driver = device->DriverObject;
    IoDeleteSymbolicLink((PUNICODE_STRING)link_);
    delete (PUNICODE_STRING)link_;
    delete (std::u16string *)linkText_;
    // Queued DPCs of the port must not outlive it.
    KeFlushQueuedDpcs();
    VuartFree(&extension->Uart);
    delete Harness(device)->Record;
    IoDeleteDevice(device);
    qv::IoUnloadDriver(driver);
    qv::DeleteTestPdo((PDEVICE_OBJECT)pdo_);
}

void Port::Receive(const std::vector<uint8_t> &bytes)
{
    PDEVICE_EXTENSION extension = Extension(device_);
    size_t done = 0;
    while (done < bytes.size()) {
        ULONG chunk = (ULONG)std::min<size_t>(bytes.size() - done, VUART_RX_FIFO_SIZE);
        KIRQL oldIrql;
        KeAcquireSpinLock(&extension->DeviceLock, &oldIrql);
        RtlCopyMemory(extension->Uart.RxFifo, bytes.data() + done, chunk);
        extension->Uart.RxCount = chunk;
        ReceiveCharacters(extension);
        KeReleaseSpinLock(&extension->DeviceLock, oldIrql);
        done += chunk;
    }
}

std::vector<uint8_t> MakeRecord(uint16_t delayMs, uint8_t rtsMask, uint8_t dtrMask,
                                const std::vector<Connection> &connections)
{
    std::vector<uint8_t> record(10, 0);
    auto put = [&record](size_t at, uint32_t value, int bytes) {
        for (int i = 0; i < bytes; i++) record[at + i] = (uint8_t)(value >> (8 * i));
    };
    for (const Connection &c : connections) {
        size_t at = record.size();
        record.resize(at + 11 + c.DeviceIds.size());
        put(at, (uint32_t)(11 + c.DeviceIds.size()), 4);
        record[at + 4] = 127;  // 127.0.0.1 in network order
        record[at + 7] = 1;
        put(at + 8, c.TcpPort, 2);
        record[at + 10] = c.Raw ? 1 : 0;
        std::copy(c.DeviceIds.begin(), c.DeviceIds.end(), record.begin() + at + 11);
    }
    put(0, (uint32_t)record.size(), 4);
    put(4, 0x0101, 2);
    put(6, delayMs, 2);
    record[8] = rtsMask;
    record[9] = dtrMask;
    return record;
}

void Port::Receive(size_t count, uint8_t value) { Receive(std::vector<uint8_t>(count, value)); }

namespace {
template <typename F>
auto Locked(void *device, F read)
{
    PDEVICE_EXTENSION extension = Extension(device);
    KIRQL oldIrql;
    KeAcquireSpinLock(&extension->DeviceLock, &oldIrql);
    auto value = read(extension);
    KeReleaseSpinLock(&extension->DeviceLock, oldIrql);
    return value;
}
}  // namespace

uint32_t Port::RingCount()
{
    return Locked(device_, [](PDEVICE_EXTENSION e) { return e->RxRingCount; });
}
uint32_t Port::RingSize()
{
    return Locked(device_, [](PDEVICE_EXTENSION e) { return e->RxRingSize; });
}
uint32_t Port::TxQueuedCount()
{
    return Locked(device_, [](PDEVICE_EXTENSION e) { return e->TxQueuedCount; });
}
uint8_t Port::ModemControl()
{
    return Locked(device_, [](PDEVICE_EXTENSION e) { return e->Uart.Mcr; });
}
uint8_t Port::ModemStatusRegister()
{
    return Locked(device_, [](PDEVICE_EXTENSION e) { return e->Uart.Msr; });
}
bool Port::PortOpen()
{
    return Locked(device_, [](PDEVICE_EXTENSION e) { return e->PortOpen != FALSE; });
}
bool Port::WaitPending()
{
    return Locked(device_, [](PDEVICE_EXTENSION e) { return e->WaitIrp != nullptr; });
}
bool Port::XoffCounterPending()
{
    return Locked(device_, [](PDEVICE_EXTENSION e) { return e->XoffCounterIrp != nullptr; });
}
int Port::OpenCount() const { return (int)InterlockedCompareExchange(&Harness(Device(device_))->OpenCount, 0, 0); }

}  // namespace sertest
