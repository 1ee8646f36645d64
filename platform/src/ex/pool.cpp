// Pool: tracked blocks with their kind and tag, checks of IRQL, tags and double frees, a leak report.
#include <stdlib.h>
#include <string.h>

#include <map>
#include <mutex>
#include <utility>

#include "addresstable.h"
#include "ex/ex.h"
#include "ke/ke.h"
#include "ps/program.h"
#include "qv/platform.h"
#include "verifier.h"

namespace qv {
namespace {

struct PoolBlock {
    SIZE_T Size;
    ULONG Tag;
    POOL_TYPE Type;
    ProgramContext *Charged;  // program whose quota the block is charged to, or NULL
};

struct PoolState {
    RecordLock Lock;
    AddressTable<PoolBlock> Live;                // guarded by Lock
    SIZE_T Bytes = 0;                            // guarded by Lock
};

PoolState &State()
{
    static PoolState *state = new PoolState;
    return *state;
}

constexpr ULONG kProtectedPool = 0x80000000u;
constexpr ULONG kUntagged = 0x656e6f4e;  // "None"

bool IsPaged(POOL_TYPE type) { return (type & 1) != 0; }

const char *PoolTypeName(POOL_TYPE type) { return IsPaged(type) ? "PagedPool" : "NonPagedPool"; }

}  // namespace

std::string PoolTagText(ULONG tag)
{
    std::string text;
    for (int i = 0; i < 4; ++i) {
        char c = static_cast<char>((tag >> (8 * i)) & 0xff);
        text += (c >= 0x20 && c < 0x7f) ? c : '.';
    }
    return text;
}

void PoolStartup() {}

void PoolShutdown(std::vector<std::string> &leaks)
{
    PoolState &s = State();
    AddressTable<PoolBlock> live;
    {
        std::lock_guard<RecordLock> guard(s.Lock);
        std::swap(live, s.Live);
        s.Bytes = 0;
    }
    // Report by tag so that a leak in a loop stays readable.
    std::map<std::string, std::pair<SIZE_T, SIZE_T>> byTag;  // "tag kind" -> blocks, bytes
    live.ForEach([&](const void *p, const PoolBlock &block) {
        auto &entry = byTag[PoolTagText(block.Tag) + "' " + PoolTypeName(block.Type)];
        entry.first += 1;
        entry.second += block.Size;
        free(const_cast<void *>(p));
    });
    for (auto &[what, count] : byTag)
        leaks.push_back("pool leaked at shutdown: " + std::to_string(count.first) + " block(s), " +
                        std::to_string(count.second) + " bytes, tag '" + what);
}

PoolUsage QueryPoolUsage()
{
    std::lock_guard<RecordLock> guard(State().Lock);
    return PoolUsage{State().Bytes, State().Live.size()};
}

PoolUsage QueryPoolUsageByTag(ULONG tag)
{
    std::lock_guard<RecordLock> guard(State().Lock);
    PoolUsage usage;
    State().Live.ForEach([&](const void *, const PoolBlock &block) {
        if ((block.Tag & ~kProtectedPool) != (tag & ~kProtectedPool)) return;
        usage.Bytes += block.Size;
        usage.Blocks += 1;
    });
    return usage;
}

}  // namespace qv

using namespace qv;

extern "C" {

static PVOID AllocatePool(const char *routine, POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag,
                          ProgramContext *charged)
{
    EnsureBooted();
    KIRQL irql = CurrentThreadState().Irql;
    if (IsPaged(PoolType) && irql >= DISPATCH_LEVEL)
        VerifierViolation(routine, "paged pool allocated at IRQL %u (tag '%s')", irql, PoolTagText(Tag).c_str());
    else
        VerifyIrql(routine);
    if (ShouldFailAllocation(Tag)) return nullptr;

    void *p = malloc(NumberOfBytes ? NumberOfBytes : 1);
    if (p == nullptr) return nullptr;
    // Pool is not zeroed: a pattern makes reliance on zeroes show.
    memset(p, 0xCD, NumberOfBytes);
    PoolState &s = State();
    std::lock_guard<RecordLock> guard(s.Lock);
    s.Live.insert(p, PoolBlock{NumberOfBytes, Tag, PoolType, charged});
    s.Bytes += NumberOfBytes;
    return p;
}

PVOID ExAllocatePoolWithTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag)
{
    return AllocatePool("ExAllocatePoolWithTag", PoolType, NumberOfBytes, Tag, nullptr);
}

