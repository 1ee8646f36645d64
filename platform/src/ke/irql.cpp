// IRQL per thread, spin locks (the cancel spin lock among them) and interlocked operations.
//
// A spin lock word holds its owner's id (and a "waiters" bit) in its low 32 bits. A waiter spins
// briefly, then sleeps on a futex on that word, so a descheduled holder never costs a core.
#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>

#include "ke/ke.h"
#include "verifier.h"

namespace qv {
namespace {

constexpr uint32_t kWaiters = kLockWordWaiters;
std::atomic<uint32_t> gNextOwnerId{1};
KSPIN_LOCK gCancelSpinLock;

uint32_t *LockWord(const void *lock) { return reinterpret_cast<uint32_t *>(const_cast<void *>(lock)); }

void FutexWait(uint32_t *word, uint32_t value)
{
    syscall(SYS_futex, word, FUTEX_WAIT_PRIVATE, value, nullptr, nullptr, 0);
}

void FutexWake(uint32_t *word) { syscall(SYS_futex, word, FUTEX_WAKE_PRIVATE, 1, nullptr, nullptr, 0); }

bool TryLockWord(uint32_t *word, uint32_t value)
{
    uint32_t expected = 0;
    return __atomic_compare_exchange_n(word, &expected, value, false, __ATOMIC_ACQUIRE, __ATOMIC_RELAXED);
}

uint32_t OwnerOf(const void *lock) { return __atomic_load_n(LockWord(lock), __ATOMIC_RELAXED) & ~kWaiters; }

}  // namespace

// Shared with the fast mutex, which uses the same word protocol on its Count field.
void AcquireLockWord(void *lock, uint32_t ownerId)
{
    uint32_t *word = LockWord(lock);
    if (TryLockWord(word, ownerId)) return;
    for (int spin = 0; spin < 100; ++spin) {
        __builtin_ia32_pause();
        if (__atomic_load_n(word, __ATOMIC_RELAXED) == 0 && TryLockWord(word, ownerId)) return;
    }
    for (;;) {
        uint32_t current = __atomic_load_n(word, __ATOMIC_RELAXED);
        if (current == 0) {
            // Others may still sleep on the word: keep the waiters bit.
            if (TryLockWord(word, ownerId | kWaiters)) return;
            continue;
        }
        if (!(current & kWaiters)) {
            if (!__atomic_compare_exchange_n(word, &current, current | kWaiters, false, __ATOMIC_RELAXED,
                                             __ATOMIC_RELAXED))
                continue;
            current |= kWaiters;
        }
        FutexWait(word, current);
    }
}

bool TryAcquireLockWord(void *lock, uint32_t ownerId) { return TryLockWord(LockWord(lock), ownerId); }

void ReleaseLockWord(void *lock)
{
    uint32_t *word = LockWord(lock);
    uint32_t old = __atomic_exchange_n(word, 0, __ATOMIC_RELEASE);
    if (old & kWaiters) FutexWake(word);
}

uint32_t LockWordOwner(const void *lock) { return OwnerOf(lock); }

void WakeLockWordWaiter(void *lock) { FutexWake(LockWord(lock)); }

ThreadState::ThreadState() : LockOwnerId(gNextOwnerId.fetch_add(1) & ~kWaiters) { InitializeListHead(&DeferredDpcs); }

ThreadState::~ThreadState()
{
    if (HasDeferredDpcs) ReleaseDeferredDpcs(*this, true);
    if (UndeliveredApcs.load() != 0) ForgetThreadApcs(*this);
    if (FinishCount.load() != 0) RunThreadFinishes(*this);
    if (Thread != nullptr && !Thread->SystemThread) delete Thread;
}

__thread ThreadState *tThreadState;

ThreadState &CreateThreadState()
{
    static thread_local ThreadState state;
    tThreadState = &state;
    return state;
}

void TooManyLocksHeld(ThreadState &t, const char *routine)
{
    VerifierViolation(routine, "more than %d locks held at once", t.HeldCount);
}

// Takes entry `i` off the thread's list of held locks.
static void ForgetHeldEntry(ThreadState &t, int i)
{
    if (t.Held[i].FastMutex)
        --t.FastMutexesHeld;
    else
        --t.SpinLocksHeld;
    for (int j = i; j + 1 < t.HeldCount; ++j) t.Held[j] = t.Held[j + 1];
    --t.HeldCount;
}

bool TrackLockReleased(ThreadState &t, const void *lock, bool fastMutex)
{
    for (int i = t.HeldCount - 1; i >= 0; --i) {
        if (t.Held[i].Lock != lock || t.Held[i].FastMutex != fastMutex) continue;
        ForgetHeldEntry(t, i);
        return true;
    }
    return false;
}

bool ThreadHoldsLock(const ThreadState &t, const void *lock)
{
    for (int i = 0; i < t.HeldCount; ++i)
        if (t.Held[i].Lock == lock) return true;
    return false;
}

void SetIrqlWithWork(ThreadState &t, KIRQL irql)
{
    // A thread that is or gets to PASSIVE_LEVEL outside a guarded region takes its APCs.
    bool apcs = (t.Irql == PASSIVE_LEVEL || irql == PASSIVE_LEVEL) && t.SpecialApcDisable == 0;
    t.Irql = irql;
    if (irql < DISPATCH_LEVEL && t.HasDeferredDpcs) ReleaseDeferredDpcs(t);
    if (apcs && t.UndeliveredApcs.load(std::memory_order_relaxed) != 0) DeliverThreadApcs(t);
    if (irql == PASSIVE_LEVEL) TakeThreadFinishes(t);
}

// Takes `lock` for the calling thread; the IRQL is the caller's business.
static inline void AcquireSpinLockWord(ThreadState &t, PKSPIN_LOCK lock, const char *routine)
{
    if (t.HeldCount != 0) VerifierCheckNesting(routine, lock);
    if (OwnerOf(lock) == t.LockOwnerId) {
        // Acquiring again would hang the thread for good; record it and go on.
        VerifierViolation(routine, "spin lock %p acquired while the thread already holds it", (void *)lock);
        TrackLockAcquired(t, lock, false, routine);
        return;
    }
    if (!TryLockWord(LockWord(lock), t.LockOwnerId)) AcquireLockWord(lock, t.LockOwnerId);
    TrackLockAcquired(t, lock, false, routine);
}

static inline void ReleaseSpinLockWord(ThreadState &t, PKSPIN_LOCK lock, const char *routine)
{
    uint32_t owner = OwnerOf(lock);
    if (owner != t.LockOwnerId) {
        if (owner == 0) {
            VerifierViolation(routine, "releasing spin lock %p that is not held", (void *)lock);
            return;
        }
        VerifierViolation(routine, "releasing spin lock %p held by another thread", (void *)lock);
        ReleaseLockWord(lock);
        return;
    }
    // The thread's last spin-lock entry for it goes. A lock recorded twice (taken again by its
    // holder, already reported) keeps its word until the last entry goes.
    int entry = -1, holds = 0;
    for (int i = t.HeldCount - 1; i >= 0; --i) {
        if (t.Held[i].Lock != lock) continue;
        ++holds;
        if (entry < 0 && !t.Held[i].FastMutex) entry = i;
    }
    if (entry >= 0) ForgetHeldEntry(t, entry);
    if (holds <= 1) ReleaseLockWord(lock);
}

PKSPIN_LOCK CancelSpinLock() { return &gCancelSpinLock; }

}  // namespace qv

