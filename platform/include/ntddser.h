// The serial port interface of the kernel: control codes, structures and constants that
// serial applications and serial drivers share. Names and values are the system's own, so
// code written against the Windows headers builds unchanged here.
#pragma once

#include "wdm.h"

// Device interface class of COM ports
DEFINE_GUID(GUID_DEVINTERFACE_COMPORT, 0x86e0d1e0L, 0x8089, 0x11d0, 0x9c, 0xe4, 0x08, 0x00, 0x3e, 0x30, 0x1f, 0x73);
#define GUID_CLASS_COMPORT GUID_DEVINTERFACE_COMPORT

// Bus enumerator of serial devices attached to a port
DEFINE_GUID(GUID_DEVINTERFACE_SERENUM_BUS_ENUMERATOR, 0x4d36e978L, 0xe325, 0x11ce, 0xbf, 0xc1, 0x08, 0x00, 0x2b, 0xe1,
            0x03, 0x18);
#define GUID_SERENUM_BUS_ENUMERATOR GUID_DEVINTERFACE_SERENUM_BUS_ENUMERATOR

#ifndef FILE_DEVICE_SERENUM
#define FILE_DEVICE_SERENUM 0x00000037
#endif

#define SERIAL_CTL(Function) CTL_CODE(FILE_DEVICE_SERIAL_PORT, (Function), METHOD_BUFFERED, FILE_ANY_ACCESS)

// ------------------------------------------------------------------ control codes
#define IOCTL_SERIAL_SET_BAUD_RATE SERIAL_CTL(1)
#define IOCTL_SERIAL_SET_QUEUE_SIZE SERIAL_CTL(2)
#define IOCTL_SERIAL_SET_LINE_CONTROL SERIAL_CTL(3)
#define IOCTL_SERIAL_SET_BREAK_ON SERIAL_CTL(4)
#define IOCTL_SERIAL_SET_BREAK_OFF SERIAL_CTL(5)
#define IOCTL_SERIAL_IMMEDIATE_CHAR SERIAL_CTL(6)
#define IOCTL_SERIAL_SET_TIMEOUTS SERIAL_CTL(7)
#define IOCTL_SERIAL_GET_TIMEOUTS SERIAL_CTL(8)
#define IOCTL_SERIAL_SET_DTR SERIAL_CTL(9)
#define IOCTL_SERIAL_CLR_DTR SERIAL_CTL(10)
#define IOCTL_SERIAL_RESET_DEVICE SERIAL_CTL(11)
#define IOCTL_SERIAL_SET_RTS SERIAL_CTL(12)
#define IOCTL_SERIAL_CLR_RTS SERIAL_CTL(13)
#define IOCTL_SERIAL_SET_XOFF SERIAL_CTL(14)
#define IOCTL_SERIAL_SET_XON SERIAL_CTL(15)
#define IOCTL_SERIAL_GET_WAIT_MASK SERIAL_CTL(16)
#define IOCTL_SERIAL_SET_WAIT_MASK SERIAL_CTL(17)
#define IOCTL_SERIAL_WAIT_ON_MASK SERIAL_CTL(18)
#define IOCTL_SERIAL_PURGE SERIAL_CTL(19)
#define IOCTL_SERIAL_GET_BAUD_RATE SERIAL_CTL(20)
#define IOCTL_SERIAL_GET_LINE_CONTROL SERIAL_CTL(21)
#define IOCTL_SERIAL_GET_CHARS SERIAL_CTL(22)
#define IOCTL_SERIAL_SET_CHARS SERIAL_CTL(23)
#define IOCTL_SERIAL_GET_HANDFLOW SERIAL_CTL(24)
#define IOCTL_SERIAL_SET_HANDFLOW SERIAL_CTL(25)
#define IOCTL_SERIAL_GET_MODEMSTATUS SERIAL_CTL(26)
#define IOCTL_SERIAL_GET_COMMSTATUS SERIAL_CTL(27)
#define IOCTL_SERIAL_XOFF_COUNTER SERIAL_CTL(28)
#define IOCTL_SERIAL_GET_PROPERTIES SERIAL_CTL(29)
#define IOCTL_SERIAL_GET_DTRRTS SERIAL_CTL(30)
#define IOCTL_SERIAL_LSRMST_INSERT SERIAL_CTL(31)
#define IOCTL_SERIAL_CONFIG_SIZE SERIAL_CTL(32)
#define IOCTL_SERIAL_GET_COMMCONFIG SERIAL_CTL(33)
#define IOCTL_SERIAL_SET_COMMCONFIG SERIAL_CTL(34)
#define IOCTL_SERIAL_GET_STATS SERIAL_CTL(35)
#define IOCTL_SERIAL_CLEAR_STATS SERIAL_CTL(36)
#define IOCTL_SERIAL_GET_MODEM_CONTROL SERIAL_CTL(37)
#define IOCTL_SERIAL_SET_MODEM_CONTROL SERIAL_CTL(38)
#define IOCTL_SERIAL_SET_FIFO_CONTROL SERIAL_CTL(39)
#define IOCTL_SERIAL_APPLY_DEFAULT_CONFIGURATION SERIAL_CTL(40)
#define IOCTL_SERIAL_SET_INTERVAL_TIMER_RESOLUTION SERIAL_CTL(41)

