// Dispatcher objects and waits. Kernel objects are plain data owned by the caller, so their state
// lives in their DISPATCHER_HEADER under one global dispatcher lock, and a waiting thread parks on a
// wait record of its own. An object that becomes signalled satisfies the waiters at once, in the
// order they started waiting: a synchronization event releases exactly one of them.
#include <algorithm>
#include <map>
#include <thread>

#include "ke/ke.h"
#include "qv/platform.h"
#include "verifier.h"

namespace qv {
namespace {

constexpr ULONGLONG kNoDeadline = ~0ULL;

struct Waiter {
    LIST_ENTRY Entry;
    std::atomic<uint32_t> Word{0};  // changed under the dispatcher lock to wake the waiter
    DISPATCHER_HEADER **Objects;
    ULONG Count;
    PKTHREAD Thread;  // the waiting thread: a mutex it owns is signalled for it
    ThreadState *Owner;
    bool TakesFinishes;  // the wait may be interrupted to run the thread's request finishes
    WAIT_TYPE Type;
    ULONGLONG Deadline;
    NTSTATUS Status = STATUS_PENDING;  // STATUS_PENDING until satisfied or timed out
};

// Waiting threads, oldest first; guarded by the dispatcher lock.
LIST_ENTRY &Waiters()
{
    static LIST_ENTRY *head = [] {
        auto *h = new LIST_ENTRY;
        InitializeListHead(h);
        return h;
    }();
    return *head;
}

// The same waiters by the object they wait on, each list oldest first, so that signalling an
// object does not walk every waiting thread, and freed memory is checked by address; guarded by the dispatcher lock.
// Kept beside the objects, not in them: an object freed while waited on (a verifier finding) corrupts nothing.
std::map<const DISPATCHER_HEADER *, std::vector<Waiter *>> &WaitersByObject()
{
    static auto *index = new std::map<const DISPATCHER_HEADER *, std::vector<Waiter *>>;
    return *index;
}

void IndexWaiterLocked(Waiter *w)
{
    for (ULONG i = 0; i < w->Count; ++i) WaitersByObject()[w->Objects[i]].push_back(w);
}

void UnindexWaiterLocked(Waiter *w)
{
    auto &index = WaitersByObject();
    for (ULONG i = 0; i < w->Count; ++i) {
        auto it = index.find(w->Objects[i]);
        if (it == index.end()) continue;  // a duplicate in the array, already done
        auto &list = it->second;
        list.erase(std::remove(list.begin(), list.end(), w), list.end());
        if (list.empty()) index.erase(it);
    }
}

// Wake-ups a thread collects while it holds the dispatcher lock and issues once it has let go,
// so that the woken thread does not run straight into the lock its waker still holds.
struct DeferredWakes {
    const std::atomic<uint32_t> *Words[16];
    int Count = 0;
};
thread_local DeferredWakes *tDeferred = nullptr;

class WakeAfterUnlock {
public:
    WakeAfterUnlock() { tDeferred = &wakes_; }
    ~WakeAfterUnlock()
    {
        tDeferred = nullptr;
        for (int i = 0; i < wakes_.Count; ++i) WakeWord(wakes_.Words[i]);
    }
    WakeAfterUnlock(const WakeAfterUnlock &) = delete;
    WakeAfterUnlock &operator=(const WakeAfterUnlock &) = delete;

private:
    DeferredWakes wakes_;
};

void WakeWaiterLocked(Waiter *w)
{
    w->Word.fetch_add(1, std::memory_order_relaxed);
    if (w->Owner == &CurrentThreadState()) return;  // its own wait, left by a finish it ran: not asleep
    DeferredWakes *d = tDeferred;
    if (d != nullptr && d->Count < int(RTL_NUMBER_OF(d->Words)))
        d->Words[d->Count++] = &w->Word;
    else
        WakeWord(&w->Word);
}

PKMUTEX AsMutex(DISPATCHER_HEADER *h) { return CONTAINING_RECORD(h, KMUTEX, Header); }

bool IsSignalled(DISPATCHER_HEADER *h, PKTHREAD thread)
{
    if (h->Type == MutantObject) return h->SignalState > 0 || AsMutex(h)->OwnerThread == thread;
    return h->SignalState > 0;
}

void Consume(DISPATCHER_HEADER *h, PKTHREAD thread)
{
    if (h->Type == EventSynchronizationObject || h->Type == TimerSynchronizationObject) h->SignalState = 0;
    if (h->Type == MutantObject) {
        --h->SignalState;
        AsMutex(h)->OwnerThread = thread;
    }
}

// Satisfies the wait if it can, consuming the objects; STATUS_PENDING otherwise.
NTSTATUS TrySatisfy(DISPATCHER_HEADER **objects, ULONG count, WAIT_TYPE type, PKTHREAD thread)
{
    if (type == WaitAny) {
        for (ULONG i = 0; i < count; ++i) {
            if (IsSignalled(objects[i], thread)) {
                Consume(objects[i], thread);
                return STATUS_WAIT_0 + static_cast<NTSTATUS>(i);
            }
        }
        return STATUS_PENDING;
    }
    for (ULONG i = 0; i < count; ++i)
        if (!IsSignalled(objects[i], thread)) return STATUS_PENDING;
    for (ULONG i = 0; i < count; ++i) Consume(objects[i], thread);
    return STATUS_SUCCESS;
}

// A mutex the thread just acquired: the first level turns its normal kernel APCs off, and the
// verifier tracks it like any lock.
void TookMutex(ThreadState &t, DISPATCHER_HEADER *h, const char *routine)
{
    if (h->Type != MutantObject) return;
    if (!ThreadHoldsLock(t, h)) t.KernelApcDisable += AsMutex(h)->ApcDisable;
    TrackLockAcquired(t, h, true, routine);
}

bool IsWaitable(const DISPATCHER_HEADER *h)
{
    switch (h->Type) {
    case EventNotificationObject:
    case EventSynchronizationObject:
    case MutantObject:
    case ThreadObject:
    case TimerNotificationObject:
    case TimerSynchronizationObject: return true;
    default: return false;
    }
}

}  // namespace

RecordLock &DispatcherLock()
{
    static RecordLock *lock = new RecordLock;
    return *lock;
}

void SignalObjectLocked(DISPATCHER_HEADER *header)
{
    auto found = WaitersByObject().find(header);
    if (found == WaitersByObject().end()) return;
    const std::vector<Waiter *> &waiters = found->second;
    for (size_t k = 0; k < waiters.size() && header->SignalState > 0; ++k) {
        Waiter *w = waiters[k];
        if (w->Status != STATUS_PENDING) continue;
        NTSTATUS status = TrySatisfy(w->Objects, w->Count, w->Type, w->Thread);
        if (status == STATUS_PENDING) continue;
        w->Status = status;
        WakeWaiterLocked(w);
    }
}

bool HandFinishToThread(ThreadState *requester, void *irp)
{
    if (requester == nullptr) return false;
    ThreadState &self = CurrentThreadState();
    WakeAfterUnlock wakes;
    std::lock_guard<RecordLock> guard(DispatcherLock());
    if (requester == &self) {
        // Only if the thread gets to run it: not while it holds a lock or stays in a guarded region.
        bool later = self.RunningOwnDpcs ? self.OuterTakesFinishes : self.HeldCount == 0 && self.SpecialApcDisable == 0;
        if (!later) return false;
        self.Finishes.push_back(irp);
        self.FinishCount.fetch_add(1, std::memory_order_relaxed);
        return true;
    }
    // Another thread is only known to be alive while it is on the waiter list.
    LIST_ENTRY &head = Waiters();
    for (LIST_ENTRY *e = head.Flink; e != &head; e = e->Flink) {
        Waiter *w = CONTAINING_RECORD(e, Waiter, Entry);
        if (w->Owner != requester || !w->TakesFinishes || w->Status != STATUS_PENDING) continue;
        requester->Finishes.push_back(irp);
        requester->FinishCount.fetch_add(1, std::memory_order_relaxed);
        WakeWaiterLocked(w);
        return true;
    }
    return false;
}

void ExpireWaitersLocked(ULONGLONG now)
{
    LIST_ENTRY &head = Waiters();
    for (LIST_ENTRY *e = head.Flink; e != &head; e = e->Flink) {
        Waiter *w = CONTAINING_RECORD(e, Waiter, Entry);
        if (w->Status == STATUS_PENDING && w->Deadline <= now) {
            w->Status = STATUS_TIMEOUT;
            WakeWaiterLocked(w);
        }
    }
}

void WakeAllWaitersLocked()
{
    LIST_ENTRY &head = Waiters();
    for (LIST_ENTRY *e = head.Flink; e != &head; e = e->Flink) WakeWaiterLocked(CONTAINING_RECORD(e, Waiter, Entry));
}

size_t WaiterCountLocked()
{
    size_t n = 0;
    LIST_ENTRY &head = Waiters();
    for (LIST_ENTRY *e = head.Flink; e != &head; e = e->Flink) ++n;
    return n;
}

bool WaiterUsesMemoryLocked(const void *base, SIZE_T size)
{
    const char *lo = static_cast<const char *>(base), *hi = lo + size;
    auto &index = WaitersByObject();
    for (auto it = index.lower_bound(reinterpret_cast<const DISPATCHER_HEADER *>(lo));
         it != index.end() && reinterpret_cast<const char *>(it->first) < hi; ++it)
        for (Waiter *w : it->second)
            if (w->Status == STATUS_PENDING) return true;
    return false;
}

static void TookMutexes(ThreadState &t, DISPATCHER_HEADER **objects, ULONG count, WAIT_TYPE type, NTSTATUS status,
                        const char *routine)
{
    if (status == STATUS_TIMEOUT || status < STATUS_WAIT_0 || status >= STATUS_WAIT_0 + (NTSTATUS)count) return;
    if (type == WaitAny)
        TookMutex(t, objects[status - STATUS_WAIT_0], routine);
    else
        for (ULONG i = 0; i < count; ++i) TookMutex(t, objects[i], routine);
}

// The common wait: `count` may be 0 (a plain delay).
static NTSTATUS WaitForObjects(const char *routine, ULONG count, DISPATCHER_HEADER **objects, WAIT_TYPE type,
                               PLARGE_INTEGER timeout)
{
    ThreadState &t = CurrentThreadState();
    bool poll = timeout != nullptr && timeout->QuadPart == 0;
    if (t.Irql > DISPATCH_LEVEL || (t.Irql == DISPATCH_LEVEL && !poll))
        VerifierViolation(routine, "waiting %s at IRQL %u", timeout ? "with a non-zero timeout" : "without a timeout",
                          t.Irql);
    PKTHREAD thread = KeGetCurrentThread();
    for (ULONG i = 0; i < count; ++i)
        if (objects[i]->Type == MutantObject && !ThreadHoldsLock(t, objects[i]))
            VerifierCheckNesting(routine, objects[i]);
    if (!poll) {
        if (t.Irql == PASSIVE_LEVEL && t.SpecialApcDisable == 0 && t.UndeliveredApcs.load() != 0) DeliverThreadApcs(t);
        TakeThreadFinishes(t);
        // The completion this thread waits for comes as a special kernel APC, which it cannot
        // take now: on Windows the wait never ends. Reported; the wait goes on so the test ends.
        for (ULONG i = 0; i < count; ++i)
            if (SpecialApcsBlocked(t) && WaitNeedsThreadApc(t, objects[i]))
                VerifierViolation(routine,
                                  "waiting at IRQL %u%s for event %p of a request whose completion needs a special "
                                  "kernel APC to this thread; the APC cannot run, so the wait would never end",
                                  t.Irql, t.SpecialApcDisable ? " in a guarded region" : "", (void *)objects[i]);
    }
    std::unique_lock<RecordLock> lock(DispatcherLock());
    NTSTATUS status = count ? TrySatisfy(objects, count, type, thread) : STATUS_PENDING;
    if (status != STATUS_PENDING) {
        lock.unlock();
        TookMutexes(t, objects, count, type, status, routine);
        return status;
    }
    if (poll) return STATUS_TIMEOUT;

    Waiter w;
    w.Objects = objects;
    w.Count = count;
    w.Thread = thread;
    w.Type = type;
    w.Deadline = timeout ? DueTimeToInterruptTime(timeout->QuadPart, InterruptTimeNow()) : kNoDeadline;
    w.Owner = &t;
    w.TakesFinishes = CanRunThreadFinishes(t);
    InsertTailList(&Waiters(), &w.Entry);
    IndexWaiterLocked(&w);
    while (w.Status == STATUS_PENDING) {
        if (!t.Finishes.empty()) {
            // Still a waiter meanwhile: an event the finish sets ends this wait as usual.
            lock.unlock();
            RunThreadFinishes(t);
            lock.lock();
            continue;
        }
        bool expired = WaitWordUntilInterruptTime(w.Word, lock, w.Deadline);
        if (w.Status == STATUS_PENDING && expired) w.Status = STATUS_TIMEOUT;
    }
    RemoveEntryList(&w.Entry);
    UnindexWaiterLocked(&w);
    bool finishes = !t.Finishes.empty();
    lock.unlock();
    if (finishes) RunThreadFinishes(t);
    if (!SpecialApcsBlocked(t) && t.UndeliveredApcs.load() != 0) DeliverThreadApcs(t);
    TookMutexes(t, objects, count, type, w.Status, routine);
    return w.Status;
}

static bool CheckObject(const char *routine, DISPATCHER_HEADER *h)
{
    if (h == nullptr) {
        VerifierViolation(routine, "waiting on a NULL object");
        return false;
    }
    if (!IsWaitable(h)) {
        VerifierViolation(routine, "object %p of type %u cannot be waited on", (void *)h, h->Type);
        return false;
    }
    if (h->Size == 0) VerifierViolation(routine, "object %p used before it was initialised", (void *)h);
    return true;
}

static bool CheckEvent(const char *routine, PRKEVENT event)
{
    if (event == nullptr) {
        VerifierViolation(routine, "NULL event");
        return false;
    }
    if (event->Header.Size == 0) VerifierViolation(routine, "event %p used before KeInitializeEvent", (void *)event);
    return true;
}

size_t WaitingThreadCount()
{
    std::lock_guard<RecordLock> guard(DispatcherLock());
    size_t n = 0;
    LIST_ENTRY &head = Waiters();
    for (LIST_ENTRY *e = head.Flink; e != &head; e = e->Flink)
        if (CONTAINING_RECORD(e, Waiter, Entry)->Status == STATUS_PENDING) ++n;
    return n;
}

size_t WaitersOn(const void *object)
{
    std::lock_guard<RecordLock> guard(DispatcherLock());
    size_t n = 0;
    LIST_ENTRY &head = Waiters();
    for (LIST_ENTRY *e = head.Flink; e != &head; e = e->Flink) {
        Waiter *w = CONTAINING_RECORD(e, Waiter, Entry);
        if (w->Status != STATUS_PENDING) continue;
        for (ULONG i = 0; i < w->Count; ++i) {
            if (w->Objects[i] == object) {
                ++n;
                break;
            }
        }
    }
    return n;
}

}  // namespace qv