// Non-paged blocks are charged to the current program's non-paged quota and returned to it when
// freed, whoever frees them. The system process has no limit.
PVOID ExAllocatePoolWithQuotaTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag)
{
    const char *routine = "ExAllocatePoolWithQuotaTag";
    bool failInsteadOfRaise = (PoolType & POOL_QUOTA_FAIL_INSTEAD_OF_RAISE) != 0;
    POOL_TYPE type = static_cast<POOL_TYPE>(PoolType & ~POOL_QUOTA_FAIL_INSTEAD_OF_RAISE);
    ProgramContext *program = IsPaged(type) ? nullptr : CurrentProgram();
    PVOID p = nullptr;
    if (ChargeNonPagedQuota(program, NumberOfBytes)) {
        p = AllocatePool(routine, type, NumberOfBytes, Tag, program);
        if (p == nullptr) ReturnNonPagedQuota(program, NumberOfBytes);
    }
    if (p != nullptr || failInsteadOfRaise) return p;
    VerifierViolation(routine,
                      "%zu bytes (tag '%s') for %s could not be allocated and the routine raises "
                      "STATUS_INSUFFICIENT_RESOURCES; pass POOL_QUOTA_FAIL_INSTEAD_OF_RAISE to get NULL",
                      (size_t)NumberOfBytes, PoolTagText(Tag).c_str(), ProgramName(program));
    ExRaiseStatus(STATUS_INSUFFICIENT_RESOURCES);
}

PVOID ExAllocatePoolWithQuota(POOL_TYPE PoolType, SIZE_T NumberOfBytes)
{
    return ExAllocatePoolWithQuotaTag(PoolType, NumberOfBytes, kUntagged);
}

PVOID ExAllocatePool(POOL_TYPE PoolType, SIZE_T NumberOfBytes)
{
    return ExAllocatePoolWithTag(PoolType, NumberOfBytes, kUntagged);
}

static void FreePool(const char *routine, PVOID P, ULONG Tag, bool checkTag)
{
    KIRQL irql = CurrentThreadState().Irql;
    if (P == nullptr) {
        VerifierViolation(routine, "freeing a NULL pointer");
        return;
    }
    PoolState &s = State();
    PoolBlock block;
    {
        std::lock_guard<RecordLock> guard(s.Lock);
        if (!s.Live.erase(P, &block)) {
            VerifierViolation(routine, "double free, or %p is not a pool block", P);
            return;
        }
        s.Bytes -= block.Size;
    }
    ReturnNonPagedQuota(block.Charged, block.Size);
    if (irql > DISPATCH_LEVEL || (IsPaged(block.Type) && irql >= DISPATCH_LEVEL))
        VerifierViolation(routine, "%s block freed at IRQL %u", PoolTypeName(block.Type), irql);
    if (checkTag && (Tag & ~kProtectedPool) != (block.Tag & ~kProtectedPool))
        VerifierViolation(routine, "block %p freed with tag '%s', allocated with tag '%s'", P, PoolTagText(Tag).c_str(),
                          PoolTagText(block.Tag).c_str());
    const char *what = nullptr;
    if (ForgetKernelObjectsIn(P, block.Size, &what))
        VerifierViolation(routine, "block %p (tag '%s') freed while it holds %s", P, PoolTagText(block.Tag).c_str(),
                          what);
    free(P);
}

void ExFreePoolWithTag(PVOID P, ULONG Tag) { FreePool("ExFreePoolWithTag", P, Tag, Tag != 0); }

void ExFreePool(PVOID P) { FreePool("ExFreePool", P, 0, false); }

}  // extern "C"
