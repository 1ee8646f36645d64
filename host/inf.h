// The checks a driver package's INF must pass before a port device is created for it.
#pragma once

#include <string>

#include "common/wintypes.h"

namespace quorvel {

inline constexpr Win32Error kErrorWrongInfStyle = 0xE0000100;
inline constexpr Win32Error kErrorNoCompatDrivers = 0xE0000228;

struct InfCheck {
    Win32Error error = 0;
    std::string className;  // the [Version] Class
};

// Missing file: ERROR_FILE_NOT_FOUND; not an INF or no [Version] Class: ERROR_WRONG_INF_STYLE;
// no model line for the hardware id, or no AddService of `service` in the model's install
// section: ERROR_NO_COMPAT_DRIVERS.
InfCheck CheckDriverInf(const std::string &path, const std::string &hardwareId, const std::string &service);

}  // namespace quorvel
