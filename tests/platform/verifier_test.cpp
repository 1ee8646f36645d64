// Each verifier check against a deliberately wrong program, and the platform's life cycle.

#include <atomic>
#include <thread>

#include "../../platform/src/verifier.h"
#include "platform_test.h"
#include "wdm.h"

namespace {

using qvtest::PlatformTest;
using qvtest::RelativeMs;

// Every test here breaks a rule on purpose.
class VerifierTest : public PlatformTest {
    qv::ExpectedVerifierFindings expected_;
};

constexpr ULONG kTag = 0x74736554;  // "Test"

TEST_F(VerifierTest, WaitingWithATimeoutAtDispatchLevel)
{
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, TRUE);
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    LARGE_INTEGER poll = qvtest::Due(0);
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &poll), STATUS_SUCCESS);
    EXPECT_TRUE(qv::VerifierFindings().empty()) << "a zero timeout is legal at DISPATCH_LEVEL";
    LARGE_INTEGER timeout = qvtest::Due(RelativeMs(5));
    KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &timeout);
    KeLowerIrql(old);
    ExpectFinding("violation: KeWaitForSingleObject: waiting with a non-zero timeout at IRQL 2");
}

TEST_F(VerifierTest, PagedPoolAtDispatchLevel)
{
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    void *nonPaged = ExAllocatePoolWithTag(NonPagedPool, 8, kTag);
    EXPECT_TRUE(qv::VerifierFindings().empty());
    void *paged = ExAllocatePoolWithTag(PagedPool, 8, kTag);
    KeLowerIrql(old);
    ExpectFinding("ExAllocatePoolWithTag: paged pool allocated at IRQL 2");
    ExFreePoolWithTag(paged, kTag);
    ExFreePoolWithTag(nonPaged, kTag);
}

void Nothing(PVOID) {}

// A PASSIVE_LEVEL routine is as wrong at APC_LEVEL (a fast mutex held, as the driver once did
// around its socket requests) as at DISPATCH_LEVEL; a kernel mutex keeps its holder at PASSIVE.
TEST_F(VerifierTest, PassiveOnlyRoutinesAreViolationsAboveIt)
{
    KIRQL old;
    HANDLE handle;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    ASSERT_EQ(PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr, Nothing, nullptr),
              STATUS_SUCCESS);
    KeLowerIrql(old);
    ExpectFinding(
        "violation: PsCreateSystemThread: called at DISPATCH_LEVEL; it may be called at PASSIVE_LEVEL at most");

    FAST_MUTEX mutex;
    ExInitializeFastMutex(&mutex);
    ExAcquireFastMutex(&mutex);
    ZwClose(handle);
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, u"\\Device\\QvNoSuchDevice");
    PFILE_OBJECT file;
    PDEVICE_OBJECT device;
    IoGetDeviceObjectPointer(&name, FILE_ALL_ACCESS, &file, &device);
    EXPECT_NE(RtlDeleteRegistryValue(RTL_REGISTRY_ABSOLUTE, u"\\Registry\\Machine\\QvNoSuchKey", u"x"), STATUS_SUCCESS);
    ExReleaseFastMutex(&mutex);
    std::vector<std::string> findings = qv::VerifierFindings();
    ASSERT_EQ(findings.size(), 3u);
    EXPECT_EQ(findings[0], "violation: ZwClose: called at APC_LEVEL; it may be called at PASSIVE_LEVEL at most");
    EXPECT_EQ(findings[1].rfind("violation: IoGetDeviceObjectPointer: called at APC_LEVEL", 0), 0u) << findings[1];
    EXPECT_EQ(findings[2].rfind("violation: RtlDeleteRegistryValue: called at APC_LEVEL", 0), 0u) << findings[2];
    qv::ClearVerifierFindings();

    KMUTEX kernelMutex;
    KeInitializeMutex(&kernelMutex, 0);
    ASSERT_EQ(PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr, Nothing, nullptr),
              STATUS_SUCCESS);
    KeWaitForSingleObject(&kernelMutex, Executive, KernelMode, FALSE, nullptr);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
    ZwClose(handle);
    KeReleaseMutex(&kernelMutex, FALSE);
    EXPECT_TRUE(qv::VerifierFindings().empty());
    qv::PlatformReport report = Shutdown();
    EXPECT_TRUE(report.Clean()) << report.Text();
}

