// Where the host keeps its state, shared by quorvel-host and quorvelctl.
#pragma once

#include <string>

namespace quorvel {

// $XDG_STATE_HOME/quorvel, else ~/.local/state/quorvel; /var/lib/quorvel for root.
std::string DefaultStateDirectory();

}  // namespace quorvel