// Internal requests between serial drivers and their enumerators (internal device control)
#define IOCTL_SERIAL_INTERNAL_DO_WAIT_WAKE SERIAL_CTL(1)
#define IOCTL_SERIAL_INTERNAL_CANCEL_WAIT_WAKE SERIAL_CTL(2)
#define IOCTL_SERIAL_INTERNAL_BASIC_SETTINGS SERIAL_CTL(3)
#define IOCTL_SERIAL_INTERNAL_RESTORE_SETTINGS SERIAL_CTL(4)

#define IOCTL_INTERNAL_SERENUM_REMOVE_SELF CTL_CODE(FILE_DEVICE_SERENUM, 129, METHOD_NEITHER, FILE_ANY_ACCESS)
#define IOCTL_SERENUM_PORT_DESC CTL_CODE(FILE_DEVICE_SERENUM, 130, METHOD_BUFFERED, FILE_ANY_ACCESS)
#define IOCTL_SERENUM_GET_PORT_NAME CTL_CODE(FILE_DEVICE_SERENUM, 131, METHOD_BUFFERED, FILE_ANY_ACCESS)

// ------------------------------------------------------------------ baud rate
typedef struct _SERIAL_BAUD_RATE {
    ULONG BaudRate;
} SERIAL_BAUD_RATE, *PSERIAL_BAUD_RATE;

// SERIAL_COMMPROP.SettableBaud and MaxBaud bits
#define SERIAL_BAUD_075 0x00000001
#define SERIAL_BAUD_110 0x00000002
#define SERIAL_BAUD_134_5 0x00000004
#define SERIAL_BAUD_150 0x00000008
#define SERIAL_BAUD_300 0x00000010
#define SERIAL_BAUD_600 0x00000020
#define SERIAL_BAUD_1200 0x00000040
#define SERIAL_BAUD_1800 0x00000080
#define SERIAL_BAUD_2400 0x00000100
#define SERIAL_BAUD_4800 0x00000200
#define SERIAL_BAUD_7200 0x00000400
#define SERIAL_BAUD_9600 0x00000800
#define SERIAL_BAUD_14400 0x00001000
#define SERIAL_BAUD_19200 0x00002000
#define SERIAL_BAUD_38400 0x00004000
#define SERIAL_BAUD_56K 0x00008000
#define SERIAL_BAUD_128K 0x00010000
#define SERIAL_BAUD_115200 0x00020000
#define SERIAL_BAUD_57600 0x00040000
#define SERIAL_BAUD_USER 0x10000000

// ------------------------------------------------------------------ line control
typedef struct _SERIAL_LINE_CONTROL {
    UCHAR StopBits;
    UCHAR Parity;
    UCHAR WordLength;
} SERIAL_LINE_CONTROL, *PSERIAL_LINE_CONTROL;

