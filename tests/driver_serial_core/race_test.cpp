// Races between the holders of a request: cancellation, the emulated transmitter or receive
// side, timers and handle cleanup, each run many times from several threads. Whatever wins,
// every request must be completed exactly once, its ending must agree with what happened to its
// characters, and the port's counts must come out right.
#include <functional>
#include <memory>
#include <thread>

#include "serial_port.h"

namespace sctest {
namespace {

using Bytes = std::vector<UCHAR>;

class RaceTest : public SerialPort {
protected:
    void SetUp() override
    {
        SerialPort::SetUp();
        qv::UseVirtualClock(true);
    }

    // A port whose transmitter is held by CTS handshake, CTS following RTS.
    void OpenHeld(ULONG writeTimeoutMs)
    {
        if (opened) SerialClosePort(ext);
        Open(/*rtsMask=*/WIRE_CTS);
        SetHandFlow(SERIAL_DTR_CONTROL | SERIAL_CTS_HANDSHAKE, SERIAL_RTS_CONTROL);
        Locked([&] {
            LowerRts(ext);
            ext->Timeouts.WriteTotalTimeoutConstant = writeTimeoutMs;
        });
        Settle();
    }

    void ReleaseCts()
    {
        Locked([&] { RaiseRts(ext); });
    }

    static void RunTogether(std::initializer_list<std::function<void()>> bodies)
    {
        std::vector<std::thread> threads;
        for (auto &body : bodies) threads.emplace_back(body);
        for (auto &thread : threads) thread.join();
    }

