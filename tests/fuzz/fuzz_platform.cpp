// Boots the platform once for the targets that run driver code, on a state directory of its own
// that goes at exit; a shutdown report with leaks or violations fails the run.
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>

#include "fuzz.h"
#include "qv/platform.h"

namespace qvfuzz {

namespace {
std::string stateDir;
}

void BootPlatform()
{
    const char *base = getenv("TMPDIR");
    std::string pattern = std::string(base && base[0] ? base : "/tmp") + "/quorvel-fuzz-XXXXXX";
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back(0);
    if (mkdtemp(buffer.data()) == nullptr) abort();
    stateDir = buffer.data();
    qv::BootConfig config;
    config.StateDirectory = stateDir;
    config.VerifierWarningsToStderr = false;
    if (!NT_SUCCESS(qv::PlatformBoot(config))) abort();
    atexit([] {
        qv::PlatformReport report = qv::PlatformShutdown();
        std::error_code ignored;
        std::filesystem::remove_all(stateDir, ignored);
        if (!report.Clean()) {
            std::fprintf(stderr, "platform shutdown:\n%s\n", report.Text().c_str());
            _exit(1);
        }
    });
}

void CheckPlatformAfterInput()
{
    for (const std::string &f : qv::VerifierFindings()) FUZZ_CHECK(f.rfind("violation", 0) != 0, f);
    qv::ClearVerifierFindings();
    qv::ClearDbgPrint();
}

}  // namespace qvfuzz
