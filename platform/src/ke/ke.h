// Kernel core internals: per-thread state, the dispatcher lock and the services that the
// dispatcher objects, DPCs, timers and threads share.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "wdm.h"

// Dispatcher header types, as the kernel numbers them.
enum : UCHAR {
    EventNotificationObject = 0,
    EventSynchronizationObject = 1,
    MutantObject = 2,
    ThreadObject = 6,
    TimerNotificationObject = 8,
    TimerSynchronizationObject = 9,
};

// Thread object. Waitable: signalled when the thread ends.
struct _KTHREAD {
    DISPATCHER_HEADER Header;
    KPRIORITY Priority;
    NTSTATUS ExitStatus;
    ULONG Id;
    BOOLEAN SystemThread;
};

namespace qv {

// Lock words (spin locks and fast mutexes): the owner's id in the low 32 bits, a waiters bit on top.
void AcquireLockWord(void *lock, uint32_t ownerId);
bool TryAcquireLockWord(void *lock, uint32_t ownerId);
void ReleaseLockWord(void *lock);
uint32_t LockWordOwner(const void *lock);
constexpr uint32_t kLockWordWaiters = 0x80000000u;
// Wakes one thread sleeping on a lock word that was let go with the waiters bit set.
void WakeLockWordWaiter(void *lock);
PKSPIN_LOCK CancelSpinLock();

// A mutex for the platform's own state (the dispatcher, IRPs, objects, pool, MDLs): the spin
// locks' lock word without their IRQL rules. One atomic operation each way when nobody else
// holds it; a waiter spins briefly, then sleeps on the word. Condition variables that wait under
// it are condition_variable_any.
class RecordLock {
public:
    void lock()
    {
        uint32_t expected = 0;
        if (!__atomic_compare_exchange_n(&word_, &expected, 1u, false, __ATOMIC_ACQUIRE, __ATOMIC_RELAXED))
            AcquireLockWord(&word_, 1);
    }
    void unlock()
    {
        if (__atomic_exchange_n(&word_, 0u, __ATOMIC_RELEASE) & kLockWordWaiters) WakeLockWordWaiter(&word_);
    }

private:
    uint32_t word_ = 0;
};

// Guards every dispatcher object's state, the waiter list, the timer queue and the DPC queues.
// Never held while driver code runs.
RecordLock &DispatcherLock();

// A program on whose behalf a thread runs (its "process"). System threads, DPCs and workers run
// in the system's context (NULL); a thread inside a Win32 API call runs in its program's.
struct ProgramContext;

struct HeldLock {
    const void *Lock;
    bool FastMutex;
};

// The verifier's memory of which lock has which name, per thread so that the check at each
// acquisition takes no shared lock. An entry holds for one generation of the naming rules.
struct LockNameSlot {
    const void *Lock = nullptr;
    uint32_t Generation = 0;  // 0: empty
    int32_t Name = -1;        // -1: not named
};

// State of the calling OS thread as a kernel thread.
struct ThreadState {
    ThreadState();
    ~ThreadState();
    KIRQL Irql = PASSIVE_LEVEL;
    ULONG LockOwnerId;  // non-zero, unique per OS thread; stored in owned lock words
    HeldLock Held[32];  // locks held, in acquisition order
    int HeldCount = 0;
    int SpinLocksHeld = 0;
    int FastMutexesHeld = 0;
    PKTHREAD Thread = nullptr;  // system thread object, or this thread's private one
    bool IsDpcThread = false;
    int Processor = -1;       // emulated processor that takes this thread's DPCs
    LIST_ENTRY DeferredDpcs;  // DPCs queued at DISPATCH_LEVEL, released when IRQL drops
    bool HasDeferredDpcs = false;
    bool RunningOwnDpcs = false;      // inside RunDeferredDpcsHere: no nested delivery
    bool OuterTakesFinishes = false;  // ... and the interrupted code may run request finishes
    // APC delivery: normal kernel APCs are off inside a critical region or while a kernel mutex
    // is held; special kernel APCs too at APC_LEVEL and above and inside a guarded region.
    int KernelApcDisable = 0;
    int SpecialApcDisable = 0;
    std::atomic<int> UndeliveredApcs{0};  // completions queued to this thread, not yet run
    ProgramContext *Program = nullptr;    // NULL: the system's context
    // Requests of this thread completed above PASSIVE_LEVEL whose last step (status block,
    // event, file reference) the thread runs itself, as the special kernel APC that Windows
    // queues to the requester. Guarded by DispatcherLock; FinishCount is read without it.
    std::vector<void *> Finishes;
    std::atomic<int> FinishCount{0};
    LockNameSlot LockNames[64];  // the verifier's: 32 sets of two
};
// True when the thread cannot take a special kernel APC now.
inline bool SpecialApcsBlocked(const ThreadState &t) { return t.Irql >= APC_LEVEL || t.SpecialApcDisable > 0; }
// Runs (in the model: retires) the completions queued to the thread as special kernel APCs;
// called where the thread's special APCs come back on. Cheap when there are none.
void DeliverThreadApcs(ThreadState &t);
// True when `object` is the event of a request the thread issued whose completion reaches the
// thread only as a special kernel APC that has not run yet.
bool WaitNeedsThreadApc(ThreadState &t, const void *object);
void ForgetThreadApcs(ThreadState &t);
// The calling thread's state, made at its first use.
extern __thread ThreadState *tThreadState;
ThreadState &CreateThreadState();
inline ThreadState &CurrentThreadState()
{
    ThreadState *t = tThreadState;
    return t != nullptr ? *t : CreateThreadState();
}
// Gives the last step of `irp` to `requester` when that is the calling thread, or a thread now
// in a kernel wait that a special kernel APC may interrupt (woken for it); false otherwise.
bool HandFinishToThread(ThreadState *requester, void *irp);
// Runs the last steps handed to the thread (io defines it).
void RunThreadFinishes(ThreadState &t);
// Where a thread takes them: at PASSIVE_LEVEL, holding nothing, outside a guarded region.
inline bool CanRunThreadFinishes(const ThreadState &t)
{
    return t.Irql == PASSIVE_LEVEL && t.HeldCount == 0 && t.SpecialApcDisable == 0 && !t.RunningOwnDpcs;
}
inline void TakeThreadFinishes(ThreadState &t)
{
    if (t.FinishCount.load(std::memory_order_relaxed) != 0 && CanRunThreadFinishes(t)) RunThreadFinishes(t);
}

// Reports a thread that holds as many locks as it can track.
void TooManyLocksHeld(ThreadState &t, const char *routine);
inline void TrackLockAcquired(ThreadState &t, const void *lock, bool fastMutex, const char *routine)
{
    if (t.HeldCount == static_cast<int>(RTL_NUMBER_OF(t.Held))) {
        TooManyLocksHeld(t, routine);
        return;
    }
    t.Held[t.HeldCount++] = HeldLock{lock, fastMutex};
    if (fastMutex)
        ++t.FastMutexesHeld;
    else
        ++t.SpinLocksHeld;
}
// Returns false when the lock was not on the thread's list.
bool TrackLockReleased(ThreadState &t, const void *lock, bool fastMutex);
bool ThreadHoldsLock(const ThreadState &t, const void *lock);

// IRQL changes that every routine goes through; lowering below DISPATCH_LEVEL releases the DPCs
// this thread queued while at DISPATCH_LEVEL. Only a thread with DPCs, APCs or request finishes
// waiting has more to do than store the level, and none of them runs at DISPATCH_LEVEL.
void SetIrqlWithWork(ThreadState &t, KIRQL irql);
inline void SetIrql(ThreadState &t, KIRQL irql)
{
    if ((irql < DISPATCH_LEVEL || t.Irql < DISPATCH_LEVEL) &&
        (t.HasDeferredDpcs || t.UndeliveredApcs.load(std::memory_order_relaxed) != 0 ||
         t.FinishCount.load(std::memory_order_relaxed) != 0))
        SetIrqlWithWork(t, irql);
    else
        t.Irql = irql;
}

// Dispatcher (caller holds DispatcherLock): satisfy waiters after an object became signalled.
void SignalObjectLocked(DISPATCHER_HEADER *header);
// Wakes every waiter so that it re-reads the clock mode; times out the ones whose deadline passed.
void ExpireWaitersLocked(ULONGLONG now);
void WakeAllWaitersLocked();
size_t WaiterCountLocked();
// True if a thread waits on an object inside [base, base+size).
bool WaiterUsesMemoryLocked(const void *base, SIZE_T size);

// DPCs (caller holds DispatcherLock).
BOOLEAN InsertQueueDpcLocked(PKDPC dpc, PVOID arg1, PVOID arg2, int processor);
int NextTimerProcessor();
// Called when the thread's IRQL drops below DISPATCH_LEVEL: runs the DPCs it deferred on the
// thread itself (or hands them to its processor's DPC thread when inline delivery is off).
// `exiting`: the thread is going away and runs no more driver code.
void ReleaseDeferredDpcs(ThreadState &t, bool exiting = false);
// Waits until no DPC is queued to a processor or running.
void WaitForDpcsIdle();
bool DpcEngineRunning();
// True if [base, base+size) contains a queued DPC or an armed timer (removes them).
bool ForgetKernelObjectsIn(const void *base, SIZE_T size, const char **what);

// Removes armed timers inside [lo, hi); true if there were any.
bool ForgetTimersInLocked(const char *lo, const char *hi);

// Clock.
ULONGLONG InterruptTimeNow();
LONGLONG SystemTimeBase();  // system time (100 ns since 1601) at interrupt time 0
// Converts a Windows due time (negative relative, positive absolute system time) to interrupt time.
ULONGLONG DueTimeToInterruptTime(LONGLONG dueTime, ULONGLONG now);
// Waits on `cv` until woken or until interrupt time `deadline` passes on the real clock;
// returns true if the deadline passed. With the virtual clock it waits for a wake-up only.
bool WaitUntilInterruptTime(std::condition_variable_any &cv, std::unique_lock<RecordLock> &lock, ULONGLONG deadline);
// The same on a wake word: sleeps while `word` still holds what it held under the lock; a waker
// changes the word under the lock and may wake it after releasing the lock (WakeWord).
bool WaitWordUntilInterruptTime(std::atomic<uint32_t> &word, std::unique_lock<RecordLock> &lock, ULONGLONG deadline);
// Wakes a thread sleeping on `word`. Safe on a word whose waiter has already gone: at worst a
// spurious wake-up of whatever now sleeps at that address, which every sleeper tolerates.
void WakeWord(const std::atomic<uint32_t> *word);

// Clock mode and the virtual time (caller holds DispatcherLock).
void SetVirtualClockLocked(bool on);
void SetVirtualNowLocked(ULONGLONG now);

// Startup and shutdown of the pieces (boot.cpp calls them).
void KeStartup(int processorCount, bool virtualClock, bool inlineDpcs);
void KeShutdown(std::vector<std::string> &leaks);
void PsWaitForSystemThreads(std::vector<std::string> &leaks);
void TimerStartup();
void TimerShutdown(std::vector<std::string> &leaks);
void DpcStartup(int processorCount, bool inlineDpcs);
void DpcShutdown();

// Boot on first use for plain programs.
void EnsureBooted();

}  // namespace qv
