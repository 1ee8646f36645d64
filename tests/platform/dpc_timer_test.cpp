// DPCs, timers and the clock.
#include <atomic>
#include <thread>
#include <vector>

#include "platform_test.h"
#include "wdm.h"

namespace {

using qvtest::Due;
using qvtest::PlatformTest;
using qvtest::RelativeMs;

void CountingDpc(PKDPC dpc, PVOID context, PVOID, PVOID);

// A DPC that counts its runs, and where and at which IRQL it ran.
struct DpcProbe {
    KDPC Dpc;
    std::atomic<int> Runs{0};
    std::atomic<int> RequeueUntil{0};
    std::atomic<int> RequeueFailures{0};
    std::atomic<int> WrongIrql{0};
    std::atomic<std::thread::id> Thread;
    DpcProbe() { KeInitializeDpc(&Dpc, CountingDpc, this); }
};

// A timer whose DPC is a probe.
struct TimerProbe : DpcProbe {
    KTIMER Timer;
    TimerProbe() { KeInitializeTimer(&Timer); }
};

void CountingDpc(PKDPC dpc, PVOID context, PVOID, PVOID)
{
    auto *probe = static_cast<DpcProbe *>(context);
    if (KeGetCurrentIrql() != DISPATCH_LEVEL) probe->WrongIrql++;
    probe->Thread = std::this_thread::get_id();
    int run = ++probe->Runs;
    if (run < probe->RequeueUntil && !KeInsertQueueDpc(dpc, nullptr, nullptr)) probe->RequeueFailures++;
}

class DpcTest : public PlatformTest {};

// Four threads insert one DPC 2000 times each; every insert that was accepted runs once, at
// DISPATCH_LEVEL, whichever model delivers it.
void ExpectEverySuccessfulInsertRunsExactlyOnce()
{
    DpcProbe probe;
    std::atomic<int> accepted{0};
    std::vector<std::thread> inserters;
    for (int i = 0; i < 4; ++i) {
        inserters.emplace_back([&] {
            for (int n = 0; n < 2000; ++n) {
                // Half of the inserts happen at DISPATCH_LEVEL, where they wait for the IRQL to drop.
                KIRQL old = PASSIVE_LEVEL;
                if (n & 1) KeRaiseIrql(DISPATCH_LEVEL, &old);
                if (KeInsertQueueDpc(&probe.Dpc, nullptr, nullptr)) accepted++;
                if (n & 1) KeLowerIrql(old);
            }
        });
    }
    for (auto &t : inserters) t.join();
    KeFlushQueuedDpcs();
    EXPECT_GT(accepted.load(), 0);
    EXPECT_EQ(probe.Runs.load(), accepted.load());
    EXPECT_EQ(probe.WrongIrql.load(), 0);
}

TEST_F(DpcTest, EverySuccessfulInsertRunsExactlyOnce) { ExpectEverySuccessfulInsertRunsExactlyOnce(); }

TEST_F(DpcTest, DpcQueuedFromItsOwnRoutineRunsAgain)
{
    DpcProbe probe;
    probe.RequeueUntil = 5;
    ASSERT_TRUE(KeInsertQueueDpc(&probe.Dpc, nullptr, nullptr));
    ASSERT_TRUE(qvtest::WaitUntil([&] { return probe.Runs.load() == 5; }));
    KeFlushQueuedDpcs();
    EXPECT_EQ(probe.Runs.load(), 5);
    EXPECT_EQ(probe.RequeueFailures.load(), 0);
}

TEST_F(DpcTest, QueuedAtDispatchRunsElsewhereOnlyAfterIrqlDrops)
{
    DpcProbe probe;
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    KIRQL old;
    KeAcquireSpinLock(&lock, &old);
    EXPECT_TRUE(KeInsertQueueDpc(&probe.Dpc, nullptr, nullptr));
    EXPECT_FALSE(KeInsertQueueDpc(&probe.Dpc, nullptr, nullptr)) << "already queued";
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(probe.Runs.load(), 0) << "ran while its queuer held a spin lock";
    KeReleaseSpinLock(&lock, old);
    KeFlushQueuedDpcs();
    EXPECT_EQ(probe.Runs.load(), 1);
    EXPECT_NE(probe.Thread.load(), std::this_thread::get_id());
}

TEST_F(DpcTest, RemovedDpcDoesNotRun)
{
    DpcProbe probe;
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    ASSERT_TRUE(KeInsertQueueDpc(&probe.Dpc, nullptr, nullptr));
    EXPECT_TRUE(KeRemoveQueueDpc(&probe.Dpc));
    EXPECT_FALSE(KeRemoveQueueDpc(&probe.Dpc));
    KeLowerIrql(old);
    KeFlushQueuedDpcs();
    EXPECT_EQ(probe.Runs.load(), 0);
    // Still usable after removal.
    EXPECT_TRUE(KeInsertQueueDpc(&probe.Dpc, nullptr, nullptr));
    KeFlushQueuedDpcs();
    EXPECT_EQ(probe.Runs.load(), 1);
}

class VirtualClockTest : public PlatformTest {
protected:
    void Configure(qv::BootConfig &config) override { config.VirtualClock = true; }
};

TEST_F(VirtualClockTest, TimerFiresOnlyWhenTheClockReachesItsDueTime)
{
    TimerProbe probe;
    KTIMER &timer = probe.Timer;
    EXPECT_FALSE(KeSetTimer(&timer, Due(RelativeMs(100)), &probe.Dpc));
    qv::AdvanceClock(99 * 10000);
    EXPECT_EQ(probe.Runs.load(), 0);
    EXPECT_FALSE(KeReadStateTimer(&timer));
    qv::AdvanceClock(1 * 10000);
    EXPECT_EQ(probe.Runs.load(), 1) << "AdvanceClock returns after the timer's DPC has run";
    EXPECT_TRUE(KeReadStateTimer(&timer));
    EXPECT_FALSE(KeCancelTimer(&timer)) << "an expired timer is no longer armed";
}

TEST_F(VirtualClockTest, LongTimeoutsTakeNoRealTime)
{
    TimerProbe probe;
    KTIMER &timer = probe.Timer;
    ULONGLONG before = KeQueryInterruptTime();
    LARGE_INTEGER systemBefore;
    KeQuerySystemTime(&systemBefore);
    KeSetTimer(&timer, Due(RelativeMs(20000)), &probe.Dpc);
    qv::AdvanceClock(20000ULL * 10000);
    EXPECT_EQ(probe.Runs.load(), 1);
    EXPECT_EQ(KeQueryInterruptTime() - before, 20000ULL * 10000);
    LARGE_INTEGER systemAfter;
    KeQuerySystemTime(&systemAfter);
    EXPECT_EQ(systemAfter.QuadPart - systemBefore.QuadPart, 20000LL * 10000);
}

TEST_F(VirtualClockTest, CancelBeforeDueStopsTheDpcAndResetRearms)
{
    TimerProbe probe;
    KTIMER &timer = probe.Timer;
    KeSetTimer(&timer, Due(RelativeMs(10)), &probe.Dpc);
    EXPECT_TRUE(KeCancelTimer(&timer));
    EXPECT_FALSE(KeCancelTimer(&timer));
    qv::AdvanceClock(50 * 10000);
    EXPECT_EQ(probe.Runs.load(), 0);

    // Setting an armed timer moves it: it fires once, at the new time.
    EXPECT_FALSE(KeSetTimer(&timer, Due(RelativeMs(10)), &probe.Dpc));
    EXPECT_TRUE(KeSetTimer(&timer, Due(RelativeMs(30)), &probe.Dpc));
    qv::AdvanceClock(20 * 10000);
    EXPECT_EQ(probe.Runs.load(), 0);
    qv::AdvanceClock(10 * 10000);
    EXPECT_EQ(probe.Runs.load(), 1);
    qv::AdvanceClock(100 * 10000);
    EXPECT_EQ(probe.Runs.load(), 1);
}

TEST_F(VirtualClockTest, PeriodicTimerFiresEveryPeriodUntilCancelled)
{
    TimerProbe probe;
    KTIMER &timer = probe.Timer;
    KeSetTimerEx(&timer, Due(RelativeMs(10)), 10, &probe.Dpc);
    qv::AdvanceClock(100 * 10000);
    EXPECT_EQ(probe.Runs.load(), 10);
    qv::AdvanceClock(5 * 10000);
    EXPECT_EQ(probe.Runs.load(), 10);
    EXPECT_TRUE(KeCancelTimer(&timer)) << "a periodic timer stays armed";
    qv::AdvanceClock(100 * 10000);
    EXPECT_EQ(probe.Runs.load(), 10);
}

TEST_F(VirtualClockTest, AbsoluteDueTimeIsSystemTime)
{
    KTIMER timer;
    KeInitializeTimer(&timer);
    LARGE_INTEGER now;
    KeQuerySystemTime(&now);
    KeSetTimer(&timer, Due(now.QuadPart + 50 * 10000), nullptr);
    qv::AdvanceClock(49 * 10000);
    EXPECT_FALSE(KeReadStateTimer(&timer));
    qv::AdvanceClock(1 * 10000);
    EXPECT_TRUE(KeReadStateTimer(&timer));

    // A time already past fires at the next advance.
    KeSetTimer(&timer, Due(now.QuadPart), nullptr);
    EXPECT_FALSE(KeReadStateTimer(&timer));
    qv::AdvanceClock(0);
    EXPECT_TRUE(KeReadStateTimer(&timer));
}

// A DPC re-arming its own timer within one advance keeps firing at every due time in it.
struct Rearming {
    KTIMER Timer;
    KDPC Dpc;
    std::atomic<int> Runs{0};
};

void RearmDpc(PKDPC, PVOID context, PVOID, PVOID)
{
    auto *r = static_cast<Rearming *>(context);
    if (++r->Runs < 3) KeSetTimer(&r->Timer, Due(RelativeMs(50)), &r->Dpc);
}

TEST_F(VirtualClockTest, TimerRearmedFromItsDpcFiresWithinTheSameAdvance)
{
    Rearming r;
    KeInitializeTimer(&r.Timer);
    KeInitializeDpc(&r.Dpc, RearmDpc, &r);
    KeSetTimer(&r.Timer, Due(RelativeMs(50)), &r.Dpc);
    qv::AdvanceClock(1000 * 10000);
    EXPECT_EQ(r.Runs.load(), 3);
}

TEST_F(VirtualClockTest, WaitsTimeOutWhenTheClockIsAdvanced)
{
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    std::atomic<NTSTATUS> result{STATUS_PENDING};
    std::thread waiter([&] {
        LARGE_INTEGER timeout = Due(RelativeMs(20000));
        result = KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &timeout);
    });
    ASSERT_TRUE(qvtest::WaitUntil([&] { return qv::WaitersOn(&event) == 1; }));
    qv::AdvanceClock(19999ULL * 10000);
    EXPECT_EQ(qv::WaitersOn(&event), 1u);
    EXPECT_EQ(result.load(), STATUS_PENDING);
    qv::AdvanceClock(1 * 10000);
    waiter.join();
    EXPECT_EQ(result.load(), STATUS_TIMEOUT);
}

