// The driver's lock order: every lock by name, and the nestings no path may take. Plain data
// the kernel headers allow; the verifier of the user-mode platform loads the table.
//
//  Name                IRQL      Kind, where it lives, what it guards
//  CancelSpinLock      DISPATCH  system cancel spin lock: the I/O manager's cancel state. Cancel
//                                routines release it before they take any lock of the driver.
//  QueueLock           DISPATCH  spin lock, one per IRP_QUEUE: PendingList, CurrentIrp. May take
//                                CancelSpinLock (to flag the current request at cleanup).
//  GateLock            DISPATCH  spin lock of the control gate: held requests, stall count.
//  DeviceLock          DISPATCH  spin lock, one per port: UART, serial state, receive ring,
//                                transmit and immediate state, wait events. Taken after the queue
//                                and gate locks are released; may take ReplyLock (the receive
//                                indication, which posts the rest of a block only after it).
//  ConnectMutex        PASSIVE   KMUTEX, one per port: socket requests, Socket/NeedConnection, the
//                                pending request. Never held with DeviceLock, either way round;
//                                may take ReplyLock, the list locks and IrpPoolLock (socket sends).
//  ConnectionListLock  DISPATCH  spin lock, one per port: ConnectionList walks. Takes nothing.
//  DeviceListLock      DISPATCH  spin lock, one per port: DeviceList walks. Takes nothing.
//  ReplyLock           DISPATCH  spin lock, one per connection (made at open, freed at close): the
//                                transaction waiting for its reply. Nests inside DeviceLock and
//                                ConnectMutex; takes nothing, not even another ReplyLock.
//  IrpPoolLock         DISPATCH  spin lock, one per transport socket: its idle IRP pool. Taken by
//                                completions; takes nothing.
//  MonitorLock         DISPATCH  spin lock, one per port: the monitor's ring and its handles. Taken
//                                by the gateway's hooks under any of the locks above; takes nothing.
//
// No spin lock is held while ConnectMutex is waited for: that would wait at DISPATCH_LEVEL.
#pragma once

#define LOCK_NAME_CANCEL "CancelSpinLock"
#define LOCK_NAME_QUEUE "QueueLock"
#define LOCK_NAME_GATE "GateLock"
#define LOCK_NAME_DEVICE "DeviceLock"
#define LOCK_NAME_CONNECT "ConnectMutex"
#define LOCK_NAME_CONNECTION_LIST "ConnectionListLock"
#define LOCK_NAME_DEVICE_LIST "DeviceListLock"
#define LOCK_NAME_REPLY "ReplyLock"
#define LOCK_NAME_IRP_POOL "IrpPoolLock"
#define LOCK_NAME_MONITOR "MonitorLock"

// {outer, inner}: `inner` must never be taken while `outer` is held.
static const char *const QuorvelForbiddenNesting[][2] = {
    // The cancel spin lock is released before any driver lock is taken.
    {LOCK_NAME_CANCEL, LOCK_NAME_QUEUE},
    {LOCK_NAME_CANCEL, LOCK_NAME_GATE},
    {LOCK_NAME_CANCEL, LOCK_NAME_DEVICE},
    {LOCK_NAME_CANCEL, LOCK_NAME_CONNECTION_LIST},
    {LOCK_NAME_CANCEL, LOCK_NAME_DEVICE_LIST},
    {LOCK_NAME_CANCEL, LOCK_NAME_REPLY},
    {LOCK_NAME_CANCEL, LOCK_NAME_IRP_POOL},
    // DeviceLock is released before a queue or the gate is entered or the cancel lock taken.
    {LOCK_NAME_DEVICE, LOCK_NAME_QUEUE},
    {LOCK_NAME_DEVICE, LOCK_NAME_GATE},
    {LOCK_NAME_DEVICE, LOCK_NAME_CANCEL},
    // ConnectMutex and DeviceLock are never held together.
    {LOCK_NAME_CONNECT, LOCK_NAME_DEVICE},
    {LOCK_NAME_DEVICE, LOCK_NAME_CONNECT},
    // No spin lock is held while the kernel mutex is waited for.
    {LOCK_NAME_CANCEL, LOCK_NAME_CONNECT},
    {LOCK_NAME_QUEUE, LOCK_NAME_CONNECT},
    {LOCK_NAME_GATE, LOCK_NAME_CONNECT},
    {LOCK_NAME_CONNECTION_LIST, LOCK_NAME_CONNECT},
    {LOCK_NAME_DEVICE_LIST, LOCK_NAME_CONNECT},
    {LOCK_NAME_REPLY, LOCK_NAME_CONNECT},
    {LOCK_NAME_IRP_POOL, LOCK_NAME_CONNECT},
    // The leaves take nothing.
    {LOCK_NAME_REPLY, LOCK_NAME_REPLY},
    {LOCK_NAME_REPLY, LOCK_NAME_DEVICE},
    {LOCK_NAME_REPLY, LOCK_NAME_QUEUE},
    {LOCK_NAME_REPLY, LOCK_NAME_GATE},
    {LOCK_NAME_REPLY, LOCK_NAME_CANCEL},
    {LOCK_NAME_REPLY, LOCK_NAME_CONNECTION_LIST},
    {LOCK_NAME_REPLY, LOCK_NAME_DEVICE_LIST},
    {LOCK_NAME_REPLY, LOCK_NAME_IRP_POOL},
    {LOCK_NAME_CONNECTION_LIST, LOCK_NAME_DEVICE},
    {LOCK_NAME_CONNECTION_LIST, LOCK_NAME_DEVICE_LIST},
    {LOCK_NAME_CONNECTION_LIST, LOCK_NAME_REPLY},
    {LOCK_NAME_DEVICE_LIST, LOCK_NAME_DEVICE},
    {LOCK_NAME_DEVICE_LIST, LOCK_NAME_CONNECTION_LIST},
    {LOCK_NAME_DEVICE_LIST, LOCK_NAME_REPLY},
    {LOCK_NAME_IRP_POOL, LOCK_NAME_IRP_POOL},
    {LOCK_NAME_IRP_POOL, LOCK_NAME_DEVICE},
    {LOCK_NAME_IRP_POOL, LOCK_NAME_REPLY},
    {LOCK_NAME_IRP_POOL, LOCK_NAME_CANCEL},
    {LOCK_NAME_MONITOR, LOCK_NAME_MONITOR},
    {LOCK_NAME_MONITOR, LOCK_NAME_CANCEL},
    {LOCK_NAME_MONITOR, LOCK_NAME_QUEUE},
    {LOCK_NAME_MONITOR, LOCK_NAME_GATE},
    {LOCK_NAME_MONITOR, LOCK_NAME_DEVICE},
    {LOCK_NAME_MONITOR, LOCK_NAME_CONNECT},
    {LOCK_NAME_MONITOR, LOCK_NAME_CONNECTION_LIST},
    {LOCK_NAME_MONITOR, LOCK_NAME_DEVICE_LIST},
    {LOCK_NAME_MONITOR, LOCK_NAME_REPLY},
    {LOCK_NAME_MONITOR, LOCK_NAME_IRP_POOL},
};

// Names a lock for the platform's verifier where the table is checked; nothing on Windows.
// Locks made while a port runs (connections, sockets) are named here too; the platform forgets
// a name when the memory holding the lock is freed.
#if defined(_WIN32)
#define NAME_DRIVER_LOCK(Lock, Name) ((VOID)0)
#else
extern "C" void QvVerifierNameLock(const void *Lock, const char *Name);
#define NAME_DRIVER_LOCK(Lock, Name) QvVerifierNameLock((Lock), (Name))
#endif
