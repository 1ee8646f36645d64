// Start-packet queues and the control gate, with real IRPs and the I/O manager's cancellation.
#include <memory>
#include <mutex>
#include <thread>

#include "serial_port.h"

namespace sctest {
namespace {

// A queue whose start routine only records the requests it is given; the test ends each one.
struct RecordingQueue {
    IRP_QUEUE queue;
    std::mutex lock;
    std::vector<PIRP> started;
    PDRIVER_CANCEL installOnStart = nullptr;  // cancel routine the start routine installs

    static RecordingQueue *current;

    static VOID StartIo(PDEVICE_OBJECT, PIRP irp)
    {
        EXPECT_EQ(DISPATCH_LEVEL, KeGetCurrentIrql());
        if (current->installOnStart != nullptr) (VOID) IoSetCancelRoutine(irp, current->installOnStart);
        std::lock_guard<std::mutex> guard(current->lock);
        current->started.push_back(irp);
    }

    std::vector<PIRP> Started()
    {
        std::lock_guard<std::mutex> guard(lock);
        return started;
    }
};
RecordingQueue *RecordingQueue::current = nullptr;

class QueueTest : public SerialPort {
protected:
    void SetUp() override
    {
        SerialPort::SetUp();
        rq.reset(new RecordingQueue);
        RecordingQueue::current = rq.get();
        QueueInitialize(&rq->queue, RecordingQueue::StartIo, device);
    }
    void TearDown() override
    {
        QueueCleanup(&rq->queue, NULL);
        RecordingQueue::current = nullptr;
        requests.clear();  // the IRPs go back before the platform shuts down
        SerialPort::TearDown();
    }

    Request *NewRequest(PFILE_OBJECT file = nullptr)
    {
        requests.emplace_back(new Request(device, IRP_MJ_READ, 0, file));
        return requests.back().get();
    }

    NTSTATUS Start(Request *request)
    {
        return request->Send([&](PIRP irp) { return QueueStartPacket(&rq->queue, irp); });
    }

    // Ends the current request the way a start routine's owner does: the queue goes on first.
    void Finish(Request *request)
    {
        QueueStartNextPacket(&rq->queue);
        request->irp()->IoStatus.Status = STATUS_SUCCESS;
        IoCompleteRequest(request->irp(), IO_NO_INCREMENT);
        Settle();
    }

