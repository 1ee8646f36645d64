// The leveled debug log: a filtered, prefixed print for the request trace and the transport
// address dumps, and the level of the plain trace lines (QvTrace). Everything else in the
// driver prints with DbgPrint directly.
//
// The print never waits and allocates nothing: eight static buffers are claimed by
// compare-and-exchange, so it is safe at DISPATCH_LEVEL, in DPCs and in completion routines.
// A ninth concurrent message is dropped rather than waited for.

#include "quorvel.h"

#include <tdi.h>

#if defined(_WIN32)
// The kernel exports the C library's bounded formatter; the DDK headers do not declare it.
extern "C" int __cdecl _vsnprintf(char *Buffer, size_t Count, const char *Format, va_list Args);
#endif

// Neither value changes at run time; every message of the filtered print is printed.
ULONG DebugLevel = DBG_LEVEL_TRACE;
ULONG DebugAreaMask = 0xFFFFFFFF;

ULONG TraceLevel = QUORVEL_TRACE_LEVEL;

PAGED_ROUTINE VOID LoadTraceLevel(PUNICODE_STRING RegistryPath)
{
    PAGED_CODE();
    OBJECT_ATTRIBUTES attributes;
    HANDLE serviceKey;
    ULONG length = 0;

    TraceLevel = QUORVEL_TRACE_LEVEL;
    if (RegistryPath == NULL) return;
    InitializeObjectAttributes(&attributes, RegistryPath, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, NULL, NULL);
    if (!NT_SUCCESS(ZwOpenKey(&serviceKey, KEY_READ, &attributes))) return;
    PVOID value = RegistryReadValue(serviceKey, WIDE("Parameters"), WIDE("TraceLevel"), &length);
    ZwClose(serviceKey);
    if (value == NULL) return;
    if (length == sizeof(ULONG)) {
        TraceLevel = *(PULONG)value;
    } else {
        DbgPrint("LoadTraceLevel - TraceLevel is not a DWORD, %lu bytes\n", length);
    }
    ExFreePoolWithTag(value, QUORVEL_TAG);
}

// Busy flags of the message buffers; claimed and released with interlocked operations only.
LONG LogBufferBusy[DEBUG_LOG_BUFFERS];
static CHAR LogBuffers[DEBUG_LOG_BUFFERS][DEBUG_LOG_BUFFER_SIZE];

VOID KivraDebugPrint(ULONG Area, ULONG Level, PCSTR Format, ...)
{
    if ((Area & DebugAreaMask) == 0 || Level > DebugLevel) {
        return;
    }

    ULONG index;
    for (index = 0; index < DEBUG_LOG_BUFFERS; index++) {
        if (InterlockedCompareExchange(&LogBufferBusy[index], 1, 0) == 0) {
            break;
        }
    }
    if (index == DEBUG_LOG_BUFFERS) {
        return;  // all buffers busy: the message is lost, the caller goes on
    }

    PCHAR buffer = LogBuffers[index];
    va_list args;
    va_start(args, Format);
    // _vsnprintf leaves the buffer unterminated when it cuts; the last byte is kept for the NUL.
    _vsnprintf(buffer, DEBUG_LOG_BUFFER_SIZE - 1, Format, args);
    va_end(args);
    buffer[DEBUG_LOG_BUFFER_SIZE - 1] = '\0';

    int irql = KeGetCurrentIrql();
    // The message is an argument, never a format: it may contain '%'.
    switch (Level) {
    case DBG_LEVEL_ERROR:
        DbgPrint("KIVRA(IRQL %2.2d): ERROR %s !!!!!\n", irql, buffer);
        break;
    case DBG_LEVEL_WARNING:
        DbgPrint("KIVRA(IRQL %2.2d): WARNING %s\n", irql, buffer);
        break;
    case DBG_LEVEL_TRACE:
        DbgPrint("KIVRA(IRQL %2.2d):     %s\n", irql, buffer);
        break;
    default:
        DbgPrint("KIVRA(IRQL %2.2d): %s\n", irql, buffer);
        break;
    }

    InterlockedExchange(&LogBufferBusy[index], 0);
}

