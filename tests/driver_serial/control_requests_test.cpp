// The serial control requests as an application meets them: defaults, settings round trips,
// refusals, buffer checks, queue size, properties, statistics and status.
#include <ntddser.h>

#include "serial_test.h"

namespace sertest {
namespace {

// The port's own requests, built as the configurator builds them.
const DWORD kSetEthernet = CTL_CODE(FILE_DEVICE_SERIAL_PORT, 10000, METHOD_BUFFERED, FILE_ANY_ACCESS);
const DWORD kGetEthernet = CTL_CODE(FILE_DEVICE_SERIAL_PORT, 10001, METHOD_BUFFERED, FILE_ANY_ACCESS);

class ControlRequests : public SerialTest {
protected:
    void SetUp() override
    {
        SerialTest::SetUp();
        OpenNewPort();
    }
};

TEST_F(ControlRequests, NewPortReportsItsDefaults)
{
    DCB dcb = {};
    ASSERT_TRUE(GetCommState(file, &dcb));
    EXPECT_EQ(dcb.BaudRate, 1200u);
    EXPECT_EQ(dcb.ByteSize, 7);
    EXPECT_EQ(dcb.Parity, EVENPARITY);
    EXPECT_EQ(dcb.StopBits, ONESTOPBIT);
    EXPECT_EQ((BYTE)dcb.XonChar, 0x11);
    EXPECT_EQ((BYTE)dcb.XoffChar, 0x13);
    EXPECT_EQ(dcb.fDtrControl, (DWORD)DTR_CONTROL_ENABLE);
    EXPECT_EQ(dcb.fRtsControl, (DWORD)RTS_CONTROL_ENABLE);
    EXPECT_FALSE(dcb.fOutxCtsFlow || dcb.fOutX || dcb.fInX);

    SERIAL_HANDFLOW handFlow = {};
    ASSERT_EQ(Ioctl(file, IOCTL_SERIAL_GET_HANDFLOW, nullptr, 0, &handFlow, sizeof(handFlow)), ERROR_SUCCESS);
    EXPECT_EQ(handFlow.ControlHandShake, 0x1u);
    EXPECT_EQ(handFlow.FlowReplace, 0x40u);
    EXPECT_EQ(handFlow.XonLimit, 2048);  // set again at open from the 4096-byte ring
    EXPECT_EQ(handFlow.XoffLimit, 512);

    COMMTIMEOUTS timeouts = {1, 1, 1, 1, 1};
    ASSERT_TRUE(GetCommTimeouts(file, &timeouts));
    EXPECT_EQ(timeouts.ReadIntervalTimeout + timeouts.ReadTotalTimeoutMultiplier + timeouts.ReadTotalTimeoutConstant +
                  timeouts.WriteTotalTimeoutMultiplier + timeouts.WriteTotalTimeoutConstant,
              0u);

    // DTR and RTS are raised by the open.
    ULONG lines = 0;
    ASSERT_EQ(Ioctl(file, IOCTL_SERIAL_GET_DTRRTS, nullptr, 0, &lines, sizeof(lines)), ERROR_SUCCESS);
    EXPECT_EQ(lines, SERIAL_DTR_STATE | SERIAL_RTS_STATE);
    DWORD mask = 1;
    ASSERT_TRUE(GetCommMask(file, &mask));
    EXPECT_EQ(mask, 0u);
}

TEST_F(ControlRequests, LineControlRoundTripsAndRefusals)
{
    struct Case {
        BYTE byteSize, parity, stopBits;
        BYTE expectStop;
    } cases[] = {
        {8, NOPARITY, ONESTOPBIT, ONESTOPBIT},      {5, ODDPARITY, TWOSTOPBITS, ONE5STOPBITS},
        {8, MARKPARITY, ONE5STOPBITS, TWOSTOPBITS}, {6, SPACEPARITY, TWOSTOPBITS, TWOSTOPBITS},
        {7, EVENPARITY, ONESTOPBIT, ONESTOPBIT},
    };
    for (const Case &c : cases) {
        DCB dcb = {};
        ASSERT_TRUE(GetCommState(file, &dcb));
        dcb.ByteSize = c.byteSize;
        dcb.Parity = c.parity;
        dcb.StopBits = c.stopBits;
        ASSERT_TRUE(SetCommState(file, &dcb));
        DCB back = {};
        ASSERT_TRUE(GetCommState(file, &back));
        EXPECT_EQ(back.ByteSize, c.byteSize);
        EXPECT_EQ(back.Parity, c.parity);
        EXPECT_EQ(back.StopBits, c.expectStop) << "data bits " << (int)c.byteSize;
    }

    // Out of range in any field: refused, nothing changes.
    SERIAL_LINE_CONTROL bad[] = {{STOP_BIT_1, NO_PARITY, 9}, {STOP_BIT_1, 5, 8}, {3, NO_PARITY, 8}, {0, 0, 4}};
    for (SERIAL_LINE_CONTROL &line : bad) {
        EXPECT_EQ(Ioctl(file, IOCTL_SERIAL_SET_LINE_CONTROL, &line, sizeof(line), nullptr, 0),
                  (DWORD)ERROR_INVALID_PARAMETER);
    }
    SERIAL_LINE_CONTROL now = {};
    ASSERT_EQ(Ioctl(file, IOCTL_SERIAL_GET_LINE_CONTROL, nullptr, 0, &now, sizeof(now)), ERROR_SUCCESS);
    EXPECT_EQ(now.WordLength, 7);
    EXPECT_EQ(now.Parity, EVEN_PARITY);
    EXPECT_EQ(now.StopBits, STOP_BIT_1);
}

TEST_F(ControlRequests, SevenDataBitsMaskReceivedCharacters)
{
    SetTimeouts(file, MAXDWORD, 0, 0);
    port->Receive({0x83, 0x41});
    Pending read;
    StartRead(file, read, 4);
    ASSERT_EQ(read.Bytes(), 2u);
    EXPECT_EQ(read.data[0], 0x03);
    EXPECT_EQ(read.data[1], 0x41);
}

TEST_F(ControlRequests, ParameterRefusals)
{
    SERIAL_TIMEOUTS allMax = {MAXULONG, MAXULONG, MAXULONG, 0, 0};
    EXPECT_EQ(Ioctl(file, IOCTL_SERIAL_SET_TIMEOUTS, &allMax, sizeof(allMax), nullptr, 0),
              (DWORD)ERROR_INVALID_PARAMETER);
    SERIAL_TIMEOUTS twoMax = {MAXULONG, MAXULONG, 500, 0, 0};
    EXPECT_EQ(Ioctl(file, IOCTL_SERIAL_SET_TIMEOUTS, &twoMax, sizeof(twoMax), nullptr, 0), ERROR_SUCCESS);

    EXPECT_TRUE(SetCommMask(file, 0x1FFF));
    EXPECT_FALSE(SetCommMask(file, 0x2000));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_PARAMETER);