using namespace qv;

extern "C" {

void KeInitializeEvent(PRKEVENT Event, EVENT_TYPE Type, BOOLEAN State)
{
    Event->Header.Type = Type == SynchronizationEvent ? EventSynchronizationObject : EventNotificationObject;
    Event->Header.Size = sizeof(KEVENT) / sizeof(LONG);
    Event->Header.Absolute = 0;
    Event->Header.Inserted = 0;
    Event->Header.SignalState = State ? 1 : 0;
    InitializeListHead(&Event->Header.WaitListHead);
}

LONG KeSetEvent(PRKEVENT Event, KPRIORITY Increment, BOOLEAN Wait)
{
    QV_VERIFY_IRQL("KeSetEvent");
    if (!CheckEvent("KeSetEvent", Event)) return 0;
    WakeAfterUnlock wakes;
    std::lock_guard<RecordLock> guard(DispatcherLock());
    LONG previous = Event->Header.SignalState;
    if (previous == 0) {
        Event->Header.SignalState = 1;
        SignalObjectLocked(&Event->Header);
    }
    return previous;
}

void KeClearEvent(PRKEVENT Event)
{
    QV_VERIFY_IRQL("KeClearEvent");
    if (!CheckEvent("KeClearEvent", Event)) return;
    std::lock_guard<RecordLock> guard(DispatcherLock());
    Event->Header.SignalState = 0;
}

LONG KeResetEvent(PRKEVENT Event)
{
    QV_VERIFY_IRQL("KeResetEvent");
    if (!CheckEvent("KeResetEvent", Event)) return 0;
    std::lock_guard<RecordLock> guard(DispatcherLock());
    LONG previous = Event->Header.SignalState;
    Event->Header.SignalState = 0;
    return previous;
}

LONG KeReadStateEvent(PRKEVENT Event)
{
    QV_VERIFY_IRQL("KeReadStateEvent");
    if (!CheckEvent("KeReadStateEvent", Event)) return 0;
    std::lock_guard<RecordLock> guard(DispatcherLock());
    return Event->Header.SignalState;
}

NTSTATUS KeWaitForSingleObject(PVOID Object, KWAIT_REASON WaitReason, KPROCESSOR_MODE WaitMode, BOOLEAN Alertable,
                               PLARGE_INTEGER Timeout)
{
    auto *h = static_cast<DISPATCHER_HEADER *>(Object);
    if (!CheckObject("KeWaitForSingleObject", h)) return STATUS_INVALID_PARAMETER;
    return WaitForObjects("KeWaitForSingleObject", 1, &h, WaitAny, Timeout);
}

NTSTATUS KeWaitForMultipleObjects(ULONG Count, PVOID Object[], WAIT_TYPE WaitType, KWAIT_REASON WaitReason,
                                  KPROCESSOR_MODE WaitMode, BOOLEAN Alertable, PLARGE_INTEGER Timeout,
                                  PKWAIT_BLOCK WaitBlockArray)
{
    const char *routine = "KeWaitForMultipleObjects";
    if (Count == 0 || Count > MAXIMUM_WAIT_OBJECTS) {
        VerifierViolation(routine, "%u objects", Count);
        return STATUS_INVALID_PARAMETER;
    }
    if (Count > THREAD_WAIT_OBJECTS && WaitBlockArray == nullptr)
        VerifierViolation(routine, "%u objects need a wait block array", Count);
    DISPATCHER_HEADER *objects[MAXIMUM_WAIT_OBJECTS];
    for (ULONG i = 0; i < Count; ++i) {
        objects[i] = static_cast<DISPATCHER_HEADER *>(Object[i]);
        if (!CheckObject(routine, objects[i])) return STATUS_INVALID_PARAMETER;
    }
    return WaitForObjects(routine, Count, objects, WaitType, Timeout);
}

NTSTATUS KeDelayExecutionThread(KPROCESSOR_MODE WaitMode, BOOLEAN Alertable, PLARGE_INTEGER Interval)
{
    QV_VERIFY_IRQL("KeDelayExecutionThread");
    if (Interval == nullptr) {
        VerifierViolation("KeDelayExecutionThread", "NULL interval");
        return STATUS_INVALID_PARAMETER;
    }
    if (Interval->QuadPart == 0) {
        std::this_thread::yield();
        return STATUS_SUCCESS;
    }
    WaitForObjects("KeDelayExecutionThread", 0, nullptr, WaitAny, Interval);
    return STATUS_SUCCESS;
}

}  // extern "C"

