// Work items and the system worker threads: routines queued here run at PASSIVE_LEVEL on a
// worker thread. The device of a queued work item stays referenced until its routine returns.
// The I/O manager's own deferred work (requests finished at PASSIVE_LEVEL) has a thread of its
// own, so that a work item waiting for a request can never hold up that request's end.
#include <pthread.h>

#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include "io/iomgr.h"
#include "io/irp.h"
#include "qv/platform.h"
#include "verifier.h"

struct _IO_WORKITEM {
    PDEVICE_OBJECT Device;
    PIO_WORKITEM_ROUTINE Routine;  // set while queued
    PVOID Context;
    bool Queued;  // queued and not started; guarded by the worker lock
};

namespace qv {

namespace {

struct Work {
    void (*Routine)(void *);
    void *Context;
};

enum QueueIndex { kCritical, kDelayed, kSystem, kPower, kQueues };

struct WorkQueue {
    std::deque<Work> Items;
    std::vector<std::thread> Threads;
    std::condition_variable Ready;  // items queued or stopping; one sleeper per item is woken
};

std::mutex gWorkLock;  // guards the queues, the work item set, the queued flags and gActive
WorkQueue gQueues[kQueues];
int gActive = 0;                // routines running
std::condition_variable gIdle;  // the queues emptied and nothing runs
std::set<PIO_WORKITEM> gWorkItems;
bool gStopping;
bool gRunning;

bool AllQueuesEmptyLocked()
{
    for (const WorkQueue &queue : gQueues)
        if (!queue.Items.empty()) return false;
    return true;
}

void WorkerLoop(int index)
{
    static const char *const kNames[kQueues] = {"qv-critical", "qv-delayed", "qv-system", "qv-power"};
    pthread_setname_np(pthread_self(), kNames[index]);
    WorkQueue &queue = gQueues[index];
    for (;;) {
        Work work;
        {
            std::unique_lock<std::mutex> lock(gWorkLock);
            queue.Ready.wait(lock, [&] { return !queue.Items.empty() || gStopping; });
            if (queue.Items.empty()) return;  // stopping and drained
            work = queue.Items.front();
            queue.Items.pop_front();
            ++gActive;
        }
        work.Routine(work.Context);
        if (KeGetCurrentIrql() != PASSIVE_LEVEL || HeldSpinLockCount() != 0)
            VerifierViolation("IoQueueWorkItem", "work routine %p returned at IRQL %d holding %d spin lock(s)",
                              work.Context, KeGetCurrentIrql(), HeldSpinLockCount());
        std::lock_guard<std::mutex> guard(gWorkLock);
        if (--gActive == 0 && AllQueuesEmptyLocked()) gIdle.notify_all();
    }
}

void Enqueue(int index, Work work)
{
    {
        std::lock_guard<std::mutex> guard(gWorkLock);
        gQueues[index].Items.push_back(work);
    }
    gQueues[index].Ready.notify_one();
}

void RunWorkItem(void *context)
{
    auto *item = static_cast<PIO_WORKITEM>(context);
    PDEVICE_OBJECT device;
    PIO_WORKITEM_ROUTINE routine;
    PVOID routineContext;
    {
        std::lock_guard<std::mutex> guard(gWorkLock);
        item->Queued = false;
        device = item->Device;
        routine = item->Routine;
        routineContext = item->Context;
    }
    // The routine may free its item: nothing below touches it.
    IoSetWorkItemDevice(device);
    routine(device, routineContext);
    IoSetWorkItemDevice(nullptr);
    ObfDereferenceObject(device);
}

}  // namespace

void IoQueueSystemWork(void (*routine)(void *), void *context) { Enqueue(kSystem, Work{routine, context}); }
void IoQueuePowerWork(void (*routine)(void *), void *context) { Enqueue(kPower, Work{routine, context}); }

bool WaitForWorkersIdle(int timeoutMs)
{
    std::unique_lock<std::mutex> lock(gWorkLock);
    return gIdle.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                          [] { return !gRunning || (gActive == 0 && AllQueuesEmptyLocked()); });
}

