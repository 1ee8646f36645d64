// The platform's verifier: rule checks report here, the way a driver verifier would.
// A violation fails the test that caused it; a warning is printed and counted only.
#pragma once

#include <stdarg.h>

namespace qv {

// Reports a broken kernel rule. `routine` is the kernel routine that detected it.
void VerifierViolation(const char *routine, const char *format, ...) __attribute__((format(printf, 2, 3)));
// Reports something Windows tolerates but documents as wrong (a PASSIVE_LEVEL-only Zw call
// at APC_LEVEL under a fast mutex, say).
void VerifierWarning(const char *routine, const char *format, ...) __attribute__((format(printf, 2, 3)));

// Number of spin locks (the cancel spin lock included) the calling thread holds.
int HeldSpinLockCount();

}  // namespace qv
