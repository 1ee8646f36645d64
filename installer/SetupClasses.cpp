#include "SetupClasses.h"

#include "Errors.h"
#include "common/multisz.h"

namespace {

const char16_t *ClassFilterValue(int kind) { return kind == kLowerFilters ? u"LowerFilters" : u"UpperFilters"; }

}  // namespace

TClassInfo::TClassInfo(TClassesList *owner, const plat::DevData &source) : owner_(owner), source_(source)
{
    plat::IPlatform &p = platform();
    plat::DevSet set = plat::kNoDevSet;
    if (p.GetClassDevs(&source_.classGuid, DIGCF_PRESENT, &set) != 0 || set == plat::kNoDevSet) return;
    classSet_ = set;
    for (std::uint32_t index = 0;; ++index) {
        plat::DevData data;
        if (p.EnumDeviceInfo(classSet_, index, &data) != 0) break;
        devices_.push_back(std::make_unique<TDeviceInfo>(this, data));
    }
}

TClassInfo::~TClassInfo()
{
    devices_.clear();
    if (classSet_ != plat::kNoDevSet) platform().DestroyDeviceInfoList(classSet_);
}

plat::IPlatform &TClassInfo::platform() const { return owner_->platform(); }

std::string TClassInfo::Description() const
{
    std::u16string text;
    if (platform().GetClassDescription(source_.classGuid, &text) != 0) return std::string();
    return Utf8(text);
}

StringList TClassInfo::ReadFilters(int kind) const
{
    plat::Bytes buffer;
    if (platform().QueryClassValue(source_.classGuid, ClassFilterValue(kind), quorvel::kPropertyBufferSize, &buffer) !=
        0)
        return {};
    return DecodeFilterList(buffer);
}

plat::Win32Error TClassInfo::ReadFiltersForChange(int kind, StringList *names) const
{
    plat::Bytes buffer;
    plat::Win32Error err =
        platform().QueryClassValue(source_.classGuid, ClassFilterValue(kind), quorvel::kPropertyBufferSize, &buffer);
    if (err == ERROR_MORE_DATA) return err;
    *names = err == 0 ? DecodeFilterList(buffer) : StringList();
    return 0;
}

std::string TClassInfo::FilterText(int kind) const { return FilterListText(ReadFilters(kind)); }

plat::Win32Error TClassInfo::WriteFilters(int kind, const StringList &names)
{
    plat::Bytes bytes;
    if (!EncodeFilterList(names, &bytes)) return ERROR_INSUFFICIENT_BUFFER;
    return platform().SetClassMultiSz(source_.classGuid, ClassFilterValue(kind), bytes);
}

TClassesList::~TClassesList() { Clear(); }

void TClassesList::Clear()
{
    classes_.clear();
    if (enumSet_ != plat::kNoDevSet) platform_.DestroyDeviceInfoList(enumSet_);
    enumSet_ = plat::kNoDevSet;
}

plat::Win32Error TClassesList::Refresh(const plat::Guid *cls)
{
    Clear();
    std::uint32_t flags = DIGCF_PRESENT | (cls ? 0 : DIGCF_ALLCLASSES);
    plat::DevSet set = plat::kNoDevSet;
    if (plat::Win32Error err = platform_.GetClassDevs(cls, flags, &set)) return err;
    if (set == plat::kNoDevSet) return ERROR_INVALID_HANDLE;
    enumSet_ = set;
    for (std::uint32_t index = 0;; ++index) {
        plat::DevData data;
        if (platform_.EnumDeviceInfo(enumSet_, index, &data) != 0) break;
        // A class already listed is skipped before its devices are enumerated a second time.
        if (IndexOfClass(data.classGuid) >= 0) continue;
        AddClass(std::make_unique<TClassInfo>(this, data));
    }
    return ERROR_SUCCESS;
}

int TClassesList::IndexOfClass(const plat::Guid &guid) const
{
    for (std::size_t i = 0; i < classes_.size(); ++i)
        if (classes_[i]->ClassGuid() == guid) return static_cast<int>(i);
    return -1;
}

void TClassesList::AddClass(std::unique_ptr<TClassInfo> info)
{
    if (IndexOfClass(info->ClassGuid()) >= 0)
        throw ConfiguratorError("Класс " + quorvel::GuidToString(info->ClassGuid()) +
                                " уже существует в списке классов!");
    classes_.push_back(std::move(info));
}