void PageableRoutine() { PAGED_CODE(); }

// As the driver's PAGED_ROUTINE places it on this platform.
__attribute__((section("PAGE"), noinline)) void PageableRoutineTakingALock(PKSPIN_LOCK Lock)
{
    KIRQL old;
    KeAcquireSpinLock(Lock, &old);
    KeReleaseSpinLock(Lock, old);
}

TEST_F(VerifierTest, PageableCodeAtDispatchLevel)
{
    KIRQL old;
    PageableRoutine();
    KeRaiseIrql(APC_LEVEL, &old);
    PageableRoutine();
    KeLowerIrql(old);
    EXPECT_TRUE(qv::VerifierFindings().empty()) << "pageable code may run at APC_LEVEL";

    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    KeAcquireSpinLock(&lock, &old);
    PageableRoutine();
    KeReleaseSpinLock(&lock, old);
    ExpectFinding("violation: PageableRoutine: pageable code called at IRQL 2");

    // Windows may page the rest of the routine out while it holds the lock.
    PageableRoutineTakingALock(&lock);
    ExpectFinding("violation: KeAcquireSpinLock: raising the IRQL to DISPATCH_LEVEL in pageable code");
}

TEST_F(VerifierTest, SpinLockMisuse)
{
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    KeReleaseSpinLock(&lock, PASSIVE_LEVEL);
    ExpectFinding("KeReleaseSpinLock: releasing spin lock");

    // Taking a lock the thread already holds would hang on Windows; here it is reported.
    KIRQL old, inner;
    KeAcquireSpinLock(&lock, &old);
    KeAcquireSpinLock(&lock, &inner);
    KeReleaseSpinLock(&lock, inner);
    EXPECT_EQ(qv::HeldSpinLockCount(), 1);
    KeReleaseSpinLock(&lock, old);
    EXPECT_EQ(qv::HeldSpinLockCount(), 0);
    ExpectFinding("acquired while the thread already holds it");

    KeAcquireSpinLockAtDpcLevel(&lock);
    KeReleaseSpinLockFromDpcLevel(&lock);
    ExpectFinding("KeAcquireSpinLockAtDpcLevel: called at IRQL 0, below DISPATCH_LEVEL");
}

TEST_F(VerifierTest, LoweringIrqlAboveTheCurrentLevel)
{
    KeLowerIrql(DISPATCH_LEVEL);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
    ExpectFinding("KeLowerIrql: lowering IRQL to 2, above the current IRQL 0");
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    KeRaiseIrql(APC_LEVEL, &old);
    EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
    KeLowerIrql(PASSIVE_LEVEL);
    ExpectFinding("KeRaiseIrql: new IRQL 1 is below the current IRQL 2");
}

TEST_F(VerifierTest, DoubleFreeAndWrongTag)
{
    void *p = ExAllocatePoolWithTag(NonPagedPool, 8, kTag);
    ExFreePoolWithTag(p, 0x656e6f4e);
    ExpectFinding("freed with tag 'None', allocated with tag 'Test'");
    ExFreePoolWithTag(p, kTag);
    ExpectFinding("double free");
}

TEST_F(VerifierTest, PoolLeakedAtShutdownFailsTheReport)
{
    ExAllocatePoolWithTag(NonPagedPool, 8, kTag);
    qv::PlatformReport report = Shutdown();
    EXPECT_FALSE(report.Clean());
    EXPECT_NE(report.Text().find("pool leaked at shutdown"), std::string::npos);
}

