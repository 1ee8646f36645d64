// System threads. Each is an OS thread running a trampoline at PASSIVE_LEVEL; its thread object is
// a dispatcher object signalled when the thread ends. PsTerminateSystemThread unwinds to the
// trampoline with a private exception.
#include <atomic>
#include <chrono>
#include <list>
#include <memory>
#include <thread>

#include "io/iomgr.h"
#include "io/irp.h"
#include "ke/ke.h"
#include "ob/object.h"
#include "qv/platform.h"
#include "verifier.h"

namespace qv {
namespace {

constexpr KPRIORITY kDefaultPriority = 8;

struct ThreadExit {
    NTSTATUS Status;
};

struct SystemThread {
    std::thread Thread;
    std::atomic<bool> Done{false};
};

struct PsState {
    std::mutex Lock;
    std::list<std::unique_ptr<SystemThread>> Threads;  // guarded by Lock
    std::condition_variable Ended;
    int Live = 0;            // guarded by Lock
    bool Abandoned = false;  // threads left running at a shutdown; guarded by Lock
};

PsState &Ps()
{
    static PsState *state = new PsState;
    return *state;
}

std::atomic<ULONG> gNextThreadId{4};

_OBJECT_TYPE gThreadType = {"Thread", nullptr, nullptr};
_OBJECT_TYPE gEventType = {"Event", nullptr, nullptr};

void InitializeThreadObject(PKTHREAD thread, bool system)
{
    thread->Header.Type = ThreadObject;
    thread->Header.Size = sizeof(_KTHREAD) / sizeof(LONG);
    thread->Header.SignalState = 0;
    InitializeListHead(&thread->Header.WaitListHead);
    thread->Priority = kDefaultPriority;
    thread->ExitStatus = STATUS_PENDING;
    thread->Id = gNextThreadId.fetch_add(4);
    thread->SystemThread = system;
}

void Trampoline(PKTHREAD thread, PKSTART_ROUTINE start, PVOID context, SystemThread *record,
                PDEVICE_OBJECT device)
{
    ThreadState &t = CurrentThreadState();
    t.Thread = thread;
    IoSetWorkItemDevice(device);
    t.Irql = PASSIVE_LEVEL;
    NTSTATUS exitStatus = STATUS_SUCCESS;
    try {
        start(context);
    } catch (const ThreadExit &exit) {
        exitStatus = exit.Status;
    } catch (...) {
        VerifierViolation("PsCreateSystemThread", "system thread %u ended by an exception", thread->Id);
    }
    if (t.Irql != PASSIVE_LEVEL || t.HeldCount != 0) {
        VerifierViolation("PsTerminateSystemThread", "system thread %u ended at IRQL %u holding %d lock(s)", thread->Id,
                          t.Irql, t.HeldCount);
        t.HeldCount = t.SpinLocksHeld = t.FastMutexesHeld = 0;
        SetIrql(t, PASSIVE_LEVEL);
    }
    {
        std::lock_guard<RecordLock> guard(DispatcherLock());
        thread->ExitStatus = exitStatus;
        thread->Header.SignalState = 1;
        SignalObjectLocked(&thread->Header);
    }
    t.Thread = nullptr;
    ObfDereferenceObject(thread);  // the running thread's own reference
    PsState &s = Ps();
    std::lock_guard<std::mutex> guard(s.Lock);
    record->Done.store(true);
    --s.Live;
    s.Ended.notify_all();
}

// Joins threads that have ended. Caller holds Ps().Lock.
void ReapLocked(std::vector<std::unique_ptr<SystemThread>> &ended)
{
    auto &threads = Ps().Threads;
    for (auto it = threads.begin(); it != threads.end();) {
        if ((*it)->Done.load()) {
            ended.push_back(std::move(*it));
            it = threads.erase(it);
        } else {
            ++it;
        }
    }
}

void JoinAll(std::vector<std::unique_ptr<SystemThread>> &ended)
{
    for (auto &record : ended) record->Thread.join();
}

}  // namespace

void PsWaitForSystemThreads(std::vector<std::string> &leaks)
{
    PsState &s = Ps();
    std::vector<std::unique_ptr<SystemThread>> ended;
    std::unique_lock<std::mutex> lock(s.Lock);
    // The driver stops its threads before it is unloaded; give stragglers a moment, not forever.
    s.Ended.wait_for(lock, std::chrono::seconds(10), [&] { return s.Live == 0; });
    ReapLocked(ended);
    if (s.Live != 0) {
        leaks.push_back(std::to_string(s.Live) + " system thread(s) still running at shutdown");
        for (auto &record : s.Threads) record->Thread.detach();
        // Detached records stay allocated: their trampolines still write to them.
        for (auto &record : s.Threads) record.release();
        s.Threads.clear();
        s.Abandoned = true;
    }
    lock.unlock();
    JoinAll(ended);
}

bool SystemThreadsAbandoned()
{
    std::lock_guard<std::mutex> guard(Ps().Lock);
    return Ps().Abandoned;
}

}  // namespace qv

