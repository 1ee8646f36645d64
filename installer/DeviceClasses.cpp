#include "DeviceClasses.h"

#include "SetupClasses.h"
#include "common/multisz.h"

namespace {

QString FromU16(const std::u16string &s) { return QString::fromUtf16(s.data(), static_cast<qsizetype>(s.size())); }

std::u16string ToU16(const QString &s)
{
    return std::u16string(reinterpret_cast<const char16_t *>(s.utf16()), s.size());
}

}  // namespace

QString FilterListText(const QStringList &names) { return names.join(QStringLiteral("; ")); }

bool EncodeFilterList(const QStringList &names, plat::Bytes *bytes)
{
    std::vector<std::u16string> list;
    for (const QString &name : names) list.push_back(ToU16(name));
    plat::Bytes encoded = quorvel::EncodeMultiSz(list);
    if (encoded.size() > quorvel::kPropertyBufferSize) return false;
    *bytes = std::move(encoded);
    return true;
}

QStringList DecodeFilterList(const plat::Bytes &bytes)
{
    QStringList names;
    for (const std::u16string &name : quorvel::DecodeMultiSz(bytes.data(), bytes.size())) names << FromU16(name);
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

QString TDeviceInfo::StringProperty(std::uint32_t property) const
{
    plat::Bytes buffer;
    if (!GetProperty(property, &buffer)) return QString();
    return FromU16(quorvel::DecodeFirstString(buffer.data(), buffer.size()));
}

QString TDeviceInfo::DisplayName() const
{
    QString name = StringProperty(SPDRP_FRIENDLYNAME);
    if (name.isEmpty()) name = StringProperty(SPDRP_DEVICEDESC);
    return name;
}

QString TDeviceInfo::HardwareId() const { return StringProperty(SPDRP_HARDWAREID); }

QStringList TDeviceInfo::ReadFilters(int kind) const
{
    plat::Bytes buffer;
    if (!GetProperty(static_cast<std::uint32_t>(kind), &buffer)) return {};
    return DecodeFilterList(buffer);
}

plat::Win32Error TDeviceInfo::ReadFiltersForChange(int kind, QStringList *names) const
{
    plat::Bytes probe;
    std::uint32_t needed = 0;
    owner_->platform().GetDeviceRegistryProperty(owner_->classSet(), data_, static_cast<std::uint32_t>(kind), 0, &probe,
                                                 &needed);
    if (needed > quorvel::kPropertyBufferSize) return ERROR_INSUFFICIENT_BUFFER;
    *names = ReadFilters(kind);
    return 0;
}

QString TDeviceInfo::FilterText(int kind) const { return FilterListText(ReadFilters(kind)); }

plat::Win32Error TDeviceInfo::WriteFilters(int kind, const QStringList &names)
{
    plat::Bytes bytes;
    if (!EncodeFilterList(names, &bytes)) return ERROR_INSUFFICIENT_BUFFER;
    return owner_->platform().SetDeviceRegistryProperty(owner_->classSet(), data_, static_cast<std::uint32_t>(kind),
                                                        bytes);
}

plat::Win32Error TDeviceInfo::Remove() { return owner_->platform().RemoveDevice(owner_->classSet(), data_); }