void WorkerStartup()
{
    std::lock_guard<std::mutex> guard(gWorkLock);
    gStopping = false;
    gRunning = true;
    const int counts[kQueues] = {1, 2, 1, 1};
    for (int q = 0; q < kQueues; ++q)
        for (int i = 0; i < counts[q]; ++i) gQueues[q].Threads.emplace_back(WorkerLoop, q);
}

void WorkerShutdown(std::vector<std::string> &leaks)
{
    {
        std::lock_guard<std::mutex> guard(gWorkLock);
        if (!gRunning) return;
        gStopping = true;
    }
    for (WorkQueue &queue : gQueues) queue.Ready.notify_all();
    // Work items first (their routines may still send requests), then the power manager's
    // thread (whose requests may still be finished on the I/O manager's), then that one.
    for (int q : {kCritical, kDelayed, kPower, kSystem}) {
        for (auto &t : gQueues[q].Threads) t.join();
        gQueues[q].Threads.clear();
    }
    std::lock_guard<std::mutex> guard(gWorkLock);
    gRunning = false;
    if (!gWorkItems.empty()) {
        leaks.push_back("io: " + std::to_string(gWorkItems.size()) + " work item(s) never freed");
        for (PIO_WORKITEM item : gWorkItems) delete item;
        gWorkItems.clear();
    }
}

}  // namespace qv

using namespace qv;

extern "C" PIO_WORKITEM IoAllocateWorkItem(PDEVICE_OBJECT DeviceObject)
{
    QV_VERIFY_IRQL("IoAllocateWorkItem");
    if (ShouldInjectFault("IoAllocateWorkItem")) return nullptr;
    auto *item = new (std::nothrow) _IO_WORKITEM{DeviceObject, nullptr, nullptr, false};
    if (!item) return nullptr;
    std::lock_guard<std::mutex> guard(gWorkLock);
    gWorkItems.insert(item);
    return item;
}

extern "C" void IoQueueWorkItem(PIO_WORKITEM IoWorkItem, PIO_WORKITEM_ROUTINE WorkerRoutine, WORK_QUEUE_TYPE QueueType,
                                PVOID Context)
{
    QV_VERIFY_IRQL("IoQueueWorkItem");
    {
        std::lock_guard<std::mutex> guard(gWorkLock);
        if (!gWorkItems.count(IoWorkItem)) {
            VerifierViolation("IoQueueWorkItem", "work item %p is not allocated", IoWorkItem);
            return;
        }
        if (IoWorkItem->Queued) {
            VerifierViolation("IoQueueWorkItem", "work item %p queued again before its routine ran", IoWorkItem);
            return;
        }
        if (gStopping || !gRunning) {
            VerifierViolation("IoQueueWorkItem", "work item %p queued while the platform shuts down", IoWorkItem);
            return;
        }
        IoWorkItem->Queued = true;
        IoWorkItem->Routine = WorkerRoutine;
        IoWorkItem->Context = Context;
    }
    ObfReferenceObject(IoWorkItem->Device);
    Enqueue(QueueType == DelayedWorkQueue ? kDelayed : kCritical, Work{RunWorkItem, IoWorkItem});
}

extern "C" void IoFreeWorkItem(PIO_WORKITEM IoWorkItem)
{
    QV_VERIFY_IRQL("IoFreeWorkItem");
    std::lock_guard<std::mutex> guard(gWorkLock);
    if (!gWorkItems.count(IoWorkItem)) {
        VerifierViolation("IoFreeWorkItem", "work item %p is not allocated (freed twice?)", IoWorkItem);
        return;
    }
    if (IoWorkItem->Queued) {
        // Its routine is still to run: keep the memory, report the fault.
        VerifierViolation("IoFreeWorkItem", "work item %p freed while queued", IoWorkItem);
        return;
    }
    gWorkItems.erase(IoWorkItem);
    delete IoWorkItem;
}
