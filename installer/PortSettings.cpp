#include "PortSettings.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <string>

#ifdef _WIN32
#include <winsock2.h>
#else
#include <arpa/inet.h>
#endif

#include "DeviceClasses.h"

using quorvel::Win32Error;

std::string FormatIpAddress(std::uint32_t ip)
{
    std::uint8_t b[4];
    std::memcpy(b, &ip, 4);
    return std::to_string(b[0]) + "." + std::to_string(b[1]) + "." + std::to_string(b[2]) + "." + std::to_string(b[3]);
}

std::uint32_t ResolveIpAddress(const std::string &text, plat::IPlatform &platform)
{
    std::string name = EqualNoCase(text, "localhost") ? std::string("127.0.0.1") : text;
    // Empty text is unknown on every system (some resolvers would take it for the local host).
    if (name.empty()) return kInaddrNone;
    // A NUL would end the text early for inet_addr and the resolver alike.
    if (name.find('\0') != std::string::npos) return kInaddrNone;
    auto addr = ::inet_addr(name.c_str());
    if (addr != INADDR_NONE) return static_cast<std::uint32_t>(addr);
    std::array<std::uint8_t, 4> bytes{};
    if (!platform.ResolveHostV4(name, &bytes)) return kInaddrNone;
    std::uint32_t ip = 0;
    std::memcpy(&ip, bytes.data(), 4);
    return ip;
}

int CModbusDevInfo::IndexOfId(std::uint8_t id) const
{
    auto it = std::find(ids_.begin(), ids_.end(), id);
    return it == ids_.end() ? -1 : static_cast<int>(it - ids_.begin());
}

void CModbusDevInfo::RemoveId(std::uint8_t id)
{
    auto it = std::find(ids_.begin(), ids_.end(), id);
    if (it != ids_.end()) ids_.erase(it);
}

std::string CModbusDevInfo::DisplayText() const
{
    std::string text = IpText() + " (" + std::to_string(port) + ")";
    if (!raw) text += " - Modbus TCP";
    return text;
}

quorvel::EthEntry CModbusDevInfo::ToEntry() const
{
    quorvel::EthEntry entry;
    entry.ip = ip;
    entry.port = port;
    entry.raw = raw;
    entry.ids = ids_;
    return entry;
}

bool CModbusDevInfo::Build(std::uint8_t *buffer, std::uint32_t &capacity) const
{
    return quorvel::BuildEthEntry(ToEntry(), buffer, capacity);
}

void CModbusDevInfo::Parse(const quorvel::EthEntry &entry)
{
    ip = entry.ip;
    port = entry.port;
    raw = entry.raw;
    ids_ = entry.ids;
}

CModbusDevInfo *CEthInfo::AddConnection(std::unique_ptr<CModbusDevInfo> connection)
{
    connections_.push_back(std::move(connection));
    return connections_.back().get();
}

void CEthInfo::RemoveConnection(CModbusDevInfo *connection)
{
    auto it = std::find_if(connections_.begin(), connections_.end(),
                           [connection](const std::unique_ptr<CModbusDevInfo> &c) { return c.get() == connection; });
    if (it != connections_.end()) connections_.erase(it);
}

int CEthInfo::IndexOfConnection(const CModbusDevInfo *connection) const
{
    for (std::size_t i = 0; i < connections_.size(); ++i)
        if (connections_[i].get() == connection) return static_cast<int>(i);
    return -1;
}

quorvel::EthRecord CEthInfo::ToRecord() const
{
    quorvel::EthRecord record;
    record.delay = delay;
    record.rtsMask = rtsMask;
    record.dtrMask = dtrMask;
    for (const auto &c : connections_) record.entries.push_back(c->ToEntry());
    return record;
}

bool CEthInfo::Build(std::uint8_t *buffer, std::uint32_t &capacity) const
{
    return quorvel::BuildEthRecord(ToRecord(), buffer, capacity);
}

std::uint32_t CEthInfo::RecordSize() const { return quorvel::EthRecordSize(ToRecord()); }

bool CEthInfo::Parse(const std::uint8_t *buffer, std::size_t length)
{
    quorvel::EthRecord record;
    if (quorvel::ParseEthRecord(buffer, length, &record) != quorvel::EthParseError::None) return false;
    connections_.clear();
    delay = record.delay;
    rtsMask = record.rtsMask;
    dtrMask = record.dtrMask;
    for (const quorvel::EthEntry &entry : record.entries) {
        auto connection = std::make_unique<CModbusDevInfo>(this);
        connection->Parse(entry);
        connections_.push_back(std::move(connection));
    }
    return true;
}

TPortClass::TPortClass(TDeviceInfo *device, plat::IPlatform &platform)
    : device_(device), platform_(platform), ethInfo_(std::make_unique<CEthInfo>(this))
{
    if (device_) portName_ = ExtractPortName(device_->DisplayName());
    // Read once, like the name: a later failed read (the host gone) must not turn the port into
    // another one for which Apply has nothing to do and so "succeeds".
    driverPort_ = HasHardwareId(Utf8(quorvel::QUORVEL_HARDWARE_ID));
}

std::string TPortClass::ExtractPortName(const std::string &displayName)
{
    std::size_t start = displayName.find("(COM");
    if (start == std::string::npos) return std::string();
    std::size_t end = displayName.find(')', start);
    if (end == std::string::npos) return std::string();
    return displayName.substr(start + 1, end - start - 1);
}

bool TPortClass::HasHardwareId(const std::string &id) const
{
    std::string first = device_ ? device_->HardwareId() : std::string();
    return EqualNoCase(first, id);
}

bool TPortClass::IsDriverPort() const { return driverPort_; }

Win32Error TPortClass::ReadFromDriver()
{
    if (portName_.empty()) return readError_ = ERROR_FILE_NOT_FOUND;
    plat::Bytes output;
    std::uint32_t information = 0;
    Win32Error err = platform_.PortIoControl(Utf16(portName_), quorvel::IOCTL_SERIAL_GET_ETHERNET, {},
                                             quorvel::kEthReadBufferSize, &output, &information);
    if (err == 0 && !ethInfo_->Parse(output.data(), output.size())) err = ERROR_INVALID_DATA;
    return readError_ = err;
}

bool TPortClass::SettingsUnread() const
{
    switch (readError_) {
    case ERROR_SUCCESS:
    case ERROR_NO_SYSTEM_RESOURCES:  // never configured
    case ERROR_INVALID_PARAMETER:    // stored record of another version: the driver ignores it
    case ERROR_INVALID_DATA:         // stored record malformed: the driver cannot use it
        return false;
    default: return true;
    }
}

Win32Error TPortClass::WriteToDriver()
{
    if (portName_.empty()) return ERROR_FILE_NOT_FOUND;
    std::uint32_t size = 0;
    ethInfo_->Build(nullptr, size);
    if (size == 0 || size > quorvel::kEthMaxAppliedSize) return ERROR_INSUFFICIENT_BUFFER;
    plat::Bytes record(size);
    if (!ethInfo_->Build(record.data(), size)) return ERROR_INSUFFICIENT_BUFFER;
    std::uint32_t information = 0;
    return platform_.PortIoControl(Utf16(portName_), quorvel::IOCTL_SERIAL_SET_ETHERNET, record, 0, nullptr,
                                   &information);
}
