// Verifier findings, IRQL rule checks and lock nesting rules.
#include "verifier.h"

#include <stdio.h>

#include <atomic>
#include <map>
#include <mutex>
#include <set>
#include <shared_mutex>
#include <string>
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
    std::map<const void *, std::string> LockNames;            // guarded by RulesLock
    std::set<std::pair<std::string, std::string>> Forbidden;  // guarded by RulesLock
    std::atomic<bool> AnyNames{false};
};

VerifierState &State()
{
    static VerifierState *state = new VerifierState;
    return *state;
}

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
    fprintf(stderr, "*** VERIFIER %s\n", finding.c_str());
    std::lock_guard<std::mutex> guard(State().Lock);
    State().Violations.push_back(std::move(finding));
}

void VerifierWarning(const char *routine, const char *format, ...)
{
    va_list args;
    va_start(args, format);
    std::string finding = "warning: " + Format(routine, format, args);
    va_end(args);
    if (State().WarningsToStderr.load(std::memory_order_relaxed)) fprintf(stderr, "*** VERIFIER %s\n", finding.c_str());
    // A long-running host would otherwise keep every warning of every connection for ever.
    std::lock_guard<std::mutex> guard(State().Lock);
    if (State().Warnings.size() < kMaxVerifierWarnings)
        State().Warnings.push_back(std::move(finding));
    else
        ++State().WarningsDropped;
}

int HeldSpinLockCount() { return CurrentThreadState().SpinLocksHeld; }
int HeldFastMutexCount() { return CurrentThreadState().FastMutexesHeld; }

void VerifyPassiveLevel(const char *routine)
{
    KIRQL irql = CurrentThreadState().Irql;
    if (irql >= DISPATCH_LEVEL)
        VerifierViolation(routine, "PASSIVE_LEVEL routine called at IRQL %u", irql);
    else if (irql == APC_LEVEL)
        VerifierWarning(routine, "PASSIVE_LEVEL routine called at APC_LEVEL");
}

void VerifyMaxIrql(const char *routine, int maxIrql)
{
    KIRQL irql = CurrentThreadState().Irql;
    if (irql > maxIrql) VerifierViolation(routine, "called at IRQL %u, above %d", irql, maxIrql);
}

// Bounds of the driver's pageable code, which the linker provides when there is any.
extern "C" const char __start_PAGE[] __attribute__((weak));
extern "C" const char __stop_PAGE[] __attribute__((weak));

void VerifyNotPageable(const char *routine, const void *caller)
{
    const char *at = static_cast<const char *>(caller);
    if (__start_PAGE != nullptr && at >= __start_PAGE && at < __stop_PAGE)
        VerifierViolation(routine, "raising the IRQL to DISPATCH_LEVEL in pageable code (at %p)", caller);
}

const char *VerifierLockName(const void *lock)
{
    VerifierState &s = State();
    if (!s.AnyNames.load(std::memory_order_acquire)) return nullptr;
    std::shared_lock<std::shared_mutex> guard(s.RulesLock);
    auto it = s.LockNames.find(lock);
    return it == s.LockNames.end() ? nullptr : it->second.c_str();
}

void VerifierCheckNesting(const char *routine, const void *lock)
{
    VerifierState &s = State();
    if (!s.AnyNames.load(std::memory_order_acquire)) return;
    ThreadState &t = CurrentThreadState();
    std::string inner, outer;
    {
        std::shared_lock<std::shared_mutex> guard(s.RulesLock);
        auto in = s.LockNames.find(lock);
        if (in == s.LockNames.end()) return;
        for (int i = 0; i < t.HeldCount; ++i) {
            auto out = s.LockNames.find(t.Held[i].Lock);
            if (out == s.LockNames.end()) continue;
            if (s.Forbidden.count({out->second, in->second})) {
                inner = in->second;
                outer = out->second;
                break;
            }
        }
    }
    if (!inner.empty())
        VerifierViolation(routine, "lock \"%s\" taken while holding \"%s\"", inner.c_str(), outer.c_str());
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
    State().AnyNames.store(false, std::memory_order_release);
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

void VerifierNameLock(const void *lock, const char *name)
{
    std::unique_lock<std::shared_mutex> guard(State().RulesLock);
    if (name == nullptr)
        State().LockNames.erase(lock);
    else
        State().LockNames[lock] = name;
    State().AnyNames.store(!State().LockNames.empty(), std::memory_order_release);
}

void VerifierForbidNesting(const char *outerName, const char *innerName)
{
    std::unique_lock<std::shared_mutex> guard(State().RulesLock);
    State().Forbidden.insert({outerName, innerName});
}

}  // namespace qv
