#include "newdev.hpp"

#include "DeviceClasses.h"
#include "SetupClasses.h"

namespace {

plat::U16 NativePath(const std::string &path)
{
    plat::U16 native = Utf16(path);
#ifdef _WIN32
    for (char16_t &c : native)
        if (c == u'/') c = u'\\';
#endif
    return native;
}

template <class Target>
plat::Win32Error AddFilterTo(Target &target, plat::IPlatform &platform, const std::string &filePath, int kind)
{
    std::string name;
    if (plat::Win32Error err = InstallFilterService(platform, filePath, &name)) return err;
    StringList names;
    if (plat::Win32Error err = target.ReadFiltersForChange(kind, &names)) return err;
    for (const std::string &listed : names)
        if (EqualNoCase(listed, name)) return 0;
    names.push_back(name);
    return target.WriteFilters(kind, names);
}

template <class Target>
plat::Win32Error RemoveFilterFrom(Target &target, const std::string &name, int kind)
{
    StringList names;
    if (plat::Win32Error err = target.ReadFiltersForChange(kind, &names)) return err;
    for (auto it = names.begin(); it != names.end(); ++it) {
        if (EqualNoCase(*it, name)) {
            names.erase(it);
            break;
        }
    }
    return target.WriteFilters(kind, names);
}

}  // namespace

plat::Win32Error InstallDriver(plat::IPlatform &platform, const std::string &infPath, const std::string &hardwareId)
{
    return platform.InstallDevice(NativePath(infPath), Utf16(hardwareId));
}

plat::Win32Error RemoveDevice(TDeviceInfo &device) { return device.Remove(); }

plat::Win32Error InstallFilterService(plat::IPlatform &platform, const std::string &filePath, std::string *serviceName)
{
    plat::U16 name;
    plat::Win32Error err = platform.InstallFilterService(NativePath(filePath), &name);
    *serviceName = err ? std::string() : Utf8(name);
    return err;
}

plat::Win32Error AddFilter(TClassInfo &target, const std::string &filePath, int kind)
{
    return AddFilterTo(target, target.platform(), filePath, kind);
}

plat::Win32Error AddFilter(TDeviceInfo &target, const std::string &filePath, int kind)
{
    return AddFilterTo(target, target.owner()->platform(), filePath, kind);
}

plat::Win32Error RemoveFilter(TClassInfo &target, const std::string &name, int kind)
{
    return RemoveFilterFrom(target, name, kind);
}

plat::Win32Error RemoveFilter(TDeviceInfo &target, const std::string &name, int kind)
{
    return RemoveFilterFrom(target, name, kind);
}
