// Portability for the driver's sources: the same files build for Windows (WDK or mingw-w64's
// DDK) and for the user-mode platform on Linux. Nothing here may need more than the kernel
// headers.
#pragma once

#include <ntddk.h>

// 16-bit wide string literals. WCHAR is 16 bits on every target; L"" is 32 bits on Linux.
#if defined(_WIN32)
#define WIDE(s) L##s
#else
#define WIDE(s) u##s
#endif

// Fields the design reads or writes without their lock (a flag polled by a thread, a
// counter read for a status line). On Windows a volatile access is what the kernel's own
// drivers use; on the platform a relaxed atomic says the same to ThreadSanitizer.
template <typename T>
inline T ReadUnlocked(const T *Field)
{
#if defined(_WIN32)
    return *(const volatile T *)Field;
#else
    return __atomic_load_n(Field, __ATOMIC_RELAXED);
#endif
}

template <typename T>
inline void WriteUnlocked(T *Field, T Value)
{
#if defined(_WIN32)
    *(volatile T *)Field = Value;
#else
    __atomic_store_n(Field, Value, __ATOMIC_RELAXED);
#endif
}

// Code placement. Routines that run only at PASSIVE_LEVEL go to the pageable PAGE section and
// start with PAGED_CODE(); DriverEntry goes to INIT, which the kernel discards after loading.
// MSVC's alloc_text takes only C-linkage names, so C++ uses code_seg; GCC places the routine
// in a section of that name, which the PE linker keeps as a section of its own. On the
// platform PAGE exists too, so that its verifier can tell when pageable code takes a spin lock.
#if defined(_MSC_VER)
#define PAGED_ROUTINE __declspec(code_seg("PAGE"))
#define INIT_ROUTINE __declspec(code_seg("INIT"))
#elif defined(_WIN32)
#define PAGED_ROUTINE __attribute__((section("PAGE")))
#define INIT_ROUTINE __attribute__((section("INIT")))
#else
#define PAGED_ROUTINE __attribute__((section("PAGE")))
#define INIT_ROUTINE
#endif