    std::unique_ptr<RecordingQueue> rq;
    std::vector<std::unique_ptr<Request>> requests;
};

TEST_F(QueueTest, RequestsStartOneAtATimeInArrivalOrder)
{
    QueueRestart(&rq->queue);
    Request *a = NewRequest(), *b = NewRequest(), *c = NewRequest();

    EXPECT_EQ(STATUS_PENDING, Start(a));
    ASSERT_EQ(1u, rq->Started().size());  // started before QueueStartPacket returned
    EXPECT_EQ(STATUS_PENDING, Start(b));
    EXPECT_EQ(STATUS_PENDING, Start(c));
    EXPECT_EQ(1u, rq->Started().size());

    Finish(a);  // b starts from the queue's DPC: c still waits
    ASSERT_EQ(2u, rq->Started().size());
    EXPECT_EQ(b->irp(), rq->Started()[1]);
    Finish(b);
    ASSERT_EQ(3u, rq->Started().size());
    EXPECT_EQ(c->irp(), rq->Started()[2]);
    Finish(c);
    EXPECT_EQ(1, a->Completions());
    EXPECT_EQ(1, b->Completions());
    EXPECT_EQ(1, c->Completions());
}

TEST_F(QueueTest, CancellingAWaitingRequestCompletesItAndTheQueueGoesOn)
{
    QueueRestart(&rq->queue);
    Request *a = NewRequest(), *b = NewRequest(), *c = NewRequest();
    Start(a);
    Start(b);
    Start(c);

    EXPECT_TRUE(IoCancelIrp(b->irp()));
    EXPECT_EQ(1, b->Completions());
    EXPECT_EQ(STATUS_CANCELLED, b->Status());
    EXPECT_EQ(0u, b->Information());

    Finish(a);
    ASSERT_EQ(2u, rq->Started().size());
    EXPECT_EQ(c->irp(), rq->Started()[1]);
    Finish(c);
    EXPECT_EQ(1, b->Completions());
}

TEST_F(QueueTest, ARequestCancelledBeforeItIsQueuedCompletesAtOnce)
{
    QueueRestart(&rq->queue);
    Request *a = NewRequest(), *b = NewRequest();
    Start(a);
    EXPECT_FALSE(IoCancelIrp(b->irp()));  // no cancel routine yet: only flagged

    EXPECT_EQ(STATUS_CANCELLED, Start(b));
    EXPECT_EQ(1, b->Completions());
    EXPECT_EQ(STATUS_CANCELLED, b->Status());
    Finish(a);
    EXPECT_EQ(1u, rq->Started().size());
}

TEST_F(QueueTest, NothingStartsBeforeTheDeviceStartsAndStallWaitsForTheCurrentRequest)
{
    // A new queue is stalled: requests wait until it is restarted, then the oldest starts.
    Request *a = NewRequest(), *b = NewRequest();
    EXPECT_EQ(STATUS_PENDING, Start(a));
    EXPECT_EQ(STATUS_PENDING, Start(b));
    EXPECT_TRUE(rq->Started().empty());
    QueueRestart(&rq->queue);
    Settle();
    ASSERT_EQ(1u, rq->Started().size());
    EXPECT_EQ(a->irp(), rq->Started()[0]);

    // Stalling waits for the current request; b stays waiting until the restart.
    std::atomic<bool> stalled{false};
    std::thread staller([&] {
        QueueStallAndWait(&rq->queue);
        stalled = true;
    });
    while (ReadUnlocked(&rq->queue.StallCount) == 0) std::this_thread::yield();
    EXPECT_FALSE(stalled.load());
    Finish(a);
    staller.join();
    EXPECT_TRUE(stalled.load());
    EXPECT_EQ(1u, rq->Started().size());

    QueueRestart(&rq->queue);
    Settle();
    ASSERT_EQ(2u, rq->Started().size());
    EXPECT_EQ(b->irp(), rq->Started()[1]);
    Finish(b);
}

TEST_F(QueueTest, CleanupTakesOnlyTheFileObjectsWaitingRequests)
{
    FILE_OBJECT mine{}, other{};
    QueueRestart(&rq->queue);
    Request *current = NewRequest(&mine);
    Request *waitingMine = NewRequest(&mine);
    Request *waitingOther = NewRequest(&other);
    Request *waitingMine2 = NewRequest(&mine);
    for (Request *r : {current, waitingMine, waitingOther, waitingMine2}) Start(r);

    QueueCleanup(&rq->queue, &mine);
    EXPECT_FALSE(current->Done());  // the current request is not touched
    EXPECT_EQ(STATUS_CANCELLED, waitingMine->Status());
    EXPECT_EQ(STATUS_CANCELLED, waitingMine2->Status());
    EXPECT_FALSE(waitingOther->Done());

    Finish(current);
    ASSERT_EQ(2u, rq->Started().size());
    EXPECT_EQ(waitingOther->irp(), rq->Started()[1]);
    Finish(waitingOther);
}

// The cancel routine a start routine installs: it completes the request as a real one does.
static VOID CancelStarted(PDEVICE_OBJECT, PIRP irp)
{
    KIRQL irql = irp->CancelIrql;
    IoReleaseCancelSpinLock(irql);
    QueueStartNextPacket(&RecordingQueue::current->queue);
    irp->IoStatus.Status = STATUS_CANCELLED;
    irp->IoStatus.Information = 0;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
}

TEST_F(QueueTest, CancelCurrentRequestCancelsTheWaitingAndTheCurrentOne)
{
    rq->installOnStart = CancelStarted;
    QueueRestart(&rq->queue);
    Request *a = NewRequest(), *b = NewRequest();
    Start(a);
    Start(b);

    CancelCurrentRequest(ext, &rq->queue);
    Settle();
    EXPECT_EQ(1, a->Completions());
    EXPECT_TRUE(a->WasCancelFlagged());
    EXPECT_EQ(STATUS_CANCELLED, a->Status());
    EXPECT_EQ(1, b->Completions());
    EXPECT_EQ(1u, rq->Started().size());  // b was cancelled while waiting, never started
}

TEST_F(QueueTest, ACurrentRequestNotYetCancellableIsFlaggedForItsStartRoutine)
{
    QueueRestart(&rq->queue);
    Request *a = NewRequest();
    Start(a);  // the recording start routine installs nothing

    CancelCurrentRequest(ext, &rq->queue);
    EXPECT_FALSE(a->Done());
    EXPECT_TRUE(a->irp()->Cancel);
    Finish(a);
}

TEST_F(QueueTest, SetQueueSizeBufferIsFreedWhenTheRequestNeverReachesTheRing)
{
    Open();
    const ULONG inSize = 64 * 1024;
    qv::PoolUsage before = qv::QueryPoolUsageByTag(QUORVEL_TAG);

    // A read keeps the read queue busy, so the resize waits behind it and is cancelled there.
    std::unique_ptr<Request> read(Request::Read(device, 10));
    EXPECT_EQ(STATUS_PENDING, StartRead(*read));
    std::unique_ptr<Request> resize(Request::Control(device, IOCTL_SERIAL_SET_QUEUE_SIZE, 8, 0));
    resize->Buffer<SERIAL_QUEUE_SIZE>()->InSize = inSize;
    EXPECT_EQ(STATUS_PENDING, resize->Send());
    EXPECT_GT(qv::QueryPoolUsageByTag(QUORVEL_TAG).Bytes, before.Bytes);

    EXPECT_TRUE(IoCancelIrp(resize->irp()));
    EXPECT_EQ(STATUS_CANCELLED, resize->Status());
    EXPECT_EQ(before.Bytes, qv::QueryPoolUsageByTag(QUORVEL_TAG).Bytes);
    IoCancelIrp(read->irp());
    Settle();
    EXPECT_EQ(1, read->Completions());
}

TEST_F(QueueTest, TheLockRulesAreCheckedOnEveryAcquisition)
{
    qv::ExpectedVerifierFindings expected;  // on purpose: nests locks the wrong way
    // What every test here relies on: a queue lock under DeviceLock, or DeviceLock under the
    // cancel spin lock, is reported.
    KIRQL deviceIrql, cancelIrql;
    KeAcquireSpinLock(&ext->DeviceLock, &deviceIrql);
    KeAcquireSpinLockAtDpcLevel(&ext->ReadQueue.QueueLock);
    KeReleaseSpinLockFromDpcLevel(&ext->ReadQueue.QueueLock);
    KeReleaseSpinLock(&ext->DeviceLock, deviceIrql);
    ExpectFinding("QueueLock");

    IoAcquireCancelSpinLock(&cancelIrql);
    KeAcquireSpinLockAtDpcLevel(&ext->DeviceLock);
    KeReleaseSpinLockFromDpcLevel(&ext->DeviceLock);
    IoReleaseCancelSpinLock(cancelIrql);
    ExpectFinding("DeviceLock");
}

// ===================================================================== control gate

class GateTest : public SerialPort {
protected:
    std::unique_ptr<Request> Control(ULONG code, ULONG in, ULONG out, PFILE_OBJECT file = nullptr)
    {
        return std::unique_ptr<Request>(Request::Control(device, code, in, out, file));
    }
};

TEST_F(GateTest, HeldControlRequestsAreReplayedInArrivalOrderOnRestart)
{
    Open(/*rtsMask=*/WIRE_CTS);
    StallAllQueues(ext);

    auto clear = Control(IOCTL_SERIAL_CLR_RTS, 0, 0);
    auto set = Control(IOCTL_SERIAL_SET_RTS, 0, 0);
    auto status = Control(IOCTL_SERIAL_GET_MODEMSTATUS, 0, 4);
    EXPECT_EQ(STATUS_PENDING, clear->Send());
    EXPECT_EQ(STATUS_PENDING, set->Send());
    EXPECT_EQ(STATUS_PENDING, status->Send());
    EXPECT_FALSE(clear->Done());

    RestartAllQueues(ext);
    Settle();
    for (auto *r : {clear.get(), set.get(), status.get()}) {
        EXPECT_EQ(1, r->Completions());
        EXPECT_EQ(STATUS_SUCCESS, r->Status());
    }
    // CLR then SET: CTS follows RTS back up; the status read last sees it high.
    EXPECT_EQ(UART_MSR_CTS, *status->Buffer<ULONG>() & UART_MSR_CTS);
    EXPECT_EQ(nullptr, ext->ControlGate.ReplayIrp);
}

TEST_F(GateTest, AHeldRequestCanBeCancelledAndCleanupTakesTheHandlesOwn)
{
    Open();
    FILE_OBJECT mine{}, other{};
    StallAllQueues(ext);
    auto cancelled = Control(IOCTL_SERIAL_SET_DTR, 0, 0);
    auto ofMine = Control(IOCTL_SERIAL_SET_DTR, 0, 0, &mine);
    auto ofOther = Control(IOCTL_SERIAL_CLR_DTR, 0, 0, &other);
    for (auto *r : {cancelled.get(), ofMine.get(), ofOther.get()}) r->Send();

    EXPECT_TRUE(IoCancelIrp(cancelled->irp()));
    EXPECT_EQ(STATUS_CANCELLED, cancelled->Status());
    GateCleanup(&ext->ControlGate, &mine);
    EXPECT_EQ(STATUS_CANCELLED, ofMine->Status());
    EXPECT_FALSE(ofOther->Done());

    RestartAllQueues(ext);
    EXPECT_EQ(STATUS_SUCCESS, ofOther->Status());
    EXPECT_EQ(0, Mcr() & UART_MCR_DTR);
    EXPECT_EQ(1, cancelled->Completions());
}

TEST_F(GateTest, AnAbortedGateRefusesEverythingWithItsStatus)
{
    Open();
    StallAllQueues(ext);
    auto held = Control(IOCTL_SERIAL_SET_BREAK_ON, 0, 0);
    EXPECT_EQ(STATUS_PENDING, held->Send());

    GateAbort(&ext->ControlGate, STATUS_NO_SUCH_DEVICE);
    EXPECT_EQ(STATUS_CANCELLED, held->Status());
    auto late = Control(IOCTL_SERIAL_GET_DTRRTS, 0, 4);
    EXPECT_EQ(STATUS_NO_SUCH_DEVICE, late->Send());
    EXPECT_EQ(1, late->Completions());
    EXPECT_EQ(STATUS_NO_SUCH_DEVICE, late->Status());
}

TEST_F(GateTest, AReplayRefusedBeforeTheGateLeavesNoReplayBehind)
{
    Open();
    StallAllQueues(ext);
    auto held = Control(IOCTL_SERIAL_SET_DTR, 0, 0);
    EXPECT_EQ(STATUS_PENDING, held->Send());

    // An error latched under the error-abort handshake makes the replay refuse the request
    // before it reaches the gate.
    Locked([&] {
        ext->HandFlow.ControlHandShake |= SERIAL_ERROR_ABORT;
        ext->LatchedErrors = SERIAL_ERROR_QUEUEOVERRUN;
    });
    RestartAllQueues(ext);
    EXPECT_EQ(STATUS_CANCELLED, held->Status());
    EXPECT_EQ(nullptr, ext->ControlGate.ReplayIrp);
    Locked([&] { ext->LatchedErrors = 0; });
}

TEST_F(GateTest, ARequestArrivingWhilePoweredDownIsPendingWhateverThePowerRequestReturns)
{
    Open();
    StallAllQueues(ext);
    ext->Pdo = device;  // a power request the port sends itself is refused harmlessly
    WriteUnlocked(&ext->DevicePowerState, PowerDeviceD3);
    qv::InjectFault("PoRequestPowerIrp", 1);

    auto control = Control(IOCTL_SERIAL_SET_RTS, 0, 0);
    EXPECT_EQ(STATUS_PENDING, control->Send());
    std::unique_ptr<Request> read(Request::Read(device, 4));
    EXPECT_EQ(STATUS_PENDING, StartRead(*read));
    EXPECT_FALSE(control->Done());
    EXPECT_FALSE(read->Done());

    qv::ResetFaults();
    WriteUnlocked(&ext->DevicePowerState, PowerDeviceD0);
    RestartAllQueues(ext);
    Settle();
    EXPECT_EQ(1, control->Completions());
    EXPECT_EQ(STATUS_SUCCESS, control->Status());
    IoCancelIrp(read->irp());
    Settle();
    EXPECT_EQ(1, read->Completions());
}

}  // namespace
}  // namespace sctest