TEST_F(VirtualClockTest, WaitOnATimerEndsWhenItFires)
{
    KTIMER timer;
    KeInitializeTimerEx(&timer, SynchronizationTimer);
    KeSetTimer(&timer, Due(RelativeMs(30)), nullptr);
    std::atomic<NTSTATUS> result{STATUS_PENDING};
    std::thread waiter([&] { result = KeWaitForSingleObject(&timer, Executive, KernelMode, FALSE, nullptr); });
    ASSERT_TRUE(qvtest::WaitUntil([&] { return qv::WaitersOn(&timer) == 1; }));
    qv::AdvanceClock(30 * 10000);
    waiter.join();
    EXPECT_EQ(result.load(), STATUS_SUCCESS);
    EXPECT_FALSE(KeReadStateTimer(&timer)) << "a synchronization timer resets when a wait takes it";
}

class OneProcessorTest : public PlatformTest {
protected:
    void Configure(qv::BootConfig &config) override { config.ProcessorCount = 1; }
};

std::atomic<bool> gBlockerRunning, gReleaseBlocker;

void BlockerDpc(PKDPC, PVOID, PVOID, PVOID)
{
    gBlockerRunning = true;
    // Bounded, so that a test that fails before releasing it still ends.
    qvtest::WaitUntil([] { return gReleaseBlocker.load(); }, 30000);
}

