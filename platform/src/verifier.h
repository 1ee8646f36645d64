// The platform's verifier: rule checks report here, the way a driver verifier would.
// A violation fails the test that caused it; a warning is printed and counted only.
#pragma once

#include <stdarg.h>

#include <string>
#include <vector>

#include "ke/ke.h"

namespace qv {

// Reports a broken kernel rule. `routine` is the kernel routine that detected it.
void VerifierViolation(const char *routine, const char *format, ...) __attribute__((format(printf, 2, 3)));
// Reports something Windows tolerates but documents as wrong (a PASSIVE_LEVEL-only Zw call
// at APC_LEVEL under a fast mutex, say).
void VerifierWarning(const char *routine, const char *format, ...) __attribute__((format(printf, 2, 3)));

// Number of spin locks (the cancel spin lock included) the calling thread holds.
int HeldSpinLockCount();
// Number of fast mutexes the calling thread holds.
int HeldFastMutexCount();

// IRQL rules of routines: one table (verifier.cpp) holds the highest IRQL each exported routine
// documents. Calling it above that IRQL is a violation; returns false then.
bool VerifyIrql(const char *routine);
// The documented highest IRQL of `routine`, or -1 when it has no entry.
int DocumentedMaxIrql(const char *routine);
// A violation when the caller's IRQL is above `maxIrql` (for rules that depend on arguments).
bool VerifyMaxIrql(const char *routine, int maxIrql);
// VerifyIrql for a rule already looked up: `maxIrql` is DocumentedMaxIrql(routine).
bool VerifyIrqlRule(const char *routine, int maxIrql);

// VerifyIrql for a routine named by a literal: the table is searched once per call site, not at
// every call (spin locks alone check it dozens of times per request).
#define QV_VERIFY_IRQL(routine)                                                                   \
    ([]() -> bool {                                                                               \
        static const int qvDocumentedMaxIrql = ::qv::DocumentedMaxIrql(routine);                  \
        return (qvDocumentedMaxIrql >= 0 && ::qv::CurrentThreadState().Irql <= qvDocumentedMaxIrql) || \
               ::qv::VerifyIrqlRule(routine, qvDocumentedMaxIrql);                                \
    }())

// Pageable code (the driver's PAGE section) that takes a spin lock or raises the IRQL to
// DISPATCH_LEVEL: the rest of that routine runs from a page Windows may have paged out.
// `caller` is the return address of the kernel routine's caller.
void ReportPageableCaller(const char *routine, const void *caller);
}  // namespace qv

// Bounds of the driver's pageable code, which the linker provides when there is any.
extern "C" const char __start_PAGE[] __attribute__((weak));
extern "C" const char __stop_PAGE[] __attribute__((weak));

namespace qv {

inline void VerifyNotPageable(const char *routine, const void *caller)
{
    const char *at = static_cast<const char *>(caller);
    if (__start_PAGE != nullptr && at >= __start_PAGE && at < __stop_PAGE) ReportPageableCaller(routine, caller);
}

// Lock order rules (the names come from qv::VerifierNameLock).
const char *VerifierLockName(const void *lock);
// Checks the locks the thread holds against the nesting rules before `lock` is taken.
void VerifierCheckNesting(const char *routine, const void *lock);

// Boot and shutdown: findings are cleared at boot and handed to the report at shutdown.
// Empties the findings; `warningsToStderr` decides whether warnings are printed as found.
void VerifierReset(bool warningsToStderr = true);
void VerifierCollect(std::vector<std::string> &violations, std::vector<std::string> &warnings);
void VerifierForgetLockNames();
// Memory freed: a lock that lived in [base, base + size) loses its name.
void VerifierForgetLockNamesIn(const void *base, size_t size);

}  // namespace qv
