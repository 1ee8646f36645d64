// Events and waits, fast mutexes, spin locks, interlocked lists, system threads and objects.
#include <atomic>
#include <thread>
#include <vector>

#include "../../platform/src/ob/object.h"
#include "../../platform/src/verifier.h"
#include "platform_test.h"
#include "wdm.h"

namespace {

using qvtest::Due;
using qvtest::PlatformTest;
using qvtest::RelativeMs;

class DispatcherTest : public PlatformTest {};

TEST_F(DispatcherTest, NotificationEventReleasesEveryWaiterAndStaysSignalled)
{
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    std::atomic<int> woken{0};
    std::vector<std::thread> waiters;
    for (int i = 0; i < 3; ++i)
        waiters.emplace_back([&] {
            if (KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr) == STATUS_SUCCESS) woken++;
        });
    ASSERT_TRUE(qvtest::WaitUntil([&] { return qv::WaitersOn(&event) == 3; }));
    EXPECT_EQ(KeSetEvent(&event, IO_NO_INCREMENT, FALSE), 0);
    for (auto &t : waiters) t.join();
    EXPECT_EQ(woken.load(), 3);
    EXPECT_EQ(KeReadStateEvent(&event), 1);
    EXPECT_EQ(KeSetEvent(&event, IO_NO_INCREMENT, FALSE), 1) << "returns the previous state";
    EXPECT_EQ(KeResetEvent(&event), 1);
    EXPECT_EQ(KeReadStateEvent(&event), 0);
}

TEST_F(DispatcherTest, SynchronizationEventReleasesOneWaiterPerSet)
{
    KEVENT event;
    KeInitializeEvent(&event, SynchronizationEvent, FALSE);
    std::atomic<int> woken{0};
    std::vector<std::thread> waiters;
    for (int i = 0; i < 2; ++i)
        waiters.emplace_back([&] {
            KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
            woken++;
        });
    ASSERT_TRUE(qvtest::WaitUntil([&] { return qv::WaitersOn(&event) == 2; }));
    KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
    ASSERT_TRUE(qvtest::WaitUntil([&] { return woken.load() == 1; }));
    EXPECT_EQ(qv::WaitersOn(&event), 1u);
    EXPECT_EQ(KeReadStateEvent(&event), 0) << "the released waiter took the signal";
    KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
    for (auto &t : waiters) t.join();
    EXPECT_EQ(woken.load(), 2);

    // Set twice with nobody waiting: one wake, then the event is clear again.
    KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
    KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
    LARGE_INTEGER poll = Due(0);
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &poll), STATUS_SUCCESS);
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &poll), STATUS_TIMEOUT);
}

TEST_F(DispatcherTest, WaitsTimeOutOnTheRealClock)
{
    KEVENT notification, synchronization;
    KeInitializeEvent(&notification, NotificationEvent, FALSE);
    KeInitializeEvent(&synchronization, SynchronizationEvent, FALSE);
    LARGE_INTEGER shortWait = Due(RelativeMs(10));
    EXPECT_EQ(KeWaitForSingleObject(&notification, Executive, KernelMode, FALSE, &shortWait), STATUS_TIMEOUT);
    EXPECT_EQ(KeWaitForSingleObject(&synchronization, Executive, KernelMode, FALSE, &shortWait), STATUS_TIMEOUT);

    LARGE_INTEGER absolute;
    KeQuerySystemTime(&absolute);
    absolute.QuadPart += 10 * 10000;
    EXPECT_EQ(KeWaitForSingleObject(&notification, Executive, KernelMode, FALSE, &absolute), STATUS_TIMEOUT);

    LARGE_INTEGER delay = Due(RelativeMs(1));
    EXPECT_EQ(KeDelayExecutionThread(KernelMode, FALSE, &delay), STATUS_SUCCESS);
}