    ULONG Queued()
    {
        return Locked([&] { return ext->TxQueuedCount; });
    }
};

TEST_F(RaceTest, ImmediateCharacterCancelVersusTransmitVersusTimeout)
{
    for (int round = 0; round < 100; ++round) {
        OpenHeld(1);
        std::unique_ptr<Request> immediate(Request::Control(device, IOCTL_SERIAL_IMMEDIATE_CHAR, 1, 0));
        ASSERT_EQ(STATUS_PENDING, StartImmediate(*immediate, '!'));

        RunTogether({[&] { IoCancelIrp(immediate->irp()); }, [&] { ReleaseCts(); }, [&] { qv::AdvanceClock(10000); }});
        Settle();

        ASSERT_EQ(1, immediate->Completions()) << "round " << round;
        NTSTATUS status = immediate->Status();
        EXPECT_TRUE(status == STATUS_SUCCESS || status == STATUS_CANCELLED || status == STATUS_TIMEOUT) << status;
        // Success only for a character that went out (a cancel or timeout may still win after).
        if (status == STATUS_SUCCESS) {
            EXPECT_EQ(1u, Stats().TransmittedCount) << "round " << round;
        }
        EXPECT_EQ(nullptr, Locked([&] { return ext->ImmediateIrp; }));
        EXPECT_FALSE(Locked([&] { return ext->TransmitImmediate; }));
        EXPECT_EQ(0u, Queued());
    }
}

TEST_F(RaceTest, WriteCancelVersusTransmitVersusTimeout)
{
    const Bytes data = {1, 2, 3, 4, 5, 6, 7, 8};
    for (int round = 0; round < 100; ++round) {
        OpenHeld(1);
        std::unique_ptr<Request> write(Request::Write(device, data));
        std::unique_ptr<Request> next(Request::Write(device, data));
        ASSERT_EQ(STATUS_PENDING, StartWrite(*write));
        ASSERT_EQ(STATUS_PENDING, StartWrite(*next));

        RunTogether({[&] { IoCancelIrp(write->irp()); }, [&] { ReleaseCts(); }, [&] { qv::AdvanceClock(10000); },
                     [&] { IoCancelIrp(next->irp()); }});
        Settle();
        qv::AdvanceClock(10000);  // a write that started late may still be timing out
        Settle();

        ULONG_PTR reported = 0;
        for (Request *r : {write.get(), next.get()}) {
            ASSERT_EQ(1, r->Completions()) << "round " << round;
            // Success only with every character out; any ending reports the characters sent.
            if (r->Status() == STATUS_SUCCESS) {
                EXPECT_EQ(data.size(), r->Information()) << "round " << round;
            }
            EXPECT_LE(r->Information(), data.size());
            reported += r->Information();
        }
        EXPECT_EQ(reported, Stats().TransmittedCount) << "round " << round;
        EXPECT_EQ(0u, Queued());
        EXPECT_EQ(0u, Locked([&] { return ext->TxRemaining; }));
    }
}

TEST_F(RaceTest, WaitingReadCancelVersusTheQueueStartingIt)
{
    Open();
    for (int round = 0; round < 200; ++round) {
        std::unique_ptr<Request> current(Request::Read(device, 4));
        std::unique_ptr<Request> waiting(Request::Read(device, 2));
        ASSERT_EQ(STATUS_PENDING, StartRead(*current));
        ASSERT_EQ(STATUS_PENDING, StartRead(*waiting));

        // Filling the current read starts the waiting one, unless its cancellation wins.
        RunTogether({[&] { Receive({1, 2, 3, 4}); }, [&] { IoCancelIrp(waiting->irp()); }});
        Settle();
        if (!waiting->Done()) {
            IoCancelIrp(waiting->irp());  // started before the cancel: now current, cancel it there
            Settle();
        }
        ASSERT_EQ(1, current->Completions());
        EXPECT_EQ(4u, current->Information());
        ASSERT_EQ(1, waiting->Completions()) << "round " << round;
        EXPECT_EQ(STATUS_CANCELLED, waiting->Status());
        EXPECT_EQ(nullptr, ext->ReadQueue.CurrentIrp);
    }
}

TEST_F(RaceTest, CleanupWhileRequestsAreInEveryState)
{
    FILE_OBJECT handle{};
    for (int round = 0; round < 50; ++round) {
        if (opened) SerialClosePort(ext);
        Open(/*rtsMask=*/WIRE_CTS);
        std::vector<std::unique_ptr<Request>> all;
        auto control = [&](ULONG code, const Bytes &in, ULONG out) {
            all.emplace_back(Request::Control(device, code, ULONG(in.size()), out, &handle));
            if (!in.empty()) std::memcpy(all.back()->Buffer<UCHAR>(), in.data(), in.size());
            all.back()->Send();
            Settle();
        };

        // A counting XOFF counter, while nothing holds the transmitter.
        SERIAL_XOFF_COUNTER counter{};
        counter.Counter = 1000;
        counter.XoffChar = 0x13;
        control(IOCTL_SERIAL_XOFF_COUNTER, Bytes((UCHAR *)&counter, (UCHAR *)&counter + sizeof(counter)), 0);

        // Then CTS handshake with CTS low: a held current write and a waiting one, a held
        // immediate character.
        SetHandFlow(SERIAL_DTR_CONTROL | SERIAL_CTS_HANDSHAKE, SERIAL_RTS_CONTROL);
        Locked([&] { LowerRts(ext); });
        Settle();
        for (int i = 0; i < 2; ++i) {
            all.emplace_back(Request::Write(device, {1, 2, 3}, &handle));
            StartWrite(*all.back());
        }
        control(IOCTL_SERIAL_IMMEDIATE_CHAR, {'!'}, 0);

        // A current read, a waiting one, a pending wait-on-mask.
        for (int i = 0; i < 2; ++i) {
            all.emplace_back(Request::Read(device, 8, &handle));
            StartRead(*all.back());
        }
        control(IOCTL_SERIAL_SET_WAIT_MASK, {SERIAL_EV_RXCHAR, 0, 0, 0}, 0);
        control(IOCTL_SERIAL_WAIT_ON_MASK, {}, 4);

        // A control request held by a stalled gate.
        GateStall(&ext->ControlGate);
        control(IOCTL_SERIAL_SET_DTR, {}, 0);

        Request *victim = all[size_t(round) % all.size()].get();
        RunTogether({[&] { CleanupFileRequests(ext, &handle); },
                     [&] {
                         Receive({0x41, 0x42});
                     },
                     [&] { IoCancelIrp(victim->irp()); }});
        Settle();
        GateRestart(&ext->ControlGate);

        for (size_t i = 0; i < all.size(); ++i) {
            // The second SET_WAIT_MASK completed at once; everything else ended here.
            ASSERT_EQ(1, all[i]->Completions()) << "round " << round << " request " << i;
        }
        EXPECT_EQ(0u, Queued());
        EXPECT_EQ(nullptr, Locked([&] { return ext->WaitIrp; }));
        EXPECT_EQ(nullptr, Locked([&] { return ext->XoffCounterIrp; }));
        EXPECT_EQ(nullptr, Locked([&] { return ext->ImmediateIrp; }));
    }
}

}  // namespace
}  // namespace sctest