// The window the driver's reference bits rely on: the timer has fired, its DPC has not run yet.
TEST_F(OneProcessorTest, CancelAfterExpiryReturnsFalseAndTheDpcStillRunsOnce)
{
    gBlockerRunning = false;
    gReleaseBlocker = false;
    KDPC blocker;
    KeInitializeDpc(&blocker, BlockerDpc, nullptr);
    ASSERT_TRUE(KeInsertQueueDpc(&blocker, nullptr, nullptr));
    ASSERT_TRUE(qvtest::WaitUntil([] { return gBlockerRunning.load(); }));

    TimerProbe probe;
    KTIMER &timer = probe.Timer;
    KeSetTimer(&timer, Due(-1), &probe.Dpc);
    ASSERT_TRUE(qvtest::WaitUntil([&] { return KeReadStateTimer(&timer) != FALSE; }));
    EXPECT_FALSE(KeCancelTimer(&timer));
    EXPECT_EQ(probe.Runs.load(), 0);

    gReleaseBlocker = true;
    KeFlushQueuedDpcs();
    EXPECT_EQ(probe.Runs.load(), 1);
}

// The reference-bit protocol of requests with a timeout: the completer owns the timer's bit only
// when KeCancelTimer succeeds; otherwise the timer's DPC clears it. Whoever clears the last bit
// completes, so every request completes exactly once whichever side wins the race.
struct TimedRequest {
    static constexpr int kUart = 1, kTimer = 4;
    std::atomic<int> Refs{kUart | kTimer};
    std::atomic<int> Completions{0};
    std::atomic<int> StrayDpcs{0};
    KTIMER Timer;
    KDPC Dpc;
};