static PCSTR const IrpMajorNames[] = {
    "IRP_MJ_CREATE",
    "IRP_MJ_CREATE_NAMED_PIPE",
    "IRP_MJ_CLOSE",
    "IRP_MJ_READ",
    "IRP_MJ_WRITE",
    "IRP_MJ_QUERY_INFORMATION",
    "IRP_MJ_SET_INFORMATION",
    "IRP_MJ_QUERY_EA",
    "IRP_MJ_SET_EA",
    "IRP_MJ_FLUSH_BUFFERS",
    "IRP_MJ_QUERY_VOLUME_INFORMATION",
    "IRP_MJ_SET_VOLUME_INFORMATION",
    "IRP_MJ_DIRECTORY_CONTROL",
    "IRP_MJ_FILE_SYSTEM_CONTROL",
    "IRP_MJ_DEVICE_CONTROL",
    "IRP_MJ_INTERNAL_DEVICE_CONTROL",
    "IRP_MJ_SHUTDOWN",
    "IRP_MJ_LOCK_CONTROL",
    "IRP_MJ_CLEANUP",
    "IRP_MJ_CREATE_MAILSLOT",
    "IRP_MJ_QUERY_SECURITY",
    "IRP_MJ_SET_SECURITY",
    "IRP_MJ_POWER",
    "IRP_MJ_SYSTEM_CONTROL",
    "IRP_MJ_DEVICE_CHANGE",
    "IRP_MJ_QUERY_QUOTA",
    "IRP_MJ_SET_QUOTA",
    "IRP_MJ_PNP",
};

// Indexed by minor code; code 0x0E has no name.
static PCSTR const PnpMinorNames[] = {
    "IRP_MN_START_DEVICE",
    "IRP_MN_QUERY_REMOVE_DEVICE",
    "IRP_MN_REMOVE_DEVICE",
    "IRP_MN_CANCEL_REMOVE_DEVICE",
    "IRP_MN_STOP_DEVICE",
    "IRP_MN_QUERY_STOP_DEVICE",
    "IRP_MN_CANCEL_STOP_DEVICE",
    "IRP_MN_QUERY_DEVICE_RELATIONS",
    "IRP_MN_QUERY_INTERFACE",
    "IRP_MN_QUERY_CAPABILITIES",
    "IRP_MN_QUERY_RESOURCES",
    "IRP_MN_QUERY_RESOURCE_REQUIREMENTS",
    "IRP_MN_QUERY_DEVICE_TEXT",
    "IRP_MN_FILTER_RESOURCE_REQUIREMENTS",
    NULL,
    "IRP_MN_READ_CONFIG",
    "IRP_MN_WRITE_CONFIG",
    "IRP_MN_EJECT",
    "IRP_MN_SET_LOCK",
    "IRP_MN_QUERY_ID",
    "IRP_MN_QUERY_PNP_DEVICE_STATE",
    "IRP_MN_QUERY_BUS_INFORMATION",
    "IRP_MN_DEVICE_USAGE_NOTIFICATION",
    "IRP_MN_SURPRISE_REMOVAL",
    "IRP_MN_QUERY_LEGACY_BUS_INFORMATION",
};

static PCSTR const PowerMinorNames[] = {
    "IRP_MN_WAIT_WAKE",
    "IRP_MN_POWER_SEQUENCE",
    "IRP_MN_SET_POWER",
    "IRP_MN_QUERY_POWER",
};

static PCSTR const SystemPowerStateNames[] = {
    "PowerSystemUnspecified",
    "PowerSystemWorking",
    "PowerSystemSleeping1",
    "PowerSystemSleeping2",
    "PowerSystemSleeping3",
    "PowerSystemHibernate",
    "PowerSystemShutdown",
    "PowerSystemMaximum",
};

