// Object manager core: reference-counted object bodies and the kernel handle table.
// Files, devices, keys and threads are built on it; the name space lives in the I/O manager.
#pragma once

#include <string>
#include <vector>

#include "wdm.h"

struct _OBJECT_TYPE {
    const char *Name;
    void (*Delete)(void *body);            // reference count reached zero; the body is freed after it
    void (*LastHandleClosed)(void *body);  // handle count reached zero
};

namespace qv {

// A zeroed body from the platform's own heap (not counted as driver pool), with one reference.
void *ObCreateObject(POBJECT_TYPE type, size_t bodySize);
// The new handle holds its own reference. A kernel handle (OBJ_KERNEL_HANDLE) is valid in every
// context; any other belongs to the calling thread's program (or the system process).
NTSTATUS ObInsertHandle(void *body, HANDLE *handle, bool kernelHandle);
POBJECT_TYPE ObGetObjectType(void *body);
LONG ObHandleCount(void *body);
LONG ObPointerCount(void *body);
bool ObIsObject(const void *body);

// Boot and shutdown of the object manager (boot.cpp). Shutdown reports leaked handles and objects
// by type name and frees their memory without calling the types' routines.
void ObStartup();
void ObShutdown(std::vector<std::string> &leaks);

}  // namespace qv