TEST_F(VerifierTest, ForbiddenLockNesting)
{
    KSPIN_LOCK deviceLock, queueLock;
    FAST_MUTEX connectMutex;
    KeInitializeSpinLock(&deviceLock);
    KeInitializeSpinLock(&queueLock);
    ExInitializeFastMutex(&connectMutex);
    qv::VerifierNameLock(&deviceLock, "DeviceLock");
    qv::VerifierNameLock(&queueLock, "QueueLock");
    qv::VerifierNameLock(&connectMutex, "ConnectMutex");
    qv::VerifierForbidNesting("DeviceLock", "QueueLock");
    qv::VerifierForbidNesting("ConnectMutex", "DeviceLock");
    qv::VerifierForbidNesting("CancelSpinLock", "DeviceLock");

    KIRQL old, inner;
    KeAcquireSpinLock(&queueLock, &old);
    KeAcquireSpinLockAtDpcLevel(&deviceLock);  // the allowed order
    KeReleaseSpinLockFromDpcLevel(&deviceLock);
    KeReleaseSpinLock(&queueLock, old);
    EXPECT_TRUE(qv::VerifierFindings().empty());

    KeAcquireSpinLock(&deviceLock, &old);
    KeAcquireSpinLock(&queueLock, &inner);
    KeReleaseSpinLock(&queueLock, inner);
    KeReleaseSpinLock(&deviceLock, old);
    ExpectFinding("lock \"QueueLock\" taken while holding \"DeviceLock\"");

    ExAcquireFastMutex(&connectMutex);
    KeAcquireSpinLock(&deviceLock, &old);
    KeReleaseSpinLock(&deviceLock, old);
    ExReleaseFastMutex(&connectMutex);
    ExpectFinding("lock \"DeviceLock\" taken while holding \"ConnectMutex\"");

    IoAcquireCancelSpinLock(&old);
    KeAcquireSpinLockAtDpcLevel(&deviceLock);
    KeReleaseSpinLockFromDpcLevel(&deviceLock);
    IoReleaseCancelSpinLock(old);
    ExpectFinding("lock \"DeviceLock\" taken while holding \"CancelSpinLock\"");

    // The thread has met both locks by name; a name taken back or given again counts at once.
    auto nestQueueInDevice = [&] {
        KeAcquireSpinLock(&deviceLock, &old);
        KeAcquireSpinLockAtDpcLevel(&queueLock);
        KeReleaseSpinLockFromDpcLevel(&queueLock);
        KeReleaseSpinLock(&deviceLock, old);
    };
    qv::VerifierNameLock(&queueLock, nullptr);
    nestQueueInDevice();
    EXPECT_TRUE(qv::VerifierFindings().empty());
    qv::VerifierNameLock(&queueLock, "QueueLock");
    nestQueueInDevice();
    ExpectFinding("lock \"QueueLock\" taken while holding \"DeviceLock\"");

    // A lock's name goes with the memory that held it: pool reused by anything else must not
    // inherit the rules. Names outside the freed block stay.
    auto *block = (PKSPIN_LOCK)ExAllocatePoolWithTag(NonPagedPool, 2 * sizeof(KSPIN_LOCK), 'tseT');
    KeInitializeSpinLock(&block[1]);
    qv::VerifierNameLock(&block[1], "QueueLock");
    ASSERT_STREQ(qv::VerifierLockName(&block[1]), "QueueLock");
    ExFreePoolWithTag(block, 'tseT');
    EXPECT_EQ(qv::VerifierLockName(&block[1]), nullptr);
    EXPECT_STREQ(qv::VerifierLockName(&deviceLock), "DeviceLock");
}

TEST_F(VerifierTest, FastMutexMisuse)
{
    FAST_MUTEX mutex;
    memset(&mutex, 0, sizeof(mutex));
    ExReleaseFastMutex(&mutex);
    ExpectFinding("releasing fast mutex");
    ExAcquireFastMutex(&mutex);
    ExpectFinding("used before ExInitializeFastMutex");
    ExAcquireFastMutex(&mutex);
    ExReleaseFastMutex(&mutex);
    ExReleaseFastMutex(&mutex);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
    ExpectFinding("acquired recursively");
}

TEST_F(VerifierTest, UninitialisedEventAndDpcDoNotCrash)
{
    KEVENT event;
    memset(&event, 0, sizeof(event));
    KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
    ExpectFinding("used before KeInitializeEvent");
    KDPC dpc;
    memset(&dpc, 0, sizeof(dpc));
    EXPECT_FALSE(KeInsertQueueDpc(&dpc, nullptr, nullptr));
    ExpectFinding("used before KeInitializeDpc");
}

void LeaveRaised(PVOID)
{
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
}

TEST_F(VerifierTest, ThreadEndingAtDispatchLevel)
{
    HANDLE handle;
    ASSERT_EQ(PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr, LeaveRaised, nullptr),
              STATUS_SUCCESS);
    PVOID thread;
    ASSERT_EQ(ObReferenceObjectByHandle(handle, 0, *PsThreadType, KernelMode, &thread, nullptr), STATUS_SUCCESS);
    ZwClose(handle);
    KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, nullptr);
    ObDereferenceObject(thread);
    ExpectFinding("ended at IRQL 2");
}

