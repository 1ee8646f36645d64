#include "platform_test.h"

#include <stdlib.h>

#include <chrono>
#include <filesystem>
#include <thread>

namespace qvtest {

TempDir::TempDir()
{
    const char *base = getenv("TMPDIR");
    std::string pattern = std::string(base && base[0] ? base : "/tmp") + "/quorvel-test-XXXXXX";
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back(0);
    if (mkdtemp(buffer.data()) == nullptr) throw std::runtime_error("mkdtemp failed for " + pattern);
    path_ = buffer.data();
}

TempDir::~TempDir()
{
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

std::vector<std::string> DirectoryNames(const std::string &path)
{
    std::vector<std::string> names;
    std::error_code error;
    for (const auto &entry : std::filesystem::directory_iterator(path, error))
        names.push_back(entry.path().filename().string());
    return names;
}

bool WaitUntil(const std::function<bool()> &condition, int timeoutMs)
{
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= deadline) return condition();
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

void PlatformTest::SetUp()
{
    state_ = std::make_unique<TempDir>();
    config_ = qv::BootConfig{};
    config_.StateDirectory = state_->Path();
    Configure(config_);
    NTSTATUS status = qv::PlatformBoot(config_);
    ASSERT_TRUE(NT_SUCCESS(status)) << "PlatformBoot failed: 0x" << std::hex << status;
}

void PlatformTest::TearDown()
{
    if (qv::PlatformIsBooted()) {
        qv::PlatformReport report = qv::PlatformShutdown();
        EXPECT_TRUE(report.Clean()) << report.Text();
    }
    state_.reset();
}

void PlatformTest::Reboot()
{
    qv::PlatformReport report = qv::PlatformShutdown();
    EXPECT_TRUE(report.Clean()) << report.Text();
    NTSTATUS status = qv::PlatformBoot(config_);
    ASSERT_TRUE(NT_SUCCESS(status)) << "PlatformBoot failed: 0x" << std::hex << status;
}

qv::PlatformReport PlatformTest::Shutdown() { return qv::PlatformShutdown(); }

void PlatformTest::ExpectFinding(const std::string &text)
{
    std::vector<std::string> findings = qv::VerifierFindings();
    bool found = false;
    for (const std::string &f : findings) found = found || f.find(text) != std::string::npos;
    std::string all;
    for (const std::string &f : findings) all += "  " + f + "\n";
    EXPECT_TRUE(found) << "no verifier finding contains \"" << text << "\"; findings:\n" << all;
    qv::ClearVerifierFindings();
}

}  // namespace qvtest
