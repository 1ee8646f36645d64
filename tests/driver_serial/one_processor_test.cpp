// Event-driven programs and flow control on one processor: the whole process pinned to one CPU
// and the platform given one DPC thread, so no DPC can run beside the caller and hide a request
// that ends only when a DPC gets round to it. Each case runs on the real and the virtual clock.
#include <sched.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstdlib>

#include "serial_test.h"

namespace sertest {
namespace {

void SetEveryThreadsAffinity(const cpu_set_t &set)
{
    std::vector<std::string> tasks = qvtest::DirectoryNames("/proc/self/task");
    ASSERT_FALSE(tasks.empty());
    for (const std::string &task : tasks) sched_setaffinity((pid_t)atoi(task.c_str()), sizeof(set), &set);
}

class OneProcessor : public SerialTest, public ::testing::WithParamInterface<bool> {
protected:
    void Configure(qv::BootConfig &config) override { config.ProcessorCount = 1; }

    void SetUp() override
    {
        // Before the platform boots, so that every thread it starts inherits the one CPU.
        ASSERT_EQ(sched_getaffinity(0, sizeof(original_), &original_), 0);
        cpu_set_t one;
        CPU_ZERO(&one);
        for (int cpu = 0; cpu < CPU_SETSIZE; cpu++) {
            if (CPU_ISSET(cpu, &original_)) {
                CPU_SET(cpu, &one);
                break;
            }
        }
        SetEveryThreadsAffinity(one);
        pinned_ = true;
        SerialTest::SetUp();
        if (GetParam()) UseVirtualClock();
    }
    void TearDown() override
    {
        SerialTest::TearDown();
        if (pinned_) SetEveryThreadsAffinity(original_);
    }

