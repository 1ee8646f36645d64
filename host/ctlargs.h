// quorvelctl's argument checks: pure functions, so that bad input is refused before anything is
// sent to the host.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "common/ethrecord.h"

namespace quorvel {

// "COM1" to "COM256", any letter case.
bool ValidPortName(const std::string &name);

// "none", or names joined by commas: cts, dsr, dcd, ring.
bool ParseLines(const std::string &text, std::uint8_t *mask);
std::string LinesText(std::uint8_t mask);

// One --conn value: HOST:PORT[/raw]=ID[,ID...]. HOST is an IPv4 address or a name that
// resolves to one. Ids 1 to 247 (the Modbus unit addresses of serial devices).
bool ParseConnection(const std::string &text, EthEntry *entry, std::string *error);

// `set`'s options into a whole record: --delay MS (1..65535, default 10000), --rts, --dtr, one or
// more --conn; a device id served twice, a missing --conn or a record too large is refused.
bool ParseSetArguments(const std::vector<std::string> &args, EthRecord *record, std::string *error);

}  // namespace quorvel