    EXPECT_FALSE(PurgeComm(file, 0));
    EXPECT_FALSE(PurgeComm(file, 0x10));
    EXPECT_TRUE(PurgeComm(file, PURGE_TXCLEAR | PURGE_RXCLEAR));

    for (LONG counter : {0, -1}) {
        SERIAL_XOFF_COUNTER xoff = {0, counter, 0x13};
        EXPECT_EQ(Ioctl(file, IOCTL_SERIAL_XOFF_COUNTER, &xoff, sizeof(xoff), nullptr, 0),
                  (DWORD)ERROR_INVALID_PARAMETER);
    }
    EXPECT_EQ(port->TxQueuedCount(), 0u);

    EXPECT_EQ(Ioctl(file, IOCTL_SERIAL_GET_COMMCONFIG, nullptr, 0, nullptr, 0), (DWORD)ERROR_INVALID_PARAMETER);
    EXPECT_EQ(Ioctl(file, IOCTL_SERIAL_SET_COMMCONFIG, nullptr, 0, nullptr, 0), (DWORD)ERROR_INVALID_PARAMETER);
    EXPECT_EQ(
        Ioctl(file, CTL_CODE(FILE_DEVICE_SERIAL_PORT, 200, METHOD_BUFFERED, FILE_ANY_ACCESS), nullptr, 0, nullptr, 0),
        (DWORD)ERROR_INVALID_PARAMETER);
    EXPECT_EQ(Ioctl(file, IOCTL_SERIAL_SET_FIFO_CONTROL, nullptr, 0, nullptr, 0), ERROR_SUCCESS);
    EXPECT_EQ(Ioctl(file, IOCTL_SERIAL_RESET_DEVICE, nullptr, 0, nullptr, 0), ERROR_SUCCESS);
    ULONG configSize = 7;
    EXPECT_EQ(Ioctl(file, IOCTL_SERIAL_CONFIG_SIZE, nullptr, 0, &configSize, sizeof(configSize)), ERROR_SUCCESS);
    EXPECT_EQ(configSize, 0u);
}

TEST_F(ControlRequests, HandshakeValidation)
{
    SERIAL_HANDFLOW before = {};
    ASSERT_EQ(Ioctl(file, IOCTL_SERIAL_GET_HANDFLOW, nullptr, 0, &before, sizeof(before)), ERROR_SUCCESS);

    SERIAL_HANDFLOW refused[] = {
        {0x3, 0x40, 2048, 512},         // DTR field 3
        {0x1 | 0x04, 0x40, 2048, 512},  // a reserved control bit
        {0x1, 0x40 | 0x20, 2048, 512},  // a reserved flow bit
        {0x1, 0x40, 2048, 4097},        // XoffLimit above the ring
        {0x1, 0x40, -1, 512},           // negative XonLimit
    };
    for (SERIAL_HANDFLOW &h : refused) {
        EXPECT_EQ(Ioctl(file, IOCTL_SERIAL_SET_HANDFLOW, &h, sizeof(h), nullptr, 0), (DWORD)ERROR_INVALID_PARAMETER);
    }
    SERIAL_HANDFLOW edge = {0x1, 0x40, 4096, 4096};  // limits equal to the ring size
    EXPECT_EQ(Ioctl(file, IOCTL_SERIAL_SET_HANDFLOW, &edge, sizeof(edge), nullptr, 0), ERROR_SUCCESS);

    // An escape character excludes the error character, and the other way round.
    UCHAR escape = 0xFE;
    ASSERT_EQ(Ioctl(file, IOCTL_SERIAL_LSRMST_INSERT, &escape, 1, nullptr, 0), ERROR_SUCCESS);
    SERIAL_HANDFLOW errorChar = {0x1, 0x40 | SERIAL_ERROR_CHAR, 2048, 512};
    EXPECT_EQ(Ioctl(file, IOCTL_SERIAL_SET_HANDFLOW, &errorChar, sizeof(errorChar), nullptr, 0),
              (DWORD)ERROR_INVALID_PARAMETER);
    SERIAL_HANDFLOW now = {};
    ASSERT_EQ(Ioctl(file, IOCTL_SERIAL_GET_HANDFLOW, nullptr, 0, &now, sizeof(now)), ERROR_SUCCESS);
    EXPECT_EQ(now.FlowReplace, 0x40u);
    EXPECT_EQ(now.XoffLimit, 4096);

    SERIAL_CHARS chars = {0, 0, 0, 0, 0xFE, 0x13};  // XonChar equal to the escape character
    EXPECT_EQ(Ioctl(file, IOCTL_SERIAL_SET_CHARS, &chars, sizeof(chars), nullptr, 0), (DWORD)ERROR_INVALID_PARAMETER);
    UCHAR xoff = 0x13;
    EXPECT_EQ(Ioctl(file, IOCTL_SERIAL_LSRMST_INSERT, &xoff, 1, nullptr, 0), (DWORD)ERROR_INVALID_PARAMETER);
    UCHAR off = 0;
    EXPECT_EQ(Ioctl(file, IOCTL_SERIAL_LSRMST_INSERT, &off, 1, nullptr, 0), ERROR_SUCCESS);
    EXPECT_EQ(Ioctl(file, IOCTL_SERIAL_SET_CHARS, &chars, sizeof(chars), nullptr, 0), ERROR_SUCCESS);

    // Line requests the handshake modes forbid.
    SERIAL_HANDFLOW dtrHandshake = {0x2, 0x80, 2048, 512};
    ASSERT_EQ(Ioctl(file, IOCTL_SERIAL_SET_HANDFLOW, &dtrHandshake, sizeof(dtrHandshake), nullptr, 0), ERROR_SUCCESS);
    EXPECT_FALSE(EscapeCommFunction(file, SETDTR));
    EXPECT_FALSE(EscapeCommFunction(file, CLRRTS));
    SERIAL_HANDFLOW toggle = {0x1, 0xC0, 2048, 512};
    ASSERT_EQ(Ioctl(file, IOCTL_SERIAL_SET_HANDFLOW, &toggle, sizeof(toggle), nullptr, 0), ERROR_SUCCESS);
    EXPECT_FALSE(EscapeCommFunction(file, SETRTS));
    EXPECT_TRUE(EscapeCommFunction(file, CLRDTR));
    // The modem control register is written whatever the modes.
    ULONG mcr = 0x03;
    EXPECT_EQ(Ioctl(file, IOCTL_SERIAL_SET_MODEM_CONTROL, &mcr, sizeof(mcr), nullptr, 0), ERROR_SUCCESS);
    ULONG back = 0;
    ASSERT_EQ(Ioctl(file, IOCTL_SERIAL_GET_MODEM_CONTROL, nullptr, 0, &back, sizeof(back)), ERROR_SUCCESS);
    EXPECT_EQ(back, 0x03u);
}

TEST_F(ControlRequests, ShortBuffersAreRefused)
{
    struct Case {
        ULONG code;
        DWORD in, out;  // the least accepted lengths
    } cases[] = {
        {IOCTL_SERIAL_SET_BAUD_RATE, 4, 0},     {IOCTL_SERIAL_SET_QUEUE_SIZE, 8, 0},
        {IOCTL_SERIAL_SET_LINE_CONTROL, 3, 0},  {IOCTL_SERIAL_IMMEDIATE_CHAR, 1, 0},
        {IOCTL_SERIAL_SET_TIMEOUTS, 20, 0},     {IOCTL_SERIAL_GET_TIMEOUTS, 0, 20},
        {IOCTL_SERIAL_GET_WAIT_MASK, 0, 4},     {IOCTL_SERIAL_SET_WAIT_MASK, 4, 0},
        {IOCTL_SERIAL_WAIT_ON_MASK, 0, 4},      {IOCTL_SERIAL_PURGE, 4, 0},
        {IOCTL_SERIAL_GET_BAUD_RATE, 0, 4},     {IOCTL_SERIAL_GET_LINE_CONTROL, 0, 3},
        {IOCTL_SERIAL_GET_CHARS, 0, 6},         {IOCTL_SERIAL_SET_CHARS, 6, 0},
        {IOCTL_SERIAL_GET_HANDFLOW, 0, 16},     {IOCTL_SERIAL_SET_HANDFLOW, 16, 0},
        {IOCTL_SERIAL_GET_MODEMSTATUS, 0, 4},   {IOCTL_SERIAL_GET_COMMSTATUS, 0, 20},
        {IOCTL_SERIAL_XOFF_COUNTER, 12, 0},     {IOCTL_SERIAL_GET_PROPERTIES, 0, 64},
        {IOCTL_SERIAL_GET_DTRRTS, 0, 4},        {IOCTL_SERIAL_LSRMST_INSERT, 1, 0},
        {IOCTL_SERIAL_CONFIG_SIZE, 0, 4},       {IOCTL_SERIAL_GET_STATS, 0, 24},
        {IOCTL_SERIAL_GET_MODEM_CONTROL, 0, 4}, {IOCTL_SERIAL_SET_MODEM_CONTROL, 4, 0},
    };
    std::vector<uint8_t> in(64, 0), out(64, 0);
    for (const Case &c : cases) {
        DWORD inLength = c.in ? c.in - 1 : 0;
        DWORD outLength = c.out ? c.out - 1 : 0;
        DWORD returned = 99;
        EXPECT_EQ(Ioctl(file, c.code, in.data(), inLength, out.data(), outLength, &returned),
                  (DWORD)ERROR_INSUFFICIENT_BUFFER)
            << "code 0x" << std::hex << c.code;
        EXPECT_EQ(returned, 0u);
    }
}

TEST_F(ControlRequests, QueueSizeGrowsTheRingAndKeepsItsCharacters)
{
    COMMPROP properties = {};
    ASSERT_TRUE(GetCommProperties(file, &properties));
    EXPECT_EQ(properties.wPacketLength, 64);
    EXPECT_EQ(properties.wPacketVersion, 2);
    EXPECT_EQ(properties.dwServiceMask, (DWORD)SP_SERIALCOMM);
    EXPECT_EQ(properties.dwMaxBaud, (DWORD)BAUD_USER);
    EXPECT_EQ(properties.dwProvSubType, (DWORD)PST_RS232);
    EXPECT_EQ(properties.dwProvCapabilities, 0xFFu);
    EXPECT_EQ(properties.dwSettableParams, 0x7Fu);
    EXPECT_EQ(properties.dwSettableBaud, 0x1007FFFFu);
    EXPECT_EQ(properties.wSettableData, 0x000F);
    EXPECT_EQ(properties.wSettableStopParity, 0x1F07);
    EXPECT_EQ(properties.dwCurrentRxQueue, 4096u);

    // Characters wrapping round the end of the ring survive the move.
    SetTimeouts(file, MAXDWORD, 0, 0);
    port->Receive(4000, 'a');
    Pending drain;
    StartRead(file, drain, 3990);
    ASSERT_EQ(drain.Bytes(), 3990u);
    std::vector<uint8_t> wrapped;
    for (int i = 0; i < 200; i++) wrapped.push_back((uint8_t)(i % 128));  // 7 data bits
    port->Receive(wrapped);

    EXPECT_TRUE(SetupComm(file, 1024, 0));  // never shrinks
    EXPECT_EQ(port->RingSize(), 4096u);
    ASSERT_TRUE(SetupComm(file, 8192, 8192));
    EXPECT_EQ(port->RingSize(), 8192u);
    ASSERT_TRUE(GetCommProperties(file, &properties));
    EXPECT_EQ(properties.dwCurrentRxQueue, 8192u);
    SERIAL_HANDFLOW handFlow = {};
    ASSERT_EQ(Ioctl(file, IOCTL_SERIAL_GET_HANDFLOW, nullptr, 0, &handFlow, sizeof(handFlow)), ERROR_SUCCESS);
    EXPECT_EQ(handFlow.XoffLimit, 1024);
    EXPECT_EQ(handFlow.XonLimit, 4096);

    Pending rest;
    StartRead(file, rest, 1000);
    ASSERT_EQ(rest.Bytes(), 210u);
    EXPECT_EQ(std::vector<uint8_t>(rest.data.begin(), rest.data.begin() + 10), std::vector<uint8_t>(10, 'a'));
    EXPECT_EQ(std::vector<uint8_t>(rest.data.begin() + 10, rest.data.begin() + 210), wrapped);
}

// A larger receive queue is charged to the program that asks for it, so no program can drain
// non-paged pool through the port; closing the port gives the charge back.
TEST_F(ControlRequests, QueueSizeIsChargedToTheCallersQuota)
{
    CloseHandle(file);
    qv::ProgramContext *terminal = qv::CreateProgram("terminal");
    qv::SetProgramNonPagedQuota(terminal, 1 << 20);
    qv::ProgramScope scope(terminal);
    file = OpenPort();
    EXPECT_FALSE(SetupComm(file, 0x7FFFFFF0, 4096));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_NO_SYSTEM_RESOURCES);
    EXPECT_FALSE(SetupComm(file, (1 << 20) + 1, 0));
    EXPECT_EQ(port->RingSize(), 4096u);
    EXPECT_EQ(qv::ProgramNonPagedQuotaUsage(terminal), 0u);
    ASSERT_TRUE(SetupComm(file, 65536, 0));
    EXPECT_EQ(port->RingSize(), 65536u);
    EXPECT_EQ(qv::ProgramNonPagedQuotaUsage(terminal), 65536u);
    CloseHandle(file);
    file = INVALID_HANDLE_VALUE;
    EXPECT_EQ(qv::ProgramNonPagedQuotaUsage(terminal), 0u);
}