int CountThreads() { return int(qvtest::DirectoryNames("/proc/self/task").size()); }

class LifeCycleTest : public PlatformTest {};

TEST_F(LifeCycleTest, BootShutdownAndBootAgainStopsEveryPlatformThread)
{
    Shutdown();
    EXPECT_FALSE(qv::PlatformIsBooted());
    int before = CountThreads();
    qv::BootConfig config = Config();
    config.ProcessorCount = 3;
    ASSERT_EQ(qv::PlatformBoot(config), STATUS_SUCCESS);
    EXPECT_EQ(qv::PlatformBoot(config), STATUS_INVALID_DEVICE_STATE) << "booting twice is refused";
    EXPECT_EQ(qv::PlatformConfig().StateDirectory, StateDirectory());
    EXPECT_GE(CountThreads(), before + 4) << "three DPC threads and the timer thread";

    void *p = ExAllocatePoolWithTag(NonPagedPool, 8, kTag);
    ExFreePoolWithTag(p, kTag);
    qv::PlatformReport report = qv::PlatformShutdown();
    EXPECT_TRUE(report.Clean()) << report.Text();
    EXPECT_EQ(CountThreads(), before);

    Reboot();
    EXPECT_TRUE(qv::PlatformIsBooted());
}

TEST_F(LifeCycleTest, FailingSubsystemStartupUndoesTheBoot)
{
    Shutdown();
    int before = CountThreads();
    qv::InjectFault("TdiStartup", 1);
    EXPECT_EQ(qv::PlatformBoot(Config()), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_FALSE(qv::PlatformIsBooted());
    EXPECT_EQ(CountThreads(), before) << "what had started was stopped again";
    ASSERT_EQ(qv::PlatformBoot(Config()), STATUS_SUCCESS);
}

TEST_F(LifeCycleTest, FindingsAreClearedAtBoot)
{
    qv::ExpectedVerifierFindings expected;  // on purpose: leaves findings for the next boot to clear
    KeLowerIrql(DISPATCH_LEVEL);
    qv::PlatformReport report = Shutdown();
    EXPECT_EQ(report.Violations.size(), 1u);
    ASSERT_EQ(qv::PlatformBoot(Config()), STATUS_SUCCESS);
    EXPECT_TRUE(qv::VerifierFindings().empty());
}

}  // namespace

namespace {

// A host keeps warnings off its log and must not keep every one of them for ever.
class QuietVerifierTest : public qvtest::PlatformTest {
protected:
    void Configure(qv::BootConfig &config) override { config.VerifierWarningsToStderr = false; }
};

TEST_F(QuietVerifierTest, WarningsAreKeptUpToTheLimitAndCountedBeyondIt)
{
    testing::internal::CaptureStderr();
    for (size_t i = 0; i < qv::kMaxVerifierWarnings + 5; ++i) qv::VerifierWarning("Routine", "tolerated %zu", i);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");

    std::vector<std::string> findings = qv::VerifierFindings();
    ASSERT_EQ(findings.size(), qv::kMaxVerifierWarnings + 1);
    EXPECT_EQ(findings[0], "warning: Routine: tolerated 0");
    EXPECT_EQ(findings.back(), "warning: 5 more warning(s) not kept");
    // Clearing keeps the setting; violations are printed whatever it is.
    qv::ClearVerifierFindings();
    testing::internal::CaptureStderr();
    qv::VerifierWarning("Routine", "tolerated");
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    RtlDeleteRegistryValue(RTL_REGISTRY_ABSOLUTE, u"\\Registry\\Machine\\QvNoSuchKey", u"x");
    KeLowerIrql(old);
    std::string printed = testing::internal::GetCapturedStderr();
    EXPECT_EQ(printed.find("warning"), std::string::npos) << printed;
    EXPECT_NE(printed.find("violation: RtlDeleteRegistryValue"), std::string::npos) << printed;
    qv::ClearVerifierFindings();
    qv::PlatformReport report = Shutdown();
    EXPECT_TRUE(report.Clean()) << report.Text();
}

}  // namespace