void TimedRequestDpc(PKDPC, PVOID context, PVOID, PVOID)
{
    auto *r = static_cast<TimedRequest *>(context);
    int old = r->Refs.fetch_and(~TimedRequest::kTimer);
    if (!(old & TimedRequest::kTimer)) r->StrayDpcs++;
    if (old == TimedRequest::kTimer) r->Completions++;
}

TEST_F(DpcTest, TimerCancelRacesKeepEveryRequestCompletedOnce)
{
    int cancelled = 0, expired = 0;
    for (int i = 0; i < 300; ++i) {
        TimedRequest r;
        KeInitializeTimer(&r.Timer);
        KeInitializeDpc(&r.Dpc, TimedRequestDpc, &r);
        KeSetTimer(&r.Timer, Due(-(i % 30) * 200), &r.Dpc);
        for (int spin = 0; spin < (i % 7) * 300; ++spin) std::this_thread::yield();
        KIRQL old;
        KSPIN_LOCK lock;
        KeInitializeSpinLock(&lock);
        KeAcquireSpinLock(&lock, &old);
        int clear = TimedRequest::kUart;
        if (KeCancelTimer(&r.Timer)) clear |= TimedRequest::kTimer;
        if (r.Refs.fetch_and(~clear) == clear) r.Completions++;
        KeReleaseSpinLock(&lock, old);
        (clear & TimedRequest::kTimer) ? ++cancelled : ++expired;
        ASSERT_TRUE(qvtest::WaitUntil([&] { return r.Completions.load() == 1; })) << "iteration " << i;
        KeFlushQueuedDpcs();
        ASSERT_EQ(r.Completions.load(), 1) << "iteration " << i;
        ASSERT_EQ(r.StrayDpcs.load(), 0) << "a DPC ran for a timer whose cancel succeeded";
    }
    EXPECT_EQ(cancelled + expired, 300);
}

TEST_F(DpcTest, RealClockTimerFiresAndClockMovesForward)
{
    TimerProbe probe;
    KTIMER &timer = probe.Timer;
    ULONGLONG before = KeQueryInterruptTime();
    LARGE_INTEGER ticksBefore;
    KeQueryTickCount(&ticksBefore);
    KeSetTimer(&timer, Due(RelativeMs(5)), &probe.Dpc);
    ASSERT_TRUE(qvtest::WaitUntil([&] { return probe.Runs.load() == 1; }));
    KeFlushQueuedDpcs();  // the routine may still be running on its DPC thread; the probe lives on this stack
    EXPECT_GE(KeQueryInterruptTime() - before, 5ULL * 10000);
    LARGE_INTEGER ticksAfter;
    KeQueryTickCount(&ticksAfter);
    EXPECT_GE(ticksAfter.QuadPart, ticksBefore.QuadPart);
}

TEST_F(DpcTest, SwitchingClocksNeverGoesBackwards)
{
    qv::UseVirtualClock(true);
    ULONGLONG frozen = qv::ClockNow100ns();
    qv::AdvanceClock(3600ULL * 10000000);
    ULONGLONG advanced = qv::ClockNow100ns();
    EXPECT_EQ(advanced - frozen, 3600ULL * 10000000);
    qv::UseVirtualClock(false);
    EXPECT_GE(qv::ClockNow100ns(), advanced);
}

