// The Windows communications API over DeviceIoControl. The request order of each function is
// written down in docs/comm-api.md; keep the two in step.
#include "qv/win32comm.h"

#include <ntddser.h>

namespace {

// One control request, waited for whatever the handle's mode: the comm functions are
// synchronous on overlapped handles too.
BOOL CommIoctl(HANDLE file, DWORD code, LPVOID input, DWORD inputLength, LPVOID output, DWORD outputLength,
               LPDWORD returned = nullptr)
{
    OVERLAPPED overlapped = {};
    overlapped.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (overlapped.hEvent == nullptr) return FALSE;
    DWORD bytes = 0;
    BOOL ok = DeviceIoControl(file, code, input, inputLength, output, outputLength, &bytes, &overlapped);
    if (!ok && GetLastError() == ERROR_IO_PENDING) ok = GetOverlappedResult(file, &overlapped, &bytes, TRUE);
    DWORD error = ok ? ERROR_SUCCESS : GetLastError();
    CloseHandle(overlapped.hEvent);
    if (!ok) {
        SetLastError(error);
        return FALSE;
    }
    if (returned != nullptr) *returned = bytes;
    return TRUE;
}

BOOL CommRequest(HANDLE file, DWORD code) { return CommIoctl(file, code, nullptr, 0, nullptr, 0); }

template <typename T>
BOOL CommSet(HANDLE file, DWORD code, const T &value)
{
    T copy = value;
    return CommIoctl(file, code, &copy, sizeof(copy), nullptr, 0);
}

template <typename T>
BOOL CommGet(HANDLE file, DWORD code, T *value)
{
    return CommIoctl(file, code, nullptr, 0, value, sizeof(*value));
}

}  // namespace