#define STOP_BIT_1 0
#define STOP_BITS_1_5 1
#define STOP_BITS_2 2

#define NO_PARITY 0
#define ODD_PARITY 1
#define EVEN_PARITY 2
#define MARK_PARITY 3
#define SPACE_PARITY 4

// ------------------------------------------------------------------ special characters
typedef struct _SERIAL_CHARS {
    UCHAR EofChar;
    UCHAR ErrorChar;
    UCHAR BreakChar;
    UCHAR EventChar;
    UCHAR XonChar;
    UCHAR XoffChar;
} SERIAL_CHARS, *PSERIAL_CHARS;

// ------------------------------------------------------------------ timeouts
typedef struct _SERIAL_TIMEOUTS {
    ULONG ReadIntervalTimeout;
    ULONG ReadTotalTimeoutMultiplier;
    ULONG ReadTotalTimeoutConstant;
    ULONG WriteTotalTimeoutMultiplier;
    ULONG WriteTotalTimeoutConstant;
} SERIAL_TIMEOUTS, *PSERIAL_TIMEOUTS;

// ------------------------------------------------------------------ handshake and flow control
typedef struct _SERIAL_HANDFLOW {
    ULONG ControlHandShake;
    ULONG FlowReplace;
    LONG XonLimit;
    LONG XoffLimit;
} SERIAL_HANDFLOW, *PSERIAL_HANDFLOW;

// ControlHandShake
#define SERIAL_DTR_MASK ((ULONG)0x03)
#define SERIAL_DTR_CONTROL ((ULONG)0x01)
#define SERIAL_DTR_HANDSHAKE ((ULONG)0x02)
#define SERIAL_CTS_HANDSHAKE ((ULONG)0x08)
#define SERIAL_DSR_HANDSHAKE ((ULONG)0x10)
#define SERIAL_DCD_HANDSHAKE ((ULONG)0x20)
#define SERIAL_OUT_HANDSHAKEMASK ((ULONG)0x38)
#define SERIAL_DSR_SENSITIVITY ((ULONG)0x40)
#define SERIAL_ERROR_ABORT ((ULONG)0x80000000)
#define SERIAL_CONTROL_INVALID ((ULONG)0x7fffff84)

// FlowReplace
#define SERIAL_AUTO_TRANSMIT ((ULONG)0x01)
#define SERIAL_AUTO_RECEIVE ((ULONG)0x02)
#define SERIAL_ERROR_CHAR ((ULONG)0x04)
#define SERIAL_NULL_STRIPPING ((ULONG)0x08)
#define SERIAL_BREAK_CHAR ((ULONG)0x10)
#define SERIAL_RTS_MASK ((ULONG)0xc0)
#define SERIAL_RTS_CONTROL ((ULONG)0x40)
#define SERIAL_RTS_HANDSHAKE ((ULONG)0x80)
#define SERIAL_TRANSMIT_TOGGLE ((ULONG)0xc0)
#define SERIAL_XOFF_CONTINUE ((ULONG)0x80000000)
#define SERIAL_FLOW_INVALID ((ULONG)0x7fffff20)

// ------------------------------------------------------------------ status
typedef struct _SERIAL_STATUS {
    ULONG Errors;
    ULONG HoldReasons;
    ULONG AmountInInQueue;
    ULONG AmountInOutQueue;
    BOOLEAN EofReceived;
    BOOLEAN WaitForImmediate;
} SERIAL_STATUS, *PSERIAL_STATUS;

// SERIAL_STATUS.Errors
#define SERIAL_ERROR_BREAK ((ULONG)0x00000001)
#define SERIAL_ERROR_FRAMING ((ULONG)0x00000002)
#define SERIAL_ERROR_OVERRUN ((ULONG)0x00000004)
#define SERIAL_ERROR_QUEUEOVERRUN ((ULONG)0x00000008)
#define SERIAL_ERROR_PARITY ((ULONG)0x00000010)