TEST_F(ControlRequests, StatisticsAndStatus)
{
    port->Receive(std::vector<uint8_t>{1, 2, 3, 4, 5, 6, 7});
    SERIALPERF_STATS stats = {};
    ASSERT_EQ(Ioctl(file, IOCTL_SERIAL_GET_STATS, nullptr, 0, &stats, sizeof(stats)), ERROR_SUCCESS);
    EXPECT_EQ(stats.ReceivedCount, 7u);

    DWORD errors = 1;
    COMSTAT stat = {};
    ASSERT_TRUE(ClearCommError(file, &errors, &stat));
    EXPECT_EQ(errors, 0u);
    EXPECT_EQ(stat.cbInQue, 7u);
    EXPECT_EQ(stat.cbOutQue, 0u);

    ASSERT_EQ(Ioctl(file, IOCTL_SERIAL_CLEAR_STATS, nullptr, 0, nullptr, 0), ERROR_SUCCESS);
    ASSERT_EQ(Ioctl(file, IOCTL_SERIAL_GET_STATS, nullptr, 0, &stats, sizeof(stats)), ERROR_SUCCESS);
    EXPECT_EQ(stats.ReceivedCount, 0u);

    // A full ring loses the next character and latches the overrun once.
    port->Receive(4096 - 7 + 1, 'x');
    ASSERT_EQ(Ioctl(file, IOCTL_SERIAL_GET_STATS, nullptr, 0, &stats, sizeof(stats)), ERROR_SUCCESS);
    EXPECT_EQ(stats.BufferOverrunErrorCount, 1u);
    SERIAL_STATUS status = {};
    ASSERT_EQ(Ioctl(file, IOCTL_SERIAL_GET_COMMSTATUS, nullptr, 0, &status, sizeof(status)), ERROR_SUCCESS);
    EXPECT_EQ(status.Errors, (ULONG)SERIAL_ERROR_QUEUEOVERRUN);
    EXPECT_EQ(status.AmountInInQueue, 4096u);
    ASSERT_TRUE(ClearCommError(file, &errors, &stat));
    EXPECT_EQ(errors, 0u);  // read and cleared by the previous status request

    // Hold reasons: break and a pretended XOFF.
    ASSERT_TRUE(SetCommBreak(file));
    ASSERT_TRUE(EscapeCommFunction(file, SETXOFF));
    ASSERT_EQ(Ioctl(file, IOCTL_SERIAL_GET_COMMSTATUS, nullptr, 0, &status, sizeof(status)), ERROR_SUCCESS);
    EXPECT_EQ(status.HoldReasons, (ULONG)(SERIAL_TX_WAITING_ON_BREAK | SERIAL_TX_WAITING_FOR_XON));
    ASSERT_TRUE(ClearCommBreak(file));
    ASSERT_TRUE(EscapeCommFunction(file, SETXON));
    ASSERT_TRUE(ClearCommError(file, &errors, &stat));
    EXPECT_FALSE(stat.fXoffHold);
}

