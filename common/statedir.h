// Where the host keeps its state, shared by quorvel-host, quorvelctl and the configurator.
#pragma once

#include <string>

namespace quorvel {

// $QUORVEL_STATE when set; else $XDG_STATE_HOME/quorvel, else ~/.local/state/quorvel; /var/lib/quorvel
// for root.
std::string DefaultStateDirectory();

}  // namespace quorvel
