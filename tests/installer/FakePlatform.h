// A scripted platform for the configurator's tests: devices with properties, class values, and
// ports that answer the Ethernet requests the way the driver does. Records every call.
#pragma once

#include <cstring>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "Platform.h"
#include "common/ethrecord.h"
#include "common/multisz.h"
#include "common/portoptions.h"
#include "common/sysmsg.h"

class FakePlatform : public plat::IPlatform {
public:
    struct Device {
        quorvel::Guid cls;
        std::uint32_t devInst = 0;
        std::map<std::uint32_t, plat::Bytes> properties;
    };

    struct Port {
        bool hasRecord = false;
        plat::Bytes record;                                    // what the driver stores
        quorvel::Win32Error failure = 0;                       // every exchange fails with it (the port is held, say)
        plat::Bytes options = quorvel::EncodePortOptions({});  // the options record, as the driver keeps it
        std::uint32_t knownFlags = 0;                          // option flags the driver takes; others are refused
        bool optionsRequests = true;                           // false: a driver older than the options requests
    };

    std::vector<Device> devices;
    std::map<std::string, plat::Bytes> classValues;  // GuidToString + "\\" + name
    std::map<std::string, std::u16string> classDescriptions;
    std::map<std::u16string, Port> ports;
    std::map<std::string, std::array<std::uint8_t, 4>> hosts;
    std::vector<std::string> calls;
    int openSets = 0;

    static plat::Bytes Utf16z(const std::u16string &s)
    {
        return quorvel::EncodeMultiSz({s});  // a REG_MULTI_SZ of one string also reads as that REG_SZ
    }

    // A present device of the Ports class with a friendly name and a hardware id.
    Device &AddPort(const std::u16string &friendlyName, const std::u16string &hardwareId,
                    const quorvel::Guid &cls = quorvel::kPortsClassGuid)
    {
        Device d;
        d.cls = cls;
        d.devInst = static_cast<std::uint32_t>(devices.size() + 1);
        if (!friendlyName.empty()) d.properties[SPDRP_FRIENDLYNAME] = Utf16z(friendlyName);
        d.properties[SPDRP_DEVICEDESC] = Utf16z(u"Последовательный порт");
        if (!hardwareId.empty()) d.properties[SPDRP_HARDWAREID] = quorvel::EncodeMultiSz({hardwareId, u"other"});
        devices.push_back(d);
        return devices.back();
    }

    int CountCalls(const std::string &name) const
    {
        int n = 0;
        for (const std::string &c : calls) n += c.rfind(name, 0) == 0;
        return n;
    }

    // ---- IPlatform ----
    quorvel::Win32Error GetClassDevs(const quorvel::Guid *cls, std::uint32_t flags, plat::DevSet *out) override
    {
        calls.push_back("GetClassDevs");
        std::vector<std::size_t> members;
        for (std::size_t i = 0; i < devices.size(); ++i)
            if (!cls || devices[i].cls == *cls) members.push_back(i);
        plat::DevSet handle = nextSet_++;
        sets_[handle] = members;
        ++openSets;
        *out = handle;
        return 0;
    }

    quorvel::Win32Error EnumDeviceInfo(plat::DevSet set, std::uint32_t index, plat::DevData *out) override
    {
        auto it = sets_.find(set);
        if (it == sets_.end()) return ERROR_INVALID_HANDLE;
        if (index >= it->second.size()) return ERROR_NO_MORE_ITEMS;
        const Device &d = devices[it->second[index]];
        out->classGuid = d.cls;
        out->devInst = d.devInst;
        out->reserved = set;
        return 0;
    }

    void DestroyDeviceInfoList(plat::DevSet set) override
    {
        calls.push_back("DestroyDeviceInfoList");
        if (sets_.erase(set)) --openSets;
    }

    quorvel::Win32Error GetClassDescription(const quorvel::Guid &cls, std::u16string *out) override
    {
        auto it = classDescriptions.find(quorvel::GuidToString(cls));
        if (it == classDescriptions.end()) return ERROR_INVALID_CLASS;
        *out = it->second;
        return 0;
    }

    quorvel::Win32Error GetDeviceRegistryProperty(plat::DevSet set, const plat::DevData &dev, std::uint32_t property,
                                                  std::uint32_t bufferSize, plat::Bytes *data,
                                                  std::uint32_t *needed) override
    {
        Device *d = Find(set, dev);
        if (!d) return ERROR_NO_SUCH_DEVINST;
        auto it = d->properties.find(property);
        if (it == d->properties.end()) {
            *needed = 0;
            return ERROR_INVALID_DATA;
        }
        *needed = static_cast<std::uint32_t>(it->second.size());
        if (bufferSize < it->second.size()) return ERROR_INSUFFICIENT_BUFFER;
        *data = it->second;
        return 0;
    }

    quorvel::Win32Error SetDeviceRegistryProperty(plat::DevSet set, const plat::DevData &dev, std::uint32_t property,
                                                  const plat::Bytes &data) override
    {
        calls.push_back("SetDeviceRegistryProperty " + std::to_string(property));
        Device *d = Find(set, dev);
        if (!d) return ERROR_NO_SUCH_DEVINST;
        if (data.empty())
            d->properties.erase(property);
        else
            d->properties[property] = data;
        return 0;
    }

