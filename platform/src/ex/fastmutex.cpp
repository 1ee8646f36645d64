// Fast mutexes. The Count field is the lock word (0 when free, so a zero-filled mutex is a free
// one); the holder runs at APC_LEVEL and may still wait, and its previous IRQL is kept in OldIrql.
#include "ke/ke.h"
#include "verifier.h"

namespace qv {
namespace {

void CheckInitialised(const char *routine, PFAST_MUTEX m)
{
    if (m->Event.Header.Size == 0)
        VerifierViolation(routine, "fast mutex %p used before ExInitializeFastMutex", (void *)m);
}

int HoldCount(const ThreadState &t, const void *lock)
{
    int n = 0;
    for (int i = 0; i < t.HeldCount; ++i)
        if (t.Held[i].Lock == lock && t.Held[i].FastMutex) ++n;
    return n;
}

void TakeOwnership(ThreadState &t, PFAST_MUTEX m, KIRQL oldIrql, const char *routine)
{
    m->OldIrql = oldIrql;
    m->Owner = KeGetCurrentThread();
    TrackLockAcquired(t, m, true, routine);
}

}  // namespace
}  // namespace qv

using namespace qv;

extern "C" {

void ExInitializeFastMutex(PFAST_MUTEX FastMutex)
{
    QV_VERIFY_IRQL("ExInitializeFastMutex");
    __atomic_store_n(&FastMutex->Count, 0, __ATOMIC_RELEASE);
    FastMutex->Owner = nullptr;
    FastMutex->Contention = 0;
    KeInitializeEvent(&FastMutex->Event, SynchronizationEvent, FALSE);
    FastMutex->OldIrql = 0;
}

void ExAcquireFastMutex(PFAST_MUTEX FastMutex)
{
    const char *routine = "ExAcquireFastMutex";
    ThreadState &t = CurrentThreadState();
    if (t.Irql > APC_LEVEL) VerifierViolation(routine, "called at IRQL %u", t.Irql);
    CheckInitialised(routine, FastMutex);
    VerifierCheckNesting(routine, FastMutex);
    if (LockWordOwner(&FastMutex->Count) == t.LockOwnerId) {
        // Waiting for ourselves would hang the thread for good; record it and go on.
        VerifierViolation(routine, "fast mutex %p acquired recursively", (void *)FastMutex);
        TrackLockAcquired(t, FastMutex, true, routine);
        return;
    }
    KIRQL old = t.Irql;
    if (old < APC_LEVEL) SetIrql(t, APC_LEVEL);
    if (!TryAcquireLockWord(&FastMutex->Count, t.LockOwnerId)) {
        __atomic_add_fetch(&FastMutex->Contention, 1, __ATOMIC_RELAXED);
        AcquireLockWord(&FastMutex->Count, t.LockOwnerId);
    }
    TakeOwnership(t, FastMutex, old, routine);
}

BOOLEAN ExTryToAcquireFastMutex(PFAST_MUTEX FastMutex)
{
    const char *routine = "ExTryToAcquireFastMutex";
    ThreadState &t = CurrentThreadState();
    if (t.Irql > APC_LEVEL) VerifierViolation(routine, "called at IRQL %u", t.Irql);
    CheckInitialised(routine, FastMutex);
    if (!TryAcquireLockWord(&FastMutex->Count, t.LockOwnerId)) return FALSE;
    VerifierCheckNesting(routine, FastMutex);
    KIRQL old = t.Irql;
    if (old < APC_LEVEL) SetIrql(t, APC_LEVEL);
    TakeOwnership(t, FastMutex, old, routine);
    return TRUE;
}

void ExReleaseFastMutex(PFAST_MUTEX FastMutex)
{
    const char *routine = "ExReleaseFastMutex";
    ThreadState &t = CurrentThreadState();
    uint32_t owner = LockWordOwner(&FastMutex->Count);
    if (owner == 0) {
        VerifierViolation(routine, "releasing fast mutex %p that is not held", (void *)FastMutex);
        return;
    }
    if (owner != t.LockOwnerId) {
        VerifierViolation(routine, "releasing fast mutex %p held by another thread", (void *)FastMutex);
        ReleaseLockWord(&FastMutex->Count);
        return;
    }
    if (HoldCount(t, FastMutex) > 1) {
        TrackLockReleased(t, FastMutex, true);
        return;
    }
    if (t.Irql != APC_LEVEL) VerifierViolation(routine, "called at IRQL %u, not APC_LEVEL", t.Irql);
    KIRQL old = static_cast<KIRQL>(FastMutex->OldIrql);
    FastMutex->Owner = nullptr;
    TrackLockReleased(t, FastMutex, true);
    ReleaseLockWord(&FastMutex->Count);
    if (old <= t.Irql) SetIrql(t, old);
}

}  // extern "C"
