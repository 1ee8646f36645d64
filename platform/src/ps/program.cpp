// Programs: the default one the Linux process stands for, others a test makes, the thread's
// Win32 program and the non-paged pool quota each program is charged.
#include "ps/program.h"

#include <list>
#include <mutex>

#include "qv/platform.h"

namespace qv {
namespace {

// Non-paged pool a program may hold through quota allocations unless a test sets another limit.
constexpr SIZE_T kDefaultNonPagedQuota = 8u << 20;

std::mutex gProgramsLock;
std::list<ProgramContext> &Programs()  // never shrinks: contexts stay valid for the process's life
{
    static auto *programs = new std::list<ProgramContext>;
    return *programs;
}

ProgramContext *NewProgram(const std::string &name)
{
    std::lock_guard<std::mutex> guard(gProgramsLock);
    auto &programs = Programs();
    ULONG id = 0x100 + 4 * static_cast<ULONG>(programs.size());
    programs.emplace_back();
    ProgramContext &p = programs.back();
    p.Id = id;
    p.Name = name;
    p.NonPagedQuotaLimit.store(kDefaultNonPagedQuota);
    return &p;
}

thread_local ProgramContext *tWin32Program = nullptr;  // NULL: the default program

}  // namespace

const char *ProgramName(const ProgramContext *program) { return program ? program->Name.c_str() : "System"; }

bool ChargeNonPagedQuota(ProgramContext *program, SIZE_T bytes)
{
    if (program == nullptr) return true;
    SIZE_T used = program->NonPagedQuotaUsed.load();
    do {
        SIZE_T limit = program->NonPagedQuotaLimit.load();
        if (bytes > limit || used > limit - bytes) return false;
    } while (!program->NonPagedQuotaUsed.compare_exchange_weak(used, used + bytes));
    return true;
}

void ReturnNonPagedQuota(ProgramContext *program, SIZE_T bytes)
{
    if (program != nullptr) program->NonPagedQuotaUsed.fetch_sub(bytes);
}

ProgramContext *DefaultProgram()
{
    static ProgramContext *program = NewProgram("program");
    return program;
}

ProgramContext *CreateProgram(const std::string &name) { return NewProgram(name); }

ProgramScope::ProgramScope(ProgramContext *program)
    : SavedWin32(tWin32Program), SavedContext(CurrentThreadState().Program)
{
    tWin32Program = program;
    CurrentThreadState().Program = program;
}

ProgramScope::~ProgramScope()
{
    tWin32Program = SavedWin32;
    CurrentThreadState().Program = SavedContext;
}

void SetProgramNonPagedQuota(ProgramContext *program, SIZE_T bytes) { program->NonPagedQuotaLimit.store(bytes); }

SIZE_T ProgramNonPagedQuotaUsage(ProgramContext *program) { return program->NonPagedQuotaUsed.load(); }

Win32Call::Win32Call() : Saved(CurrentThreadState().Program)
{
    CurrentThreadState().Program = tWin32Program ? tWin32Program : DefaultProgram();
}

Win32Call::~Win32Call()
{
    ThreadState &t = CurrentThreadState();
    TakeThreadFinishes(t);
    t.Program = Saved;
}

}  // namespace qv
