// Programs (processes): the context a thread runs in, whose handle table its handles go to and
// whose pool quota its quota allocations charge. NULL stands for the system process.
#pragma once

#include <atomic>
#include <string>

#include "ke/ke.h"

namespace qv {

struct ProgramContext {
    ULONG Id;
    std::string Name;
    std::atomic<SIZE_T> NonPagedQuotaLimit;
    std::atomic<SIZE_T> NonPagedQuotaUsed{0};
};

inline ProgramContext *CurrentProgram() { return CurrentThreadState().Program; }
const char *ProgramName(const ProgramContext *program);  // "System" for NULL
// Charges `bytes` of non-paged pool quota; false (nothing charged) past the limit. The system
// process has no limit.
bool ChargeNonPagedQuota(ProgramContext *program, SIZE_T bytes);
void ReturnNonPagedQuota(ProgramContext *program, SIZE_T bytes);

// A Win32 API call: the calling thread runs in its Win32 program's context until it returns.
class Win32Call {
public:
    Win32Call();
    ~Win32Call();
    Win32Call(const Win32Call &) = delete;
    Win32Call &operator=(const Win32Call &) = delete;

private:
    ProgramContext *Saved;
};

}  // namespace qv