TEST_F(ControlRequests, EthernetSettingsRequests)
{
    std::vector<uint8_t> record = MakeRecord(500, 0x01, 0x00, {{502, false, {1, 2}}, {503, true, {7}}});
    std::vector<uint8_t> out(record.size() + 8, 0);

    EXPECT_EQ(Ioctl(file, kGetEthernet, nullptr, 0, out.data(), (DWORD)out.size()),
              (DWORD)ERROR_NO_SYSTEM_RESOURCES);  // nothing stored yet
    // The size field must match the input; a header cut short is refused without reading it.
    EXPECT_EQ(Ioctl(file, kSetEthernet, record.data(), (DWORD)record.size() - 1, nullptr, 0),
              (DWORD)ERROR_INVALID_PARAMETER);
    EXPECT_EQ(Ioctl(file, kSetEthernet, record.data(), 3, nullptr, 0), (DWORD)ERROR_INVALID_PARAMETER);
    ASSERT_EQ(Ioctl(file, kSetEthernet, record.data(), (DWORD)record.size(), nullptr, 0), ERROR_SUCCESS);

    // One byte short: refused, with the size needed.
    Pending shortGet;
    DeviceIoControl(file, kGetEthernet, nullptr, 0, out.data(), (DWORD)record.size() - 1, nullptr, &shortGet.ov);
    EXPECT_EQ(shortGet.Status(), STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(shortGet.Bytes(), record.size());

    DWORD returned = 0;
    ASSERT_EQ(Ioctl(file, kGetEthernet, nullptr, 0, out.data(), (DWORD)out.size(), &returned), ERROR_SUCCESS);
    ASSERT_EQ(returned, record.size());
    EXPECT_EQ(std::vector<uint8_t>(out.begin(), out.begin() + returned), record);
}

}  // namespace
}  // namespace sertest
