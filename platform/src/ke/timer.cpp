// Kernel timers. Armed timers sit in one queue ordered by due interrupt time, under the dispatcher
// lock. Expiry takes the timer out of the queue, signals it and queues its DPC, all in one step
// under that lock: from then on KeCancelTimer returns FALSE, even though the DPC has not run yet.
// On the real clock a timer thread expires timers; on the virtual clock AdvanceClock does. Setting
// a timer wakes the timer thread only when it moves the thread's next deadline earlier, so the
// usual timeout that is set and cancelled long before it falls due costs no thread switch.
#include <pthread.h>

#include <algorithm>
#include <thread>
#include <utility>
#include <vector>

#include "ke/addressset.h"
#include "ke/ke.h"
#include "qv/platform.h"
#include "verifier.h"

namespace qv {
namespace {

// Armed timers by due time, equal times in the order they were set: a sorted array, since a
// timer is set and cancelled for almost every request and a tree would allocate each time.
using TimerQueue = std::vector<std::pair<ULONGLONG, PKTIMER>>;

bool DueBefore(ULONGLONG due, const TimerQueue::value_type &entry) { return due < entry.first; }
bool DueAfter(const TimerQueue::value_type &entry, ULONGLONG due) { return entry.first < due; }

struct TimerState {
    TimerQueue Queue;                     // guarded by DispatcherLock
    AddressSet<KTIMER> Armed;             // the same by address, for freed memory; DispatcherLock
    std::condition_variable_any Changed;  // queue or clock mode changed
    std::thread Thread;
    bool Stop = false;     // guarded by DispatcherLock
    bool Running = false;  // guarded by DispatcherLock
    // Interrupt time the sleeping timer thread wakes at by itself: ~0 when only a notification
    // wakes it, 0 while it runs or waits for AdvanceClock. Guarded by DispatcherLock.
    ULONGLONG SleepsUntil = 0;
};

TimerState &Timers()
{
    static TimerState *state = new TimerState;
    return *state;
}

void InsertTimerLocked(PKTIMER timer, ULONGLONG due)
{
    timer->DueTime.QuadPart = due;
    timer->Header.Inserted = TRUE;
    TimerQueue &queue = Timers().Queue;
    queue.insert(std::upper_bound(queue.begin(), queue.end(), due, DueBefore), {due, timer});
    Timers().Armed.insert(timer);
}

void RemoveTimerLocked(PKTIMER timer)
{
    TimerQueue &queue = Timers().Queue;
    const ULONGLONG due = timer->DueTime.QuadPart;
    for (auto it = std::lower_bound(queue.begin(), queue.end(), due, DueAfter); it != queue.end() && it->first == due;
         ++it) {
        if (it->second == timer) {
            queue.erase(it);
            break;
        }
    }
    Timers().Armed.erase(timer);
    timer->Header.Inserted = FALSE;
}

void ExpireTimerLocked(PKTIMER timer, ULONGLONG now)
{
    RemoveTimerLocked(timer);
    timer->Header.SignalState = 1;
    SignalObjectLocked(&timer->Header);
    if (timer->Period > 0) InsertTimerLocked(timer, timer->DueTime.QuadPart + timer->Period * 10000ULL);
    if (timer->Dpc != nullptr) {
        LARGE_INTEGER systemTime;
        systemTime.QuadPart = SystemTimeBase() + static_cast<LONGLONG>(now);
        InsertQueueDpcLocked(timer->Dpc, reinterpret_cast<PVOID>(static_cast<ULONG_PTR>(systemTime.LowPart)),
                             reinterpret_cast<PVOID>(static_cast<ULONG_PTR>(static_cast<ULONG>(systemTime.HighPart))),
                             NextTimerProcessor());
    }
}

// Expires every timer due at `now`, in due order. A periodic timer comes back later than `now`.
void ExpireDueTimersLocked(ULONGLONG now)
{
    auto &queue = Timers().Queue;
    std::vector<PKTIMER> due;
    for (auto it = queue.begin(); it != queue.end() && it->first <= now; ++it) due.push_back(it->second);
    for (PKTIMER timer : due) ExpireTimerLocked(timer, now);
}

void TimerThread()
{
    pthread_setname_np(pthread_self(), "qv-timer");
    CurrentThreadState().Irql = DISPATCH_LEVEL;
    TimerState &s = Timers();
    std::unique_lock<RecordLock> lock(DispatcherLock());
    while (!s.Stop) {
        if (VirtualClockInUse()) {
            s.Changed.wait(lock);
            continue;
        }
        if (s.Queue.empty()) {
            s.SleepsUntil = ~0ULL;
            s.Changed.wait(lock);
            s.SleepsUntil = 0;
            continue;
        }
        ULONGLONG now = InterruptTimeNow();
        ULONGLONG first = s.Queue.begin()->first;
        if (first <= now) {
            ExpireDueTimersLocked(now);
            continue;
        }
        s.SleepsUntil = first;
        WaitUntilInterruptTime(s.Changed, lock, first);
        s.SleepsUntil = 0;
    }
}

void CheckTimer(const char *routine, PKTIMER timer)
{
    if (timer->Header.Type != TimerNotificationObject && timer->Header.Type != TimerSynchronizationObject) {
        VerifierViolation(routine, "timer %p used before KeInitializeTimer", (void *)timer);
        KeInitializeTimer(timer);
    }
}

}  // namespace

void TimerStartup()
{
    TimerState &s = Timers();
    std::lock_guard<RecordLock> guard(DispatcherLock());
    s.Queue.clear();
    s.Armed.clear();
    s.Stop = false;
    s.Running = true;
    s.Thread = std::thread(TimerThread);
}

void TimerShutdown(std::vector<std::string> &leaks)
{
    TimerState &s = Timers();
    {
        std::lock_guard<RecordLock> guard(DispatcherLock());
        if (!s.Running) return;
        s.Stop = true;
        s.Changed.notify_all();
    }
    s.Thread.join();
    std::lock_guard<RecordLock> guard(DispatcherLock());
    s.Running = false;
    if (!s.Queue.empty()) leaks.push_back(std::to_string(s.Queue.size()) + " timer(s) still armed at shutdown");
    // The timers themselves may be gone already: only the queue is cleared.
    s.Queue.clear();
    s.Armed.clear();
}

bool ForgetTimersInLocked(const char *lo, const char *hi)
{
    // Looked up by address: every free of pool comes here.
    auto &armed = Timers().Armed;
    auto first = armed.lower_bound(lo);
    if (first == armed.end() || reinterpret_cast<const char *>(*first) >= hi) return false;
    // Found by address, not by due time: the memory may have been scribbled on before the free.
    auto &queue = Timers().Queue;
    for (auto it = queue.begin(); it != queue.end();) {
        const char *p = reinterpret_cast<const char *>(it->second);
        if (p >= lo && p < hi) {
            it->second->Header.Inserted = FALSE;
            armed.erase(it->second);
            it = queue.erase(it);
        } else {
            ++it;
        }
    }
    return true;
}

void UseVirtualClock(bool on)
{
    std::lock_guard<RecordLock> guard(DispatcherLock());
    SetVirtualClockLocked(on);
    Timers().Changed.notify_all();
}

void AdvanceClock(ULONGLONG hundredNs)
{
    ThreadState &t = CurrentThreadState();
    if (t.Irql != PASSIVE_LEVEL || t.IsDpcThread) {
        VerifierViolation("AdvanceClock", "called at IRQL %u; it waits for DPCs", t.Irql);
        return;
    }
    if (!VirtualClockInUse()) {
        VerifierViolation("AdvanceClock", "the virtual clock is not in use");
        return;
    }
    ULONGLONG target = InterruptTimeNow() + hundredNs;
    // One step per due time, so that a DPC re-arming a timer within the interval is honoured.
    for (;;) {
        bool done = false;
        {
            std::lock_guard<RecordLock> guard(DispatcherLock());
            auto &queue = Timers().Queue;
            if (queue.empty() || queue.begin()->first > target) {
                SetVirtualNowLocked(target);
                ExpireWaitersLocked(target);
                done = true;
            } else {
                SetVirtualNowLocked(queue.begin()->first);
                ULONGLONG now = InterruptTimeNow();
                ExpireWaitersLocked(now);
                ExpireDueTimersLocked(now);
            }
        }
        WaitForDpcsIdle();
        if (done) break;
    }
}

}  // namespace qv

