// Fault injection: fail the n-th pool allocation, allocations with a tag, or the n-th call of a site.
#include <atomic>
#include <map>
#include <mutex>
#include <set>
#include <string>

#include "ex/ex.h"
#include "qv/platform.h"

namespace qv {
namespace {

struct FaultState {
    std::mutex Lock;
    ULONG AllocationCountdown = 0;       // 0: off; guarded by Lock
    std::set<ULONG> Tags;                // guarded by Lock
    std::map<std::string, ULONG> Sites;  // countdown per site; guarded by Lock
    // Whether any of them is set: every allocation asks, and almost always nothing is.
    std::atomic<bool> Armed{false};
};

FaultState &State()
{
    static FaultState *state = new FaultState;
    return *state;
}

// Lock held.
void Rearm(FaultState &s)
{
    s.Armed.store(s.AllocationCountdown != 0 || !s.Tags.empty() || !s.Sites.empty(), std::memory_order_release);
}

}  // namespace

bool ShouldFailAllocation(ULONG tag)
{
    FaultState &s = State();
    if (!s.Armed.load(std::memory_order_acquire)) return false;
    std::lock_guard<std::mutex> guard(s.Lock);
    bool fail = false;
    if (s.AllocationCountdown != 0 && --s.AllocationCountdown == 0) fail = true;
    if (!s.Tags.empty() && s.Tags.count(tag)) fail = true;
    Rearm(s);
    return fail;
}

void FailAllocation(ULONG nth)
{
    std::lock_guard<std::mutex> guard(State().Lock);
    State().AllocationCountdown = nth;
    Rearm(State());
}

void FailAllocationsWithTag(ULONG tag, bool on)
{
    std::lock_guard<std::mutex> guard(State().Lock);
    if (on)
        State().Tags.insert(tag);
    else
        State().Tags.erase(tag);
    Rearm(State());
}

void InjectFault(const char *site, ULONG nth)
{
    std::lock_guard<std::mutex> guard(State().Lock);
    if (nth == 0)
        State().Sites.erase(site);
    else
        State().Sites[site] = nth;
    Rearm(State());
}

bool ShouldInjectFault(const char *site)
{
    FaultState &s = State();
    if (!s.Armed.load(std::memory_order_acquire)) return false;
    std::lock_guard<std::mutex> guard(s.Lock);
    auto it = s.Sites.find(site);
    if (it == s.Sites.end()) return false;
    if (--it->second != 0) return false;
    s.Sites.erase(it);
    Rearm(s);
    return true;
}

void ResetFaults()
{
    std::lock_guard<std::mutex> guard(State().Lock);
    State().AllocationCountdown = 0;
    State().Tags.clear();
    State().Sites.clear();
    Rearm(State());
}

}  // namespace qv
