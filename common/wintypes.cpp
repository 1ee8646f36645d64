#include "common/wintypes.h"

#include <cstdio>

namespace quorvel {

std::string GuidToString(const Guid &g)
{
    char text[40];
    std::snprintf(text, sizeof text, "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}", unsigned(g.d1),
                  unsigned(g.d2), unsigned(g.d3), g.d4[0], g.d4[1], g.d4[2], g.d4[3], g.d4[4], g.d4[5], g.d4[6],
                  g.d4[7]);
    return text;
}

}  // namespace quorvel