static PCSTR const DevicePowerStateNames[] = {
    "PowerDeviceUnspecified",
    "PowerDeviceD0",
    "PowerDeviceD1",
    "PowerDeviceD2",
    "PowerDeviceD3",
    "PowerDeviceMaximum",
};

static PCSTR const WmiMinorNames[] = {
    "IRP_MN_QUERY_ALL_DATA",
    "IRP_MN_QUERY_SINGLE_INSTANCE",
    "IRP_MN_CHANGE_SINGLE_INSTANCE",
    "IRP_MN_CHANGE_SINGLE_ITEM",
    "IRP_MN_ENABLE_EVENTS",
    "IRP_MN_DISABLE_EVENTS",
    "IRP_MN_ENABLE_COLLECTION",
    "IRP_MN_DISABLE_COLLECTION",
    "IRP_MN_REGINFO",
    "IRP_MN_EXECUTE_METHOD",
};

static PCSTR const TdiAddressTypeNames[] = {
    "TDI_ADDRESS_TYPE_UNSPEC",
    "TDI_ADDRESS_TYPE_UNIX",
    "TDI_ADDRESS_TYPE_IP",
    "TDI_ADDRESS_TYPE_IMPLINK",
    "TDI_ADDRESS_TYPE_PUP",
    "TDI_ADDRESS_TYPE_CHAOS",
    "TDI_ADDRESS_TYPE_IPX",
    "TDI_ADDRESS_TYPE_NBS",
    "TDI_ADDRESS_TYPE_ECMA",
    "TDI_ADDRESS_TYPE_DATAKIT",
    "TDI_ADDRESS_TYPE_CCITT",
    "TDI_ADDRESS_TYPE_SNA",
    "TDI_ADDRESS_TYPE_DECnet",
    "TDI_ADDRESS_TYPE_DLI",
    "TDI_ADDRESS_TYPE_LAT",
    "TDI_ADDRESS_TYPE_HYLINK",
    "TDI_ADDRESS_TYPE_APPLETALK",
    "TDI_ADDRESS_TYPE_NETBIOS",
    "TDI_ADDRESS_TYPE_8022",
    "TDI_ADDRESS_TYPE_OSI_TSAP",
    "TDI_ADDRESS_TYPE_NETONE",
    "TDI_ADDRESS_TYPE_VNS",
    "TDI_ADDRESS_TYPE_NETBIOS_EX",
    "TDI_ADDRESS_TYPE_IP6",
};

#define NAME_COUNT(table) (sizeof(table) / sizeof((table)[0]))

PCSTR IrpMajorName(UCHAR MajorFunction)
{
    if (MajorFunction < NAME_COUNT(IrpMajorNames)) {
        return IrpMajorNames[MajorFunction];
    }
    return "Unknown IRP Request";
}

PCSTR PnpMinorName(UCHAR MinorFunction)
{
    if (MinorFunction < NAME_COUNT(PnpMinorNames) && PnpMinorNames[MinorFunction] != NULL) {
        return PnpMinorNames[MinorFunction];
    }
    return "Unknown PnP Request";
}

PCSTR PowerMinorName(UCHAR MinorFunction)
{
    if (MinorFunction < NAME_COUNT(PowerMinorNames)) {
        return PowerMinorNames[MinorFunction];
    }
    return "Unknown Power Request";
}

PCSTR SystemPowerStateName(ULONG State)
{
    if (State < NAME_COUNT(SystemPowerStateNames)) {
        return SystemPowerStateNames[State];
    }
    return "PowerSystemUnknown";
}

PCSTR DevicePowerStateName(ULONG State)
{
    if (State < NAME_COUNT(DevicePowerStateNames)) {
        return DevicePowerStateNames[State];
    }
    return "PowerDeviceUnknown";
}