TEST_F(DispatcherTest, WaitForMultipleObjectsAnyAndAll)
{
    KEVENT a, b;
    KeInitializeEvent(&a, SynchronizationEvent, FALSE);
    KeInitializeEvent(&b, NotificationEvent, FALSE);
    PVOID objects[] = {&a, &b};
    LARGE_INTEGER poll = Due(0);
    EXPECT_EQ(KeWaitForMultipleObjects(2, objects, WaitAny, Executive, KernelMode, FALSE, &poll, nullptr),
              STATUS_TIMEOUT);
    KeSetEvent(&b, IO_NO_INCREMENT, FALSE);
    EXPECT_EQ(KeWaitForMultipleObjects(2, objects, WaitAny, Executive, KernelMode, FALSE, &poll, nullptr),
              STATUS_WAIT_1);
    EXPECT_EQ(KeWaitForMultipleObjects(2, objects, WaitAll, Executive, KernelMode, FALSE, &poll, nullptr),
              STATUS_TIMEOUT);
    EXPECT_EQ(KeReadStateEvent(&b), 1);

    std::atomic<NTSTATUS> result{STATUS_PENDING};
    std::thread waiter([&] {
        result = KeWaitForMultipleObjects(2, objects, WaitAll, Executive, KernelMode, FALSE, nullptr, nullptr);
    });
    ASSERT_TRUE(qvtest::WaitUntil([&] { return qv::WaitersOn(&a) == 1; }));
    KeSetEvent(&a, IO_NO_INCREMENT, FALSE);
    waiter.join();
    EXPECT_EQ(result.load(), STATUS_SUCCESS);
    EXPECT_EQ(KeReadStateEvent(&a), 0) << "WaitAll consumed the synchronization event";
    EXPECT_EQ(KeReadStateEvent(&b), 1);
}

TEST_F(DispatcherTest, FastMutexExcludesAndRaisesToApcLevel)
{
    FAST_MUTEX mutex;
    ExInitializeFastMutex(&mutex);
    ExAcquireFastMutex(&mutex);
    EXPECT_EQ(KeGetCurrentIrql(), APC_LEVEL);
    std::atomic<int> tryResult{-1};
    std::thread other([&] {
        tryResult = ExTryToAcquireFastMutex(&mutex);
        EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
    });
    other.join();
    EXPECT_EQ(tryResult.load(), FALSE);

    // The holder may still wait.
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    LARGE_INTEGER shortWait = Due(RelativeMs(1));
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &shortWait), STATUS_TIMEOUT);
    ExReleaseFastMutex(&mutex);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);

    std::thread again([&] {
        tryResult = ExTryToAcquireFastMutex(&mutex);
        if (tryResult) ExReleaseFastMutex(&mutex);
    });
    again.join();
    EXPECT_EQ(tryResult.load(), TRUE);
}

