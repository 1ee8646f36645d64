#include "common/statedir.h"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>

namespace quorvel {

// One rule for quorvel-host, quorvelctl and the configurator, so the three meet without --state.
std::string DefaultStateDirectory()
{
    if (const char *env = std::getenv("QUORVEL_STATE"); env && *env) return env;
    if (geteuid() == 0) return "/var/lib/quorvel";
    if (const char *xdg = std::getenv("XDG_STATE_HOME"); xdg && *xdg == '/') return std::string(xdg) + "/quorvel";
    const char *home = std::getenv("HOME");
    std::string h = home && *home ? home : "";
    if (h.empty()) {
        if (passwd *pw = getpwuid(getuid())) h = pw->pw_dir;
    }
    return h + "/.local/state/quorvel";
}

}  // namespace quorvel
