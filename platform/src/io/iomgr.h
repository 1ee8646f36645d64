// I/O manager internals shared by the io, po and win32 parts, the transport and the PnP manager.
#pragma once

#include <string>
#include <vector>

#include "wdm.h"

struct DeviceNode;

namespace qv {

// ---------------------------------------------------------------- drivers and devices

// Creates a driver object named `driverName` (u"\\Driver\\Tcp"), presets every MajorFunction to
// the invalid-request routine and calls `init` with the service key path
// "\Registry\Machine\System\CurrentControlSet\Services\<name>". A failing init undoes it all.
NTSTATUS IoCreateDriver(PCWSTR driverName, PDRIVER_INITIALIZE init, PDRIVER_OBJECT *out);
// Calls DriverUnload (devices must be gone) and releases the driver object.
void IoUnloadDriver(PDRIVER_OBJECT driver);

// Private part of a device object (DEVICE_OBJECT::DeviceObjectExtension). Guarded by the I/O
// database lock except where noted.
struct DeviceObjectPrivate {
    PDEVICE_OBJECT Device = nullptr;
    std::u16string Name;                  // "" when unnamed
    bool Deleted = false;                 // IoDeleteDevice was called
    PDEVICE_OBJECT AttachedTo = nullptr;  // the device below in its stack
    DeviceNode *Node = nullptr;           // physical device objects only
    DEVICE_POWER_STATE DevicePower = PowerDeviceD0;
    SYSTEM_POWER_STATE SystemPower = PowerSystemWorking;
};
DeviceObjectPrivate *IoDevicePrivate(PDEVICE_OBJECT device);
// Top of the stack that `device` belongs to (not referenced).
PDEVICE_OBJECT IoGetAttachedDevice(PDEVICE_OBJECT device);
// Device below `device` in its stack, or NULL.
PDEVICE_OBJECT IoGetLowerDevice(PDEVICE_OBJECT device);
// The device on whose behalf the calling thread works: the device whose dispatch routine called
// the request now being dispatched, or whose work item runs. NULL when there is none.
PDEVICE_OBJECT IoRequestorDevice();
// The device whose dispatch routine or work item runs on this thread, if any. A system thread
// started there works for that device: it inherits it as its requestor.
PDEVICE_OBJECT IoCurrentDevice();

// Looks a device up by its name, following symbolic links ("\??\COM3" -> "\Device\..."). A name
// with a path after the device name ("\Device\Tcp\x") puts the rest in `remaining`. The device is
// referenced.
NTSTATUS IoLookupDevice(const std::u16string &name, PDEVICE_OBJECT *device, std::u16string *remaining);

// ---------------------------------------------------------------- requests from the user-mode API

// Called once when a request built by IoBuildUserRequest is finished, in the completing context,
// after the copy back and before the IRP's file reference is dropped.
typedef void (*IoUserCompletion)(void *context, NTSTATUS status, ULONG_PTR information);

struct IoUserRequest {
    PFILE_OBJECT File = nullptr;  // the request references it until it is finished
    UCHAR MajorFunction = 0;      // IRP_MJ_READ, _WRITE, _DEVICE_CONTROL, _FLUSH_BUFFERS
    ULONG IoControlCode = 0;
    PVOID InputBuffer = nullptr;  // write data, control input
    ULONG InputLength = 0;
    PVOID OutputBuffer = nullptr;  // read buffer, control output
    ULONG OutputLength = 0;
    IoUserCompletion Completion = nullptr;
    void *CompletionContext = nullptr;
};
// Builds the IRP for the device at the top of the file's stack with the device's buffering
// (buffered, direct or neither; control codes by their method), and sends it. Returns the
// dispatch routine's status; the completion runs exactly once whatever the status. `*sent` is
// false when the IRP could not be built (out of memory; the completion is not called).
NTSTATUS IoSendUserRequest(const IoUserRequest &request, bool *sent);
// Cancels the file's unfinished user requests: those issued by the calling thread (or all), and
// of those the ones whose completion context `match` accepts (or all when it is NULL).
typedef bool (*IoRequestMatch)(void *completionContext, void *argument);
void IoCancelFileRequests(PFILE_OBJECT file, bool callingThreadOnly, IoRequestMatch match, void *argument);

// Opens a device by name the way ZwCreateFile does: IRP_MJ_CREATE to the top of the named device's
// stack with the options and the EA buffer; on success a new handle to a new file object.
NTSTATUS IoOpenFile(const std::u16string &name, ACCESS_MASK access, ULONG shareAccess, ULONG disposition,
                    ULONG createOptions, PVOID eaBuffer, ULONG eaLength, bool synchronous, bool kernelHandle,
                    HANDLE *handle, PIO_STATUS_BLOCK iosb);
// The file object's event: signalled when a request on it finishes.
PKEVENT IoFileEvent(PFILE_OBJECT file);
bool IoFileIsSynchronous(PFILE_OBJECT file);
// Requests on a file opened for synchronous I/O go one at a time, as on Windows: a request takes
// the file (waiting while another holds it) and lets it go once it has finished.
void IoAcquireSynchronousFile(PFILE_OBJECT file);
void IoReleaseSynchronousFile(PFILE_OBJECT file);

// Runs `routine(context)` at PASSIVE_LEVEL on the I/O manager's worker thread.
void IoQueueSystemWork(void (*routine)(void *), void *context);
// Runs `routine(context)` at PASSIVE_LEVEL on the power manager's own thread.
void IoQueuePowerWork(void (*routine)(void *), void *context);
// Waits until no work is queued to the worker threads or running there (and so no work item
// holds its device object), at most `timeoutMs`; false when work was still left then.
bool WaitForWorkersIdle(int timeoutMs);

// ---------------------------------------------------------------- pieces started by IoStartup
void IrpStartup();
void IrpShutdown(std::vector<std::string> &leaks);
void WorkerStartup();
void WorkerShutdown(std::vector<std::string> &leaks);
void NamespaceShutdown(std::vector<std::string> &leaks);
void DevnodeShutdown(std::vector<std::string> &leaks);
void MdlShutdown(std::vector<std::string> &leaks);
void FileShutdown(std::vector<std::string> &leaks);

}  // namespace qv