using namespace qv;

extern "C" {

void KeInitializeTimerEx(PKTIMER Timer, TIMER_TYPE Type)
{
    QV_VERIFY_IRQL("KeInitializeTimerEx");
    Timer->Header.Type = Type == SynchronizationTimer ? TimerSynchronizationObject : TimerNotificationObject;
    Timer->Header.Size = sizeof(KTIMER) / sizeof(LONG);
    Timer->Header.Absolute = 0;
    Timer->Header.Inserted = FALSE;
    Timer->Header.SignalState = 0;
    InitializeListHead(&Timer->Header.WaitListHead);
    Timer->DueTime.QuadPart = 0;
    InitializeListHead(&Timer->TimerListEntry);
    Timer->Dpc = nullptr;
    Timer->Period = 0;
}

void KeInitializeTimer(PKTIMER Timer) { KeInitializeTimerEx(Timer, NotificationTimer); }

BOOLEAN KeSetTimerEx(PKTIMER Timer, LARGE_INTEGER DueTime, LONG Period, PKDPC Dpc)
{
    QV_VERIFY_IRQL("KeSetTimerEx");
    CheckTimer("KeSetTimerEx", Timer);
    if (Period < 0) {
        VerifierViolation("KeSetTimerEx", "negative period %d", Period);
        Period = 0;
    }
    EnsureBooted();
    std::lock_guard<RecordLock> guard(DispatcherLock());
    BOOLEAN wasArmed = Timer->Header.Inserted;
    if (wasArmed) RemoveTimerLocked(Timer);
    Timer->Header.SignalState = 0;
    Timer->Header.Absolute = DueTime.QuadPart > 0;
    Timer->Dpc = Dpc;
    Timer->Period = Period;
    ULONGLONG due = DueTimeToInterruptTime(DueTime.QuadPart, InterruptTimeNow());
    InsertTimerLocked(Timer, due);
    if (due < Timers().SleepsUntil) Timers().Changed.notify_all();
    return wasArmed;
}

BOOLEAN KeSetTimer(PKTIMER Timer, LARGE_INTEGER DueTime, PKDPC Dpc) { return KeSetTimerEx(Timer, DueTime, 0, Dpc); }

BOOLEAN KeCancelTimer(PKTIMER Timer)
{
    QV_VERIFY_IRQL("KeCancelTimer");
    CheckTimer("KeCancelTimer", Timer);
    std::lock_guard<RecordLock> guard(DispatcherLock());
    if (!Timer->Header.Inserted) return FALSE;
    RemoveTimerLocked(Timer);
    return TRUE;
}

BOOLEAN KeReadStateTimer(PKTIMER Timer)
{
    QV_VERIFY_IRQL("KeReadStateTimer");
    CheckTimer("KeReadStateTimer", Timer);
    std::lock_guard<RecordLock> guard(DispatcherLock());
    return Timer->Header.SignalState != 0;
}

}  // extern "C"
