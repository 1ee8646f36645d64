// Test support shared by every test area: a fixture that boots the platform on a fresh state
// directory for each test and fails the test when shutdown finds leaks or verifier violations.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "qv/platform.h"

namespace qvtest {

// A directory of its own under $TMPDIR (or /tmp), removed with everything in it.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;
    const std::string &Path() const { return path_; }

private:
    std::string path_;
};

// Polls `condition` until it holds or `timeoutMs` of real time pass. For conditions that other
// threads make true; not a timing assertion.
bool WaitUntil(const std::function<bool()> &condition, int timeoutMs = 10000);

// The names in a directory, "." and ".." left out: /proc/self/task, /proc/self/fd.
std::vector<std::string> DirectoryNames(const std::string &path);

// Milliseconds as a kernel relative due time (negative, 100 ns units).
inline LONGLONG RelativeMs(LONGLONG ms) { return -ms * 10000; }

// A due time or timeout: negative is relative, in 100 ns units; positive is system time.
inline LARGE_INTEGER Due(LONGLONG value)
{
    LARGE_INTEGER due;
    due.QuadPart = value;
    return due;
}

class PlatformTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // Override to change the boot (virtual clock, processor count...).
    virtual void Configure(qv::BootConfig &config) {}

    // Shuts the platform down, expects a clean report and boots again on the same state directory.
    void Reboot();
    // Shuts down and returns the report for tests that inspect it; TearDown then skips its check.
    qv::PlatformReport Shutdown();

    const std::string &StateDirectory() const { return state_->Path(); }
    const qv::BootConfig &Config() const { return config_; }

    // Expects a finding containing `text` and clears the findings (for tests of deliberate faults).
    void ExpectFinding(const std::string &text);

private:
    std::unique_ptr<TempDir> state_;
    qv::BootConfig config_;
};

}  // namespace qvtest
