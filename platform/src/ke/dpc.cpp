// DPCs. Each emulated processor has a DPC queue served by its own thread at DISPATCH_LEVEL. A DPC
// queued while the caller is at DISPATCH_LEVEL waits on the caller's own list until the caller drops
// below DISPATCH_LEVEL, as on a processor that cannot run it before; so a DPC never runs inside
// KeInsertQueueDpc, nor while its queuer still holds a spin lock. Then, as Windows drains the
// current processor's queue when its IRQL drops, the thread runs those DPCs itself (inline
// delivery); without inline delivery they go to the DPC thread of the thread's processor (threads
// are spread over the processors as they first queue one). DPCs queued below DISPATCH_LEVEL and
// timer DPCs always go to a DPC thread. The DPC is dequeued before its routine runs, so a DPC
// queued again while it runs runs again, possibly on another thread at the same time, as on a
// multiprocessor.
#include <pthread.h>

#include <atomic>
#include <cstdio>
#include <thread>

#include "ke/addressset.h"
#include "ke/ke.h"
#include "qv/platform.h"
#include "verifier.h"

namespace qv {
namespace {

constexpr UCHAR kDpcObject = 19;

struct Processor {
    int Number = 0;
    LIST_ENTRY Queue;  // guarded by DispatcherLock
    std::condition_variable_any Work;
    std::thread Thread;
};

struct DpcState {
    std::vector<Processor *> Processors;  // fixed while running
    bool Running = false;                 // guarded by DispatcherLock
    bool Stop = false;                    // guarded by DispatcherLock
    int Queued = 0;                       // DPCs in processor queues; guarded by DispatcherLock
    int Active = 0;                       // routines running; guarded by DispatcherLock
    std::condition_variable_any Idle;
    int IdleWaiters = 0;  // threads in WaitForDpcsIdle; guarded by DispatcherLock
    AddressSet<KDPC> All;  // every queued DPC, deferred ones included; guarded by DispatcherLock
    std::atomic<unsigned> NextProcessor{0};
    std::atomic<bool> Inline{false};  // set at startup
};

DpcState &Dpcs()
{
    static DpcState *state = new DpcState;
    return *state;
}

// The list a DPC is queued on, or NULL. Written under DispatcherLock; read without it too.
void *QueuedOn(const KDPC *dpc) { return __atomic_load_n(&dpc->DpcData, __ATOMIC_ACQUIRE); }
void SetQueuedOn(PKDPC dpc, void *list) { __atomic_store_n(&dpc->DpcData, list, __ATOMIC_RELEASE); }

bool IsProcessorQueue(const void *head)
{
    for (Processor *p : Dpcs().Processors)
        if (head == &p->Queue) return true;
    return false;
}

int ProcessorFor(ThreadState &t)
{
    DpcState &s = Dpcs();
    if (s.Processors.empty()) return 0;
    if (t.Processor < 0) t.Processor = static_cast<int>(s.NextProcessor.fetch_add(1) % 64);
    return t.Processor % static_cast<int>(s.Processors.size());
}

// Takes a queued DPC off whatever list it is on.
void UnlinkDpcLocked(PKDPC dpc)
{
    DpcState &s = Dpcs();
    if (IsProcessorQueue(QueuedOn(dpc))) --s.Queued;
    RemoveEntryList(&dpc->DpcListEntry);
    SetQueuedOn(dpc, nullptr);
    s.All.erase(dpc);
    if (s.Queued == 0 && s.Active == 0 && s.IdleWaiters != 0) s.Idle.notify_all();
}

// Runs one dequeued DPC's routine on the calling thread at DISPATCH_LEVEL and checks how it left.
void CallDpcRoutine(ThreadState &t, PKDPC dpc, PKDEFERRED_ROUTINE routine, PVOID context, PVOID arg1, PVOID arg2)
{
    t.Irql = DISPATCH_LEVEL;
    try {
        routine(dpc, context, arg1, arg2);
    } catch (...) {
        VerifierViolation("KeInsertQueueDpc", "DPC routine %p ended by an exception", (void *)routine);
    }
    if (t.Irql != DISPATCH_LEVEL || t.HeldCount != 0) {
        VerifierViolation("KeInsertQueueDpc", "DPC routine %p returned at IRQL %u holding %d lock(s)", (void *)routine,
                          t.Irql, t.HeldCount);
        for (int i = 0; i < t.HeldCount; ++i)
            if (!t.Held[i].FastMutex) ReleaseLockWord(const_cast<void *>(t.Held[i].Lock));
        t.HeldCount = t.SpinLocksHeld = t.FastMutexesHeld = 0;
    }
}

// Inline delivery: the thread, just below DISPATCH_LEVEL, runs the DPCs it deferred, and those
// that they queue, until its list is empty. The DPCs run as on an interrupted processor: at
// DISPATCH_LEVEL, as a DPC (no waiting, no flushing), and with the thread's own locks (a fast
// mutex, say) set aside, so that no lock order is recorded between the thread and its DPCs.
void RunDeferredDpcsHere(ThreadState &t)
{
    DpcState &s = Dpcs();
    const KIRQL irql = t.Irql;
    HeldLock held[RTL_NUMBER_OF(t.Held)];
    const int heldCount = t.HeldCount, spinLocks = t.SpinLocksHeld, fastMutexes = t.FastMutexesHeld;
    for (int i = 0; i < heldCount; ++i) held[i] = t.Held[i];
    t.HeldCount = t.SpinLocksHeld = t.FastMutexesHeld = 0;
    t.OuterTakesFinishes = irql == PASSIVE_LEVEL && heldCount == 0 && t.SpecialApcDisable == 0;
    const bool wasDpcThread = t.IsDpcThread;
    t.IsDpcThread = true;
    t.RunningOwnDpcs = true;

    std::unique_lock<RecordLock> lock(DispatcherLock());
    while (!IsListEmpty(&t.DeferredDpcs)) {
        PKDPC dpc = CONTAINING_RECORD(RemoveHeadList(&t.DeferredDpcs), KDPC, DpcListEntry);
        SetQueuedOn(dpc, nullptr);
        s.All.erase(dpc);
        ++s.Active;
        PKDEFERRED_ROUTINE routine = dpc->DeferredRoutine;
        PVOID context = dpc->DeferredContext, arg1 = dpc->SystemArgument1, arg2 = dpc->SystemArgument2;
        lock.unlock();
        CallDpcRoutine(t, dpc, routine, context, arg1, arg2);
        lock.lock();
        --s.Active;
        if (s.Queued == 0 && s.Active == 0 && s.IdleWaiters != 0) s.Idle.notify_all();
    }
    t.HasDeferredDpcs = false;
    lock.unlock();

    t.RunningOwnDpcs = false;
    t.IsDpcThread = wasDpcThread;
    for (int i = 0; i < heldCount; ++i) t.Held[i] = held[i];
    t.HeldCount = heldCount;
    t.SpinLocksHeld = spinLocks;
    t.FastMutexesHeld = fastMutexes;
    t.Irql = irql;
}

void RunDpcs(Processor *p)
{
    DpcState &s = Dpcs();
    ThreadState &t = CurrentThreadState();
    char name[16];
    snprintf(name, sizeof(name), "qv-dpc%d", p->Number);
    pthread_setname_np(pthread_self(), name);
    t.IsDpcThread = true;
    t.Processor = p->Number;
    std::unique_lock<RecordLock> lock(DispatcherLock());
    for (;;) {
        while (!s.Stop && IsListEmpty(&p->Queue)) p->Work.wait(lock);
        if (IsListEmpty(&p->Queue)) break;  // stopping, and nothing left
        PKDPC dpc = CONTAINING_RECORD(RemoveHeadList(&p->Queue), KDPC, DpcListEntry);
        SetQueuedOn(dpc, nullptr);
        s.All.erase(dpc);
        --s.Queued;
        ++s.Active;
        PKDEFERRED_ROUTINE routine = dpc->DeferredRoutine;
        PVOID context = dpc->DeferredContext, arg1 = dpc->SystemArgument1, arg2 = dpc->SystemArgument2;
        lock.unlock();

        CallDpcRoutine(t, dpc, routine, context, arg1, arg2);
        SetIrql(t, PASSIVE_LEVEL);

        lock.lock();
        --s.Active;
        if (s.Queued == 0 && s.Active == 0 && s.IdleWaiters != 0) s.Idle.notify_all();
    }
}

}  // namespace

BOOLEAN InsertQueueDpcLocked(PKDPC dpc, PVOID arg1, PVOID arg2, int processor)
{
    DpcState &s = Dpcs();
    if (QueuedOn(dpc) != nullptr) return FALSE;
    if (!s.Running) {
        VerifierViolation("KeInsertQueueDpc", "DPC %p queued while the platform is down", (void *)dpc);
        return FALSE;
    }
    dpc->SystemArgument1 = arg1;
    dpc->SystemArgument2 = arg2;
    Processor *p = s.Processors[processor % s.Processors.size()];
    InsertTailList(&p->Queue, &dpc->DpcListEntry);
    SetQueuedOn(dpc, &p->Queue);
    s.All.insert(dpc);
    ++s.Queued;
    p->Work.notify_one();
    return TRUE;
}

int NextTimerProcessor()
{
    DpcState &s = Dpcs();
    if (s.Processors.empty()) return 0;
    return static_cast<int>(s.NextProcessor.fetch_add(1) % s.Processors.size());
}

void ReleaseDeferredDpcs(ThreadState &t, bool exiting)
{
    DpcState &s = Dpcs();
    // A thread still holding a spin lock below DISPATCH_LEVEL (released out of order) is no
    // place to run a DPC; neither is one that is ending.
    if (s.Inline.load(std::memory_order_relaxed) && !exiting && !t.RunningOwnDpcs && t.SpinLocksHeld == 0) {
        RunDeferredDpcsHere(t);
        return;
    }
    std::lock_guard<RecordLock> guard(DispatcherLock());
    t.HasDeferredDpcs = false;
    while (!IsListEmpty(&t.DeferredDpcs)) {
        PKDPC dpc = CONTAINING_RECORD(RemoveHeadList(&t.DeferredDpcs), KDPC, DpcListEntry);
        SetQueuedOn(dpc, nullptr);
        s.All.erase(dpc);
        if (s.Running) InsertQueueDpcLocked(dpc, dpc->SystemArgument1, dpc->SystemArgument2, ProcessorFor(t));
    }
}

void WaitForDpcsIdle()
{
    DpcState &s = Dpcs();
    if (CurrentThreadState().IsDpcThread) {
        VerifierViolation("KeFlushQueuedDpcs", "waiting for DPCs from a DPC");
        return;
    }
    std::unique_lock<RecordLock> lock(DispatcherLock());
    ++s.IdleWaiters;
    s.Idle.wait(lock, [&] { return s.Queued == 0 && s.Active == 0; });
    --s.IdleWaiters;
}

bool DpcEngineRunning()
{
    std::lock_guard<RecordLock> guard(DispatcherLock());
    return Dpcs().Running;
}

bool ForgetKernelObjectsIn(const void *base, SIZE_T size, const char **what)
{
    VerifierForgetLockNamesIn(base, size);
    const char *lo = static_cast<const char *>(base), *hi = lo + size;
    DpcState &s = Dpcs();
    std::lock_guard<RecordLock> guard(DispatcherLock());
    bool found = false;
    for (auto it = s.All.lower_bound(lo); it != s.All.end() && reinterpret_cast<const char *>(*it) < hi;
         it = s.All.lower_bound(lo)) {
        UnlinkDpcLocked(*it);  // erases it from All
        *what = "a queued DPC";
        found = true;
    }
    if (ForgetTimersInLocked(lo, hi)) {
        *what = "an armed timer";
        found = true;
    }
    if (WaiterUsesMemoryLocked(base, size)) {
        *what = "an object a thread waits on";
        found = true;
    }
    return found;
}

void DpcStartup(int processorCount, bool inlineDpcs)
{
    DpcState &s = Dpcs();
    std::lock_guard<RecordLock> guard(DispatcherLock());
    s.Inline = inlineDpcs;
    s.Processors.clear();
    s.All.clear();
    s.Queued = s.Active = 0;
    s.Stop = false;
    s.Running = true;
    for (int i = 0; i < processorCount; ++i) {
        auto *p = new Processor;
        p->Number = i;
        InitializeListHead(&p->Queue);
        s.Processors.push_back(p);
    }
    for (Processor *p : s.Processors) p->Thread = std::thread(RunDpcs, p);
}

// Runs what is queued, then stops the DPC threads.
void DpcShutdown()
{
    DpcState &s = Dpcs();
    {
        std::lock_guard<RecordLock> guard(DispatcherLock());
        if (!s.Running) return;
        s.Stop = true;
        for (Processor *p : s.Processors) p->Work.notify_one();
    }
    for (Processor *p : s.Processors) p->Thread.join();
    std::lock_guard<RecordLock> guard(DispatcherLock());
    s.Running = false;
    // DPCs still deferred by threads that never dropped below DISPATCH_LEVEL are forgotten.
    s.All.clear();
    ThreadState &t = CurrentThreadState();
    InitializeListHead(&t.DeferredDpcs);
    t.HasDeferredDpcs = false;
    for (Processor *p : s.Processors) delete p;
    s.Processors.clear();
}

}  // namespace qv