PCSTR WmiMinorName(UCHAR MinorFunction)
{
    if (MinorFunction < NAME_COUNT(WmiMinorNames)) {
        return WmiMinorNames[MinorFunction];
    }
    return "Unknown System Control Request";
}

static ULONG IrpArea(UCHAR MajorFunction)
{
    switch (MajorFunction) {
    case IRP_MJ_PNP:
        return DBG_AREA_PNP;
    case IRP_MJ_POWER:
        return DBG_AREA_POWER;
    case IRP_MJ_CREATE:
    case IRP_MJ_CLOSE:
    case IRP_MJ_CLEANUP:
        return DBG_AREA_OPEN_CLOSE;
    case IRP_MJ_SYSTEM_CONTROL:
        return DBG_AREA_WMI;
    case IRP_MJ_READ:
    case IRP_MJ_WRITE:
    case IRP_MJ_DEVICE_CONTROL:
    case IRP_MJ_INTERNAL_DEVICE_CONTROL:
        return DBG_AREA_IO;
    default:
        return DBG_AREA_GENERAL;
    }
}

VOID LogIrp(PIRP Irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    ULONG area = IrpArea(stack->MajorFunction);

    KivraDebugPrint(area, DBG_LEVEL_TRACE, "IRP %p %s", Irp, IrpMajorName(stack->MajorFunction));

    switch (stack->MajorFunction) {
    case IRP_MJ_PNP:
        KivraDebugPrint(area, DBG_LEVEL_TRACE, "%s", PnpMinorName(stack->MinorFunction));
        break;
    case IRP_MJ_POWER:
    {
        KivraDebugPrint(area, DBG_LEVEL_TRACE, "%s", PowerMinorName(stack->MinorFunction));
        // Read as a number: a value out of the enumeration's range is named by the fallback.
        ULONG state;
        RtlCopyMemory(&state, &stack->Parameters.Power.State, sizeof(state));
        if (stack->Parameters.Power.Type != SystemPowerState) {
            KivraDebugPrint(area, DBG_LEVEL_TRACE, "%s", DevicePowerStateName(state));
        } else {
            KivraDebugPrint(area, DBG_LEVEL_TRACE, "%s", SystemPowerStateName(state));
        }
        break;
    }
    case IRP_MJ_SYSTEM_CONTROL:
        KivraDebugPrint(area, DBG_LEVEL_TRACE, "%s", WmiMinorName(stack->MinorFunction));
        break;
    default:
        break;
    }
}

// Prints a fixed-size name field, which need not end with a NUL, without reading past it.
static VOID DumpFixedName(PCSTR Label, const UCHAR *Name)
{
    CHAR text[17];
    RtlCopyMemory(text, Name, 16);
    text[16] = '\0';
    KivraDebugPrint(DBG_AREA_IO, DBG_LEVEL_TRACE, "%s %s", Label, text);
}

#define DUMP(format, value) KivraDebugPrint(DBG_AREA_IO, DBG_LEVEL_TRACE, format, (ULONG)(value))

