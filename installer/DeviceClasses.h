// One device instance of a setup class, with its properties and its filter lists.
#pragma once

#include <string>

#include "Platform.h"
#include "Text.h"

class TClassInfo;

// Filter kinds: the SetupAPI property numbers, also selecting the class value.
inline constexpr int kUpperFilters = 17;
inline constexpr int kLowerFilters = 18;

// The one-line form of a filter list: the names joined by "; ".
std::string FilterListText(const StringList &names);
// The REG_MULTI_SZ form of a list; false when it would not fit the 32768-byte write buffer.
bool EncodeFilterList(const StringList &names, plat::Bytes *bytes);
StringList DecodeFilterList(const plat::Bytes &bytes);

class TDeviceInfo {
public:
    TDeviceInfo(TClassInfo *owner, const plat::DevData &data);

    TClassInfo *owner() const { return owner_; }
    const plat::DevData &deviceData() const { return data_; }

    // Friendly name, else description, else empty.
    std::string DisplayName() const;
    // The first string of the hardware id list, or empty.
    std::string HardwareId() const;

    // Reads a property into at most 32768 bytes: a probe for the size, then the read. A value
    // longer than the buffer, or a missing one, gives false.
    bool GetProperty(std::uint32_t property, plat::Bytes *buffer) const;

    StringList ReadFilters(int kind) const;
    // The list as read for changing it: a list too long for the read buffer is an error here
    // (ERROR_INSUFFICIENT_BUFFER), since writing back what read as empty would lose it.
    plat::Win32Error ReadFiltersForChange(int kind, StringList *names) const;
    std::string FilterText(int kind) const;
    // An empty list deletes the property. Returns the Win32 code.
    plat::Win32Error WriteFilters(int kind, const StringList &names);

    // Removes the device instance (DIF_REMOVE).
    plat::Win32Error Remove();

private:
    std::string StringProperty(std::uint32_t property) const;

    TClassInfo *owner_;
    plat::DevData data_;
};
