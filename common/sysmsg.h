// Russian texts of the Win32 codes that quorvel-host returns, for systems without FormatMessage.
#pragma once

#include <string>
#include <vector>

#include "common/wintypes.h"

namespace quorvel {

// "<text> (код N)" for a known code, "Ошибка N (0xXXXXXXXX)" otherwise. UTF-8.
std::string HostSystemMessage(Win32Error code);

// The table itself: the text without the code, or nullptr for an unknown code.
const char *HostSystemMessageText(Win32Error code);
// Every code of the table, in table order.
std::vector<Win32Error> HostSystemMessageCodes();

}  // namespace quorvel
