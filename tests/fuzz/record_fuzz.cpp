// The settings record walk on both sides: the configurator's parser and builder, and the
// driver's table builder at open (MakeEthernetLists), given the same bytes as stored.
//
// Invariants: both accept exactly the same records; an accepted record builds back to the same
// bytes (raw flags as 0/1, masks to their four bits); the driver's tables hold one connection per
// entry and map every listed id to the last entry that lists it; nothing is read past the record
// and no pool memory is left behind.
#include <map>
#include <memory>

#include "common/ethrecord.h"
#include "fuzz.h"
#include "quorvel.h"
#include "qv/platform.h"

using namespace qvfuzz;

namespace {

#define FUZZ_TAG 'zzuF'

// The record as the configurator writes it back.
Bytes Normalized(const Bytes &record)
{
    Bytes out = record;
    out[8] &= quorvel::kEthMaskBits;
    out[9] &= quorvel::kEthMaskBits;
    for (std::size_t offset = 10; offset + 11 <= out.size();) {
        std::uint32_t size =
            out[offset] | (out[offset + 1] << 8) | (out[offset + 2] << 16) | (std::uint32_t(out[offset + 3]) << 24);
        out[offset + 10] = out[offset + 10] != 0;
        offset += size;
    }
    return out;
}

void CheckDriverTables(const quorvel::EthRecord &parsed, PUCHAR copy)
{
    auto ext = std::make_unique<DEVICE_EXTENSION>();
    GatewayInitialize(ext.get());
    NTSTATUS status = MakeEthernetLists(ext.get(), copy);
    FUZZ_CHECK(status == STATUS_SUCCESS, "the driver refuses a record the configurator accepts");
    if (status == STATUS_SUCCESS) {
        FUZZ_CHECK(ext->EthInfo.delay == parsed.delay && ext->EthInfo.rtsMask == parsed.rtsMask &&
                       ext->EthInfo.dtrMask == parsed.dtrMask,
                   "header");
        std::size_t connections = 0;
        for (PSINGLE_LIST_ENTRY l = ext->ConnectionList.Next; l != NULL; l = l->Next) ++connections;
        FUZZ_CHECK(connections == parsed.entries.size(), std::to_string(connections) + " connections");
        std::map<std::uint8_t, const quorvel::EthEntry *> server;
        for (const quorvel::EthEntry &e : parsed.entries)
            for (std::uint8_t id : e.ids) server[id] = &e;
        for (int id = 0; id < 256; ++id) {
            PETH_CONNECTION c = FindConnectionByDeviceID(ext.get(), UCHAR(id));
            auto it = server.find(std::uint8_t(id));
            if (it == server.end()) {
                FUZZ_CHECK(c == NULL, "id " + std::to_string(id) + " is served though no entry lists it");
                continue;
            }
            FUZZ_CHECK(
                c != NULL && c->ip == it->second->ip && c->port == it->second->port && (c->raw != 0) == it->second->raw,
                "id " + std::to_string(id) + " is not served by the last entry that lists it");
        }
    }
    FreeEthernetLists(ext.get());
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    BootPlatform();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    Bytes record(data, data + size);
    quorvel::EthRecord parsed;
    quorvel::EthParseError error = quorvel::ParseEthRecord(data, size, &parsed);
    if (error == quorvel::EthParseError::None) {
        Bytes built = quorvel::BuildEthRecord(parsed);
        FUZZ_CHECK(built == Normalized(record), "built back as " + Hex(built));
    }

    // The driver reads a stored record only when its size field matches the stored length.
    bool sizeMatches =
        size >= 10 && (data[0] | (data[1] << 8) | (data[2] << 16) | (std::size_t(data[3]) << 24)) == size;
    if (sizeMatches) {
        qv::PoolUsage before = qv::QueryPoolUsage();
        PUCHAR copy = (PUCHAR)ExAllocatePoolWithTag(PagedPool, ULONG(size), FUZZ_TAG);
        std::copy(data, data + size, copy);
        if (error == quorvel::EthParseError::None) {
            CheckDriverTables(parsed, copy);
        } else {
            auto ext = std::make_unique<DEVICE_EXTENSION>();
            GatewayInitialize(ext.get());
            FUZZ_CHECK(MakeEthernetLists(ext.get(), copy) != STATUS_SUCCESS,
                       "the driver accepts a record the configurator refuses");
            FreeEthernetLists(ext.get());
        }
        ExFreePoolWithTag(copy, FUZZ_TAG);
        qv::PoolUsage after = qv::QueryPoolUsage();
        FUZZ_CHECK(after.Blocks == before.Blocks, "pool blocks left behind");
    }
    CheckPlatformAfterInput();
    EndInput();
    return 0;
}