using namespace qv;

extern "C" {

KIRQL KeGetCurrentIrql(void) { return CurrentThreadState().Irql; }

void KeRaiseIrql(KIRQL NewIrql, PKIRQL OldIrql)
{
    if (NewIrql >= DISPATCH_LEVEL) VerifyNotPageable("KeRaiseIrql", __builtin_return_address(0));
    ThreadState &t = CurrentThreadState();
    *OldIrql = t.Irql;
    if (NewIrql < t.Irql) {
        VerifierViolation("KeRaiseIrql", "new IRQL %u is below the current IRQL %u", NewIrql, t.Irql);
        return;
    }
    SetIrql(t, NewIrql);
}

void KeLowerIrql(KIRQL NewIrql)
{
    ThreadState &t = CurrentThreadState();
    if (NewIrql > t.Irql) {
        VerifierViolation("KeLowerIrql", "lowering IRQL to %u, above the current IRQL %u", NewIrql, t.Irql);
        return;
    }
    SetIrql(t, NewIrql);
}

KIRQL KeRaiseIrqlToDpcLevel(void)
{
    VerifyNotPageable("KeRaiseIrqlToDpcLevel", __builtin_return_address(0));
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    return old;
}

void KeInitializeSpinLock(PKSPIN_LOCK SpinLock) { __atomic_store_n(SpinLock, 0, __ATOMIC_RELEASE); }

void KeAcquireSpinLock(PKSPIN_LOCK SpinLock, PKIRQL OldIrql)
{
    QV_VERIFY_IRQL("KeAcquireSpinLock");
    VerifyNotPageable("KeAcquireSpinLock", __builtin_return_address(0));
    ThreadState &t = CurrentThreadState();
    KIRQL old = t.Irql;
    SetIrql(t, old > DISPATCH_LEVEL ? old : DISPATCH_LEVEL);
    AcquireSpinLockWord(t, SpinLock, "KeAcquireSpinLock");
    *OldIrql = old;
}

void KeReleaseSpinLock(PKSPIN_LOCK SpinLock, KIRQL NewIrql)
{
    ThreadState &t = CurrentThreadState();
    ReleaseSpinLockWord(t, SpinLock, "KeReleaseSpinLock");
    if (NewIrql > t.Irql) {
        VerifierViolation("KeReleaseSpinLock", "lowering IRQL to %u, above the current IRQL %u", NewIrql, t.Irql);
        return;
    }
    SetIrql(t, NewIrql);
}

void KeAcquireSpinLockAtDpcLevel(PKSPIN_LOCK SpinLock)
{
    VerifyNotPageable("KeAcquireSpinLockAtDpcLevel", __builtin_return_address(0));
    ThreadState &t = CurrentThreadState();
    if (t.Irql < DISPATCH_LEVEL)
        VerifierViolation("KeAcquireSpinLockAtDpcLevel", "called at IRQL %u, below DISPATCH_LEVEL", t.Irql);
    AcquireSpinLockWord(t, SpinLock, "KeAcquireSpinLockAtDpcLevel");
}

void KeReleaseSpinLockFromDpcLevel(PKSPIN_LOCK SpinLock)
{
    ThreadState &t = CurrentThreadState();
    if (t.Irql < DISPATCH_LEVEL)
        VerifierViolation("KeReleaseSpinLockFromDpcLevel", "called at IRQL %u, below DISPATCH_LEVEL", t.Irql);
    ReleaseSpinLockWord(t, SpinLock, "KeReleaseSpinLockFromDpcLevel");
}

void IoAcquireCancelSpinLock(PKIRQL Irql)
{
    QV_VERIFY_IRQL("IoAcquireCancelSpinLock");
    VerifyNotPageable("IoAcquireCancelSpinLock", __builtin_return_address(0));
    ThreadState &t = CurrentThreadState();
    KIRQL old = t.Irql;
    if (old > DISPATCH_LEVEL) VerifierViolation("IoAcquireCancelSpinLock", "called at IRQL %u", old);
    SetIrql(t, old > DISPATCH_LEVEL ? old : DISPATCH_LEVEL);
    AcquireSpinLockWord(t, &gCancelSpinLock, "IoAcquireCancelSpinLock");
    *Irql = old;
}

void IoReleaseCancelSpinLock(KIRQL Irql)
{
    ThreadState &t = CurrentThreadState();
    ReleaseSpinLockWord(t, &gCancelSpinLock, "IoReleaseCancelSpinLock");
    if (Irql > t.Irql) {
        VerifierViolation("IoReleaseCancelSpinLock", "lowering IRQL to %u, above the current IRQL %u", Irql, t.Irql);
        return;
    }
    SetIrql(t, Irql);
}

LONG InterlockedIncrement(LONG volatile *Addend) { return __atomic_add_fetch(Addend, 1, __ATOMIC_SEQ_CST); }
LONG InterlockedDecrement(LONG volatile *Addend) { return __atomic_sub_fetch(Addend, 1, __ATOMIC_SEQ_CST); }
LONG InterlockedExchange(LONG volatile *Target, LONG Value)
{
    return __atomic_exchange_n(Target, Value, __ATOMIC_SEQ_CST);
}
LONG InterlockedExchangeAdd(LONG volatile *Addend, LONG Value)
{
    return __atomic_fetch_add(Addend, Value, __ATOMIC_SEQ_CST);
}
LONG InterlockedCompareExchange(LONG volatile *Destination, LONG Exchange, LONG Comparand)
{
    __atomic_compare_exchange_n(Destination, &Comparand, Exchange, false, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST);
    return Comparand;
}
LONG InterlockedOr(LONG volatile *Destination, LONG Value)
{
    return __atomic_fetch_or(Destination, Value, __ATOMIC_SEQ_CST);
}
LONG InterlockedAnd(LONG volatile *Destination, LONG Value)
{
    return __atomic_fetch_and(Destination, Value, __ATOMIC_SEQ_CST);
}
PVOID InterlockedExchangePointer(PVOID volatile *Target, PVOID Value)
{
    return __atomic_exchange_n(Target, Value, __ATOMIC_SEQ_CST);
}
PVOID InterlockedCompareExchangePointer(PVOID volatile *Destination, PVOID Exchange, PVOID Comparand)
{
    __atomic_compare_exchange_n(Destination, &Comparand, Exchange, false, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST);
    return Comparand;
}

}  // extern "C"

