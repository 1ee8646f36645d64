// Dispatcher objects and waits. Kernel objects are plain data owned by the caller, so their state
// lives in their DISPATCHER_HEADER under one global dispatcher lock, and a waiting thread parks on a
// wait record of its own. An object that becomes signalled satisfies the waiters at once, in the
// order they started waiting: a synchronization event releases exactly one of them.
#include <thread>

#include "ke/ke.h"
#include "qv/platform.h"
#include "verifier.h"

namespace qv {
namespace {

constexpr ULONGLONG kNoDeadline = ~0ULL;

struct Waiter {
    LIST_ENTRY Entry;
    std::condition_variable Wake;
    DISPATCHER_HEADER **Objects;
    ULONG Count;
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

bool IsSignalled(const DISPATCHER_HEADER *h) { return h->SignalState > 0; }

void Consume(DISPATCHER_HEADER *h)
{
    if (h->Type == EventSynchronizationObject || h->Type == TimerSynchronizationObject) h->SignalState = 0;
}

// Satisfies the wait if it can, consuming the objects; STATUS_PENDING otherwise.
NTSTATUS TrySatisfy(DISPATCHER_HEADER **objects, ULONG count, WAIT_TYPE type)
{
    if (type == WaitAny) {
        for (ULONG i = 0; i < count; ++i) {
            if (IsSignalled(objects[i])) {
                Consume(objects[i]);
                return STATUS_WAIT_0 + static_cast<NTSTATUS>(i);
            }
        }
        return STATUS_PENDING;
    }
    for (ULONG i = 0; i < count; ++i)
        if (!IsSignalled(objects[i])) return STATUS_PENDING;
    for (ULONG i = 0; i < count; ++i) Consume(objects[i]);
    return STATUS_SUCCESS;
}

bool IsWaitable(const DISPATCHER_HEADER *h)
{
    switch (h->Type) {
    case EventNotificationObject:
    case EventSynchronizationObject:
    case ThreadObject:
    case TimerNotificationObject:
    case TimerSynchronizationObject: return true;
    default: return false;
    }
}

}  // namespace

std::mutex &DispatcherLock()
{
    static std::mutex *lock = new std::mutex;
    return *lock;
}

void SignalObjectLocked(DISPATCHER_HEADER *header)
{
    LIST_ENTRY &head = Waiters();
    for (LIST_ENTRY *e = head.Flink; e != &head && IsSignalled(header); e = e->Flink) {
        Waiter *w = CONTAINING_RECORD(e, Waiter, Entry);
        if (w->Status != STATUS_PENDING) continue;
        bool waitsOnIt = false;
        for (ULONG i = 0; i < w->Count && !waitsOnIt; ++i) waitsOnIt = w->Objects[i] == header;
        if (!waitsOnIt) continue;
        NTSTATUS status = TrySatisfy(w->Objects, w->Count, w->Type);
        if (status == STATUS_PENDING) continue;
        w->Status = status;
        w->Wake.notify_one();
    }
}

void ExpireWaitersLocked(ULONGLONG now)
{
    LIST_ENTRY &head = Waiters();
    for (LIST_ENTRY *e = head.Flink; e != &head; e = e->Flink) {
        Waiter *w = CONTAINING_RECORD(e, Waiter, Entry);
        if (w->Status == STATUS_PENDING && w->Deadline <= now) {
            w->Status = STATUS_TIMEOUT;
            w->Wake.notify_one();
        }
    }
}

void WakeAllWaitersLocked()
{
    LIST_ENTRY &head = Waiters();
    for (LIST_ENTRY *e = head.Flink; e != &head; e = e->Flink) CONTAINING_RECORD(e, Waiter, Entry)->Wake.notify_one();
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
    LIST_ENTRY &head = Waiters();
    for (LIST_ENTRY *e = head.Flink; e != &head; e = e->Flink) {
        Waiter *w = CONTAINING_RECORD(e, Waiter, Entry);
        if (w->Status != STATUS_PENDING) continue;
        for (ULONG i = 0; i < w->Count; ++i) {
            const char *p = reinterpret_cast<const char *>(w->Objects[i]);
            if (p >= lo && p < hi) return true;
        }
    }
    return false;
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
    std::unique_lock<std::mutex> lock(DispatcherLock());
    NTSTATUS status = count ? TrySatisfy(objects, count, type) : STATUS_PENDING;
    if (status != STATUS_PENDING) return status;
    if (poll) return STATUS_TIMEOUT;

    Waiter w;
    w.Objects = objects;
    w.Count = count;
    w.Type = type;
    w.Deadline = timeout ? DueTimeToInterruptTime(timeout->QuadPart, InterruptTimeNow()) : kNoDeadline;
    InsertTailList(&Waiters(), &w.Entry);
    while (w.Status == STATUS_PENDING) {
        bool expired = WaitUntilInterruptTime(w.Wake, lock, w.Deadline);
        if (w.Status == STATUS_PENDING && expired) w.Status = STATUS_TIMEOUT;
    }
    RemoveEntryList(&w.Entry);
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
    std::lock_guard<std::mutex> guard(DispatcherLock());
    size_t n = 0;
    LIST_ENTRY &head = Waiters();
    for (LIST_ENTRY *e = head.Flink; e != &head; e = e->Flink)
        if (CONTAINING_RECORD(e, Waiter, Entry)->Status == STATUS_PENDING) ++n;
    return n;
}

size_t WaitersOn(const void *object)
{
    std::lock_guard<std::mutex> guard(DispatcherLock());
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
    VerifyMaxIrql("KeSetEvent", DISPATCH_LEVEL);
    if (!CheckEvent("KeSetEvent", Event)) return 0;
    std::lock_guard<std::mutex> guard(DispatcherLock());
    LONG previous = Event->Header.SignalState;
    if (previous == 0) {
        Event->Header.SignalState = 1;
        SignalObjectLocked(&Event->Header);
    }
    return previous;
}

void KeClearEvent(PRKEVENT Event)
{
    if (!CheckEvent("KeClearEvent", Event)) return;
    std::lock_guard<std::mutex> guard(DispatcherLock());
    Event->Header.SignalState = 0;
}

LONG KeResetEvent(PRKEVENT Event)
{
    VerifyMaxIrql("KeResetEvent", DISPATCH_LEVEL);
    if (!CheckEvent("KeResetEvent", Event)) return 0;
    std::lock_guard<std::mutex> guard(DispatcherLock());
    LONG previous = Event->Header.SignalState;
    Event->Header.SignalState = 0;
    return previous;
}

LONG KeReadStateEvent(PRKEVENT Event)
{
    if (!CheckEvent("KeReadStateEvent", Event)) return 0;
    std::lock_guard<std::mutex> guard(DispatcherLock());
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
    VerifyMaxIrql("KeDelayExecutionThread", APC_LEVEL);
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