BOOL GetCommState(HANDLE hFile, LPDCB lpDCB)
{
    SERIAL_BAUD_RATE baud;
    SERIAL_LINE_CONTROL line;
    SERIAL_CHARS chars;
    SERIAL_HANDFLOW handFlow;
    if (lpDCB == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (!CommGet(hFile, IOCTL_SERIAL_GET_BAUD_RATE, &baud) || !CommGet(hFile, IOCTL_SERIAL_GET_LINE_CONTROL, &line) ||
        !CommGet(hFile, IOCTL_SERIAL_GET_CHARS, &chars) || !CommGet(hFile, IOCTL_SERIAL_GET_HANDFLOW, &handFlow)) {
        return FALSE;
    }

    DCB dcb = {};
    dcb.DCBlength = sizeof(DCB);
    dcb.BaudRate = baud.BaudRate;
    dcb.fBinary = 1;
    dcb.fParity = line.Parity != NO_PARITY;
    dcb.ByteSize = line.WordLength;
    dcb.Parity = line.Parity;
    dcb.StopBits = line.StopBits;

    ULONG control = handFlow.ControlHandShake;
    ULONG flow = handFlow.FlowReplace;
    dcb.fOutxCtsFlow = (control & SERIAL_CTS_HANDSHAKE) != 0;
    dcb.fOutxDsrFlow = (control & SERIAL_DSR_HANDSHAKE) != 0;
    switch (control & SERIAL_DTR_MASK) {
    case SERIAL_DTR_CONTROL: dcb.fDtrControl = DTR_CONTROL_ENABLE; break;
    case SERIAL_DTR_HANDSHAKE: dcb.fDtrControl = DTR_CONTROL_HANDSHAKE; break;
    default: dcb.fDtrControl = DTR_CONTROL_DISABLE; break;
    }
    dcb.fDsrSensitivity = (control & SERIAL_DSR_SENSITIVITY) != 0;
    dcb.fAbortOnError = (control & SERIAL_ERROR_ABORT) != 0;
    dcb.fTXContinueOnXoff = (flow & SERIAL_XOFF_CONTINUE) != 0;
    dcb.fOutX = (flow & SERIAL_AUTO_TRANSMIT) != 0;
    dcb.fInX = (flow & SERIAL_AUTO_RECEIVE) != 0;
    dcb.fErrorChar = (flow & SERIAL_ERROR_CHAR) != 0;
    dcb.fNull = (flow & SERIAL_NULL_STRIPPING) != 0;
    switch (flow & SERIAL_RTS_MASK) {
    case SERIAL_RTS_CONTROL: dcb.fRtsControl = RTS_CONTROL_ENABLE; break;
    case SERIAL_RTS_HANDSHAKE: dcb.fRtsControl = RTS_CONTROL_HANDSHAKE; break;
    case SERIAL_TRANSMIT_TOGGLE: dcb.fRtsControl = RTS_CONTROL_TOGGLE; break;
    default: dcb.fRtsControl = RTS_CONTROL_DISABLE; break;
    }
    dcb.XonLim = (WORD)handFlow.XonLimit;
    dcb.XoffLim = (WORD)handFlow.XoffLimit;
    dcb.XonChar = (char)chars.XonChar;
    dcb.XoffChar = (char)chars.XoffChar;
    dcb.ErrorChar = (char)chars.ErrorChar;
    dcb.EofChar = (char)chars.EofChar;
    dcb.EvtChar = (char)chars.EventChar;
    *lpDCB = dcb;
    return TRUE;
}

BOOL SetCommState(HANDLE hFile, LPDCB lpDCB)
{
    if (lpDCB == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    const DCB &dcb = *lpDCB;

    // The break character has no place in the DCB: keep the port's own.
    SERIAL_CHARS chars;
    if (!CommGet(hFile, IOCTL_SERIAL_GET_CHARS, &chars)) return FALSE;

    SERIAL_BAUD_RATE baud = {dcb.BaudRate};
    if (!CommSet(hFile, IOCTL_SERIAL_SET_BAUD_RATE, baud)) return FALSE;

    SERIAL_LINE_CONTROL line;
    line.StopBits = dcb.StopBits;
    line.Parity = dcb.Parity;
    line.WordLength = dcb.ByteSize;
    if (!CommSet(hFile, IOCTL_SERIAL_SET_LINE_CONTROL, line)) return FALSE;

    chars.EofChar = (UCHAR)dcb.EofChar;
    chars.ErrorChar = (UCHAR)dcb.ErrorChar;
    chars.EventChar = (UCHAR)dcb.EvtChar;
    chars.XonChar = (UCHAR)dcb.XonChar;
    chars.XoffChar = (UCHAR)dcb.XoffChar;
    if (!CommSet(hFile, IOCTL_SERIAL_SET_CHARS, chars)) return FALSE;

    SERIAL_HANDFLOW handFlow = {};
    switch (dcb.fDtrControl) {
    case DTR_CONTROL_ENABLE: handFlow.ControlHandShake |= SERIAL_DTR_CONTROL; break;
    case DTR_CONTROL_HANDSHAKE: handFlow.ControlHandShake |= SERIAL_DTR_HANDSHAKE; break;
    default: break;
    }
    if (dcb.fOutxCtsFlow) handFlow.ControlHandShake |= SERIAL_CTS_HANDSHAKE;
    if (dcb.fOutxDsrFlow) handFlow.ControlHandShake |= SERIAL_DSR_HANDSHAKE;
    if (dcb.fDsrSensitivity) handFlow.ControlHandShake |= SERIAL_DSR_SENSITIVITY;
    if (dcb.fAbortOnError) handFlow.ControlHandShake |= SERIAL_ERROR_ABORT;
    switch (dcb.fRtsControl) {
    case RTS_CONTROL_ENABLE: handFlow.FlowReplace |= SERIAL_RTS_CONTROL; break;
    case RTS_CONTROL_HANDSHAKE: handFlow.FlowReplace |= SERIAL_RTS_HANDSHAKE; break;
    case RTS_CONTROL_TOGGLE: handFlow.FlowReplace |= SERIAL_TRANSMIT_TOGGLE; break;
    default: break;
    }
    if (dcb.fOutX) handFlow.FlowReplace |= SERIAL_AUTO_TRANSMIT;
    if (dcb.fInX) handFlow.FlowReplace |= SERIAL_AUTO_RECEIVE;
    if (dcb.fErrorChar) handFlow.FlowReplace |= SERIAL_ERROR_CHAR;
    if (dcb.fNull) handFlow.FlowReplace |= SERIAL_NULL_STRIPPING;
    if (dcb.fTXContinueOnXoff) handFlow.FlowReplace |= SERIAL_XOFF_CONTINUE;
    handFlow.XonLimit = dcb.XonLim;
    handFlow.XoffLimit = dcb.XoffLim;
    if (!CommSet(hFile, IOCTL_SERIAL_SET_HANDFLOW, handFlow)) return FALSE;

    // Lines the handshake does not drive follow the DCB's modes.
    if (dcb.fDtrControl == DTR_CONTROL_ENABLE) {
        if (!CommRequest(hFile, IOCTL_SERIAL_SET_DTR)) return FALSE;
    } else if (dcb.fDtrControl == DTR_CONTROL_DISABLE) {
        if (!CommRequest(hFile, IOCTL_SERIAL_CLR_DTR)) return FALSE;
    }
    if (dcb.fRtsControl == RTS_CONTROL_ENABLE) {
        if (!CommRequest(hFile, IOCTL_SERIAL_SET_RTS)) return FALSE;
    } else if (dcb.fRtsControl == RTS_CONTROL_DISABLE) {
        if (!CommRequest(hFile, IOCTL_SERIAL_CLR_RTS)) return FALSE;
    }
    return TRUE;
}

BOOL GetCommTimeouts(HANDLE hFile, LPCOMMTIMEOUTS lpCommTimeouts)
{
    SERIAL_TIMEOUTS timeouts;
    if (!CommGet(hFile, IOCTL_SERIAL_GET_TIMEOUTS, &timeouts)) return FALSE;
    lpCommTimeouts->ReadIntervalTimeout = timeouts.ReadIntervalTimeout;
    lpCommTimeouts->ReadTotalTimeoutMultiplier = timeouts.ReadTotalTimeoutMultiplier;
    lpCommTimeouts->ReadTotalTimeoutConstant = timeouts.ReadTotalTimeoutConstant;
    lpCommTimeouts->WriteTotalTimeoutMultiplier = timeouts.WriteTotalTimeoutMultiplier;
    lpCommTimeouts->WriteTotalTimeoutConstant = timeouts.WriteTotalTimeoutConstant;
    return TRUE;
}

BOOL SetCommTimeouts(HANDLE hFile, LPCOMMTIMEOUTS lpCommTimeouts)
{
    SERIAL_TIMEOUTS timeouts;
    timeouts.ReadIntervalTimeout = lpCommTimeouts->ReadIntervalTimeout;
    timeouts.ReadTotalTimeoutMultiplier = lpCommTimeouts->ReadTotalTimeoutMultiplier;
    timeouts.ReadTotalTimeoutConstant = lpCommTimeouts->ReadTotalTimeoutConstant;
    timeouts.WriteTotalTimeoutMultiplier = lpCommTimeouts->WriteTotalTimeoutMultiplier;
    timeouts.WriteTotalTimeoutConstant = lpCommTimeouts->WriteTotalTimeoutConstant;
    return CommSet(hFile, IOCTL_SERIAL_SET_TIMEOUTS, timeouts);
}

BOOL SetCommMask(HANDLE hFile, DWORD dwEvtMask) { return CommSet(hFile, IOCTL_SERIAL_SET_WAIT_MASK, dwEvtMask); }

BOOL GetCommMask(HANDLE hFile, LPDWORD lpEvtMask) { return CommGet(hFile, IOCTL_SERIAL_GET_WAIT_MASK, lpEvtMask); }

BOOL WaitCommEvent(HANDLE hFile, LPDWORD lpEvtMask, LPOVERLAPPED lpOverlapped)
{
    if (lpOverlapped == nullptr) return CommGet(hFile, IOCTL_SERIAL_WAIT_ON_MASK, lpEvtMask);
    // The event mask is written when the wait completes; the caller keeps lpEvtMask alive.
    DWORD bytes = 0;
    return DeviceIoControl(hFile, IOCTL_SERIAL_WAIT_ON_MASK, nullptr, 0, lpEvtMask, sizeof(DWORD), &bytes,
                           lpOverlapped);
}

BOOL ClearCommError(HANDLE hFile, LPDWORD lpErrors, LPCOMSTAT lpStat)
{
    SERIAL_STATUS status;
    if (!CommGet(hFile, IOCTL_SERIAL_GET_COMMSTATUS, &status)) return FALSE;
    if (lpErrors != nullptr) {
        DWORD errors = 0;
        if (status.Errors & SERIAL_ERROR_QUEUEOVERRUN) errors |= CE_RXOVER;
        if (status.Errors & SERIAL_ERROR_OVERRUN) errors |= CE_OVERRUN;
        if (status.Errors & SERIAL_ERROR_PARITY) errors |= CE_RXPARITY;
        if (status.Errors & SERIAL_ERROR_FRAMING) errors |= CE_FRAME;
        if (status.Errors & SERIAL_ERROR_BREAK) errors |= CE_BREAK;
        *lpErrors = errors;
    }
    if (lpStat != nullptr) {
        COMSTAT stat = {};
        stat.fCtsHold = (status.HoldReasons & SERIAL_TX_WAITING_FOR_CTS) != 0;
        stat.fDsrHold = (status.HoldReasons & SERIAL_TX_WAITING_FOR_DSR) != 0;
        stat.fRlsdHold = (status.HoldReasons & SERIAL_TX_WAITING_FOR_DCD) != 0;
        stat.fXoffHold = (status.HoldReasons & SERIAL_TX_WAITING_FOR_XON) != 0;
        stat.fXoffSent = (status.HoldReasons & SERIAL_TX_WAITING_XOFF_SENT) != 0;
        stat.fEof = status.EofReceived != 0;
        stat.fTxim = status.WaitForImmediate != 0;
        stat.cbInQue = status.AmountInInQueue;
        stat.cbOutQue = status.AmountInOutQueue;
        *lpStat = stat;
    }
    return TRUE;
}

BOOL PurgeComm(HANDLE hFile, DWORD dwFlags) { return CommSet(hFile, IOCTL_SERIAL_PURGE, dwFlags); }

BOOL EscapeCommFunction(HANDLE hFile, DWORD dwFunc)
{
    DWORD code;
    switch (dwFunc) {
    case SETXOFF: code = IOCTL_SERIAL_SET_XOFF; break;
    case SETXON: code = IOCTL_SERIAL_SET_XON; break;
    case SETRTS: code = IOCTL_SERIAL_SET_RTS; break;
    case CLRRTS: code = IOCTL_SERIAL_CLR_RTS; break;
    case SETDTR: code = IOCTL_SERIAL_SET_DTR; break;
    case CLRDTR: code = IOCTL_SERIAL_CLR_DTR; break;
    case RESETDEV: code = IOCTL_SERIAL_RESET_DEVICE; break;
    case SETBREAK: code = IOCTL_SERIAL_SET_BREAK_ON; break;
    case CLRBREAK: code = IOCTL_SERIAL_SET_BREAK_OFF; break;
    default: SetLastError(ERROR_INVALID_PARAMETER); return FALSE;
    }
    return CommRequest(hFile, code);
}

BOOL GetCommModemStatus(HANDLE hFile, LPDWORD lpModemStat)
{
    ULONG status;
    if (!CommGet(hFile, IOCTL_SERIAL_GET_MODEMSTATUS, &status)) return FALSE;
    *lpModemStat = status & (MS_CTS_ON | MS_DSR_ON | MS_RING_ON | MS_RLSD_ON);
    return TRUE;
}

BOOL SetupComm(HANDLE hFile, DWORD dwInQueue, DWORD dwOutQueue)
{
    SERIAL_QUEUE_SIZE size = {dwInQueue, dwOutQueue};
    return CommSet(hFile, IOCTL_SERIAL_SET_QUEUE_SIZE, size);
}

BOOL TransmitCommChar(HANDLE hFile, char cChar)
{
    UCHAR c = (UCHAR)cChar;
    return CommSet(hFile, IOCTL_SERIAL_IMMEDIATE_CHAR, c);
}

BOOL GetCommProperties(HANDLE hFile, LPCOMMPROP lpCommProp)
{
    static_assert(sizeof(COMMPROP) == sizeof(SERIAL_COMMPROP), "COMMPROP mirrors SERIAL_COMMPROP");
    return CommIoctl(hFile, IOCTL_SERIAL_GET_PROPERTIES, nullptr, 0, lpCommProp, sizeof(COMMPROP));
}

BOOL SetCommBreak(HANDLE hFile) { return CommRequest(hFile, IOCTL_SERIAL_SET_BREAK_ON); }

BOOL ClearCommBreak(HANDLE hFile) { return CommRequest(hFile, IOCTL_SERIAL_SET_BREAK_OFF); }
