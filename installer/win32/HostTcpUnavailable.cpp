// The TCP transport of the host backend is not part of this build yet: the option is parsed and
// refused with a clear message. The build swaps this file for the one that makes PlatformHost
// connect over TCP once that transport exists.
#include "Errors.h"
#include "HostTcp.h"

std::unique_ptr<plat::IPlatform> MakeHostPlatformTcp(const std::string &hostPort)
{
    throw ConfiguratorError("Эта сборка не подключается к quorvel-host по TCP (" + hostPort + ")");
}