// SERIAL_STATUS.HoldReasons
#define SERIAL_TX_WAITING_FOR_CTS ((ULONG)0x00000001)
#define SERIAL_TX_WAITING_FOR_DSR ((ULONG)0x00000002)
#define SERIAL_TX_WAITING_FOR_DCD ((ULONG)0x00000004)
#define SERIAL_TX_WAITING_FOR_XON ((ULONG)0x00000008)
#define SERIAL_TX_WAITING_XOFF_SENT ((ULONG)0x00000010)
#define SERIAL_TX_WAITING_ON_BREAK ((ULONG)0x00000020)
#define SERIAL_RX_WAITING_FOR_DSR ((ULONG)0x00000040)

// ------------------------------------------------------------------ queue sizes, XOFF counter
typedef struct _SERIAL_QUEUE_SIZE {
    ULONG InSize;
    ULONG OutSize;
} SERIAL_QUEUE_SIZE, *PSERIAL_QUEUE_SIZE;

typedef struct _SERIAL_XOFF_COUNTER {
    ULONG Timeout;  // milliseconds
    LONG Counter;
    UCHAR XoffChar;
} SERIAL_XOFF_COUNTER, *PSERIAL_XOFF_COUNTER;

// ------------------------------------------------------------------ basic settings (internal)
typedef struct _SERIAL_BASIC_SETTINGS {
    SERIAL_TIMEOUTS Timeouts;
    SERIAL_HANDFLOW HandFlow;
    ULONG RxFifo;
    ULONG TxFifo;
} SERIAL_BASIC_SETTINGS, *PSERIAL_BASIC_SETTINGS;

// ------------------------------------------------------------------ properties
typedef struct _SERIAL_COMMPROP {
    USHORT PacketLength;
    USHORT PacketVersion;
    ULONG ServiceMask;
    ULONG Reserved1;
    ULONG MaxTxQueue;
    ULONG MaxRxQueue;
    ULONG MaxBaud;
    ULONG ProvSubType;
    ULONG ProvCapabilities;
    ULONG SettableParams;
    ULONG SettableBaud;
    USHORT SettableData;
    USHORT SettableStopParity;
    ULONG CurrentTxQueue;
    ULONG CurrentRxQueue;
    ULONG ProvSpec1;
    ULONG ProvSpec2;
    WCHAR ProvChar[1];
} SERIAL_COMMPROP, *PSERIAL_COMMPROP;

// ProvSubType
#define SERIAL_SP_UNSPECIFIED ((ULONG)0x00000000)
#define SERIAL_SP_RS232 ((ULONG)0x00000001)
#define SERIAL_SP_PARALLEL ((ULONG)0x00000002)
#define SERIAL_SP_RS422 ((ULONG)0x00000003)
#define SERIAL_SP_RS423 ((ULONG)0x00000004)
#define SERIAL_SP_RS449 ((ULONG)0x00000005)
#define SERIAL_SP_MODEM ((ULONG)0x00000006)
#define SERIAL_SP_FAX ((ULONG)0x00000021)
#define SERIAL_SP_SCANNER ((ULONG)0x00000022)
#define SERIAL_SP_BRIDGE ((ULONG)0x00000100)
#define SERIAL_SP_LAT ((ULONG)0x00000101)
#define SERIAL_SP_TELNET ((ULONG)0x00000102)
#define SERIAL_SP_X25 ((ULONG)0x00000103)

// ServiceMask
#define SERIAL_SP_SERIALCOMM ((ULONG)0x00000001)

// ProvCapabilities
#define SERIAL_PCF_DTRDSR ((ULONG)0x0001)
#define SERIAL_PCF_RTSCTS ((ULONG)0x0002)
#define SERIAL_PCF_CD ((ULONG)0x0004)
#define SERIAL_PCF_PARITY_CHECK ((ULONG)0x0008)
#define SERIAL_PCF_XONXOFF ((ULONG)0x0010)
#define SERIAL_PCF_SETXCHAR ((ULONG)0x0020)
#define SERIAL_PCF_TOTALTIMEOUTS ((ULONG)0x0040)
#define SERIAL_PCF_INTTIMEOUTS ((ULONG)0x0080)
#define SERIAL_PCF_SPECIALCHARS ((ULONG)0x0100)
#define SERIAL_PCF_16BITMODE ((ULONG)0x0200)