VOID DumpTdiAddress(PTA_ADDRESS Address)
{
    if (Address == NULL) {
        return;
    }

    USHORT type = Address->AddressType;
    if (type >= NAME_COUNT(TdiAddressTypeNames)) {
        DUMP("Unknown Address->AddressType %x", type);
        return;
    }
    KivraDebugPrint(DBG_AREA_IO, DBG_LEVEL_TRACE, "%s", TdiAddressTypeNames[type]);

    // The fields are taken as stored: ports and addresses stay in network byte order.
    const UCHAR *raw = Address->Address;
    switch (type) {
    case TDI_ADDRESS_TYPE_IP: {
        TDI_ADDRESS_IP ip;
        RtlCopyMemory(&ip, raw, sizeof(ip));
        DUMP("sin_port %x", ip.sin_port);
        DUMP("in_addr %x", ip.in_addr);
        break;
    }
    case TDI_ADDRESS_TYPE_IPX: {
        TDI_ADDRESS_IPX ipx;
        RtlCopyMemory(&ipx, raw, sizeof(ipx));
        DUMP("NetworkAddress %x", ipx.NetworkAddress);
        DUMP("NodeAddress[0] %x", ipx.NodeAddress[0]);
        DUMP("NodeAddress[1] %x", ipx.NodeAddress[1]);
        DUMP("NodeAddress[2] %x", ipx.NodeAddress[2]);
        DUMP("NodeAddress[3] %x", ipx.NodeAddress[3]);
        DUMP("NodeAddress[4] %x", ipx.NodeAddress[4]);
        DUMP("NodeAddress[5] %x", ipx.NodeAddress[5]);
        DUMP("Socket %x", ipx.Socket);
        break;
    }
    case TDI_ADDRESS_TYPE_APPLETALK: {
        TDI_ADDRESS_APPLETALK atalk;
        RtlCopyMemory(&atalk, raw, sizeof(atalk));
        DUMP("Network %x", atalk.Network);
        DUMP("Node %x", atalk.Node);
        DUMP("Socket %x", atalk.Socket);
        break;
    }
    case TDI_ADDRESS_TYPE_NETBIOS: {
        TDI_ADDRESS_NETBIOS netbios;
        RtlCopyMemory(&netbios, raw, sizeof(netbios));
        DUMP("NetbiosNameType %x", netbios.NetbiosNameType);
        DumpFixedName("NetbiosName", netbios.NetbiosName);
        break;
    }
    case TDI_ADDRESS_TYPE_8022: {
        TDI_ADDRESS_8022 mac;
        RtlCopyMemory(&mac, raw, sizeof(mac));
        DUMP("MACAddress[0] %x", mac.MACAddress[0]);
        DUMP("MACAddress[1] %x", mac.MACAddress[1]);
        DUMP("MACAddress[2] %x", mac.MACAddress[2]);
        DUMP("MACAddress[3] %x", mac.MACAddress[3]);
        DUMP("MACAddress[4] %x", mac.MACAddress[4]);
        DUMP("MACAddress[5] %x", mac.MACAddress[5]);
        break;
    }
    case TDI_ADDRESS_TYPE_NETBIOS_EX: {
        TDI_ADDRESS_NETBIOS_EX netbiosEx;
        RtlCopyMemory(&netbiosEx, raw, sizeof(netbiosEx));
        DumpFixedName("EndpointName", netbiosEx.EndpointName);
        DUMP("NetbiosAddress.NetbiosNameType %x", netbiosEx.NetbiosAddress.NetbiosNameType);
        DumpFixedName("NetbiosAddress.NetbiosName", netbiosEx.NetbiosAddress.NetbiosName);
        break;
    }
    case TDI_ADDRESS_TYPE_IP6: {
        TDI_ADDRESS_IP6 ip6;
        RtlCopyMemory(&ip6, raw, sizeof(ip6));
        DUMP("sin6_port %x", ip6.sin6_port);
        DUMP("sin6_flowinfo %x", ip6.sin6_flowinfo);
        DUMP("sin6_addr[0] %x", ip6.sin6_addr[0]);
        DUMP("sin6_addr[1] %x", ip6.sin6_addr[1]);
        DUMP("sin6_addr[2] %x", ip6.sin6_addr[2]);
        DUMP("sin6_addr[3] %x", ip6.sin6_addr[3]);
        DUMP("sin6_addr[4] %x", ip6.sin6_addr[4]);
        DUMP("sin6_addr[5] %x", ip6.sin6_addr[5]);
        DUMP("sin6_addr[6] %x", ip6.sin6_addr[6]);
        DUMP("sin6_addr[7] %x", ip6.sin6_addr[7]);
        DUMP("sin6_scope_id %x", ip6.sin6_scope_id);
        break;
    }
    default:
        break;  // the other named types print their name only
    }
}
