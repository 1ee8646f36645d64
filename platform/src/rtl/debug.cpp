// DbgPrint with the kernel's format rules, its capture for tests, the bounded formatters and RtlAssert.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <string>

#include "ntstrsafe.h"
#include "qv/platform.h"
#include "rtl/rtl.h"
#include "verifier.h"

namespace qv {
namespace {

constexpr size_t kMaxPrint = 4096;            // longest single DbgPrint output
constexpr size_t kMaxCapturedLines = 200000;  // oldest lines are dropped beyond this

struct DebugState {
    std::mutex Lock;
    std::condition_variable Printed;
    std::deque<std::string> Lines;   // guarded by Lock
    std::string Partial;             // text after the last newline; guarded by Lock
    bool ToStderr = false;           // guarded by Lock
    std::atomic<bool> Wanted{true};  // captured or echoed
};

DebugState &State()
{
    static DebugState *state = new DebugState;
    return *state;
}

void Emit(const char *text, size_t n)
{
    DebugState &s = State();
    std::lock_guard<std::mutex> guard(s.Lock);
    if (s.ToStderr) fwrite(text, 1, n, stderr);
    for (size_t i = 0; i < n; ++i) {
        if (text[i] == '\n') {
            s.Lines.push_back(std::move(s.Partial));
            s.Partial.clear();
            if (s.Lines.size() > kMaxCapturedLines) s.Lines.pop_front();
        } else {
            s.Partial += text[i];
        }
    }
    s.Printed.notify_all();
}

bool AnyLineContains(const DebugState &s, const std::string &substring)
{
    for (const std::string &line : s.Lines)
        if (line.find(substring) != std::string::npos) return true;
    return s.Partial.find(substring) != std::string::npos;
}

}  // namespace

void DbgPrintStartup(bool toStderr, bool capture)
{
    const char *env = getenv("QUORVEL_DBGPRINT");
    std::lock_guard<std::mutex> guard(State().Lock);
    State().ToStderr = toStderr || (env != nullptr && env[0] == '1');
    State().Wanted = capture || State().ToStderr;
    State().Lines.clear();
    State().Partial.clear();
}

void DbgPrintShutdown() {}

std::vector<std::string> DbgPrintLines()
{
    std::lock_guard<std::mutex> guard(State().Lock);
    std::vector<std::string> lines(State().Lines.begin(), State().Lines.end());
    if (!State().Partial.empty()) lines.push_back(State().Partial);
    return lines;
}

void ClearDbgPrint()
{
    std::lock_guard<std::mutex> guard(State().Lock);
    State().Lines.clear();
    State().Partial.clear();
}

bool WaitForDbgPrint(const std::string &substring, int timeoutMs)
{
    DebugState &s = State();
    std::unique_lock<std::mutex> lock(s.Lock);
    return s.Printed.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                              [&] { return AnyLineContains(s, substring); });
}

}  // namespace qv

using namespace qv;

extern "C" {

ULONG vDbgPrintEx(ULONG ComponentId, ULONG Level, PCSTR Format, va_list arglist)
{
    if (!State().Wanted.load(std::memory_order_relaxed)) return STATUS_SUCCESS;
    char text[kMaxPrint];
    size_t n = FormatV(text, sizeof(text), Format, arglist);
    if (n > sizeof(text)) n = sizeof(text);
    Emit(text, n);
    return STATUS_SUCCESS;
}

ULONG DbgPrint(PCSTR Format, ...)
{
    va_list args;
    va_start(args, Format);
    ULONG status = vDbgPrintEx(0, 0, Format, args);
    va_end(args);
    return status;
}

// Windows semantics: the terminator is written only when there is room for it; -1 when the output
// did not fit.
int _vsnprintf(char *Buffer, size_t Count, const char *Format, va_list Args)
{
    size_t n = FormatV(Buffer, Count, Format, Args);
    if (Buffer == nullptr && Count == 0) return static_cast<int>(n);  // a size probe
    if (n < Count) {
        Buffer[n] = 0;
        return static_cast<int>(n);
    }
    return n == Count ? static_cast<int>(n) : -1;
}

int _snprintf(char *Buffer, size_t Count, const char *Format, ...)
{
    va_list args;
    va_start(args, Format);
    int n = _vsnprintf(Buffer, Count, Format, args);
    va_end(args);
    return n;
}

NTSTATUS RtlStringCbVPrintfA(NTSTRSAFE_PSTR pszDest, size_t cbDest, NTSTRSAFE_PCSTR pszFormat, va_list argList)
{
    if (pszDest == nullptr || cbDest == 0 || cbDest > NTSTRSAFE_MAX_CCH) return STATUS_INVALID_PARAMETER;
    size_t n = FormatV(pszDest, cbDest - 1, pszFormat, argList);
    if (n > cbDest - 1) {
        pszDest[cbDest - 1] = 0;
        return STATUS_BUFFER_OVERFLOW;
    }
    pszDest[n] = 0;
    return STATUS_SUCCESS;
}

NTSTATUS RtlStringCbPrintfA(NTSTRSAFE_PSTR pszDest, size_t cbDest, NTSTRSAFE_PCSTR pszFormat, ...)
{
    va_list args;
    va_start(args, pszFormat);
    NTSTATUS status = RtlStringCbVPrintfA(pszDest, cbDest, pszFormat, args);
    va_end(args);
    return status;
}

// Prints the failed condition and carries on, as a checked kernel with no debugger attached would;
// the finding fails the test unless the test expected it and cleared it.
void RtlAssert(PVOID FailedAssertion, PVOID FileName, ULONG LineNumber, PCHAR Message)
{
    const char *condition = static_cast<const char *>(FailedAssertion);
    const char *file = static_cast<const char *>(FileName);
    if (Message != nullptr)
        DbgPrint("\n*** Assertion failed: %s%s\n***   Source File: %s, line %lu\n\n", Message, condition, file,
                 LineNumber);
    else
        DbgPrint("\n*** Assertion failed: %s\n***   Source File: %s, line %lu\n\n", condition, file, LineNumber);
    VerifierViolation("RtlAssert", "assertion failed: %s (%s, line %u)", condition, file, LineNumber);
}

// Pageable code may run at APC_LEVEL (under a fast mutex) but not at DISPATCH_LEVEL: its page
// might be out, and Windows stops with IRQL_NOT_LESS_OR_EQUAL on the fault.
void QvVerifyPagedCode(const char *Routine)
{
    KIRQL irql = KeGetCurrentIrql();
    if (irql > APC_LEVEL) VerifierViolation(Routine, "pageable code called at IRQL %u", irql);
}

}  // extern "C"