// SettableParams
#define SERIAL_SP_PARITY ((ULONG)0x0001)
#define SERIAL_SP_BAUD ((ULONG)0x0002)
#define SERIAL_SP_DATABITS ((ULONG)0x0004)
#define SERIAL_SP_STOPBITS ((ULONG)0x0008)
#define SERIAL_SP_HANDSHAKING ((ULONG)0x0010)
#define SERIAL_SP_PARITY_CHECK ((ULONG)0x0020)
#define SERIAL_SP_CARRIER_DETECT ((ULONG)0x0040)

// SettableData
#define SERIAL_DATABITS_5 ((USHORT)0x0001)
#define SERIAL_DATABITS_6 ((USHORT)0x0002)
#define SERIAL_DATABITS_7 ((USHORT)0x0004)
#define SERIAL_DATABITS_8 ((USHORT)0x0008)
#define SERIAL_DATABITS_16 ((USHORT)0x0010)
#define SERIAL_DATABITS_16X ((USHORT)0x0020)

// SettableStopParity
#define SERIAL_STOPBITS_10 ((USHORT)0x0001)
#define SERIAL_STOPBITS_15 ((USHORT)0x0002)
#define SERIAL_STOPBITS_20 ((USHORT)0x0004)
#define SERIAL_PARITY_NONE ((USHORT)0x0100)
#define SERIAL_PARITY_ODD ((USHORT)0x0200)
#define SERIAL_PARITY_EVEN ((USHORT)0x0400)
#define SERIAL_PARITY_MARK ((USHORT)0x0800)
#define SERIAL_PARITY_SPACE ((USHORT)0x1000)

// ------------------------------------------------------------------ statistics
typedef struct _SERIALPERF_STATS {
    ULONG ReceivedCount;
    ULONG TransmittedCount;
    ULONG FrameErrorCount;
    ULONG SerialOverrunErrorCount;
    ULONG BufferOverrunErrorCount;
    ULONG ParityErrorCount;
} SERIALPERF_STATS, *PSERIALPERF_STATS;

// ------------------------------------------------------------------ configuration
typedef struct _SERIALCONFIG {
    ULONG Size;
    USHORT Version;
    ULONG SubType;
    ULONG ProvOffset;
    ULONG ProviderSize;
    WCHAR ProviderData[1];
} SERIALCONFIG, *PSERIALCONFIG;

// ------------------------------------------------------------------ wait-on-mask events
#define SERIAL_EV_RXCHAR 0x0001    // any character received
#define SERIAL_EV_RXFLAG 0x0002    // the event character received
#define SERIAL_EV_TXEMPTY 0x0004   // transmit queue empty
#define SERIAL_EV_CTS 0x0008       // CTS changed
#define SERIAL_EV_DSR 0x0010       // DSR changed
#define SERIAL_EV_RLSD 0x0020      // DCD changed
#define SERIAL_EV_BREAK 0x0040     // break received
#define SERIAL_EV_ERR 0x0080       // line status error
#define SERIAL_EV_RING 0x0100      // ring detected
#define SERIAL_EV_PERR 0x0200      // printer error
#define SERIAL_EV_RX80FULL 0x0400  // receive queue 80% full
#define SERIAL_EV_EVENT1 0x0800    // provider event 1
#define SERIAL_EV_EVENT2 0x1000    // provider event 2

// ------------------------------------------------------------------ line and modem status insertion
#define SERIAL_LSRMST_ESCAPE ((UCHAR)0x00)
#define SERIAL_LSRMST_LSR_DATA ((UCHAR)0x01)
#define SERIAL_LSRMST_LSR_NODATA ((UCHAR)0x02)
#define SERIAL_LSRMST_MST ((UCHAR)0x03)

