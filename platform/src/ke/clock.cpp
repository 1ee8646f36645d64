// Interrupt time and system time, on the real monotonic clock or on the virtual clock of tests.
//
// Interrupt time = real elapsed time + an adjustment; while the virtual clock is in use it is a
// counter that only AdvanceClock moves. Switching back to real time adjusts the offset so that time
// carries on from where the virtual clock stood.
#include <linux/futex.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <chrono>

#include "ke/ke.h"
#include "qv/platform.h"
#include "verifier.h"

namespace qv {
namespace {

using Steady = std::chrono::steady_clock;

struct ClockState {
    Steady::time_point Base = Steady::now();
    std::atomic<bool> Virtual{false};      // written under the dispatcher lock
    std::atomic<ULONGLONG> VirtualNow{0};  // written under the dispatcher lock
    std::atomic<LONGLONG> Adjust{0};       // written under the dispatcher lock
    LONGLONG SystemBase = 0;
};

constexpr LONGLONG kUnixEpochAs1601 = 116444736000000000LL;

ClockState &Clock()
{
    static ClockState *clock = [] {
        auto *c = new ClockState;
        timespec now;
        clock_gettime(CLOCK_REALTIME, &now);
        c->SystemBase = kUnixEpochAs1601 + now.tv_sec * 10000000LL + now.tv_nsec / 100;
        return c;
    }();
    return *clock;
}

LONGLONG RealElapsed()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(Steady::now() - Clock().Base).count() / 100;
}

}  // namespace

ULONGLONG InterruptTimeNow()
{
    ClockState &c = Clock();
    if (c.Virtual.load(std::memory_order_acquire)) return c.VirtualNow.load(std::memory_order_acquire);
    LONGLONG t = RealElapsed() + c.Adjust.load(std::memory_order_acquire);
    return t < 0 ? 0 : static_cast<ULONGLONG>(t);
}

LONGLONG SystemTimeBase() { return Clock().SystemBase; }

ULONGLONG DueTimeToInterruptTime(LONGLONG dueTime, ULONGLONG now)
{
    if (dueTime < 0) {
        ULONGLONG delta = 0ULL - static_cast<ULONGLONG>(dueTime);
        return now + delta < now ? ~0ULL - 1 : now + delta;
    }
    LONGLONG interrupt = dueTime - SystemTimeBase();
    return interrupt < 0 ? 0 : static_cast<ULONGLONG>(interrupt);
}

bool WaitUntilInterruptTime(std::condition_variable_any &cv, std::unique_lock<RecordLock> &lock, ULONGLONG deadline)
{
    ClockState &c = Clock();
    if (deadline == ~0ULL) {
        cv.wait(lock);
        return false;
    }
    if (InterruptTimeNow() >= deadline) return true;
    if (c.Virtual.load(std::memory_order_acquire)) {
        cv.wait(lock);
    } else {
        LONGLONG real = static_cast<LONGLONG>(deadline) - c.Adjust.load(std::memory_order_acquire);
        // Far deadlines are waited for in slices so that the arithmetic cannot overflow.
        const LONGLONG maxSlice = 3600LL * 10000000LL;
        LONGLONG elapsed = RealElapsed();
        if (real - elapsed > maxSlice) real = elapsed + maxSlice;
        cv.wait_until(lock, c.Base + std::chrono::nanoseconds(real * 100));
    }
    return InterruptTimeNow() >= deadline;
}

bool WaitWordUntilInterruptTime(std::atomic<uint32_t> &word, std::unique_lock<RecordLock> &lock, ULONGLONG deadline)
{
    ClockState &c = Clock();
    if (deadline != ~0ULL && InterruptTimeNow() >= deadline) return true;
    const uint32_t seen = word.load(std::memory_order_relaxed);
    timespec at{};
    const timespec *until = nullptr;
    if (deadline != ~0ULL && !c.Virtual.load(std::memory_order_acquire)) {
        LONGLONG real = static_cast<LONGLONG>(deadline) - c.Adjust.load(std::memory_order_acquire);
        const LONGLONG maxSlice = 3600LL * 10000000LL;
        LONGLONG elapsed = RealElapsed();
        if (real - elapsed > maxSlice) real = elapsed + maxSlice;
        // steady_clock is CLOCK_MONOTONIC.
        auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(
                      (c.Base + std::chrono::nanoseconds(real * 100)).time_since_epoch())
                      .count();
        at.tv_sec = ns / 1000000000LL;
        at.tv_nsec = ns % 1000000000LL;
        until = &at;
    }
    lock.unlock();
    syscall(SYS_futex, reinterpret_cast<uint32_t *>(&word), FUTEX_WAIT_BITSET | FUTEX_PRIVATE_FLAG, seen, until,
            nullptr, FUTEX_BITSET_MATCH_ANY);
    lock.lock();
    return deadline != ~0ULL && InterruptTimeNow() >= deadline;
}

void WakeWord(const std::atomic<uint32_t> *word)
{
    syscall(SYS_futex, reinterpret_cast<const uint32_t *>(word), FUTEX_WAKE | FUTEX_PRIVATE_FLAG, 1, nullptr, nullptr,
            0);
}

// Caller holds the dispatcher lock.
void SetVirtualClockLocked(bool on)
{
    ClockState &c = Clock();
    if (on == c.Virtual.load()) return;
    if (on) {
        c.VirtualNow.store(InterruptTimeNow());
        c.Virtual.store(true, std::memory_order_release);
    } else {
        c.Adjust.store(static_cast<LONGLONG>(c.VirtualNow.load()) - RealElapsed());
        c.Virtual.store(false, std::memory_order_release);
    }
    WakeAllWaitersLocked();
}

void SetVirtualNowLocked(ULONGLONG now)
{
    if (now > Clock().VirtualNow.load()) Clock().VirtualNow.store(now, std::memory_order_release);
}

bool VirtualClockInUse() { return Clock().Virtual.load(std::memory_order_acquire); }

ULONGLONG ClockNow100ns() { return InterruptTimeNow(); }

}  // namespace qv

using namespace qv;

extern "C" {

void KeQuerySystemTime(PLARGE_INTEGER CurrentTime)
{
    CurrentTime->QuadPart = SystemTimeBase() + static_cast<LONGLONG>(InterruptTimeNow());
}

ULONGLONG KeQueryInterruptTime(void) { return InterruptTimeNow(); }

// Counts in 100 ns on the same clock as the interrupt time, so a test's virtual clock moves it too.
LARGE_INTEGER KeQueryPerformanceCounter(PLARGE_INTEGER PerformanceFrequency)
{
    if (PerformanceFrequency) PerformanceFrequency->QuadPart = 10000000;
    LARGE_INTEGER now;
    now.QuadPart = static_cast<LONGLONG>(InterruptTimeNow());
    return now;
}

// The tick of a uniprocessor-era clock: 15.625 ms.
ULONG KeQueryTimeIncrement(void) { return 156250; }

void KeQueryTickCount(PLARGE_INTEGER TickCount)
{
    TickCount->QuadPart = static_cast<LONGLONG>(InterruptTimeNow() / KeQueryTimeIncrement());
}

}  // extern "C"
