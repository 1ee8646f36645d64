// Executive internals shared with boot.cpp.
#pragma once

#include <string>
#include <vector>

#include "wdm.h"

namespace qv {

// Fault injection of pool allocations: true when this allocation must fail.
bool ShouldFailAllocation(ULONG tag);

void PoolStartup();
// Reports every block still allocated, then frees it.
void PoolShutdown(std::vector<std::string> &leaks);

// Tag as Windows tools print it: its bytes in memory order.
std::string PoolTagText(ULONG tag);

}  // namespace qv