using namespace qv;

extern "C" {

static POBJECT_TYPE gThreadTypePointer = &gThreadType;
static POBJECT_TYPE gEventTypePointer = &gEventType;
POBJECT_TYPE *PsThreadType = &gThreadTypePointer;
POBJECT_TYPE *ExEventObjectType = &gEventTypePointer;

NTSTATUS PsCreateSystemThread(PHANDLE ThreadHandle, ULONG DesiredAccess, POBJECT_ATTRIBUTES ObjectAttributes,
                              HANDLE ProcessHandle, PCLIENT_ID ClientId, PKSTART_ROUTINE StartRoutine,
                              PVOID StartContext)
{
    QV_VERIFY_IRQL("PsCreateSystemThread");
    EnsureBooted();
    if (ShouldInjectFault("PsCreateSystemThread")) return STATUS_INSUFFICIENT_RESOURCES;
    auto *thread = static_cast<PKTHREAD>(ObCreateObject(*PsThreadType, sizeof(_KTHREAD)));
    if (thread == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    InitializeThreadObject(thread, true);
    HANDLE handle;
    NTSTATUS status =
        ObInsertHandle(thread, &handle, ObjectAttributes && (ObjectAttributes->Attributes & OBJ_KERNEL_HANDLE));
    if (!NT_SUCCESS(status)) {
        ObfDereferenceObject(thread);
        return status;
    }
    // The creation reference becomes the running thread's own.
    PsState &s = Ps();
    std::vector<std::unique_ptr<SystemThread>> ended;
    {
        std::lock_guard<std::mutex> guard(s.Lock);
        ReapLocked(ended);
        auto record = std::make_unique<SystemThread>();
        try {
            record->Thread =
                std::thread(Trampoline, thread, StartRoutine, StartContext, record.get(), IoCurrentDevice());
        } catch (const std::system_error &) {
            status = STATUS_INSUFFICIENT_RESOURCES;
        }
        if (NT_SUCCESS(status)) {
            ++s.Live;
            s.Threads.push_back(std::move(record));
        }
    }
    JoinAll(ended);
    if (!NT_SUCCESS(status)) {
        ZwClose(handle);
        ObfDereferenceObject(thread);
        return status;
    }
    *ThreadHandle = handle;
    if (ClientId != nullptr) {
        ClientId->UniqueProcess = reinterpret_cast<HANDLE>(static_cast<ULONG_PTR>(4));
        ClientId->UniqueThread = reinterpret_cast<HANDLE>(static_cast<ULONG_PTR>(thread->Id));
    }
    return STATUS_SUCCESS;
}

NTSTATUS PsTerminateSystemThread(NTSTATUS ExitStatus)
{
    ThreadState &t = CurrentThreadState();
    if (t.Thread == nullptr || !t.Thread->SystemThread)
        VerifierViolation("PsTerminateSystemThread", "called by a thread that is not a system thread");
    if (t.Irql != PASSIVE_LEVEL || t.HeldCount != 0)
        VerifierViolation("PsTerminateSystemThread", "called at IRQL %u holding %d lock(s)", t.Irql, t.HeldCount);
    throw ThreadExit{ExitStatus};
}

PKTHREAD KeGetCurrentThread(void)
{
    ThreadState &t = CurrentThreadState();
    if (t.Thread == nullptr) {
        // A thread the platform did not create: it gets a private thread object.
        t.Thread = new _KTHREAD{};
        InitializeThreadObject(t.Thread, false);
    }
    return t.Thread;
}

KPRIORITY KeSetPriorityThread(PKTHREAD Thread, KPRIORITY Priority)
{
    QV_VERIFY_IRQL("KeSetPriorityThread");
    if (Priority < LOW_PRIORITY + 1 || Priority > HIGH_PRIORITY)
        VerifierViolation("KeSetPriorityThread", "priority %d out of range", Priority);
    std::lock_guard<RecordLock> guard(DispatcherLock());
    KPRIORITY old = Thread->Priority;
    Thread->Priority = Priority;
    return old;
}

KPRIORITY KeQueryPriorityThread(PKTHREAD Thread)
{
    QV_VERIFY_IRQL("KeQueryPriorityThread");
    std::lock_guard<RecordLock> guard(DispatcherLock());
    return Thread->Priority;
}

}  // extern "C"