    quorvel::Win32Error QueryClassValue(const quorvel::Guid &cls, const std::u16string &name, std::uint32_t bufferSize,
                                        plat::Bytes *data) override
    {
        auto it = classValues.find(ClassKey(cls, name));
        if (it == classValues.end()) return ERROR_FILE_NOT_FOUND;
        if (bufferSize < it->second.size()) return ERROR_MORE_DATA;
        *data = it->second;
        return 0;
    }

    quorvel::Win32Error SetClassMultiSz(const quorvel::Guid &cls, const std::u16string &name,
                                        const plat::Bytes &data) override
    {
        calls.push_back("SetClassMultiSz");
        classValues[ClassKey(cls, name)] = data;
        return 0;
    }

    bool ClassIcon(const quorvel::Guid &, plat::Icon16 *) override { return false; }

    quorvel::Win32Error PortIoControl(const std::u16string &portName, std::uint32_t ioctl, const plat::Bytes &input,
                                      std::uint32_t outputSize, plat::Bytes *output,
                                      std::uint32_t *information) override
    {
        const bool options = ioctl == quorvel::IOCTL_QUORVEL_SET_OPTIONS || ioctl == quorvel::IOCTL_QUORVEL_GET_OPTIONS;
        const bool set = ioctl == quorvel::IOCTL_SERIAL_SET_ETHERNET || ioctl == quorvel::IOCTL_QUORVEL_SET_OPTIONS;
        calls.push_back(std::string(options ? "OPT" : "") + (set ? "SET " : "GET ") + quorvel::Utf16ToUtf8(portName));
        *information = 0;
        auto it = ports.find(portName);
        if (it == ports.end()) return ERROR_FILE_NOT_FOUND;
        Port &port = it->second;
        if (port.failure) return port.failure;
        if (options) {
            if (!port.optionsRequests) return ERROR_INVALID_PARAMETER;
            if (ioctl == quorvel::IOCTL_QUORVEL_GET_OPTIONS) {
                *information = static_cast<std::uint32_t>(port.options.size());
                if (outputSize < port.options.size()) return ERROR_INSUFFICIENT_BUFFER;
                *output = port.options;
                return 0;
            }
            quorvel::PortOptions decoded;
            if (!quorvel::DecodePortOptions(input, &decoded) || (decoded.flags & ~port.knownFlags))
                return ERROR_INVALID_PARAMETER;
            port.options = input;
            return 0;
        }
        if (ioctl == quorvel::IOCTL_SERIAL_SET_ETHERNET) {
            std::uint32_t size = 0;
            if (input.size() >= 4) std::memcpy(&size, input.data(), 4);
            if (input.size() < 10 || size != input.size() || input[4] != 1 || input[5] != 1)
                return ERROR_INVALID_PARAMETER;
            port.record = input;
            port.hasRecord = true;
            return 0;
        }
        if (ioctl != quorvel::IOCTL_SERIAL_GET_ETHERNET) return ERROR_INVALID_FUNCTION;
        if (!port.hasRecord) return ERROR_NO_SYSTEM_RESOURCES;
        *information = static_cast<std::uint32_t>(port.record.size());
        if (outputSize < port.record.size()) return ERROR_INSUFFICIENT_BUFFER;
        *output = port.record;
        return 0;
    }

    bool ResolveHostV4(const std::string &host, std::array<std::uint8_t, 4> *out) override
    {
        calls.push_back("ResolveHostV4 " + host);
        auto it = hosts.find(host);
        if (it == hosts.end()) return false;
        *out = it->second;
        return true;
    }

    quorvel::Win32Error installResult = ERROR_ACCESS_DENIED;
    quorvel::Win32Error InstallDevice(const std::u16string &, const std::u16string &) override
    {
        calls.push_back("InstallDevice");
        return installResult;
    }
    quorvel::Win32Error RemoveDevice(plat::DevSet, const plat::DevData &) override
    {
        calls.push_back("RemoveDevice");
        return ERROR_ACCESS_DENIED;
    }
    quorvel::Win32Error InstallFilterService(const std::u16string &, std::u16string *) override
    {
        calls.push_back("InstallFilterService");
        return ERROR_ACCESS_DENIED;
    }
    quorvel::Win32Error LoadVersionInfo(const std::u16string &, plat::Bytes *) override { return ERROR_FILE_NOT_FOUND; }
    bool QueryVersionValue(const plat::Bytes &, const std::u16string &, plat::Bytes *) override { return false; }
    quorvel::Win32Error ShellOpen(const std::u16string &) override { return ERROR_FILE_NOT_FOUND; }
    std::u16string SystemMessage(quorvel::Win32Error code) override
    {
        return quorvel::Utf8ToUtf16(quorvel::HostSystemMessage(code));
    }

private:
    static std::string ClassKey(const quorvel::Guid &cls, const std::u16string &name)
    {
        return quorvel::GuidToString(cls) + "\\" + quorvel::Utf16ToUtf8(name);
    }

    Device *Find(plat::DevSet set, const plat::DevData &dev)
    {
        auto it = sets_.find(set);
        if (it == sets_.end()) return nullptr;
        for (std::size_t i : it->second)
            if (devices[i].devInst == dev.devInst) return &devices[i];
        return nullptr;
    }

    plat::DevSet nextSet_ = 100;
    std::map<plat::DevSet, std::vector<std::size_t>> sets_;
};
