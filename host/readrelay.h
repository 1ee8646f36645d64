// The port's received bytes to the program's terminal without a thread of their own: one read
// request is kept at the port, as a kernel-mode client of the port keeps one, and whichever
// thread its completion runs on writes what it brought to the terminal and sends it again. The
// owner's thread steps in only when the terminal is full or a read failed.
#pragma once

#include <wdm.h>

#include <cstddef>
#include <cstdint>

namespace quorvel {

class PortReadRelay {
public:
    PortReadRelay() = default;
    ~PortReadRelay() { Stop(); }
    PortReadRelay(const PortReadRelay &) = delete;
    PortReadRelay &operator=(const PortReadRelay &) = delete;

    // PASSIVE_LEVEL. `port` an open handle of the port; `terminal` the terminal's master side,
    // non-blocking; `wake` an eventfd the owner polls, written whenever Service has work.
    NTSTATUS Start(HANDLE port, int terminal, int wake);
    // The owner's thread at PASSIVE_LEVEL, after `wake` or a timeout: writes what the terminal
    // did not take and sends the read again once it may. Returns the milliseconds until it must
    // run again (-1: only on `wake`); *wantWritable asks to be run when the terminal takes more.
    int Service(bool *wantWritable);
    // PASSIVE_LEVEL. Ends the read: cancelled if it waits at the port, then waited for until its
    // completion has run. Releases the port's file object.
    void Stop();

private:
    static NTSTATUS NTAPI ReadDone(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context);
    // The pump: taken by one thread at a time (pumping_), which alone writes to the terminal and
    // sends the read. Runs until the read waits at the port or cannot be sent; returns the
    // milliseconds until a failed read may be sent again (-1: none) and whether the terminal is
    // full.
    int Pump(bool *terminalFull);
    // lock_ held: the result of the read that came back joins the buffer. True when a read into
    // the rest of the buffer is to follow at once, before the terminal is written.
    bool TakeResult(bool atOnce, std::size_t sentLength);
    // lock_ held: makes the IRP a read into the rest of buffer_ from fill_ and marks it at the
    // port, so that Stop cancels it from then on. Returns the length it asks for.
    std::size_t PrepareRead();
    // Writes buffer_[written_, fill_) as far as the terminal takes it; false when it is full.
    bool WriteOut();
    void WakeOwner();

    PFILE_OBJECT file_ = nullptr;  // referenced from Start to Stop
    PDEVICE_OBJECT device_ = nullptr;
    PIRP irp_ = nullptr;
    int terminal_ = -1, wake_ = -1;
    KEVENT idle_;  // set when a stopping relay has nothing left at the port or in the pump

    KSPIN_LOCK lock_;
    bool pumping_ = false;   // lock_: a thread holds the pump
    bool atPort_ = false;    // lock_: the read is at the port, so Stop may cancel it
    bool completed_ = false; // lock_: the read came back; its result waits for the pump
    NTSTATUS doneStatus_ = STATUS_SUCCESS;  // lock_: with completed_
    std::size_t doneBytes_ = 0;             // lock_: with completed_
    bool stopping_ = false;  // lock_: no more sends

    // The pump's own: buffer_[written_, fill_) came from the port and is not yet written. A read
    // that waited and brought something is followed by one at fill_, which gathers what else the
    // port holds before the terminal gets it all in one write.
    std::size_t fill_ = 0, written_ = 0;
    std::uint64_t retryAt_ = 0;  // a failed read is sent again at this time (µs, steady clock)
    int emptyAtOnce_ = 0;        // reads in a row that came back empty inside their send
    std::uint8_t buffer_[8192];
};

}  // namespace quorvel
