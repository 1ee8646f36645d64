// Setup classes of the present devices, and the devices of each class.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "DeviceClasses.h"
#include "Platform.h"
#include "Text.h"

class TClassesList;

class TClassInfo {
public:
    // Stores the source device data and enumerates the class's present devices.
    TClassInfo(TClassesList *owner, const plat::DevData &source);
    ~TClassInfo();
    TClassInfo(const TClassInfo &) = delete;
    TClassInfo &operator=(const TClassInfo &) = delete;

    TClassesList *owner() const { return owner_; }
    plat::IPlatform &platform() const;
    plat::DevSet classSet() const { return classSet_; }

    plat::Guid ClassGuid() const { return source_.classGuid; }
    std::string Description() const;
    int DeviceCount() const { return static_cast<int>(devices_.size()); }
    TDeviceInfo *DeviceAt(int i) const { return devices_.at(static_cast<std::size_t>(i)).get(); }

    // The class key's "UpperFilters" (17) or "LowerFilters" (18).
    StringList ReadFilters(int kind) const;
    // The list as read for changing it: a value too long for the read buffer is an error here
    // (ERROR_MORE_DATA), since writing back what read as empty would lose it.
    plat::Win32Error ReadFiltersForChange(int kind, StringList *names) const;
    std::string FilterText(int kind) const;
    // An empty list is written as a REG_MULTI_SZ value with no data. Returns the Win32 code.
    plat::Win32Error WriteFilters(int kind, const StringList &names);

private:
    TClassesList *owner_;
    plat::DevData source_;
    plat::DevSet classSet_ = plat::kNoDevSet;
    std::vector<std::unique_ptr<TDeviceInfo>> devices_;
};

class TClassesList {
public:
    explicit TClassesList(plat::IPlatform &platform) : platform_(platform) {}
    ~TClassesList();
    TClassesList(const TClassesList &) = delete;
    TClassesList &operator=(const TClassesList &) = delete;

    plat::IPlatform &platform() const { return platform_; }

    // Empties the list and collects the distinct classes of the present devices of one class
    // (or of all classes when cls is null), in order of first appearance. Returns the code of a
    // failed enumeration (the list stays empty).
    plat::Win32Error Refresh(const plat::Guid *cls);
    void Clear();

    int ClassCount() const { return static_cast<int>(classes_.size()); }
    TClassInfo *ClassAt(int i) const { return classes_.at(static_cast<std::size_t>(i)).get(); }
    int IndexOfClass(const plat::Guid &guid) const;
    // Appends; a class already listed throws ConfiguratorError and the object is freed.
    void AddClass(std::unique_ptr<TClassInfo> info);

private:
    plat::IPlatform &platform_;
    plat::DevSet enumSet_ = plat::kNoDevSet;
    std::vector<std::unique_ptr<TClassInfo>> classes_;
};