// ------------------------------------------------------------------ modem control and FIFO control
#define SERIAL_IOC_MCR_DTR ((ULONG)0x00000001)
#define SERIAL_IOC_MCR_RTS ((ULONG)0x00000002)
#define SERIAL_IOC_MCR_OUT1 ((ULONG)0x00000004)
#define SERIAL_IOC_MCR_OUT2 ((ULONG)0x00000008)
#define SERIAL_IOC_MCR_LOOP ((ULONG)0x00000010)

#define SERIAL_IOC_FCR_FIFO_ENABLE ((ULONG)0x00000001)
#define SERIAL_IOC_FCR_RCVR_RESET ((ULONG)0x00000002)
#define SERIAL_IOC_FCR_XMIT_RESET ((ULONG)0x00000004)
#define SERIAL_IOC_FCR_DMA_MODE ((ULONG)0x00000008)
#define SERIAL_IOC_FCR_RES1 ((ULONG)0x00000010)
#define SERIAL_IOC_FCR_RES2 ((ULONG)0x00000020)
#define SERIAL_IOC_FCR_RCVR_TRIGGER_LSB ((ULONG)0x00000040)
#define SERIAL_IOC_FCR_RCVR_TRIGGER_MSB ((ULONG)0x00000080)

// ------------------------------------------------------------------ purge
#define SERIAL_PURGE_TXABORT 0x00000001
#define SERIAL_PURGE_RXABORT 0x00000002
#define SERIAL_PURGE_TXCLEAR 0x00000004
#define SERIAL_PURGE_RXCLEAR 0x00000008

// ------------------------------------------------------------------ modem lines (GET_DTRRTS, GET_MODEMSTATUS)
#define SERIAL_DTR_STATE ((ULONG)0x00000001)
#define SERIAL_RTS_STATE ((ULONG)0x00000002)
#define SERIAL_CTS_STATE ((ULONG)0x00000010)
#define SERIAL_DSR_STATE ((ULONG)0x00000020)
#define SERIAL_RI_STATE ((ULONG)0x00000040)
#define SERIAL_DCD_STATE ((ULONG)0x00000080)

// ------------------------------------------------------------------ serial enumerator
typedef struct _SERENUM_PORT_DESC {
    ULONG Size;
    PVOID PortHandle;
    PHYSICAL_ADDRESS PortAddress;
    USHORT Reserved[1];
} SERENUM_PORT_DESC, *PSERENUM_PORT_DESC;

typedef UCHAR(NTAPI *PSERENUM_READPORT)(PVOID SerPortAddress);
typedef VOID(NTAPI *PSERENUM_WRITEPORT)(PVOID SerPortAddress, UCHAR Value);

typedef enum _SERENUM_PORTION { SerenumFirstHalf, SerenumSecondHalf, SerenumWhole } SERENUM_PORTION;

typedef struct _SERENUM_PORT_PARAMETERS {
    ULONG Size;
    PSERENUM_READPORT ReadAccessor;
    PSERENUM_WRITEPORT WriteAccessor;
    PVOID SerPortAddress;
    PVOID HardwareHandle;
    SERENUM_PORTION Portion;
    USHORT NumberAxis;
    USHORT Reserved[3];
} SERENUM_PORT_PARAMETERS, *PSERENUM_PORT_PARAMETERS;

static_assert(sizeof(SERIAL_STATUS) == 20, "SERIAL_STATUS layout");
static_assert(sizeof(SERIAL_XOFF_COUNTER) == 12, "SERIAL_XOFF_COUNTER layout");
static_assert(sizeof(SERIAL_COMMPROP) == 64, "SERIAL_COMMPROP layout");
static_assert(sizeof(SERIAL_HANDFLOW) == 16, "SERIAL_HANDFLOW layout");
static_assert(sizeof(SERIAL_TIMEOUTS) == 20, "SERIAL_TIMEOUTS layout");
static_assert(sizeof(SERIAL_LINE_CONTROL) == 3, "SERIAL_LINE_CONTROL layout");
static_assert(sizeof(SERIAL_CHARS) == 6, "SERIAL_CHARS layout");