using namespace qv;

extern "C" {

void KeInitializeDpc(PRKDPC Dpc, PKDEFERRED_ROUTINE DeferredRoutine, PVOID DeferredContext)
{
    Dpc->Type = kDpcObject;
    Dpc->Importance = 1;
    Dpc->Number = 0;
    Dpc->DpcListEntry.Flink = Dpc->DpcListEntry.Blink = nullptr;
    Dpc->DeferredRoutine = DeferredRoutine;
    Dpc->DeferredContext = DeferredContext;
    Dpc->SystemArgument1 = Dpc->SystemArgument2 = nullptr;
    SetQueuedOn(Dpc, nullptr);
}

BOOLEAN KeInsertQueueDpc(PRKDPC Dpc, PVOID SystemArgument1, PVOID SystemArgument2)
{
    if (Dpc->Type != kDpcObject || Dpc->DeferredRoutine == nullptr) {
        VerifierViolation("KeInsertQueueDpc", "DPC %p used before KeInitializeDpc", (void *)Dpc);
        return FALSE;
    }
    // Queued already: nothing to do, and no need of the dispatcher lock to know it (the
    // transmitter queues its interrupt DPC once per character while that DPC waits to run).
    if (QueuedOn(Dpc) != nullptr) return FALSE;
    EnsureBooted();
    ThreadState &t = CurrentThreadState();
    DpcState &s = Dpcs();
    std::lock_guard<RecordLock> guard(DispatcherLock());
    if (QueuedOn(Dpc) != nullptr) return FALSE;
    if (t.Irql < DISPATCH_LEVEL) return InsertQueueDpcLocked(Dpc, SystemArgument1, SystemArgument2, ProcessorFor(t));
    if (!s.Running) {
        VerifierViolation("KeInsertQueueDpc", "DPC %p queued while the platform is down", (void *)Dpc);
        return FALSE;
    }
    Dpc->SystemArgument1 = SystemArgument1;
    Dpc->SystemArgument2 = SystemArgument2;
    InsertTailList(&t.DeferredDpcs, &Dpc->DpcListEntry);
    SetQueuedOn(Dpc, &t.DeferredDpcs);
    s.All.insert(Dpc);
    t.HasDeferredDpcs = true;
    return TRUE;
}

BOOLEAN KeRemoveQueueDpc(PRKDPC Dpc)
{
    std::lock_guard<RecordLock> guard(DispatcherLock());
    if (QueuedOn(Dpc) == nullptr) return FALSE;
    UnlinkDpcLocked(Dpc);
    return TRUE;
}

void KeFlushQueuedDpcs(void)
{
    QV_VERIFY_IRQL("KeFlushQueuedDpcs");
    WaitForDpcsIdle();
}

}  // extern "C"