    void Open(const PortOptions &options = PortOptions()) { OpenNewPort(options); }
    ULONG HoldReasons() { return CommStatus(file).HoldReasons; }

private:
    cpu_set_t original_;
    bool pinned_ = false;
};

TEST_P(OneProcessor, SetCommMaskEndsTheOldWaitBeforeItReturns)
{
    Open();
    ASSERT_TRUE(SetCommMask(file, EV_RXCHAR));
    auto wait = std::make_unique<Pending>();
    ASSERT_FALSE(WaitCommEvent(file, &wait->mask, &wait->ov));
    ASSERT_EQ(GetLastError(), (DWORD)ERROR_IO_PENDING);

    for (int round = 0; round < 200; round++) {
        ASSERT_TRUE(SetCommMask(file, EV_RXCHAR | EV_CTS)) << "round " << round;
        // No waiting here: the old wait must be over already, ended with no events.
        DWORD bytes = 0;
        ASSERT_TRUE(GetOverlappedResult(file, &wait->ov, &bytes, FALSE))
            << "round " << round << ": error " << GetLastError();
        ASSERT_EQ(wait->mask, 0u) << "round " << round;

        // The new wait is accepted and stays pending (a refusal would show in the next round).
        auto next = std::make_unique<Pending>();
        ASSERT_FALSE(WaitCommEvent(file, &next->mask, &next->ov)) << "round " << round;
        ASSERT_EQ(GetLastError(), (DWORD)ERROR_IO_PENDING) << "round " << round;
        wait = std::move(next);
    }
    ASSERT_TRUE(SetCommMask(file, 0));
    ASSERT_TRUE(HasOverlappedIoCompleted(&wait->ov));
    EXPECT_EQ((NTSTATUS)wait->ov.Internal, STATUS_SUCCESS);
}

TEST_P(OneProcessor, ImmediateCharacterPassesTheXoffHoldLeftWhenAnotherHoldEnds)
{
    PortOptions options;
    options.RtsMask = 0x01;  // CTS follows RTS
    Open(options);
    ChangeDcb(file, [](DCB &dcb) {
        dcb.fOutxCtsFlow = 1;
        dcb.fRtsControl = RTS_CONTROL_DISABLE;  // CTS low
        dcb.fOutX = 1;
    });
    port->Receive({0x13});  // a received XOFF as well
    ASSERT_EQ(HoldReasons(), (ULONG)(SERIAL_TX_WAITING_FOR_CTS | SERIAL_TX_WAITING_FOR_XON));

    // CTS rises (a modem-status change serviced by the emulated interrupt).
    Pending first;
    StartImmediate(first, 'A');
    EXPECT_FALSE(first.Done());
    ASSERT_TRUE(EscapeCommFunction(file, SETRTS));
    ASSERT_TRUE(Ends(file, first));
    EXPECT_EQ(first.Status(), STATUS_SUCCESS);
    EXPECT_EQ(Transmitted(file), 1u);
    EXPECT_EQ(HoldReasons(), (ULONG)SERIAL_TX_WAITING_FOR_XON);

    // The CTS hold ends by a new handshake setting.
    ASSERT_TRUE(EscapeCommFunction(file, CLRRTS));
    ASSERT_TRUE(
        qvtest::WaitUntil([&] { return HoldReasons() == (SERIAL_TX_WAITING_FOR_CTS | SERIAL_TX_WAITING_FOR_XON); }));
    Pending second;
    StartImmediate(second, 'B');
    EXPECT_FALSE(second.Done());
    ChangeDcb(file, [](DCB &dcb) { dcb.fOutxCtsFlow = 0; });
    ASSERT_TRUE(Ends(file, second));
    EXPECT_EQ(second.Status(), STATUS_SUCCESS);
    EXPECT_EQ(Transmitted(file), 2u);
    EXPECT_EQ(HoldReasons(), (ULONG)SERIAL_TX_WAITING_FOR_XON);
}

TEST_P(OneProcessor, FlowCharacterAskedForUnderAHoldGoesOutWhenTheHoldEnds)
{
    PortOptions options;
    options.RtsMask = 0x01;
    Open(options);
    ChangeDcb(file, [](DCB &dcb) { dcb.fInX = 1; });

    // XOFF asked for while a break holds the transmitter: not sent, but due.
    ASSERT_TRUE(SetCommBreak(file));
    port->Receive(3584, 'x');
    EXPECT_EQ(Transmitted(file), 0u);
    ASSERT_TRUE(ClearCommBreak(file));
    ASSERT_TRUE(qvtest::WaitUntil([&] { return Transmitted(file) == 1; }));
    EXPECT_EQ(HoldReasons(), (ULONG)(SERIAL_TX_WAITING_XOFF_SENT | SERIAL_TX_WAITING_FOR_XON));

    // XON asked for under a break while the port's own XOFF holds it too.
    ASSERT_TRUE(SetCommBreak(file));
    ASSERT_TRUE(PurgeComm(file, PURGE_RXCLEAR));
    EXPECT_EQ(Transmitted(file), 1u);
    ASSERT_TRUE(ClearCommBreak(file));
    ASSERT_TRUE(qvtest::WaitUntil([&] { return Transmitted(file) == 2; }));
    EXPECT_EQ(HoldReasons(), 0u);

    // XOFF asked for while CTS handshake holds the transmitter; CTS rises.
    ChangeDcb(file, [](DCB &dcb) {
        dcb.fOutxCtsFlow = 1;
        dcb.fRtsControl = RTS_CONTROL_DISABLE;
    });
    port->Receive(3584, 'x');
    EXPECT_EQ(Transmitted(file), 2u);
    EXPECT_EQ(HoldReasons(), (ULONG)(SERIAL_TX_WAITING_FOR_CTS | SERIAL_TX_WAITING_XOFF_SENT));
    ASSERT_TRUE(EscapeCommFunction(file, SETRTS));
    ASSERT_TRUE(qvtest::WaitUntil([&] { return Transmitted(file) == 3; }));
    EXPECT_EQ(HoldReasons(), (ULONG)(SERIAL_TX_WAITING_XOFF_SENT | SERIAL_TX_WAITING_FOR_XON));
}

TEST_P(OneProcessor, ErrorLatchedUnderAbortOnErrorEndsWithTheHandle)
{
    Open();
    ChangeDcb(file, [](DCB &dcb) { dcb.fAbortOnError = 1; });
    // The abort the overrun queues is still waiting for the processor when the handle goes.
    port->HoldDpcs();
    port->Receive(4097, 'q');  // the ring overruns
    EXPECT_FALSE(SetCommMask(file, EV_RXCHAR));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_OPERATION_ABORTED);
    CloseHandle(file);
    file = INVALID_HANDLE_VALUE;
    ASSERT_TRUE(qvtest::WaitUntil([&] { return port->OpenCount() == 0; }));

    file = OpenPort();
    EXPECT_TRUE(SetCommMask(file, EV_RXCHAR));
    Pending write;
    StartWrite(file, write, {1, 2, 3});
    port->ReleaseDpcs();
    ASSERT_TRUE(Ends(file, write));
    EXPECT_EQ(write.Status(), STATUS_SUCCESS);
    DWORD errors = 0;
    ASSERT_TRUE(ClearCommError(file, &errors, nullptr));
    EXPECT_EQ(errors, 0u);
    DCB dcb = {};
    ASSERT_TRUE(GetCommState(file, &dcb));
    EXPECT_TRUE(dcb.fAbortOnError);  // the setting itself stays
}

INSTANTIATE_TEST_SUITE_P(Clocks, OneProcessor, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool> &info) {
                             return info.param ? "VirtualClock" : "RealClock";
                         });

}  // namespace
}  // namespace sertest
