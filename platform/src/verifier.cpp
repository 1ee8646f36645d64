// Verifier findings, IRQL rule checks and lock nesting rules.
#include "verifier.h"

#include <stdint.h>
#include <stdio.h>
#include <string.h>

#include <atomic>
#include <deque>
#include <map>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <utility>

#include "ke/ke.h"
#include "qv/platform.h"
#include "wdm.h"

namespace qv {
namespace {

struct VerifierState {
    std::mutex Lock;
    std::vector<std::string> Violations;  // guarded by Lock
    std::vector<std::string> Warnings;    // guarded by Lock; at most kMaxVerifierWarnings
    size_t WarningsDropped = 0;           // guarded by Lock; found beyond the limit
    std::atomic<bool> WarningsToStderr{true};
    // Lock names and nesting rules: read at every lock acquisition, written rarely.
    std::shared_mutex RulesLock;
    // Names are interned once: a lock maps to its name's number, a rule is a pair of numbers, so
    // the check at every acquisition compares integers. Names stays put (deque), so a name's
    // characters can be handed out.
    std::deque<std::string> Names;                          // guarded by RulesLock
    std::unordered_map<std::string, uint32_t> NameNumbers;  // guarded by RulesLock
    std::map<const void *, uint32_t> LockNames;             // guarded by RulesLock
    std::unordered_set<uint64_t> Forbidden;                 // outer << 32 | inner; guarded by RulesLock
    std::atomic<bool> AnyNames{false};
    // The same rules as bits, for the first 64 names: bit `inner` of row `outer`. Written under
    // RulesLock, read without it.
    std::atomic<uint64_t> ForbiddenBits[64] = {};
    // Changed (under RulesLock, exclusively) with every name given or taken back: the threads'
    // caches of lock names hold for one generation. Never 0, which marks an empty entry.
    std::atomic<uint32_t> Generation{1};
};

VerifierState &State()
{
    static VerifierState *state = new VerifierState;
    return *state;
}

std::atomic<int> gExpectedScopes{0};

const char *Banner() { return gExpectedScopes.load() > 0 ? "*** VERIFIER (expected by the test)" : "*** VERIFIER"; }

std::string Format(const char *routine, const char *format, va_list args)
{
    char text[1024];
    vsnprintf(text, sizeof(text), format, args);
    return std::string(routine) + ": " + text;
}

}  // namespace

void VerifierViolation(const char *routine, const char *format, ...)
{
    va_list args;
    va_start(args, format);
    std::string finding = "violation: " + Format(routine, format, args);
    va_end(args);
    fprintf(stderr, "%s %s\n", Banner(), finding.c_str());
    std::lock_guard<std::mutex> guard(State().Lock);
    State().Violations.push_back(std::move(finding));
}

void VerifierWarning(const char *routine, const char *format, ...)
{
    va_list args;
    va_start(args, format);
    std::string finding = "warning: " + Format(routine, format, args);
    va_end(args);
    if (State().WarningsToStderr.load(std::memory_order_relaxed)) fprintf(stderr, "%s %s\n", Banner(), finding.c_str());
    // A long-running host would otherwise keep every warning of every connection for ever.
    std::lock_guard<std::mutex> guard(State().Lock);
    if (State().Warnings.size() < kMaxVerifierWarnings)
        State().Warnings.push_back(std::move(finding));
    else
        ++State().WarningsDropped;
}

int HeldSpinLockCount() { return CurrentThreadState().SpinLocksHeld; }
int HeldFastMutexCount() { return CurrentThreadState().FastMutexesHeld; }

namespace {

struct IrqlRule {
    const char *Routine;
    KIRQL MaxIrql;
};

// The highest IRQL at which Windows documents each routine as callable. A PASSIVE_LEVEL routine
// is as wrong at APC_LEVEL (under a fast mutex, say) as at DISPATCH_LEVEL. Routines with rules
// of their own (spin lock releases, waits, the fast mutex release, pool by type) check them
// where they are implemented; the entries here are the plain upper bounds.
constexpr IrqlRule kIrqlRules[] = {
    // Object manager and handles
    {"ZwClose", PASSIVE_LEVEL},
    {"ObReferenceObjectByHandle", PASSIVE_LEVEL},
    {"ObfReferenceObject", DISPATCH_LEVEL},
    {"ObfDereferenceObject", DISPATCH_LEVEL},
    // Files and devices
    {"ZwCreateFile", PASSIVE_LEVEL},
    {"IoGetDeviceObjectPointer", PASSIVE_LEVEL},
    {"IoCreateDevice", PASSIVE_LEVEL},
    {"IoDeleteDevice", PASSIVE_LEVEL},
    {"IoAttachDeviceToDeviceStack", DISPATCH_LEVEL},
    {"IoDetachDevice", PASSIVE_LEVEL},
    {"IoGetAttachedDeviceReference", DISPATCH_LEVEL},
    {"IoGetRelatedDeviceObject", DISPATCH_LEVEL},
    {"IoCreateSymbolicLink", PASSIVE_LEVEL},
    {"IoDeleteSymbolicLink", PASSIVE_LEVEL},
    {"IoRegisterDeviceInterface", PASSIVE_LEVEL},
    {"IoSetDeviceInterfaceState", PASSIVE_LEVEL},
    {"IoOpenDeviceRegistryKey", PASSIVE_LEVEL},
    // IRPs
    {"IoAllocateIrp", DISPATCH_LEVEL},
    {"IoFreeIrp", DISPATCH_LEVEL},
    {"IoReuseIrp", DISPATCH_LEVEL},
    {"IofCallDriver", DISPATCH_LEVEL},
    {"IoCompleteRequest", DISPATCH_LEVEL},
    {"IoCancelIrp", DISPATCH_LEVEL},
    {"IoBuildDeviceIoControlRequest", PASSIVE_LEVEL},
    {"IoBuildSynchronousFsdRequest", APC_LEVEL},
    {"IoAcquireCancelSpinLock", DISPATCH_LEVEL},
    // Work items, MDLs
    {"IoAllocateWorkItem", DISPATCH_LEVEL},
    {"IoQueueWorkItem", DISPATCH_LEVEL},
    {"IoFreeWorkItem", DISPATCH_LEVEL},
    {"IoAllocateMdl", DISPATCH_LEVEL},
    {"IoFreeMdl", DISPATCH_LEVEL},
    {"MmBuildMdlForNonPagedPool", DISPATCH_LEVEL},
    {"MmProbeAndLockPages", DISPATCH_LEVEL},
    {"MmUnlockPages", DISPATCH_LEVEL},
    {"MmGetSystemAddressForMdlSafe", DISPATCH_LEVEL},
    // Threads
    {"PsCreateSystemThread", PASSIVE_LEVEL},
    {"PsTerminateSystemThread", PASSIVE_LEVEL},
    {"KeSetPriorityThread", PASSIVE_LEVEL},
    {"KeQueryPriorityThread", DISPATCH_LEVEL},
    {"KeDelayExecutionThread", APC_LEVEL},
    {"KeEnterCriticalRegion", APC_LEVEL},
    {"KeLeaveCriticalRegion", APC_LEVEL},
    {"KeEnterGuardedRegion", APC_LEVEL},
    {"KeLeaveGuardedRegion", APC_LEVEL},
    // Dispatcher objects, DPCs, timers
    {"KeSetEvent", DISPATCH_LEVEL},
    {"KeClearEvent", DISPATCH_LEVEL},
    {"KeResetEvent", DISPATCH_LEVEL},
    {"KeReadStateEvent", DISPATCH_LEVEL},
    {"KeInitializeMutex", PASSIVE_LEVEL},
    {"KeReleaseMutex", DISPATCH_LEVEL},
    {"KeReadStateMutex", DISPATCH_LEVEL},
    {"KeInitializeTimer", DISPATCH_LEVEL},
    {"KeInitializeTimerEx", DISPATCH_LEVEL},
    {"KeSetTimer", DISPATCH_LEVEL},
    {"KeSetTimerEx", DISPATCH_LEVEL},
    {"KeCancelTimer", DISPATCH_LEVEL},
    {"KeReadStateTimer", DISPATCH_LEVEL},
    {"KeFlushQueuedDpcs", PASSIVE_LEVEL},
    {"KeAcquireSpinLock", DISPATCH_LEVEL},
    {"ExInitializeFastMutex", DISPATCH_LEVEL},
    {"ExAcquireFastMutex", APC_LEVEL},
    {"ExTryToAcquireFastMutex", APC_LEVEL},
    // Pool and interlocked lists
    {"ExAllocatePoolWithTag", DISPATCH_LEVEL},
    {"ExAllocatePoolWithQuotaTag", DISPATCH_LEVEL},
    {"ExFreePoolWithTag", DISPATCH_LEVEL},
    {"ExInterlockedPushEntryList", DISPATCH_LEVEL},
    {"ExInterlockedPopEntryList", DISPATCH_LEVEL},
    {"ExInterlockedInsertHeadList", DISPATCH_LEVEL},
    {"ExInterlockedInsertTailList", DISPATCH_LEVEL},
    {"ExInterlockedRemoveHeadList", DISPATCH_LEVEL},
    // Registry
    {"ZwCreateKey", PASSIVE_LEVEL},
    {"ZwOpenKey", PASSIVE_LEVEL},
    {"ZwSetValueKey", PASSIVE_LEVEL},
    {"ZwQueryValueKey", PASSIVE_LEVEL},
    {"ZwDeleteValueKey", PASSIVE_LEVEL},
    {"ZwDeleteKey", PASSIVE_LEVEL},
    {"ZwEnumerateKey", PASSIVE_LEVEL},
    {"ZwEnumerateValueKey", PASSIVE_LEVEL},
    {"RtlWriteRegistryValue", PASSIVE_LEVEL},
    {"RtlDeleteRegistryValue", PASSIVE_LEVEL},
    // Strings that may touch paged tables or pool
    {"RtlIntegerToUnicodeString", PASSIVE_LEVEL},
    {"RtlUnicodeStringToInteger", PASSIVE_LEVEL},
    {"RtlCompareUnicodeString", PASSIVE_LEVEL},
    {"RtlEqualUnicodeString", PASSIVE_LEVEL},
    {"RtlFreeUnicodeString", PASSIVE_LEVEL},
    {"RtlUnicodeStringToAnsiString", PASSIVE_LEVEL},
    {"RtlFreeAnsiString", PASSIVE_LEVEL},
    // Power, WMI, TDI
    {"PoCallDriver", DISPATCH_LEVEL},
    {"PoRequestPowerIrp", DISPATCH_LEVEL},
    {"PoSetPowerState", DISPATCH_LEVEL},
    {"PoStartNextPowerIrp", DISPATCH_LEVEL},
    {"WmiSystemControl", PASSIVE_LEVEL},
    {"WmiCompleteRequest", DISPATCH_LEVEL},
    {"TdiRegisterPnPHandlers", PASSIVE_LEVEL},
    {"TdiDeregisterPnPHandlers", PASSIVE_LEVEL},
};

// Keyed by the name's characters without copying them: the rule's index in kIrqlRules.
const std::unordered_map<std::string_view, uint16_t> &IrqlTable()
{
    static const auto *table = [] {
        auto *t = new std::unordered_map<std::string_view, uint16_t>;
        for (uint16_t i = 0; i < sizeof(kIrqlRules) / sizeof(kIrqlRules[0]); i++) (*t)[kIrqlRules[i].Routine] = i;
        return t;
    }();
    return *table;
}

// Every checked call looks its rule up, most of them on the hot path. Callers name the routine
// with a literal, so the name's address finds the rule again without hashing its characters: a
// slot holds the address and the rule's index in one word (written whole, so readers never see
// one half of another's write); the name is still compared, so a reused address cannot mislead.
std::atomic<uint64_t> gRuleCache[256];

int CachedRule(const char *routine)
{
    uint64_t address = reinterpret_cast<uintptr_t>(routine);
    std::atomic<uint64_t> &slot = gRuleCache[(address >> 3) & 255];
    uint64_t word = slot.load(std::memory_order_relaxed);
    if (word >> 16 == address) {
        const IrqlRule &rule = kIrqlRules[word & 0xFFFF];
        // The linker merges equal literals, so the characters rarely need comparing.
        if (rule.Routine == routine || strcmp(rule.Routine, routine) == 0) return rule.MaxIrql;
    }
    auto it = IrqlTable().find(std::string_view(routine));
    if (it == IrqlTable().end()) return -1;
    if (address >> 48 == 0) slot.store(address << 16 | it->second, std::memory_order_relaxed);
    return kIrqlRules[it->second].MaxIrql;
}

}  // namespace

int DocumentedMaxIrql(const char *routine) { return CachedRule(routine); }

bool VerifyIrql(const char *routine) { return VerifyIrqlRule(routine, DocumentedMaxIrql(routine)); }

bool VerifyIrqlRule(const char *routine, int max)
{
    if (max < 0) {
        VerifierViolation(routine, "no IRQL rule for this routine");  // a platform bug: add it to the table
        return true;
    }
    return VerifyMaxIrql(routine, max);
}

bool VerifyMaxIrql(const char *routine, int maxIrql)
{
    KIRQL irql = CurrentThreadState().Irql;
    if (irql <= maxIrql) return true;
    static const char *names[] = {"PASSIVE_LEVEL", "APC_LEVEL", "DISPATCH_LEVEL"};
    if (irql <= DISPATCH_LEVEL)
        VerifierViolation(routine, "called at %s; it may be called at %s at most", names[irql], names[maxIrql]);
    else
        VerifierViolation(routine, "called at IRQL %u; it may be called at %s at most", irql, names[maxIrql]);
    return false;
}

void ReportPageableCaller(const char *routine, const void *caller)
{
    VerifierViolation(routine, "raising the IRQL to DISPATCH_LEVEL in pageable code (at %p)", caller);
}

const char *VerifierLockName(const void *lock)
{
    VerifierState &s = State();
    if (!s.AnyNames.load(std::memory_order_acquire)) return nullptr;
    std::shared_lock<std::shared_mutex> guard(s.RulesLock);
    auto it = s.LockNames.find(lock);
    return it == s.LockNames.end() ? nullptr : s.Names[it->second].c_str();
}

namespace {

// RulesLock held exclusively.
void NamesChanged()
{
    VerifierState &s = State();
    uint32_t next = s.Generation.load(std::memory_order_relaxed) + 1;
    s.Generation.store(next == 0 ? 1 : next, std::memory_order_release);
    s.AnyNames.store(!s.LockNames.empty(), std::memory_order_release);
}

// The name number of `lock`, -1 when it has none: from the thread's cache while the names have
// not changed since it was filled. The cache has two places per set, the last one used first, so
// that two locks a thread takes by turns and whose addresses fall in one set do not evict each
// other at every acquisition.
int32_t LockNameNumber(ThreadState &t, const void *lock, uint32_t generation)
{
    constexpr size_t kSets = RTL_NUMBER_OF(t.LockNames) / 2;
    static_assert((kSets & (kSets - 1)) == 0, "a power of two");
    // Locks sit at the same offsets in structures of the same kind: every address bit counts.
    const uint64_t hash = uint64_t(reinterpret_cast<uintptr_t>(lock)) * 0x9E3779B97F4A7C15ull;
    LockNameSlot *set = &t.LockNames[2 * ((hash >> 32) & (kSets - 1))];
    if (set[0].Lock == lock && set[0].Generation == generation) return set[0].Name;
    if (set[1].Lock == lock && set[1].Generation == generation) {
        std::swap(set[0], set[1]);
        return set[0].Name;
    }
    VerifierState &s = State();
    std::shared_lock<std::shared_mutex> guard(s.RulesLock);
    auto it = s.LockNames.find(lock);
    set[1] = set[0];
    set[0].Lock = lock;
    set[0].Generation = s.Generation.load(std::memory_order_relaxed);
    set[0].Name = it == s.LockNames.end() ? -1 : int32_t(it->second);
    return set[0].Name;
}

bool NestingForbidden(uint32_t outer, uint32_t inner)
{
    VerifierState &s = State();
    if (outer < 64 && inner < 64) return (s.ForbiddenBits[outer].load(std::memory_order_acquire) >> inner) & 1;
    std::shared_lock<std::shared_mutex> guard(s.RulesLock);
    return s.Forbidden.count(uint64_t(outer) << 32 | inner) != 0;
}

}  // namespace

void VerifierCheckNesting(const char *routine, const void *lock)
{
    VerifierState &s = State();
    if (!s.AnyNames.load(std::memory_order_acquire)) return;
    ThreadState &t = CurrentThreadState();
    if (t.HeldCount == 0) return;  // nothing it could be nested in
    const uint32_t generation = s.Generation.load(std::memory_order_acquire);
    const int32_t in = LockNameNumber(t, lock, generation);
    if (in < 0) return;
    for (int i = 0; i < t.HeldCount; ++i) {
        const int32_t out = LockNameNumber(t, t.Held[i].Lock, generation);
        if (out < 0 || !NestingForbidden(uint32_t(out), uint32_t(in))) continue;
        std::string inner, outer;
        {
            std::shared_lock<std::shared_mutex> guard(s.RulesLock);
            inner = s.Names[in];
            outer = s.Names[out];
        }
        VerifierViolation(routine, "lock \"%s\" taken while holding \"%s\"", inner.c_str(), outer.c_str());
        return;
    }
}

void VerifierReset(bool warningsToStderr)
{
    State().WarningsToStderr.store(warningsToStderr, std::memory_order_relaxed);
    std::lock_guard<std::mutex> guard(State().Lock);
    State().Violations.clear();
    State().Warnings.clear();
    State().WarningsDropped = 0;
}

namespace {

// Caller holds State().Lock.
std::vector<std::string> WarningsLocked()
{
    std::vector<std::string> warnings = State().Warnings;
    if (State().WarningsDropped != 0)
        warnings.push_back("warning: " + std::to_string(State().WarningsDropped) + " more warning(s) not kept");
    return warnings;
}

}  // namespace

void VerifierCollect(std::vector<std::string> &violations, std::vector<std::string> &warnings)
{
    std::lock_guard<std::mutex> guard(State().Lock);
    violations.insert(violations.end(), State().Violations.begin(), State().Violations.end());
    std::vector<std::string> kept = WarningsLocked();
    warnings.insert(warnings.end(), kept.begin(), kept.end());
    State().Violations.clear();
    State().Warnings.clear();
    State().WarningsDropped = 0;
}

void VerifierForgetLockNames()
{
    std::unique_lock<std::shared_mutex> guard(State().RulesLock);
    State().LockNames.clear();
    NamesChanged();
}

std::vector<std::string> VerifierFindings()
{
    std::lock_guard<std::mutex> guard(State().Lock);
    std::vector<std::string> all = State().Violations;
    std::vector<std::string> kept = WarningsLocked();
    all.insert(all.end(), kept.begin(), kept.end());
    return all;
}

void ClearVerifierFindings() { VerifierReset(State().WarningsToStderr.load(std::memory_order_relaxed)); }

ExpectedVerifierFindings::ExpectedVerifierFindings() { gExpectedScopes.fetch_add(1); }
ExpectedVerifierFindings::~ExpectedVerifierFindings() { gExpectedScopes.fetch_sub(1); }

namespace {

// RulesLock held exclusively.
uint32_t NameNumber(const char *name)
{
    VerifierState &s = State();
    auto it = s.NameNumbers.find(name);
    if (it != s.NameNumbers.end()) return it->second;
    s.Names.emplace_back(name);
    uint32_t number = uint32_t(s.Names.size() - 1);
    s.NameNumbers.emplace(name, number);
    return number;
}

}  // namespace

void VerifierNameLock(const void *lock, const char *name)
{
    std::unique_lock<std::shared_mutex> guard(State().RulesLock);
    if (name == nullptr)
        State().LockNames.erase(lock);
    else
        State().LockNames[lock] = NameNumber(name);
    NamesChanged();
}

void VerifierForgetLockNamesIn(const void *base, size_t size)
{
    VerifierState &s = State();
    if (!s.AnyNames.load(std::memory_order_acquire) || size == 0) return;
    const char *lo = static_cast<const char *>(base);
    {
        // Most freed blocks hold no named lock: those do not stop the lock checks of others.
        std::shared_lock<std::shared_mutex> guard(s.RulesLock);
        auto first = s.LockNames.lower_bound(lo);
        if (first == s.LockNames.end() || static_cast<const char *>(first->first) >= lo + size) return;
    }
    std::unique_lock<std::shared_mutex> guard(s.RulesLock);
    s.LockNames.erase(s.LockNames.lower_bound(lo), s.LockNames.lower_bound(lo + size));
    NamesChanged();
}

void VerifierForbidNesting(const char *outerName, const char *innerName)
{
    VerifierState &s = State();
    std::unique_lock<std::shared_mutex> guard(s.RulesLock);
    const uint32_t outer = NameNumber(outerName), inner = NameNumber(innerName);
    s.Forbidden.insert(uint64_t(outer) << 32 | inner);
    if (outer < 64 && inner < 64) s.ForbiddenBits[outer].fetch_or(uint64_t(1) << inner, std::memory_order_release);
}

}  // namespace qv

// The driver names the locks it makes through this C entry (its sources cannot see qv::).
extern "C" void QvVerifierNameLock(const void *Lock, const char *Name) { qv::VerifierNameLock(Lock, Name); }
