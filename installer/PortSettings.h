// The configurator's model of one port's Ethernet settings and its exchange with the driver.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "Platform.h"
#include "Text.h"
#include "common/ethrecord.h"

class TDeviceInfo;
class CEthInfo;
class TPortClass;

inline constexpr std::uint32_t kInaddrNone = 0xFFFFFFFFu;

// The address bytes in memory order, in decimal, joined by ".".
std::string FormatIpAddress(std::uint32_t ip);
// Dotted text (inet_addr forms) or a host name; "localhost" is 127.0.0.1. An empty or unknown
// name gives 255.255.255.255.
std::uint32_t ResolveIpAddress(const std::string &text, plat::IPlatform &platform);

// One TCP connection of a port: one entry of the record.
class CModbusDevInfo {
public:
    explicit CModbusDevInfo(CEthInfo *owner) : owner_(owner) {}

    CEthInfo *owner() const { return owner_; }

    std::uint32_t ip = 0;  // wire order
    std::uint16_t port = 0;
    bool raw = true;

    void AddId(std::uint8_t id) { ids_.push_back(id); }
    int IndexOfId(std::uint8_t id) const;
    void RemoveId(std::uint8_t id);
    int IdCount() const { return static_cast<int>(ids_.size()); }
    std::uint8_t IdAt(int i) const { return ids_.at(static_cast<std::size_t>(i)); }

    std::string IpText() const { return FormatIpAddress(ip); }
    void SetIpText(const std::string &text, plat::IPlatform &platform) { ip = ResolveIpAddress(text, platform); }
    std::string DisplayText() const;

    bool Build(std::uint8_t *buffer, std::uint32_t &capacity) const;
    void Parse(const quorvel::EthEntry &entry);
    quorvel::EthEntry ToEntry() const;

private:
    CEthInfo *owner_;
    std::vector<std::uint8_t> ids_;
};

// The whole settings of one port: one record.
class CEthInfo {
public:
    explicit CEthInfo(TPortClass *owner) : owner_(owner) {}

    TPortClass *owner() const { return owner_; }

    std::uint16_t delay = 10000;
    std::uint8_t rtsMask = 0;
    std::uint8_t dtrMask = 0;

    CModbusDevInfo *AddConnection(std::unique_ptr<CModbusDevInfo> connection);
    void RemoveConnection(CModbusDevInfo *connection);
    int ConnectionCount() const { return static_cast<int>(connections_.size()); }
    CModbusDevInfo *ConnectionAt(int i) const { return connections_.at(static_cast<std::size_t>(i)).get(); }
    int IndexOfConnection(const CModbusDevInfo *connection) const;

    // Two-pass build (capacity below the needed size: false, capacity = needed, nothing written).
    bool Build(std::uint8_t *buffer, std::uint32_t &capacity) const;
    std::uint32_t RecordSize() const;
    // Takes a record only when it is well formed; otherwise the model is left as it was.
    bool Parse(const std::uint8_t *buffer, std::size_t length);

    quorvel::EthRecord ToRecord() const;

private:
    TPortClass *owner_;
    std::vector<std::unique_ptr<CModbusDevInfo>> connections_;
};

// One port device of the tree.
class TPortClass {
public:
    TPortClass(TDeviceInfo *device, plat::IPlatform &platform);

    TDeviceInfo *device() const { return device_; }
    const std::string &portName() const { return portName_; }
    CEthInfo &ethInfo() { return *ethInfo_; }
    const CEthInfo &ethInfo() const { return *ethInfo_; }

    bool HasHardwareId(const std::string &id) const;
    bool IsDriverPort() const;

    // Fills the model from the driver. Returns the Win32 code of the exchange (0 on success);
    // a record the model refuses gives ERROR_INVALID_DATA. The result is also kept, see below.
    plat::Win32Error ReadFromDriver();
    // Sends the model to the driver; returns the Win32 code. A record over 32750 bytes is not sent
    // (ERROR_INSUFFICIENT_BUFFER).
    plat::Win32Error WriteToDriver();

    // The code of the last ReadFromDriver (0 before the first).
    plat::Win32Error readError() const { return readError_; }
    // True when the driver may hold settings that the model does not show (the port was held, say):
    // Apply must not overwrite them until a refresh reads them. A port never configured, or one
    // whose stored record the driver itself cannot use, is not blocked.
    bool SettingsUnread() const;

    // The COM name inside the display name: "USB Serial (COM3) #2" gives "COM3"; empty without one.
    static std::string ExtractPortName(const std::string &displayName);

private:
    TDeviceInfo *device_;
    plat::IPlatform &platform_;
    std::string portName_;
    bool driverPort_ = false;  // read with the name, when the port is made
    std::unique_ptr<CEthInfo> ethInfo_;
    plat::Win32Error readError_ = 0;
};
