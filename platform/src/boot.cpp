// Boot and shutdown of the platform: the executive first, then the subsystems through their hooks;
// shutdown in reverse, then the leak checks.
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <mutex>

#include "ex/ex.h"
#include "ke/ke.h"
#include "ob/object.h"
#include "qv/platform.h"
#include "rtl/rtl.h"
#include "verifier.h"

namespace qv {
namespace {

struct Subsystem {
    const char *Name;
    const char *FaultSite;  // injecting a fault here makes the subsystem's startup fail
    NTSTATUS (*Startup)(const BootConfig &);
    void (*Shutdown)(PlatformReport &);
};

struct BootState {
    std::recursive_mutex Lock;
    std::atomic<bool> Booted{false};
    bool AutoBooted = false;    // guarded by Lock
    bool ExitHooked = false;    // guarded by Lock
    BootConfig Config;          // guarded by Lock; read-only while booted
    int SubsystemsStarted = 0;  // guarded by Lock
};

BootState &Boot()
{
    static BootState *state = new BootState;
    return *state;
}

// Boot order; shutdown runs backwards.
const Subsystem kSubsystems[] = {
    {"Cm", "CmStartup", CmStartup, CmShutdown},
    {"Io", "IoStartup", IoStartup, IoShutdown},
    {"Tdi", "TdiStartup", TdiStartup, TdiShutdown},
    {"Pnp", "PnpStartup", PnpStartup, PnpShutdown},
};

void ExecutiveStartup(const BootConfig &config)
{
    VerifierReset(config.VerifierWarningsToStderr);
    DbgPrintStartup(config.DbgPrintToStderr, config.CaptureDbgPrint);
    ObStartup();
    PoolStartup();
    KeStartup(config.ProcessorCount, config.VirtualClock, config.InlineDpcs);
    VerifierNameLock(CancelSpinLock(), "CancelSpinLock");
}

void ExecutiveShutdown(PlatformReport &report)
{
    KeShutdown(report.Leaks);
    ObShutdown(report.Leaks);
    PoolShutdown(report.Leaks);
    VerifierForgetLockNames();
    ResetFaults();
    DbgPrintShutdown();
}

void ShutdownSubsystems(BootState &s, PlatformReport &report)
{
    while (s.SubsystemsStarted > 0) {
        const Subsystem &sub = kSubsystems[--s.SubsystemsStarted];
        if (sub.Shutdown) sub.Shutdown(report);
    }
}

NTSTATUS BootLocked(BootState &s, const BootConfig &config)
{
    s.Config = config;
    if (s.Config.ProcessorCount < 1) s.Config.ProcessorCount = 1;
    if (s.Config.ProcessorCount > 64) s.Config.ProcessorCount = 64;
    // Runs any program or test in the other execution model (QUORVEL_INLINE_DPCS=1 or 0).
    if (const char *env = getenv("QUORVEL_INLINE_DPCS")) s.Config.InlineDpcs = env[0] == '1';
    ExecutiveStartup(s.Config);
    // Subsystems use the executive while they start: from here on first-use boots are not wanted.
    s.Booted.store(true, std::memory_order_release);
    s.SubsystemsStarted = 0;
    for (const Subsystem &sub : kSubsystems) {
        NTSTATUS status = STATUS_SUCCESS;
        if (ShouldInjectFault(sub.FaultSite))
            status = STATUS_INSUFFICIENT_RESOURCES;
        else if (sub.Startup)
            status = sub.Startup(s.Config);
        if (!NT_SUCCESS(status)) {
            fprintf(stderr, "quorvel platform: %s startup failed with status 0x%08X\n", sub.Name,
                    static_cast<unsigned>(status));
            PlatformReport scratch;
            ShutdownSubsystems(s, scratch);
            ExecutiveShutdown(scratch);
            VerifierCollect(scratch.Violations, scratch.Warnings);
            s.Booted.store(false, std::memory_order_release);
            return status;
        }
        ++s.SubsystemsStarted;
    }
    return STATUS_SUCCESS;
}

PlatformReport ShutdownLocked(BootState &s)
{
    PlatformReport report;
    ThreadState &t = CurrentThreadState();
    if (t.Irql != PASSIVE_LEVEL || t.HeldCount != 0) {
        VerifierViolation("PlatformShutdown", "called at IRQL %u holding %d lock(s)", t.Irql, t.HeldCount);
        t.HeldCount = t.SpinLocksHeld = t.FastMutexesHeld = 0;
        SetIrql(t, PASSIVE_LEVEL);
    }
    // Nobody advances a virtual clock any more: timed waits and timers of the stopping parts
    // run out in real time.
    UseVirtualClock(false);
    ShutdownSubsystems(s, report);
    ExecutiveShutdown(report);
    VerifierCollect(report.Violations, report.Warnings);
    s.AutoBooted = false;
    s.Booted.store(false, std::memory_order_release);
    return report;
}

void ShutdownAtExit()
{
    BootState &s = Boot();
    std::lock_guard<std::recursive_mutex> guard(s.Lock);
    if (!s.Booted.load() || !s.AutoBooted) return;
    PlatformReport report = ShutdownLocked(s);
    if (!report.Clean()) fprintf(stderr, "%s", report.Text().c_str());
}

std::string DefaultStateDirectory()
{
    const char *env = getenv("QUORVEL_STATE_DIR");
    if (env != nullptr && env[0] != 0) return env;
    std::string dir = "/tmp/quorvel-state-" + std::to_string(getuid());
    mkdir(dir.c_str(), 0700);
    return dir;
}

}  // namespace

bool PlatformReport::Clean() const { return Leaks.empty() && Violations.empty(); }

std::string PlatformReport::Text() const
{
    std::string text;
    for (const std::string &line : Leaks) text += "leak: " + line + "\n";
    for (const std::string &line : Violations) text += line + "\n";
    for (const std::string &line : Warnings) text += line + "\n";
    return text;
}

NTSTATUS PlatformBoot(const BootConfig &config)
{
    BootState &s = Boot();
    std::lock_guard<std::recursive_mutex> guard(s.Lock);
    if (s.Booted.load()) {
        if (!s.AutoBooted) return STATUS_INVALID_DEVICE_STATE;
        // A default boot made on first use gives way to the configured one.
        PlatformReport report = ShutdownLocked(s);
        if (!report.Clean()) fprintf(stderr, "%s", report.Text().c_str());
    }
    return BootLocked(s, config);
}

PlatformReport PlatformShutdown()
{
    BootState &s = Boot();
    std::lock_guard<std::recursive_mutex> guard(s.Lock);
    if (!s.Booted.load()) return PlatformReport{};
    return ShutdownLocked(s);
}

bool PlatformIsBooted() { return Boot().Booted.load(std::memory_order_acquire); }

const BootConfig &PlatformConfig() { return Boot().Config; }

void EnsureBooted()
{
    BootState &s = Boot();
    if (s.Booted.load(std::memory_order_acquire)) return;
    std::lock_guard<std::recursive_mutex> guard(s.Lock);
    if (s.Booted.load()) return;
    BootConfig config;
    config.StateDirectory = DefaultStateDirectory();
    if (!NT_SUCCESS(BootLocked(s, config))) {
        fprintf(stderr, "quorvel platform: the default boot failed\n");
        abort();
    }
    s.AutoBooted = true;
    if (!s.ExitHooked) {
        s.ExitHooked = true;
        atexit(ShutdownAtExit);
    }
}

void KeStartup(int processorCount, bool virtualClock, bool inlineDpcs)
{
    UseVirtualClock(virtualClock);
    DpcStartup(processorCount, inlineDpcs);
    TimerStartup();
}

void KeShutdown(std::vector<std::string> &leaks)
{
    PsWaitForSystemThreads(leaks);
    TimerShutdown(leaks);
    WaitForDpcsIdle();
    DpcShutdown();
}

}  // namespace qv
