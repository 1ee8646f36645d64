// A started port of the driver as the gateway sees it between open and close: its tables built
// from a record, writes forwarded and replies delivered by the gateway's own routines.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "driver_port.h"
#include "quorvel.h"
#include "qv/platform.h"
#include "records.h"

namespace gwtest {

using qvtest::Bytes;
using qvtest::Hex;
using qvtest::MakeRecord;
using qvtest::PutLe;
using qvtest::RecordEntry;
using qvtest::RtuFrame;
using qvtest::Text;

#define GWTEST_TAG 'tswG'

// A pool copy of exactly the given bytes: AddressSanitizer and the pool's own guards see any
// access past them, as they would for a transport's or a writer's buffer.
class PoolBytes {
public:
    explicit PoolBytes(const Bytes &bytes) : size_(ULONG(bytes.size()))
    {
        data_ = (PUCHAR)ExAllocatePoolWithTag(NonPagedPool, size_ ? size_ : 1, GWTEST_TAG);
        std::copy(bytes.begin(), bytes.end(), data_);
    }
    ~PoolBytes() { ExFreePoolWithTag(data_, GWTEST_TAG); }
    PoolBytes(const PoolBytes &) = delete;
    PoolBytes &operator=(const PoolBytes &) = delete;
    PUCHAR get() const { return data_; }
    ULONG size() const { return size_; }
    Bytes bytes() const { return Bytes(data_, data_ + size_); }

private:
    ULONG size_;
    PUCHAR data_;
};

class GatewayPort : public qvtest::DriverTest {
protected:
    void SetUp() override
    {
        qvtest::DriverTest::SetUp();
        node_ = std::make_unique<qvtest::DriverPort>();
        ext = node_->Extension();
        ASSERT_NE(ext, nullptr);
        ext->RxRingSize = VUART_RX_FIFO_SIZE;  // no ring is read: only its size limits a reply
        current = this;
    }

    void TearDown() override
    {
        if (ext != nullptr) {
            // What the link's end does for each connection, then what close does.
            for (PSINGLE_LIST_ENTRY link = ext->ConnectionList.Next; link != NULL; link = link->Next)
                FreeReplyBuffer(CONTAINING_RECORD(link, ETH_CONNECTION, Link));
            FreeEthernetLists(ext);
            ext->RxRingSize = 0;
        }
        node_.reset();
        current = nullptr;
        qvtest::DriverTest::TearDown();
    }

    // What the first open does with a stored record.
    NTSTATUS Open(const Bytes &record)
    {
        PoolBytes copy(record);
        return MakeEthernetLists(ext, copy.get());
    }

    PETH_CONNECTION Connection(UCHAR deviceId) { return FindConnectionByDeviceID(ext, deviceId); }

    // What the write path does with one write.
    NTSTATUS Write(const Bytes &frame)
    {
        PoolBytes data(frame);
        return ForwardRequest(ext, data.get(), data.size());
    }

    // One receive indication: DeviceLock held, the FIFO drained after each placed reply.
    void Deliver(PETH_CONNECTION connection, const Bytes &block)
    {
        PoolBytes data(block);
        KIRQL irql;
        KeAcquireSpinLock(&ext->DeviceLock, &irql);
        ULONG consumed = ProcessIncomingData(ext, connection, data.get(), data.size(), &GatewayPort::Drain);
        KeReleaseSpinLock(&ext->DeviceLock, irql);
        EXPECT_EQ(consumed, data.size());
        EXPECT_EQ(data.bytes(), block) << "the indicated data must not be altered";
    }

    // Stands in for the receive step: takes what the FIFO holds, as ReceiveCharacters does.
    static VOID Drain(PDEVICE_EXTENSION extension)
    {
        current->replies.emplace_back(extension->Uart.RxFifo, extension->Uart.RxFifo + extension->Uart.RxCount);
        extension->Uart.RxCount = 0;
    }

    Bytes Fifo() const { return Bytes(ext->Uart.RxFifo, ext->Uart.RxFifo + ext->Uart.RxCount); }

    Bytes Pending() const
    {
        if (ext->PendingData == NULL) return {};
        return Bytes(ext->PendingData, ext->PendingData + ext->PendingLength);
    }

    // Frees the parked request, as the connection thread does after sending it.
    void TakePending()
    {
        AcquireConnectMutex(ext);
        if (ext->PendingData != NULL) ExFreePool(ext->PendingData);
        ext->PendingData = NULL;
        ext->PendingLength = 0;
        ext->PendingConnection = NULL;
        ReleaseConnectMutex(ext);
    }

    PDEVICE_EXTENSION ext = nullptr;
    std::vector<Bytes> replies;

private:
    static inline GatewayPort *current = nullptr;
    std::unique_ptr<qvtest::DriverPort> node_;
};

inline bool Contains(const std::vector<std::string> &lines, const std::string &line)
{
    return std::find(lines.begin(), lines.end(), line) != lines.end();
}

}  // namespace gwtest