// A kernel mutex excludes other threads, not its owner; the owner stays at PASSIVE_LEVEL with
// only normal kernel APCs off, and a zero timeout is a try-acquire.
TEST_F(DispatcherTest, KernelMutexIsRecursiveForItsOwnerAndKeepsItAtPassiveLevel)
{
    qv::ExpectedVerifierFindings expected;  // on purpose: releases a mutex it does not own
    KMUTEX mutex;
    KeInitializeMutex(&mutex, 0);
    LARGE_INTEGER noWait = Due(0);
    ASSERT_EQ(KeWaitForSingleObject(&mutex, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(KeWaitForSingleObject(&mutex, Executive, KernelMode, FALSE, &noWait), STATUS_SUCCESS);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
    EXPECT_TRUE(KeAreApcsDisabled());
    EXPECT_FALSE(KeAreAllApcsDisabled());

    std::atomic<NTSTATUS> tried{STATUS_PENDING};
    std::atomic<bool> acquired{false};
    std::thread other([&] {
        LARGE_INTEGER zero = Due(0);
        tried = KeWaitForSingleObject(&mutex, Executive, KernelMode, FALSE, &zero);
        KeReleaseMutex(&mutex, FALSE);  // not the owner
        KeWaitForSingleObject(&mutex, Executive, KernelMode, FALSE, nullptr);
        acquired = true;
        KeReleaseMutex(&mutex, FALSE);
    });
    ASSERT_TRUE(qvtest::WaitUntil([&] { return qv::WaitersOn(&mutex) == 1; }));
    EXPECT_EQ(tried.load(), STATUS_TIMEOUT);
    ExpectFinding("violation: KeReleaseMutex: mutex");  // "... released by a thread that does not own it"
    EXPECT_EQ(KeReleaseMutex(&mutex, FALSE), -1) << "the first release leaves one level held";
    EXPECT_FALSE(acquired.load());
    EXPECT_EQ(KeReleaseMutex(&mutex, FALSE), 0);
    EXPECT_FALSE(KeAreApcsDisabled());
    other.join();
    EXPECT_TRUE(acquired.load());
    EXPECT_EQ(KeReadStateMutex(&mutex), 1);
}

// Critical and guarded regions nest and must be left as often as entered.
TEST_F(DispatcherTest, ApcRegionsNestAndAreCheckedOnLeave)
{
    qv::ExpectedVerifierFindings expected;  // on purpose: leaves a region it never entered
    KeEnterCriticalRegion();
    KeEnterGuardedRegion();
    EXPECT_TRUE(KeAreAllApcsDisabled());
    KeLeaveGuardedRegion();
    EXPECT_FALSE(KeAreAllApcsDisabled());
    EXPECT_TRUE(KeAreApcsDisabled());
    KeLeaveCriticalRegion();
    EXPECT_FALSE(KeAreApcsDisabled());
    KeLeaveGuardedRegion();
    ExpectFinding("violation: KeLeaveGuardedRegion: not in a guarded region");
}

TEST_F(DispatcherTest, LocksKeepCountersConsistentUnderContention)
{
    FAST_MUTEX mutex;
    KSPIN_LOCK spin;
    memset(&mutex, 0, sizeof(mutex));
    ExInitializeFastMutex(&mutex);
    KeInitializeSpinLock(&spin);
    long underMutex = 0, underSpin = 0;
    std::atomic<int> wrongIrql{0};
    std::vector<std::thread> threads;
    for (int i = 0; i < 6; ++i) {
        threads.emplace_back([&] {
            for (int n = 0; n < 3000; ++n) {
                ExAcquireFastMutex(&mutex);
                ++underMutex;
                ExReleaseFastMutex(&mutex);
                KIRQL old;
                KeAcquireSpinLock(&spin, &old);
                ++underSpin;
                if (KeGetCurrentIrql() != DISPATCH_LEVEL || qv::HeldSpinLockCount() != 1) wrongIrql++;
                KeReleaseSpinLock(&spin, old);
            }
        });
    }
    for (auto &t : threads) t.join();
    EXPECT_EQ(underMutex, 6 * 3000);
    EXPECT_EQ(underSpin, 6 * 3000);
    EXPECT_EQ(wrongIrql.load(), 0);
}

TEST_F(DispatcherTest, SpinLockReleasedToAnotherIrqlThanTaken)
{
    // A cancel routine's pattern: taken at DISPATCH_LEVEL, released to the IRQL saved elsewhere.
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    KIRQL cancelIrql;
    IoAcquireCancelSpinLock(&cancelIrql);
    EXPECT_EQ(cancelIrql, PASSIVE_LEVEL);
    IoReleaseCancelSpinLock(DISPATCH_LEVEL);
    EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
    KeAcquireSpinLockAtDpcLevel(&lock);
    EXPECT_EQ(qv::HeldSpinLockCount(), 1);
    KeReleaseSpinLock(&lock, cancelIrql);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
    EXPECT_EQ(qv::HeldSpinLockCount(), 0);
}

TEST_F(DispatcherTest, InterlockedListsReturnWhatWasThere)
{
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    LIST_ENTRY head, a, b, c;
    InitializeListHead(&head);
    EXPECT_EQ(ExInterlockedInsertTailList(&head, &a, &lock), nullptr);
    EXPECT_EQ(ExInterlockedInsertTailList(&head, &b, &lock), &a);
    EXPECT_EQ(ExInterlockedInsertHeadList(&head, &c, &lock), &a);
    EXPECT_EQ(ExInterlockedRemoveHeadList(&head, &lock), &c);
    EXPECT_EQ(ExInterlockedRemoveHeadList(&head, &lock), &a);
    EXPECT_EQ(ExInterlockedRemoveHeadList(&head, &lock), &b);
    EXPECT_EQ(ExInterlockedRemoveHeadList(&head, &lock), nullptr);

    // A pool of entries pushed and popped from several threads loses none.
    SINGLE_LIST_ENTRY pool{nullptr};
    std::vector<SINGLE_LIST_ENTRY> entries(64);
    for (auto &e : entries) ExInterlockedPushEntryList(&pool, &e, &lock);
    std::vector<std::thread> threads;
    for (int i = 0; i < 4; ++i)
        threads.emplace_back([&] {
            for (int n = 0; n < 2000; ++n) {
                PSINGLE_LIST_ENTRY e = ExInterlockedPopEntryList(&pool, &lock);
                if (e != nullptr) ExInterlockedPushEntryList(&pool, e, &lock);
            }
        });
    for (auto &t : threads) t.join();
    int count = 0;
    while (ExInterlockedPopEntryList(&pool, &lock) != nullptr) ++count;
    EXPECT_EQ(count, 64);
}

struct ThreadProbe {
    std::atomic<bool> PassedTerminate{false};
    std::atomic<int> Irql{-1};
    KEVENT Go;
};

void TerminatingThread(PVOID context)
{
    auto *probe = static_cast<ThreadProbe *>(context);
    probe->Irql = KeGetCurrentIrql();
    KeWaitForSingleObject(&probe->Go, Executive, KernelMode, FALSE, nullptr);
    PsTerminateSystemThread(STATUS_SUCCESS);
    probe->PassedTerminate = true;
}

TEST_F(DispatcherTest, SystemThreadEndsWithTerminateAndItsObjectCanBeWaitedOn)
{
    ThreadProbe probe;
    KeInitializeEvent(&probe.Go, NotificationEvent, FALSE);
    HANDLE handle;
    ASSERT_EQ(PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr, TerminatingThread, &probe),
              STATUS_SUCCESS);
    PVOID thread;
    ASSERT_EQ(ObReferenceObjectByHandle(handle, THREAD_ALL_ACCESS, *PsThreadType, KernelMode, &thread, nullptr),
              STATUS_SUCCESS);
    PVOID wrong;
    EXPECT_EQ(ObReferenceObjectByHandle(handle, 0, *ExEventObjectType, KernelMode, &wrong, nullptr),
              STATUS_OBJECT_TYPE_MISMATCH);
    EXPECT_EQ(ZwClose(handle), STATUS_SUCCESS);
    EXPECT_EQ(KeSetPriorityThread(static_cast<PKTHREAD>(thread), 15), 8);

    LARGE_INTEGER poll = Due(0);
    EXPECT_EQ(KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, &poll), STATUS_TIMEOUT);
    KeSetEvent(&probe.Go, IO_NO_INCREMENT, FALSE);
    EXPECT_EQ(KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
    EXPECT_FALSE(probe.PassedTerminate.load());
    EXPECT_EQ(probe.Irql.load(), PASSIVE_LEVEL);
    ObDereferenceObject(thread);
}

void ReturningThread(PVOID context) { static_cast<std::atomic<int> *>(context)->fetch_add(1); }

TEST_F(DispatcherTest, ThreadThatReturnsEndsAndCreationFailureIsInjectable)
{
    std::atomic<int> runs{0};
    HANDLE handle;
    ASSERT_EQ(PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr, ReturningThread, &runs),
              STATUS_SUCCESS);
    PVOID thread;
    ASSERT_EQ(ObReferenceObjectByHandle(handle, THREAD_ALL_ACCESS, *PsThreadType, KernelMode, &thread, nullptr),
              STATUS_SUCCESS);
    ZwClose(handle);
    EXPECT_EQ(KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
    ObDereferenceObject(thread);
    EXPECT_EQ(runs.load(), 1);

    qv::InjectFault("PsCreateSystemThread", 1);
    EXPECT_EQ(PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr, ReturningThread, &runs),
              STATUS_INSUFFICIENT_RESOURCES);
    PVOID none;
    EXPECT_EQ(ObReferenceObjectByHandle(reinterpret_cast<HANDLE>(0x1234), 0, nullptr, KernelMode, &none, nullptr),
              STATUS_INVALID_HANDLE);
}

