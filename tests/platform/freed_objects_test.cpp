// Freeing pool that still holds a kernel object in use: the block's own objects are found by
// address and reported, those of other blocks are left exactly as they were.
#include <atomic>
#include <thread>

#include "platform_test.h"
#include "wdm.h"

namespace {

constexpr ULONG kTag = 'erFQ';

class FreedObjectsTest : public qvtest::PlatformTest {
protected:
    void Configure(qv::BootConfig &config) override { config.VirtualClock = true; }
};

void CountDpc(PKDPC, PVOID context, PVOID, PVOID) { static_cast<std::atomic<int> *>(context)->fetch_add(1); }

template <typename T>
T *Allocate()
{
    return static_cast<T *>(ExAllocatePoolWithTag(NonPagedPool, sizeof(T), kTag));
}

TEST_F(FreedObjectsTest, OnlyTheFreedBlocksTimersAndDpcsAreForgotten)
{
    qv::ExpectedVerifierFindings expected;  // on purpose: frees blocks with a timer and a DPC in them
    std::atomic<int> keptTimerRuns{0}, freedTimerRuns{0}, keptDpcRuns{0}, freedDpcRuns{0};
    struct TimerBlock {
        KTIMER Timer;
        KDPC Dpc;
    };
    // Several blocks each, so that the freed one has armed neighbours on both sides.
    TimerBlock *timers[3];
    for (auto &block : timers) {
        block = Allocate<TimerBlock>();
        KeInitializeTimer(&block->Timer);
        KeInitializeDpc(&block->Dpc, CountDpc, block == timers[1] ? &freedTimerRuns : &keptTimerRuns);
        LARGE_INTEGER due;
        due.QuadPart = qvtest::RelativeMs(100);
        KeSetTimer(&block->Timer, due, &block->Dpc);
    }
    ExFreePoolWithTag(timers[1], kTag);
    ExpectFinding("freed while it holds an armed timer");
    qv::AdvanceClock(200 * 10000ULL);
    ASSERT_TRUE(qvtest::WaitUntil([&] { return keptTimerRuns.load() == 2; }));

    // DPCs queued at DISPATCH_LEVEL wait for the IRQL to drop; the freed one never runs.
    PKDPC dpcs[3];
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    for (auto &dpc : dpcs) {
        dpc = Allocate<KDPC>();
        KeInitializeDpc(dpc, CountDpc, dpc == dpcs[1] ? &freedDpcRuns : &keptDpcRuns);
        EXPECT_TRUE(KeInsertQueueDpc(dpc, nullptr, nullptr));
    }
    ExFreePoolWithTag(dpcs[1], kTag);
    KeLowerIrql(old);
    ExpectFinding("freed while it holds a queued DPC");
    ASSERT_TRUE(qvtest::WaitUntil([&] { return keptDpcRuns.load() == 2; }));
    KeFlushQueuedDpcs();
    EXPECT_EQ(freedTimerRuns.load(), 0);
    EXPECT_EQ(freedDpcRuns.load(), 0);
    EXPECT_EQ(keptTimerRuns.load(), 2);
    for (TimerBlock *block : {timers[0], timers[2]}) ExFreePoolWithTag(block, kTag);
    for (PKDPC dpc : {dpcs[0], dpcs[2]}) ExFreePoolWithTag(dpc, kTag);
}

TEST_F(FreedObjectsTest, FreeingAnEventAThreadWaitsOnIsCaughtAndOtherWaitersStillWake)
{
    qv::ExpectedVerifierFindings expected;  // on purpose: frees an event a thread waits on
    PKEVENT freed = Allocate<KEVENT>();
    PKEVENT kept = Allocate<KEVENT>();
    KeInitializeEvent(freed, SynchronizationEvent, FALSE);
    KeInitializeEvent(kept, SynchronizationEvent, FALSE);
    NTSTATUS freedWait = STATUS_PENDING, keptWait = STATUS_PENDING;
    std::thread onFreed([&] {
        LARGE_INTEGER timeout;
        timeout.QuadPart = qvtest::RelativeMs(1000);
        freedWait = KeWaitForSingleObject(freed, Executive, KernelMode, FALSE, &timeout);
    });
    std::thread onKept([&] { keptWait = KeWaitForSingleObject(kept, Executive, KernelMode, FALSE, nullptr); });
    ASSERT_TRUE(qvtest::WaitUntil([&] { return qv::WaitersOn(freed) == 1 && qv::WaitersOn(kept) == 1; }));
    ExFreePoolWithTag(freed, kTag);
    ExpectFinding("freed while it holds an object a thread waits on");
    KeSetEvent(kept, IO_NO_INCREMENT, FALSE);
    onKept.join();
    EXPECT_EQ(keptWait, STATUS_SUCCESS);
    // The wait on freed memory ends only by its timeout.
    qv::AdvanceClock(2000 * 10000ULL);
    onFreed.join();
    EXPECT_EQ(freedWait, STATUS_TIMEOUT);
    ExFreePoolWithTag(kept, kTag);
}

}  // namespace
