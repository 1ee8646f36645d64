// Harness API of the platform: boot and shutdown, the clock, DbgPrint capture, fault injection and
// the verifier's findings. Used by tests and by quorvel-host; the driver never includes it.
#pragma once

#include <string>
#include <vector>

#include "ntdef.h"

namespace qv {

struct BootConfig {
    std::string StateDirectory;  // persistent state (the registry store lives here)
    int ProcessorCount = 2;      // emulated processors: one DPC thread each
    bool VirtualClock = false;   // start with the clock frozen; tests advance it
    // Where the DPCs a thread queues at DISPATCH_LEVEL run once its IRQL drops below it: on that
    // thread, as Windows runs a DPC on the processor that queued it (a host), or on a DPC thread,
    // so that they run beside their queuer on another processor (race tests). The environment
    // variable QUORVEL_INLINE_DPCS=1 or 0 overrides it.
    bool InlineDpcs = false;
    bool DbgPrintToStderr = false;  // echo DbgPrint output (also on with QUORVEL_DBGPRINT=1)
    // Keep DbgPrint output for DbgPrintLines. With neither capture nor echo a print is dropped
    // unformatted, as Windows drops a print that its debug print filter masks.
    bool CaptureDbgPrint = true;
    // Print each verifier warning as it is found; violations are always printed. Warnings are
    // kept for the shutdown report either way (the first kMaxVerifierWarnings, then a count).
    bool VerifierWarningsToStderr = true;
};

inline constexpr size_t kMaxVerifierWarnings = 1000;

// What shutdown found. Warnings do not make a report unclean.
struct PlatformReport {
    std::vector<std::string> Leaks, Violations, Warnings;
    bool Clean() const;
    std::string Text() const;
};

// Starts the executive, then the subsystems whose hooks are linked in (Cm, Io, Tdi, Pnp). A failing
// startup undoes what had started. Any thread that calls into the platform is a kernel thread at
// PASSIVE_LEVEL. Plain programs that call a kernel routine first get a default boot (ended at exit).
NTSTATUS PlatformBoot(const BootConfig &config);
// Stops the subsystems in reverse order, then every platform thread; reports leaked pool, handles,
// objects and threads, and every verifier finding since boot. Boot may be called again afterwards.
PlatformReport PlatformShutdown();
bool PlatformIsBooted();
const BootConfig &PlatformConfig();

// Subsystem hooks, each defined by its subsystem. They are ordinary references so that a static
// link always pulls every subsystem in.
NTSTATUS CmStartup(const BootConfig &);
void CmShutdown(PlatformReport &);
NTSTATUS IoStartup(const BootConfig &);
void IoShutdown(PlatformReport &);
NTSTATUS TdiStartup(const BootConfig &);
void TdiShutdown(PlatformReport &);
NTSTATUS PnpStartup(const BootConfig &);
void PnpShutdown(PlatformReport &);

// Execution model: every thread is a kernel thread starting at PASSIVE_LEVEL. DPCs run at
// DISPATCH_LEVEL, never inside KeInsertQueueDpc. A DPC queued by a thread at DISPATCH_LEVEL (under
// a spin lock, in a DPC) is held until that thread's IRQL drops below DISPATCH_LEVEL; then it runs
// on that thread (InlineDpcs) or on the DPC thread of the thread's emulated processor. DPCs queued
// below DISPATCH_LEVEL and timer DPCs run on the DPC threads, one per emulated processor. Timers
// expire on a timer thread (real clock) or in AdvanceClock.

// Clock. Real monotonic time by default. With the virtual clock, time moves only in AdvanceClock,
// which fires the timers that fall due (in due order, each step's DPCs run to the end before the
// next step) and times out waits whose deadline passed. Timers already due fire at the next
// AdvanceClock, AdvanceClock(0) included. Switching modes never moves time backwards.
void UseVirtualClock(bool on);
bool VirtualClockInUse();
void AdvanceClock(ULONGLONG hundredNs);
ULONGLONG ClockNow100ns();  // interrupt time: 100 ns units since the process first asked
// Threads blocked in a kernel wait right now, in all or on one dispatcher object (an event, a
// timer, a thread): lets a test advance the clock or signal once a thread really waits.
size_t WaitingThreadCount();
size_t WaitersOn(const void *object);

// DbgPrint capture: one entry per line, without the newline (a trailing partial line included).
std::vector<std::string> DbgPrintLines();
void ClearDbgPrint();
bool WaitForDbgPrint(const std::string &substring, int timeoutMs);

// Fault injection. Counters are reset at shutdown, so a fault injected before PlatformBoot applies
// to the boot: sites "CmStartup", "IoStartup", "TdiStartup" and "PnpStartup" make that subsystem's
// startup fail.
void FailAllocation(ULONG nth);  // 1 = the next pool allocation fails
void FailAllocationsWithTag(ULONG tag, bool on);
void InjectFault(const char *site, ULONG nth);  // 1 = the next call of that site fails
bool ShouldInjectFault(const char *site);       // called by the routine named `site`
void ResetFaults();

// Verifier. Findings are "violation: <routine>: <text>" or "warning: <routine>: <text>".
std::vector<std::string> VerifierFindings();
void ClearVerifierFindings();
// A test that breaks a rule on purpose says so: while one of these lives (on any thread, since
// a finding may come from a DPC or system thread), findings are printed as expected ones. They
// are recorded as always, for the test to check.
class ExpectedVerifierFindings {
public:
    ExpectedVerifierFindings();
    ~ExpectedVerifierFindings();
    ExpectedVerifierFindings(const ExpectedVerifierFindings &) = delete;
    ExpectedVerifierFindings &operator=(const ExpectedVerifierFindings &) = delete;
};
// Lock order rules work on names: name a spin lock or fast mutex by its address (names are
// forgotten at shutdown), then forbid taking `innerName` while holding `outerName` (rules stay for
// the life of the process). The system cancel spin lock is named "CancelSpinLock".
void VerifierNameLock(const void *lock, const char *name);
void VerifierForbidNesting(const char *outerName, const char *innerName);
// Loads a whole table of {outer, inner} pairs (the driver's is QuorvelForbiddenNesting, whose
// locks the driver names itself as it makes them).
template <size_t N>
void VerifierForbidNestings(const char *const (&pairs)[N][2])
{
    for (size_t i = 0; i < N; ++i) VerifierForbidNesting(pairs[i][0], pairs[i][1]);
}

// Programs (processes). A thread inside a Win32 API call runs in its Win32 program's context
// (the default program: the one this Linux process stands for); every other thread runs in the
// system's. Handles made in a program's context without OBJ_KERNEL_HANDLE belong to it, and quota
// allocations charge its non-paged pool quota. Contexts live as long as the process.
struct ProgramContext;
ProgramContext *DefaultProgram();
ProgramContext *CreateProgram(const std::string &name);
// While it lives, the thread's Win32 calls run as `program`, and so does kernel code the thread
// calls directly (as a dispatch routine of that program's request would).
class ProgramScope {
public:
    explicit ProgramScope(ProgramContext *program);
    ~ProgramScope();
    ProgramScope(const ProgramScope &) = delete;
    ProgramScope &operator=(const ProgramScope &) = delete;

private:
    ProgramContext *SavedWin32, *SavedContext;
};
void SetProgramNonPagedQuota(ProgramContext *program, SIZE_T bytes);
SIZE_T ProgramNonPagedQuotaUsage(ProgramContext *program);

// Pool statistics for tests: bytes and blocks currently allocated by kernel code.
struct PoolUsage {
    SIZE_T Bytes = 0, Blocks = 0;
};
PoolUsage QueryPoolUsage();
PoolUsage QueryPoolUsageByTag(ULONG tag);

}  // namespace qv
