#include "driver_port.h"

#include <chrono>
#include <stdexcept>

#include "quorvel.h"

extern "C" NTSTATUS DriverEntry(PDRIVER_OBJECT, PUNICODE_STRING);

namespace qvtest {

std::u16string PortPath(const std::string &portName)
{
    std::u16string path = u"\\\\.\\";
    for (char c : portName) path += (char16_t)c;
    return path;
}

static HANDLE OpenByName(const std::string &portName, bool overlapped)
{
    return CreateFileW(PortPath(portName).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                       overlapped ? FILE_FLAG_OVERLAPPED : 0, nullptr);
}

static bool StoreThroughHandle(const std::string &portName, const Bytes &record)
{
    HANDLE file = OpenByName(portName, false);
    if (file == INVALID_HANDLE_VALUE) return false;
    DWORD bytes = 0;
    BOOL stored = DeviceIoControl(file, IOCTL_SERIAL_SET_ETHERNET, (LPVOID)record.data(), (DWORD)record.size(), nullptr,
                                  0, &bytes, nullptr);
    CloseHandle(file);
    return stored != FALSE;
}

bool SetModbusLine(HANDLE file)
{
    DCB dcb = {};
    if (!GetCommState(file, &dcb)) return false;
    dcb.BaudRate = CBR_9600;
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.StopBits = ONESTOPBIT;
    return SetCommState(file, &dcb) != FALSE;
}

IoDeadline::IoDeadline(HANDLE file, int ms)
{
    thread_ = std::thread([this, file, ms] {
        std::unique_lock<std::mutex> lock(mutex_);
        if (!changed_.wait_for(lock, std::chrono::milliseconds(ms), [this] { return over_; })) {
            expired_ = true;
            CancelIoEx(file, nullptr);
        }
    });
}

IoDeadline::~IoDeadline()
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        over_ = true;
    }
    changed_.notify_all();
    thread_.join();
}

DriverPort::DriverPort(const std::string &portName, const Bytes &record)
{
    qv::PnpNodeOptions options;
    options.PortName = portName;
    NTSTATUS status = qv::PnpCreatePortsNode(options, &instanceId_);
    qv::PnpNodeInfo info;
    if (!NT_SUCCESS(status) || !qv::PnpGetNode(instanceId_, &info) || !info.Started) {
        throw std::runtime_error("the port " + portName + " did not start");
    }
    name_ = info.PortName;
    if (!record.empty() && !StoreThroughHandle(name_, record)) {
        throw std::runtime_error("the record was not stored on " + name_);
    }
}

DriverPort::~DriverPort() { qv::PnpRemoveNode(instanceId_); }

PDEVICE_OBJECT DriverPort::Device() const
{
    PDEVICE_OBJECT pdo = qv::PnpPhysicalDevice(instanceId_);
    return pdo != nullptr ? pdo->AttachedDevice : nullptr;
}

PDEVICE_EXTENSION DriverPort::Extension() const
{
    PDEVICE_OBJECT device = Device();
    return device != nullptr ? (PDEVICE_EXTENSION)device->DeviceExtension : nullptr;
}

void DriverTest::SetUp()
{
    PlatformTest::SetUp();
    qv::VerifierForbidNestings(QuorvelForbiddenNesting);
    qv::PnpRegisterDriver("Quorvel", DriverEntry);
}

std::string DriverTest::AddPort(const std::string &portName)
{
    qv::PnpNodeOptions options;
    options.PortName = portName;
    std::string id;
    NTSTATUS status = qv::PnpCreatePortsNode(options, &id);
    EXPECT_EQ(status, STATUS_SUCCESS) << portName;
    return id;
}

HANDLE DriverTest::Open(const std::string &portName, bool overlapped) { return OpenByName(portName, overlapped); }

void DriverTest::StoreRecord(const std::string &portName, const Bytes &record)
{
    EXPECT_TRUE(StoreThroughHandle(portName, record)) << portName;
}

}  // namespace qvtest