extern "C" {

void KeInitializeMutex(PRKMUTEX Mutex, ULONG Level)
{
    QV_VERIFY_IRQL("KeInitializeMutex");
    Mutex->Header.Type = MutantObject;
    Mutex->Header.Size = sizeof(KMUTEX) / sizeof(LONG);
    Mutex->Header.SignalState = 1;
    InitializeListHead(&Mutex->Header.WaitListHead);
    Mutex->OwnerThread = nullptr;
    Mutex->Abandoned = FALSE;
    Mutex->ApcDisable = 1;
}

LONG KeReleaseMutex(PRKMUTEX Mutex, BOOLEAN)
{
    const char *routine = "KeReleaseMutex";
    VerifyIrql(routine);
    ThreadState &t = CurrentThreadState();
    PKTHREAD self = KeGetCurrentThread();
    LONG previous;
    bool last;
    {
        std::lock_guard<RecordLock> guard(DispatcherLock());
        if (Mutex->Header.Type != MutantObject || Mutex->Header.Size == 0) {
            VerifierViolation(routine, "%p is not an initialised kernel mutex", (void *)Mutex);
            return 0;
        }
        if (Mutex->OwnerThread != self || Mutex->Header.SignalState > 0) {
            // Windows raises STATUS_MUTANT_NOT_OWNED here.
            VerifierViolation(routine, "mutex %p released by a thread that does not own it", (void *)Mutex);
            return Mutex->Header.SignalState;
        }
        previous = Mutex->Header.SignalState++;
        last = Mutex->Header.SignalState == 1;
        if (last) {
            Mutex->OwnerThread = nullptr;
            SignalObjectLocked(&Mutex->Header);
        }
    }
    TrackLockReleased(t, &Mutex->Header, true);
    if (last) t.KernelApcDisable -= Mutex->ApcDisable;
    return previous;
}

LONG KeReadStateMutex(PRKMUTEX Mutex)
{
    QV_VERIFY_IRQL("KeReadStateMutex");
    std::lock_guard<RecordLock> guard(DispatcherLock());
    return Mutex->Header.SignalState;
}

}  // extern "C"