// A timer set after a later one must wake the timer thread: it moved the next deadline earlier.
TEST_F(DpcTest, EarlierTimerFiresWhileALaterOneWaits)
{
    TimerProbe later, sooner;
    KeSetTimer(&later.Timer, Due(RelativeMs(600000)), &later.Dpc);
    KeSetTimer(&sooner.Timer, Due(RelativeMs(2)), &sooner.Dpc);
    ASSERT_TRUE(qvtest::WaitUntil([&] { return sooner.Runs.load() == 1; }));
    EXPECT_TRUE(KeCancelTimer(&later.Timer));
    KeFlushQueuedDpcs();
    EXPECT_EQ(later.Runs.load(), 0);
}

// DPCs a thread queues at DISPATCH_LEVEL run on that thread once its IRQL drops, as on the
// processor that queued them; DPCs queued below DISPATCH_LEVEL still run on a DPC thread.
class InlineDpcTest : public PlatformTest {
protected:
    void Configure(qv::BootConfig &config) override { config.InlineDpcs = true; }
};

struct ChainProbe {
    KDPC First, Second;
    std::atomic<int> FirstRuns{0}, SecondRuns{0};
    std::atomic<int> WrongIrql{0};
    std::atomic<std::thread::id> FirstThread, SecondThread;
    std::atomic<bool> InsideInsert{false};
};

void ChainSecondDpc(PKDPC, PVOID context, PVOID, PVOID)
{
    auto *probe = static_cast<ChainProbe *>(context);
    if (KeGetCurrentIrql() != DISPATCH_LEVEL) probe->WrongIrql++;
    probe->SecondThread = std::this_thread::get_id();
    probe->SecondRuns++;
}

void ChainFirstDpc(PKDPC, PVOID context, PVOID, PVOID)
{
    auto *probe = static_cast<ChainProbe *>(context);
    if (KeGetCurrentIrql() != DISPATCH_LEVEL || probe->InsideInsert) probe->WrongIrql++;
    probe->FirstThread = std::this_thread::get_id();
    probe->FirstRuns++;
    // Queued from a DPC: runs after this one returns, not inside it.
    probe->InsideInsert = true;
    KeInsertQueueDpc(&probe->Second, nullptr, nullptr);
    probe->InsideInsert = false;
    if (probe->SecondRuns.load() != 0) probe->WrongIrql++;
}

TEST_F(InlineDpcTest, QueuedUnderASpinLockRunsOnTheQueuerWhenItReleasesTheLock)
{
    ChainProbe probe;
    KeInitializeDpc(&probe.First, ChainFirstDpc, &probe);
    KeInitializeDpc(&probe.Second, ChainSecondDpc, &probe);
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    FAST_MUTEX mutex;
    ExInitializeFastMutex(&mutex);
    // Under a fast mutex (APC_LEVEL) too: a DPC interrupts the thread; no lock order between
    // the mutex and the DPC's locks is implied (the fixture fails on any verifier finding).
    ExAcquireFastMutex(&mutex);
    KIRQL old;
    KeAcquireSpinLock(&lock, &old);
    probe.InsideInsert = true;
    EXPECT_TRUE(KeInsertQueueDpc(&probe.First, nullptr, nullptr));
    probe.InsideInsert = false;
    EXPECT_FALSE(KeInsertQueueDpc(&probe.First, nullptr, nullptr)) << "already queued";
    EXPECT_EQ(probe.FirstRuns.load(), 0) << "ran while its queuer held a spin lock";
    KeReleaseSpinLock(&lock, old);
    EXPECT_EQ(probe.FirstRuns.load(), 1);
    EXPECT_EQ(probe.SecondRuns.load(), 1);
    EXPECT_EQ(probe.FirstThread.load(), std::this_thread::get_id());
    EXPECT_EQ(probe.SecondThread.load(), std::this_thread::get_id());
    EXPECT_EQ(probe.WrongIrql.load(), 0);
    EXPECT_EQ(KeGetCurrentIrql(), APC_LEVEL) << "the thread's own IRQL comes back";
    ExReleaseFastMutex(&mutex);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);

    DpcProbe passive;
    ASSERT_TRUE(KeInsertQueueDpc(&passive.Dpc, nullptr, nullptr));
    KeFlushQueuedDpcs();
    EXPECT_EQ(passive.Runs.load(), 1);
    EXPECT_NE(passive.Thread.load(), std::this_thread::get_id());
}

TEST_F(InlineDpcTest, EverySuccessfulInsertRunsExactlyOnceAcrossThreads)
{
    ExpectEverySuccessfulInsertRunsExactlyOnce();
}

}  // namespace
