#include "newdev.hpp"

#include <QDir>

#include "DeviceClasses.h"
#include "SetupClasses.h"

namespace {

plat::U16 NativePath(const QString &path) { return QDir::toNativeSeparators(path).toStdU16String(); }

template <class Target>
plat::Win32Error AddFilterTo(Target &target, plat::IPlatform &platform, const QString &filePath, int kind)
{
    QString name;
    if (plat::Win32Error err = InstallFilterService(platform, filePath, &name)) return err;
    QStringList names;
    if (plat::Win32Error err = target.ReadFiltersForChange(kind, &names)) return err;
    if (names.contains(name, Qt::CaseInsensitive)) return 0;
    names.append(name);
    return target.WriteFilters(kind, names);
}

template <class Target>
plat::Win32Error RemoveFilterFrom(Target &target, const QString &name, int kind)
{
    QStringList names;
    if (plat::Win32Error err = target.ReadFiltersForChange(kind, &names)) return err;
    for (qsizetype i = 0; i < names.size(); ++i) {
        if (names[i].compare(name, Qt::CaseInsensitive) == 0) {
            names.removeAt(i);
            break;
        }
    }
    return target.WriteFilters(kind, names);
}

}  // namespace

plat::Win32Error InstallDriver(plat::IPlatform &platform, const QString &infPath, const QString &hardwareId)
{
    return platform.InstallDevice(NativePath(infPath), hardwareId.toStdU16String());
}

plat::Win32Error RemoveDevice(TDeviceInfo &device) { return device.Remove(); }

plat::Win32Error InstallFilterService(plat::IPlatform &platform, const QString &filePath, QString *serviceName)
{
    plat::U16 name;
    plat::Win32Error err = platform.InstallFilterService(NativePath(filePath), &name);
    *serviceName = err ? QString() : QString::fromStdU16String(name);
    return err;
}

plat::Win32Error AddFilter(TClassInfo &target, const QString &filePath, int kind)
{
    return AddFilterTo(target, target.platform(), filePath, kind);
}

plat::Win32Error AddFilter(TDeviceInfo &target, const QString &filePath, int kind)
{
    return AddFilterTo(target, target.owner()->platform(), filePath, kind);
}

plat::Win32Error RemoveFilter(TClassInfo &target, const QString &name, int kind)
{
    return RemoveFilterFrom(target, name, kind);
}

plat::Win32Error RemoveFilter(TDeviceInfo &target, const QString &name, int kind)
{
    return RemoveFilterFrom(target, name, kind);
}
