#include "DeviceClasses.h"

#include "SetupClasses.h"
#include "common/multisz.h"

std::string FilterListText(const StringList &names) { return Join(names, "; "); }

bool EncodeFilterList(const StringList &names, plat::Bytes *bytes)
{
    std::vector<std::u16string> list;
    for (const std::string &name : names) list.push_back(Utf16(name));
    plat::Bytes encoded = quorvel::EncodeMultiSz(list);
    if (encoded.size() > quorvel::kPropertyBufferSize) return false;
    *bytes = std::move(encoded);
    return true;
}

StringList DecodeFilterList(const plat::Bytes &bytes)
{
    StringList names;
    for (const std::u16string &name : quorvel::DecodeMultiSz(bytes.data(), bytes.size())) names.push_back(Utf8(name));
    return names;
}

TDeviceInfo::TDeviceInfo(TClassInfo *owner, const plat::DevData &data) : owner_(owner), data_(data) {}

bool TDeviceInfo::GetProperty(std::uint32_t property, plat::Bytes *buffer) const
{
    buffer->clear();
    plat::IPlatform &p = owner_->platform();
    std::uint32_t needed = 0;
    plat::Bytes probe;
    p.GetDeviceRegistryProperty(owner_->classSet(), data_, property, 0, &probe, &needed);
    if (needed > quorvel::kPropertyBufferSize) needed = quorvel::kPropertyBufferSize;
    std::uint32_t ignored = 0;
    return p.GetDeviceRegistryProperty(owner_->classSet(), data_, property, needed, buffer, &ignored) == 0;
}

std::string TDeviceInfo::StringProperty(std::uint32_t property) const
{
    plat::Bytes buffer;
    if (!GetProperty(property, &buffer)) return std::string();
    return Utf8(quorvel::DecodeFirstString(buffer.data(), buffer.size()));
}

std::string TDeviceInfo::DisplayName() const
{
    std::string name = StringProperty(SPDRP_FRIENDLYNAME);
    if (name.empty()) name = StringProperty(SPDRP_DEVICEDESC);
    return name;
}

std::string TDeviceInfo::HardwareId() const { return StringProperty(SPDRP_HARDWAREID); }

StringList TDeviceInfo::ReadFilters(int kind) const
{
    plat::Bytes buffer;
    if (!GetProperty(static_cast<std::uint32_t>(kind), &buffer)) return {};
    return DecodeFilterList(buffer);
}

plat::Win32Error TDeviceInfo::ReadFiltersForChange(int kind, StringList *names) const
{
    plat::Bytes probe;
    std::uint32_t needed = 0;
    owner_->platform().GetDeviceRegistryProperty(owner_->classSet(), data_, static_cast<std::uint32_t>(kind), 0, &probe,
                                                 &needed);
    if (needed > quorvel::kPropertyBufferSize) return ERROR_INSUFFICIENT_BUFFER;
    *names = ReadFilters(kind);
    return 0;
}

std::string TDeviceInfo::FilterText(int kind) const { return FilterListText(ReadFilters(kind)); }

plat::Win32Error TDeviceInfo::WriteFilters(int kind, const StringList &names)
{
    plat::Bytes bytes;
    if (!EncodeFilterList(names, &bytes)) return ERROR_INSUFFICIENT_BUFFER;
    return owner_->platform().SetDeviceRegistryProperty(owner_->classSet(), data_, static_cast<std::uint32_t>(kind),
                                                        bytes);
}

plat::Win32Error TDeviceInfo::Remove() { return owner_->platform().RemoveDevice(owner_->classSet(), data_); }
