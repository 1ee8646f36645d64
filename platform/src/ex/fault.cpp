// Fault injection: fail the n-th pool allocation, allocations with a tag, or the n-th call of a site.
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
};

FaultState &State()
{
    static FaultState *state = new FaultState;
    return *state;
}

}  // namespace

bool ShouldFailAllocation(ULONG tag)
{
    FaultState &s = State();
    std::lock_guard<std::mutex> guard(s.Lock);
    bool fail = false;
    if (s.AllocationCountdown != 0 && --s.AllocationCountdown == 0) fail = true;
    if (!s.Tags.empty() && s.Tags.count(tag)) fail = true;
    return fail;
}

void FailAllocation(ULONG nth)
{
    std::lock_guard<std::mutex> guard(State().Lock);
    State().AllocationCountdown = nth;
}

void FailAllocationsWithTag(ULONG tag, bool on)
{
    std::lock_guard<std::mutex> guard(State().Lock);
    if (on)
        State().Tags.insert(tag);
    else
        State().Tags.erase(tag);
}

void InjectFault(const char *site, ULONG nth)
{
    std::lock_guard<std::mutex> guard(State().Lock);
    if (nth == 0)
        State().Sites.erase(site);
    else
        State().Sites[site] = nth;
}

bool ShouldInjectFault(const char *site)
{
    FaultState &s = State();
    std::lock_guard<std::mutex> guard(s.Lock);
    if (s.Sites.empty()) return false;
    auto it = s.Sites.find(site);
    if (it == s.Sites.end()) return false;
    if (--it->second != 0) return false;
    s.Sites.erase(it);
    return true;
}

void ResetFaults()
{
    std::lock_guard<std::mutex> guard(State().Lock);
    State().AllocationCountdown = 0;
    State().Tags.clear();
    State().Sites.clear();
}

}  // namespace qv
