// List operations under a caller's spin lock, callable at any IRQL up to DISPATCH_LEVEL.
#include "verifier.h"
#include "wdm.h"

extern "C" {

PSINGLE_LIST_ENTRY ExInterlockedPushEntryList(PSINGLE_LIST_ENTRY ListHead, PSINGLE_LIST_ENTRY ListEntry,
                                              PKSPIN_LOCK Lock)
{
    QV_VERIFY_IRQL("ExInterlockedPushEntryList");
    KIRQL old;
    KeAcquireSpinLock(Lock, &old);
    PSINGLE_LIST_ENTRY first = ListHead->Next;
    PushEntryList(ListHead, ListEntry);
    KeReleaseSpinLock(Lock, old);
    return first;
}

PSINGLE_LIST_ENTRY ExInterlockedPopEntryList(PSINGLE_LIST_ENTRY ListHead, PKSPIN_LOCK Lock)
{
    QV_VERIFY_IRQL("ExInterlockedPopEntryList");
    KIRQL old;
    KeAcquireSpinLock(Lock, &old);
    PSINGLE_LIST_ENTRY entry = PopEntryList(ListHead);
    KeReleaseSpinLock(Lock, old);
    return entry;
}

// Returns the entry that was first before the insertion, NULL if the list was empty.
PLIST_ENTRY ExInterlockedInsertHeadList(PLIST_ENTRY ListHead, PLIST_ENTRY ListEntry, PKSPIN_LOCK Lock)
{
    QV_VERIFY_IRQL("ExInterlockedInsertHeadList");
    KIRQL old;
    KeAcquireSpinLock(Lock, &old);
    PLIST_ENTRY first = IsListEmpty(ListHead) ? nullptr : ListHead->Flink;
    InsertHeadList(ListHead, ListEntry);
    KeReleaseSpinLock(Lock, old);
    return first;
}

// Returns the entry that was last before the insertion, NULL if the list was empty.
PLIST_ENTRY ExInterlockedInsertTailList(PLIST_ENTRY ListHead, PLIST_ENTRY ListEntry, PKSPIN_LOCK Lock)
{
    QV_VERIFY_IRQL("ExInterlockedInsertTailList");
    KIRQL old;
    KeAcquireSpinLock(Lock, &old);
    PLIST_ENTRY last = IsListEmpty(ListHead) ? nullptr : ListHead->Blink;
    InsertTailList(ListHead, ListEntry);
    KeReleaseSpinLock(Lock, old);
    return last;
}

PLIST_ENTRY ExInterlockedRemoveHeadList(PLIST_ENTRY ListHead, PKSPIN_LOCK Lock)
{
    QV_VERIFY_IRQL("ExInterlockedRemoveHeadList");
    KIRQL old;
    KeAcquireSpinLock(Lock, &old);
    PLIST_ENTRY entry = IsListEmpty(ListHead) ? nullptr : RemoveHeadList(ListHead);
    KeReleaseSpinLock(Lock, old);
    return entry;
}

}  // extern "C"
