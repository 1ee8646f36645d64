// Named .hpp: a newdev.h here would hide the system header of the same name from every file
// that includes it through this folder.
// Driver and filter installation: port devices of the driver, and filter drivers in the upper or
// lower filter list of the Ports class or of one port. Each call returns the Win32 code of the
// platform call that failed (0 on success).
#pragma once

#include <string>

#include "Platform.h"
#include "Text.h"

class TClassInfo;
class TDeviceInfo;

// Creates a root-enumerated Ports-class device with the hardware id and installs the INF on it;
// a failure after the device was registered leaves no device behind.
plat::Win32Error InstallDriver(plat::IPlatform &platform, const std::string &infPath, const std::string &hardwareId);

// Removes a port device. The driver package, its service and its files stay.
plat::Win32Error RemoveDevice(TDeviceInfo &device);

// Copies the filter file into the system's drivers folder and registers its service; gives the
// service name (the file name without its extension).
plat::Win32Error InstallFilterService(plat::IPlatform &platform, const std::string &filePath, std::string *serviceName);

// Installs the filter's service, then appends its name to the target's list of that kind unless
// the list already holds it in any letter case. A list too long to be read is left as it is and
// its read error returned (by RemoveFilter too).
plat::Win32Error AddFilter(TClassInfo &target, const std::string &filePath, int kind);
plat::Win32Error AddFilter(TDeviceInfo &target, const std::string &filePath, int kind);

// Removes the name (any letter case) from the target's list of that kind and writes the list
// back, also when the name was not in it. The service and its file stay.
plat::Win32Error RemoveFilter(TClassInfo &target, const std::string &name, int kind);
plat::Win32Error RemoveFilter(TDeviceInfo &target, const std::string &name, int kind);