// ---------------------------------------------------------------- critical and guarded regions

extern "C" {

void KeEnterCriticalRegion(void)
{
    QV_VERIFY_IRQL("KeEnterCriticalRegion");
    ++CurrentThreadState().KernelApcDisable;
}

void KeLeaveCriticalRegion(void)
{
    QV_VERIFY_IRQL("KeLeaveCriticalRegion");
    ThreadState &t = CurrentThreadState();
    if (t.KernelApcDisable <= 0) {
        VerifierViolation("KeLeaveCriticalRegion", "not in a critical region");
        return;
    }
    --t.KernelApcDisable;
}

void KeEnterGuardedRegion(void)
{
    QV_VERIFY_IRQL("KeEnterGuardedRegion");
    ThreadState &t = CurrentThreadState();
    if (t.SpecialApcDisable == 0 && t.Irql == PASSIVE_LEVEL && t.UndeliveredApcs.load() != 0) DeliverThreadApcs(t);
    ++t.SpecialApcDisable;
}

void KeLeaveGuardedRegion(void)
{
    QV_VERIFY_IRQL("KeLeaveGuardedRegion");
    ThreadState &t = CurrentThreadState();
    if (t.SpecialApcDisable <= 0) {
        VerifierViolation("KeLeaveGuardedRegion", "not in a guarded region");
        return;
    }
    if (--t.SpecialApcDisable == 0 && t.Irql == PASSIVE_LEVEL && t.UndeliveredApcs.load() != 0) DeliverThreadApcs(t);
}

BOOLEAN KeAreApcsDisabled(void)
{
    const ThreadState &t = CurrentThreadState();
    return t.Irql >= APC_LEVEL || t.KernelApcDisable > 0 || t.SpecialApcDisable > 0;
}

BOOLEAN KeAreAllApcsDisabled(void) { return SpecialApcsBlocked(CurrentThreadState()); }

}  // extern "C"