struct TypeCounters {
    int Deleted = 0, LastHandle = 0;
} gCounters;

void CountDelete(void *) { ++gCounters.Deleted; }
void CountLastHandle(void *) { ++gCounters.LastHandle; }
_OBJECT_TYPE gWidgetType = {"Widget", CountDelete, CountLastHandle};

TEST_F(DispatcherTest, ObjectOutlivesItsHandlesUntilTheLastReference)
{
    gCounters = {};
    void *body = qv::ObCreateObject(&gWidgetType, 32);
    ASSERT_NE(body, nullptr);
    HANDLE first, second;
    ASSERT_EQ(qv::ObInsertHandle(body, &first, true), STATUS_SUCCESS);
    ASSERT_EQ(qv::ObInsertHandle(body, &second, true), STATUS_SUCCESS);
    EXPECT_EQ(qv::ObHandleCount(body), 2);
    EXPECT_EQ(qv::ObGetObjectType(body), &gWidgetType);
    ZwClose(first);
    EXPECT_EQ(gCounters.LastHandle, 0);
    ZwClose(second);
    EXPECT_EQ(gCounters.LastHandle, 1);
    EXPECT_EQ(gCounters.Deleted, 0) << "the creation reference is still there";
    ObfReferenceObject(body);
    EXPECT_EQ(ObfDereferenceObject(body), 1);
    EXPECT_EQ(ObfDereferenceObject(body), 0);
    EXPECT_EQ(gCounters.Deleted, 1);
}

TEST_F(DispatcherTest, LeakedHandlesAndObjectsAreReportedByType)
{
    void *body = qv::ObCreateObject(&gWidgetType, 8);
    HANDLE handle;
    ASSERT_EQ(qv::ObInsertHandle(body, &handle, true), STATUS_SUCCESS);
    qv::PlatformReport report = Shutdown();
    EXPECT_FALSE(report.Clean());
    std::string text = report.Text();
    EXPECT_NE(text.find("1 handle(s) to Widget objects"), std::string::npos) << text;
    EXPECT_NE(text.find("1 Widget object(s)"), std::string::npos) << text;
}

}  // namespace
