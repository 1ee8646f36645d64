// File objects: one per successful open of a device. IRP_MJ_CREATE opens it, IRP_MJ_CLEANUP
// follows when its last handle is closed, IRP_MJ_CLOSE when its last reference is gone.
// ZwCreateFile, IoGetDeviceObjectPointer and the user-mode requests on an open file.
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <set>

#include "cm/cm.h"
#include "io/irp.h"
#include "ob/object.h"
#include "qv/platform.h"
#include "verifier.h"

namespace qv {

namespace {

constexpr ULONG kFoSynchronousIo = 0x00000002;

struct FileObjectPrivate {
    KEVENT Event;         // set when a request on the file finishes
    // Synchronous files, as Windows' file object lock: Busy while a request holds the file; a
    // request that finds it busy counts itself in Waiters and sleeps on Lock, which the holder
    // sets when it lets go with someone waiting.
    std::atomic<bool> Busy{false};
    std::atomic<int> Waiters{0};
    KEVENT Lock;
    LIST_ENTRY Requests;  // user-mode requests not finished yet; guarded by the IRP lock
    bool Synchronous;
    bool Opened;  // IRP_MJ_CREATE succeeded: cleanup and close follow
    std::u16string FileName;
};

std::mutex gFilesLock;          // guards gFiles
std::set<PFILE_OBJECT> gFiles;  // live file objects

FileObjectPrivate *PrivateOf(PFILE_OBJECT file) { return static_cast<FileObjectPrivate *>(file->PlatformPrivate); }

// Sends IRP_MJ_CLEANUP or IRP_MJ_CLOSE for the file and waits for it. These cannot fail on
// Windows; the platform's heap cannot run dry in practice.
void SendFileIrp(PFILE_OBJECT file, UCHAR major)
{
    PDEVICE_OBJECT top = IoGetRelatedDeviceObject(file);
    PIRP irp = IoBuildRequest(top, major, 0, nullptr, 0, nullptr, 0);
    if (!irp) {
        VerifierViolation(major == IRP_MJ_CLOSE ? "IRP_MJ_CLOSE" : "IRP_MJ_CLEANUP", "out of memory for file %p", file);
        return;
    }
    KEVENT done;
    IO_STATUS_BLOCK iosb = {};
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    irp->UserEvent = &done;
    irp->UserIosb = &iosb;
    irp->Flags |= IRP_SYNCHRONOUS_API;
    IoGetNextIrpStackLocation(irp)->FileObject = file;
    if (IoCallDriver(top, irp) == STATUS_PENDING) KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
}

void FileLastHandleClosed(void *body)
{
    auto *file = static_cast<PFILE_OBJECT>(body);
    if (!PrivateOf(file)->Opened) return;
    SendFileIrp(file, IRP_MJ_CLEANUP);
}

void FileDelete(void *body)
{
    auto *file = static_cast<PFILE_OBJECT>(body);
    FileObjectPrivate *priv = PrivateOf(file);
    // The object manager runs this at PASSIVE_LEVEL (it defers a deletion at raised IRQL).
    if (priv && priv->Opened) SendFileIrp(file, IRP_MJ_CLOSE);
    if (file->DeviceObject) {
        InterlockedDecrement(&file->DeviceObject->ReferenceCount);
        ObfDereferenceObject(file->DeviceObject);
    }
    delete priv;
    file->PlatformPrivate = nullptr;
    std::lock_guard<std::mutex> guard(gFilesLock);
    gFiles.erase(file);
}

_OBJECT_TYPE gFileType = {"File", FileDelete, FileLastHandleClosed};

POBJECT_TYPE gFileTypePointer = &gFileType;

}  // namespace

void FileShutdown(std::vector<std::string> &leaks)
{
    std::lock_guard<std::mutex> guard(gFilesLock);
    for (PFILE_OBJECT file : gFiles) {
        leaks.push_back("io: a file object of " + Utf8(IoDevicePrivate(file->DeviceObject)->Name) + " is still open");
        // The object manager frees the object itself without its delete routine.
        delete PrivateOf(file);
        file->PlatformPrivate = nullptr;
    }
    gFiles.clear();
}

PKEVENT IoFileEvent(PFILE_OBJECT file) { return &PrivateOf(file)->Event; }

bool IoFileIsSynchronous(PFILE_OBJECT file) { return PrivateOf(file)->Synchronous; }

void IoAcquireSynchronousFile(PFILE_OBJECT file)
{
    FileObjectPrivate *priv = PrivateOf(file);
    if (!priv->Busy.exchange(true)) return;
    priv->Waiters.fetch_add(1);
    while (priv->Busy.exchange(true)) KeWaitForSingleObject(&priv->Lock, Executive, UserMode, FALSE, nullptr);
    priv->Waiters.fetch_sub(1);
}

void IoReleaseSynchronousFile(PFILE_OBJECT file)
{
    FileObjectPrivate *priv = PrivateOf(file);
    priv->Busy.store(false);
    if (priv->Waiters.load() > 0) KeSetEvent(&priv->Lock, IO_NO_INCREMENT, FALSE);
}

NTSTATUS IoOpenFile(const std::u16string &name, ACCESS_MASK access, ULONG shareAccess, ULONG disposition,
                    ULONG createOptions, PVOID eaBuffer, ULONG eaLength, bool synchronous, bool kernelHandle,
                    HANDLE *handle, PIO_STATUS_BLOCK iosb)
{
    PDEVICE_OBJECT named;
    std::u16string rest;
    NTSTATUS status = IoLookupDevice(name, &named, &rest);
    if (!NT_SUCCESS(status)) return status;
    PDEVICE_OBJECT top = IoGetAttachedDevice(named);
    if ((named->Flags & DO_DEVICE_INITIALIZING) || (top->Flags & DO_DEVICE_INITIALIZING) ||
        IoDevicePrivate(named)->Deleted) {
        ObfDereferenceObject(named);
        return STATUS_NO_SUCH_DEVICE;
    }
    if ((named->Flags & DO_EXCLUSIVE) && __atomic_load_n(&named->ReferenceCount, __ATOMIC_ACQUIRE) > 0) {
        ObfDereferenceObject(named);
        return STATUS_ACCESS_DENIED;
    }
    auto *file = static_cast<PFILE_OBJECT>(ObCreateObject(&gFileType, sizeof(FILE_OBJECT)));
    if (!file) {
        ObfDereferenceObject(named);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    {
        std::lock_guard<std::mutex> guard(gFilesLock);
        gFiles.insert(file);
    }
    auto *priv = new FileObjectPrivate;
    KeInitializeEvent(&priv->Event, NotificationEvent, FALSE);
    KeInitializeEvent(&priv->Lock, SynchronizationEvent, FALSE);
    InitializeListHead(&priv->Requests);
    priv->Synchronous = synchronous;
    priv->Opened = false;
    priv->FileName = rest;
    file->Type = 5;
    file->Size = sizeof(FILE_OBJECT);
    file->PlatformPrivate = priv;
    file->DeviceObject = named;  // holds the lookup's reference
    InterlockedIncrement(&named->ReferenceCount);
    file->FileName.Buffer = priv->FileName.empty() ? nullptr : priv->FileName.data();
    file->FileName.Length = (USHORT)(priv->FileName.size() * sizeof(WCHAR));
    file->FileName.MaximumLength = file->FileName.Length;
    file->Flags = synchronous ? kFoSynchronousIo : 0;
    file->ReadAccess = (access & (GENERIC_READ | FILE_READ_DATA | GENERIC_ALL)) != 0;
    file->WriteAccess = (access & (GENERIC_WRITE | FILE_WRITE_DATA | GENERIC_ALL)) != 0;
    file->SharedRead = (shareAccess & FILE_SHARE_READ) != 0;
    file->SharedWrite = (shareAccess & FILE_SHARE_WRITE) != 0;

    PIRP irp = IoBuildRequest(top, IRP_MJ_CREATE, 0, nullptr, 0, nullptr, 0);
    if (!irp) {
        ObfDereferenceObject(file);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    if (eaBuffer && eaLength) {
        void *ea = malloc(eaLength);
        if (!ea) {
            IoDiscardRequest(irp);
            ObfDereferenceObject(file);
            return STATUS_INSUFFICIENT_RESOURCES;
        }
        memcpy(ea, eaBuffer, eaLength);
        irp->AssociatedIrp.SystemBuffer = ea;
        irp->Flags |= IRP_BUFFERED_IO | IRP_DEALLOCATE_BUFFER;
    }
    PIO_STACK_LOCATION sp = IoGetNextIrpStackLocation(irp);
    sp->FileObject = file;
    sp->Parameters.Create.Options = (disposition << 24) | (createOptions & 0x00FFFFFF);
    sp->Parameters.Create.ShareAccess = (USHORT)shareAccess;
    sp->Parameters.Create.FileAttributes = 0;
    sp->Parameters.Create.EaLength = eaBuffer ? eaLength : 0;
    KEVENT done;
    IO_STATUS_BLOCK result = {};
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    irp->UserEvent = &done;
    irp->UserIosb = &result;
    irp->Flags |= IRP_SYNCHRONOUS_API;
    // A create left pending is finished by a special kernel APC to this thread.
    IoCompleteByThreadApc(irp, true);
    status = IoCallDriver(top, irp);
    if (status == STATUS_PENDING) {
        KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
        status = result.Status;
    } else {
        // The dispatch routine's status is the answer, as for any synchronous request.
        result.Status = status;
    }
    if (iosb) *iosb = result;
    if (!NT_SUCCESS(status)) {
        ObfDereferenceObject(file);  // no cleanup or close for a failed open
        return status;
    }
    priv->Opened = true;
    status = ObInsertHandle(file, handle, kernelHandle);
    if (!NT_SUCCESS(status)) FileLastHandleClosed(file);
    ObfDereferenceObject(file);
    return status;
}

NTSTATUS IoSendUserRequest(const IoUserRequest &request, bool *sent)
{
    *sent = false;
    PFILE_OBJECT file = request.File;
    PDEVICE_OBJECT top = IoGetRelatedDeviceObject(file);
    PIRP irp = IoBuildRequest(top, request.MajorFunction, request.IoControlCode, request.InputBuffer,
                              request.InputLength, request.OutputBuffer, request.OutputLength);
    if (!irp) return STATUS_INSUFFICIENT_RESOURCES;
    irp->RequestorMode = UserMode;
    IoGetNextIrpStackLocation(irp)->FileObject = file;
    ObfReferenceObject(file);
    irp->Tail.Overlay.OriginalFileObject = file;
    IoSetUserCompletion(irp, request.Completion, request.CompletionContext);
    FileObjectPrivate *priv = PrivateOf(file);
    KeClearEvent(&priv->Event);
    IoTrackFileRequest(irp, file, &priv->Requests);
    *sent = true;
    return IoCallDriver(top, irp);
}

void IoCancelFileRequests(PFILE_OBJECT file, bool callingThreadOnly, IoRequestMatch match, void *argument)
{
    IoCancelFileRequestList(&PrivateOf(file)->Requests, callingThreadOnly, match, argument);
}

}  // namespace qv

using namespace qv;

extern "C" {
POBJECT_TYPE *IoFileObjectType = &gFileTypePointer;
}

extern "C" PDEVICE_OBJECT IoGetRelatedDeviceObject(PFILE_OBJECT FileObject)
{
    QV_VERIFY_IRQL("IoGetRelatedDeviceObject");
    return IoGetAttachedDevice(FileObject->DeviceObject);
}

extern "C" NTSTATUS ZwCreateFile(PHANDLE FileHandle, ACCESS_MASK DesiredAccess, POBJECT_ATTRIBUTES ObjectAttributes,
                                 PIO_STATUS_BLOCK IoStatusBlock, PLARGE_INTEGER AllocationSize, ULONG FileAttributes,
                                 ULONG ShareAccess, ULONG CreateDisposition, ULONG CreateOptions, PVOID EaBuffer,
                                 ULONG EaLength)
{
    if (!QV_VERIFY_IRQL("ZwCreateFile") && KeGetCurrentIrql() >= DISPATCH_LEVEL) return STATUS_INVALID_DEVICE_STATE;
    if (ShouldInjectFault("ZwCreateFile")) return STATUS_INSUFFICIENT_RESOURCES;
    if (!FileHandle || !ObjectAttributes || !ObjectAttributes->ObjectName) return STATUS_INVALID_PARAMETER;
    if (ObjectAttributes->RootDirectory) return STATUS_OBJECT_PATH_SYNTAX_BAD;  // only full device names
    bool synchronous = (CreateOptions & (FILE_SYNCHRONOUS_IO_NONALERT | 0x10 /* FILE_SYNCHRONOUS_IO_ALERT */)) != 0;
    return IoOpenFile(FromUnicodeString(ObjectAttributes->ObjectName), DesiredAccess, ShareAccess, CreateDisposition,
                      CreateOptions, EaBuffer, EaLength, synchronous,
                      (ObjectAttributes->Attributes & OBJ_KERNEL_HANDLE) != 0, FileHandle, IoStatusBlock);
}

extern "C" NTSTATUS IoGetDeviceObjectPointer(PUNICODE_STRING ObjectName, ACCESS_MASK DesiredAccess,
                                             PFILE_OBJECT *FileObject, PDEVICE_OBJECT *DeviceObject)
{
    if (!QV_VERIFY_IRQL("IoGetDeviceObjectPointer") && KeGetCurrentIrql() >= DISPATCH_LEVEL)
        return STATUS_INVALID_DEVICE_STATE;
    if (ShouldInjectFault("IoGetDeviceObjectPointer")) return STATUS_INSUFFICIENT_RESOURCES;
    HANDLE handle;
    NTSTATUS status = IoOpenFile(FromUnicodeString(ObjectName), DesiredAccess, 0, FILE_OPEN, FILE_NON_DIRECTORY_FILE,
                                 nullptr, 0, false, true, &handle, nullptr);
    if (!NT_SUCCESS(status)) return status;
    PVOID object;
    status = ObReferenceObjectByHandle(handle, 0, *IoFileObjectType, KernelMode, &object, nullptr);
    ZwClose(handle);
    if (!NT_SUCCESS(status)) return status;
    *FileObject = static_cast<PFILE_OBJECT>(object);
    *DeviceObject = IoGetRelatedDeviceObject(*FileObject);
    return STATUS_SUCCESS;
}
