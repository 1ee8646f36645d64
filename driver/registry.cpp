// Registry value routines: store one value under an open key, or return a private copy of
// one value's data. The caller opens and closes the key; a subkey is opened only when named.

#include "quorvel.h"

// Opens (creating it if need be) SubKeyName under RegKeyHandle; with no subkey the empty
// relative name opens the key itself, so the caller's handle is never closed here.
static PAGED_ROUTINE NTSTATUS OpenSubKey(HANDLE RegKeyHandle, PCWSTR SubKeyName, BOOLEAN Create, PHANDLE SubKey)
{
    PAGED_CODE();
    UNICODE_STRING name;
    OBJECT_ATTRIBUTES attributes;
    RtlInitUnicodeString(&name, SubKeyName != NULL ? SubKeyName : WIDE(""));
    InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, RegKeyHandle, NULL);
    if (Create) {
        return ZwCreateKey(SubKey, KEY_ALL_ACCESS, &attributes, 0, NULL, REG_OPTION_NON_VOLATILE, NULL);
    }
    return ZwOpenKey(SubKey, KEY_ALL_ACCESS, &attributes);
}

PAGED_ROUTINE NTSTATUS RegistryWriteValue(HANDLE RegKeyHandle, PCWSTR SubKeyName, PCWSTR ValueName, ULONG ValueType,
                                          PVOID Buffer, ULONG BufferLength)
{
    PAGED_CODE();
    ASSERT(KeGetCurrentIrql() == PASSIVE_LEVEL);
    ASSERT(RegKeyHandle != NULL);
    ASSERT(ValueName != NULL);
    ASSERT(Buffer != NULL);
    // The assertions only report; a missing argument must still not reach the registry.
    if (RegKeyHandle == NULL || ValueName == NULL || Buffer == NULL) return STATUS_INVALID_PARAMETER;

    HANDLE key = NULL;
    NTSTATUS status = OpenSubKey(RegKeyHandle, SubKeyName, TRUE, &key);
    if (!NT_SUCCESS(status)) return status;

    UNICODE_STRING name;
    RtlInitUnicodeString(&name, ValueName);
    status = ZwSetValueKey(key, &name, 0, ValueType, Buffer, BufferLength);
    ZwClose(key);
    return status;
}

// Returns a new paged copy of the value's data (the caller releases it) and its length, or
// NULL with *Length 0. String values come back with two zero bytes more than stored, so that
// they are always terminated; *Length still counts the stored data only.
PAGED_ROUTINE PVOID RegistryReadValue(HANDLE RegKeyHandle, PCWSTR SubKeyName, PCWSTR ValueName, PULONG Length)
{
    PAGED_CODE();
    ASSERT(KeGetCurrentIrql() == PASSIVE_LEVEL);
    ASSERT(RegKeyHandle != NULL);
    ASSERT(ValueName != NULL);
    ASSERT(Length != NULL);
    if (Length == NULL) return NULL;
    *Length = 0;
    if (RegKeyHandle == NULL || ValueName == NULL) return NULL;

    HANDLE key = RegKeyHandle;
    if (SubKeyName != NULL) {
        if (!NT_SUCCESS(OpenSubKey(RegKeyHandle, SubKeyName, FALSE, &key))) return NULL;
    }

    PVOID copy = NULL;
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, ValueName);

    ULONG needed = 0;
    NTSTATUS status = ZwQueryValueKey(key, &name, KeyValuePartialInformation, NULL, 0, &needed);
    if ((status == STATUS_BUFFER_TOO_SMALL || status == STATUS_BUFFER_OVERFLOW) && needed != 0) {
        PKEY_VALUE_PARTIAL_INFORMATION info =
            (PKEY_VALUE_PARTIAL_INFORMATION)ExAllocatePoolWithTag(NonPagedPool, needed, QUORVEL_TAG);
        if (info != NULL) {
            status = ZwQueryValueKey(key, &name, KeyValuePartialInformation, info, needed, &needed);
            // The data must lie inside what was returned, whatever the value claims.
            ULONG header = (ULONG)FIELD_OFFSET(KEY_VALUE_PARTIAL_INFORMATION, Data);
            if (NT_SUCCESS(status) && needed >= header && info->DataLength <= needed - header) {
                BOOLEAN isString = info->Type == REG_SZ || info->Type == REG_EXPAND_SZ || info->Type == REG_MULTI_SZ;
                SIZE_T copySize = (SIZE_T)info->DataLength + (isString ? sizeof(WCHAR) : 0);
                // A zero-length binary value still yields a (one-byte) copy, so that the
                // caller can tell it from a missing one.
                copy = ExAllocatePoolWithTag(PagedPool, copySize != 0 ? copySize : 1, QUORVEL_TAG);
                if (copy != NULL) {
                    RtlZeroMemory(copy, copySize != 0 ? copySize : 1);
                    RtlCopyMemory(copy, info->Data, info->DataLength);
                    *Length = info->DataLength;
                }
            }
            ExFreePoolWithTag(info, QUORVEL_TAG);
        }
    }

    if (key != RegKeyHandle) ZwClose(key);
    return copy;
}
