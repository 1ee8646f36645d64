// Memory descriptor lists. Every address is already resident in a user-mode process, so an MDL
// only describes its buffer; probing checks that the buffer can be read and raises otherwise.
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <mutex>
#include <new>

#include "addresstable.h"
#include "io/iomgr.h"
#include "ke/ke.h"
#include "qv/platform.h"
#include "verifier.h"

namespace qv {

namespace {

constexpr uintptr_t kPageSize = 4096;

RecordLock gMdlLock;  // guards the set of MDLs
AddressTable<> gMdls;

// True if every page of [va, va+length) can be read by this process.
bool Readable(const void *va, ULONG length)
{
    if (!va) return false;
    uintptr_t start = (uintptr_t)va, end = start + length;
    if (end < start) return false;
    for (uintptr_t page = start & ~(kPageSize - 1); page < end; page += kPageSize) {
        uintptr_t at = page < start ? start : page;
        char byte;
        struct iovec local = {&byte, 1};
        struct iovec remote = {(void *)at, 1};
        if (process_vm_readv(getpid(), &local, 1, &remote, 1, 0) != 1) {
            if (errno == EFAULT || errno == ENOMEM) return false;
            // Reading our own memory may be forbidden by a security policy: trust the caller.
            return true;
        }
    }
    return true;
}

}  // namespace

void MdlShutdown(std::vector<std::string> &leaks)
{
    std::lock_guard<RecordLock> guard(gMdlLock);
    if (!gMdls.empty()) {
        leaks.push_back("mm: " + std::to_string(gMdls.size()) + " MDL(s) never freed");
        gMdls.ForEach([](const void *mdl, NoValue) { ::operator delete(const_cast<void *>(mdl)); });
        gMdls.clear();
    }
}

}  // namespace qv

using namespace qv;

extern "C" void ExRaiseStatus(NTSTATUS Status) { throw NtStatusException{Status}; }

extern "C" PMDL IoAllocateMdl(PVOID VirtualAddress, ULONG Length, BOOLEAN SecondaryBuffer, BOOLEAN ChargeQuota,
                              PIRP Irp)
{
    QV_VERIFY_IRQL("IoAllocateMdl");
    if (ShouldInjectFault("IoAllocateMdl")) return nullptr;
    auto *mdl = static_cast<PMDL>(::operator new(sizeof(MDL), std::nothrow));
    if (!mdl) return nullptr;
    uintptr_t va = (uintptr_t)VirtualAddress;
    mdl->Next = nullptr;
    mdl->Size = (CSHORT)sizeof(MDL);
    mdl->MdlFlags = 0;
    mdl->Process = nullptr;
    mdl->MappedSystemVa = nullptr;
    mdl->StartVa = (PVOID)(va & ~(kPageSize - 1));
    mdl->ByteOffset = (ULONG)(va & (kPageSize - 1));
    mdl->ByteCount = Length;
    {
        std::lock_guard<RecordLock> guard(gMdlLock);
        gMdls.insert(mdl);
    }
    if (Irp) {
        if (!SecondaryBuffer || !Irp->MdlAddress) {
            Irp->MdlAddress = mdl;
        } else {
            PMDL last = Irp->MdlAddress;
            while (last->Next) last = last->Next;
            last->Next = mdl;
        }
    }
    return mdl;
}

extern "C" void IoFreeMdl(PMDL Mdl)
{
    QV_VERIFY_IRQL("IoFreeMdl");
    std::lock_guard<RecordLock> guard(gMdlLock);
    if (!gMdls.erase(Mdl)) {
        VerifierViolation("IoFreeMdl", "MDL %p is not allocated (freed twice?)", Mdl);
        return;
    }
    if (Mdl->MdlFlags & MDL_PAGES_LOCKED) VerifierViolation("IoFreeMdl", "MDL %p freed with its pages locked", Mdl);
    ::operator delete(Mdl);
}

extern "C" void MmBuildMdlForNonPagedPool(PMDL MemoryDescriptorList)
{
    QV_VERIFY_IRQL("MmBuildMdlForNonPagedPool");
    MemoryDescriptorList->MappedSystemVa = MmGetMdlVirtualAddress(MemoryDescriptorList);
    MemoryDescriptorList->MdlFlags |= MDL_SOURCE_IS_NONPAGED_POOL;
}

extern "C" void MmProbeAndLockPages(PMDL MemoryDescriptorList, KPROCESSOR_MODE AccessMode, LOCK_OPERATION Operation)
{
    QV_VERIFY_IRQL("MmProbeAndLockPages");
    if (MemoryDescriptorList->MdlFlags & MDL_PAGES_LOCKED)
        VerifierViolation("MmProbeAndLockPages", "MDL %p is already locked", MemoryDescriptorList);
    if (ShouldInjectFault("MmProbeAndLockPages")) ExRaiseStatus(STATUS_ACCESS_VIOLATION);
    PVOID va = MmGetMdlVirtualAddress(MemoryDescriptorList);
    if (MemoryDescriptorList->ByteCount && !Readable(va, MemoryDescriptorList->ByteCount))
        ExRaiseStatus(STATUS_ACCESS_VIOLATION);
    MemoryDescriptorList->MdlFlags |= MDL_PAGES_LOCKED;
}

extern "C" void MmUnlockPages(PMDL MemoryDescriptorList)
{
    QV_VERIFY_IRQL("MmUnlockPages");
    if (!(MemoryDescriptorList->MdlFlags & MDL_PAGES_LOCKED)) {
        VerifierViolation("MmUnlockPages", "MDL %p is not locked", MemoryDescriptorList);
        return;
    }
    MemoryDescriptorList->MdlFlags &= ~(MDL_PAGES_LOCKED | MDL_MAPPED_TO_SYSTEM_VA);
    MemoryDescriptorList->MappedSystemVa = nullptr;
}

extern "C" PVOID MmGetSystemAddressForMdlSafe(PMDL Mdl, ULONG Priority)
{
    QV_VERIFY_IRQL("MmGetSystemAddressForMdlSafe");
    if (Mdl->MdlFlags & (MDL_MAPPED_TO_SYSTEM_VA | MDL_SOURCE_IS_NONPAGED_POOL)) return Mdl->MappedSystemVa;
    if (!(Mdl->MdlFlags & MDL_PAGES_LOCKED))
        VerifierViolation("MmGetSystemAddressForMdlSafe", "MDL %p is neither locked nor built for non-paged pool", Mdl);
    Mdl->MappedSystemVa = MmGetMdlVirtualAddress(Mdl);
    Mdl->MdlFlags |= MDL_MAPPED_TO_SYSTEM_VA;
    return Mdl->MappedSystemVa;
}
