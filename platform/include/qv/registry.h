// Harness side of the registry: read, seed and list keys by absolute path
// ("\\Registry\\Machine\\SYSTEM\\..."), and the reason a boot refused the registry store.
// Used by tests and by quorvel-host; the driver never includes it.
#pragma once

#include <string>
#include <vector>

#include "wdm.h"

namespace qv {

// Why the last boot failed to load the store ("registry store <file> is corrupt (...)"), or "".
std::string RegistryStartupError();

// Writes of the store that failed since boot (a full disk, say) and the reason of the last one.
// A change whose write fails is undone in memory and refused with STATUS_REGISTRY_IO_FAILED; some
// callers (key deletions inside Plug and Play removal) cannot pass that status on, so a harness
// compares the count before and after an operation.
struct RegistryStoreFailures {
    unsigned long long Count = 0;
    std::string LastReason;  // "cannot write <store>: No space left on device"
};
RegistryStoreFailures RegistryStoreFailureCount();

bool RegistryKeyExists(const std::string &keyPath);
bool RegistryReadValue(const std::string &keyPath, const std::string &name, ULONG *type, std::vector<UCHAR> *data);
// A REG_SZ, REG_EXPAND_SZ or REG_MULTI_SZ value as text, without its terminating zeros.
bool RegistryReadString(const std::string &keyPath, const std::string &name, std::string *text);
// Creates the key and every missing parent; written through to the store like any change.
NTSTATUS RegistryWriteValue(const std::string &keyPath, const std::string &name, ULONG type,
                            const std::vector<UCHAR> &data);
// REG_SZ with its terminating zero.
NTSTATUS RegistryWriteString(const std::string &keyPath, const std::string &name, const std::string &text);
std::vector<std::string> RegistrySubkeys(const std::string &keyPath);
std::vector<std::string> RegistryValueNames(const std::string &keyPath);

}  // namespace qv
