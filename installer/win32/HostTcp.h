// The host backend over a TCP stream ("--host tcp:127.0.0.1:PORT"): quorvel-host's control
// socket bridged to loopback, for running the Windows program under wine against a real host.
#pragma once

#include <memory>
#include <string>

#include "Platform.h"

// hostPort is "ADDRESS:PORT". Null when no host answers there.
std::unique_ptr<plat::IPlatform> MakeHostPlatformTcp(const std::string &hostPort);
