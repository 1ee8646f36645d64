// A started port of the driver, for tests that drive its queues, virtual UART and interrupt
// processing directly.
// Requests are real IRPs; a completion routine records each completion and keeps the IRP, so
// a test sees how often and with what a request was completed.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <functional>
#include <memory>
#include <vector>

#include "driver_port.h"
#include "io/iomgr.h"
#include "quorvel.h"
#include "qv/platform.h"

namespace sctest {

#define SCTEST_TAG 'tcsQ'

// One request made by a test. Owns its IRP and its system buffer.
class Request {
public:
    Request(PDEVICE_OBJECT device, UCHAR major, ULONG bufferLength = 0, PFILE_OBJECT file = nullptr)
    {
        irp_ = IoAllocateIrp(device->StackSize, FALSE);
        if (bufferLength != 0) {
            buffer_ = ExAllocatePoolWithTag(NonPagedPool, bufferLength, SCTEST_TAG);
            RtlZeroMemory(buffer_, bufferLength);
        }
        irp_->AssociatedIrp.SystemBuffer = buffer_;
        IoSetCompletionRoutine(irp_, Completed, this, TRUE, TRUE, TRUE);
        stack_ = IoGetNextIrpStackLocation(irp_);  // the port's location once sent
        stack_->MajorFunction = major;
        stack_->FileObject = file;
        device_ = device;
    }
    ~Request()
    {
        IoFreeIrp(irp_);
        if (buffer_ != nullptr) ExFreePoolWithTag(buffer_, SCTEST_TAG);
    }
    Request(const Request &) = delete;
    Request &operator=(const Request &) = delete;

    static Request *Write(PDEVICE_OBJECT device, const std::vector<UCHAR> &data, PFILE_OBJECT file = nullptr)
    {
        auto *request = new Request(device, IRP_MJ_WRITE, ULONG(data.size()), file);
        std::memcpy(request->buffer_, data.data(), data.size());
        request->Stack()->Parameters.Write.Length = ULONG(data.size());
        return request;
    }
    static Request *Read(PDEVICE_OBJECT device, ULONG length, PFILE_OBJECT file = nullptr)
    {
        auto *request = new Request(device, IRP_MJ_READ, length, file);
        request->Stack()->Parameters.Read.Length = length;
        return request;
    }
    static Request *Control(PDEVICE_OBJECT device, ULONG code, ULONG inLength, ULONG outLength,
                            PFILE_OBJECT file = nullptr)
    {
        ULONG size = inLength > outLength ? inLength : outLength;
        auto *request = new Request(device, IRP_MJ_DEVICE_CONTROL, size ? size : 4, file);
        request->Stack()->Parameters.DeviceIoControl.IoControlCode = code;
        request->Stack()->Parameters.DeviceIoControl.InputBufferLength = inLength;
        request->Stack()->Parameters.DeviceIoControl.OutputBufferLength = outLength;
        return request;
    }

    // Sends the request to the port's dispatch routine for its major function, or hands it to
    // `handler` as that routine would receive it (a test's way into one routine of the driver).
    NTSTATUS Send(std::function<NTSTATUS(PIRP)> handler = nullptr)
    {
        if (!handler) return IoCallDriver(device_, irp_);
        IoSetNextIrpStackLocation(irp_);
        stack_->DeviceObject = device_;
        return handler(irp_);
    }

    PIRP irp() const { return irp_; }
    PIO_STACK_LOCATION Stack() const { return stack_; }
    template <typename T>
    T *Buffer() const
    {
        return static_cast<T *>(buffer_);
    }
    int Completions() const { return completions_.load(); }
    bool Done() const { return completions_.load() > 0; }
    NTSTATUS Status() const { return status_; }
    ULONG_PTR Information() const { return information_; }
    // Read once the request is done and no one else can cancel it.
    bool WasCancelFlagged() const { return irp_->Cancel; }

private:
    static NTSTATUS Completed(PDEVICE_OBJECT, PIRP irp, PVOID context)
    {
        auto *self = static_cast<Request *>(context);
        self->status_ = irp->IoStatus.Status;
        self->information_ = irp->IoStatus.Information;
        self->completions_.fetch_add(1);
        return STATUS_MORE_PROCESSING_REQUIRED;  // the test keeps and frees the IRP
    }

    PIRP irp_ = nullptr;
    PIO_STACK_LOCATION stack_ = nullptr;
    PDEVICE_OBJECT device_ = nullptr;
    PVOID buffer_ = nullptr;
    std::atomic<int> completions_{0};
    NTSTATUS status_ = 0;
    ULONG_PTR information_ = 0;
};

class SerialPort : public qvtest::DriverTest {
protected:
    void SetUp() override
    {
        qvtest::DriverTest::SetUp();
        node = std::make_unique<qvtest::DriverPort>();
        device = node->Device();
        ext = node->Extension();
        ASSERT_NE(ext, nullptr);
    }

    void TearDown() override
    {
        if (device != nullptr) {
            CleanupFileRequests(ext, NULL);
            if (opened) {
                KIRQL oldIrql;
                KeAcquireSpinLock(&ext->DeviceLock, &oldIrql);
                ext->TxHoldReasons = 0;
                KeReleaseSpinLock(&ext->DeviceLock, oldIrql);
                SerialClosePort(ext);
            }
            KeFlushQueuedDpcs();
        }
        node.reset();
        qvtest::DriverTest::TearDown();
    }

    // The serial part of a first open, with the given wiring.
    void Open(UCHAR rtsMask = 0, UCHAR dtrMask = 0)
    {
        ext->EthInfo.rtsMask = rtsMask;
        ext->EthInfo.dtrMask = dtrMask;
        ASSERT_EQ(STATUS_SUCCESS, AllocateRxRing(ext));
        SerialOpenPort(ext);
        opened = true;
        Settle();
    }

    // Lets every queued DPC (emulated interrupts, completions) run to its end.
    void Settle()
    {
        for (int i = 0; i < 8; ++i) KeFlushQueuedDpcs();
    }

    // A server reply as the receive indication delivers it.
    void Receive(const std::vector<UCHAR> &bytes)
    {
        KIRQL oldIrql;
        KeAcquireSpinLock(&ext->DeviceLock, &oldIrql);
        std::memcpy(ext->Uart.RxFifo, bytes.data(), bytes.size());
        ext->Uart.RxCount = ULONG(bytes.size());
        if (ext->Uart.RxCount != 0) ReceiveCharacters(ext);
        KeReleaseSpinLock(&ext->DeviceLock, oldIrql);
        Settle();
    }

    // Runs `body` under DeviceLock, as the control requests do.
    template <typename F>
    auto Locked(F body)
    {
        KIRQL oldIrql;
        KeAcquireSpinLock(&ext->DeviceLock, &oldIrql);
        struct Release {
            PKSPIN_LOCK lock;
            KIRQL irql;
            ~Release() { KeReleaseSpinLock(lock, irql); }
        } release{&ext->DeviceLock, oldIrql};
        return body();
    }

    void SetHandFlow(ULONG control, ULONG flow)
    {
        Locked([&] {
            SERIAL_HANDFLOW handFlow = ext->HandFlow;
            handFlow.ControlHandShake = control;
            handFlow.FlowReplace = flow;
            ApplyHandFlow(ext, &handFlow);
            UpdateModemStatus(ext, FALSE);
        });
        Settle();
    }

    // A write accepted by the write dispatch: counted as queued, then handed to the queue.
    NTSTATUS StartWrite(Request &request)
    {
        NTSTATUS status = request.Send([&](PIRP irp) {
            Locked([&] { ext->TxQueuedCount += request.Stack()->Parameters.Write.Length; });
            return QueueStartPacket(&ext->WriteQueue, irp);
        });
        Settle();
        return status;
    }

    // An immediate character as the control dispatch hands it over.
    NTSTATUS StartImmediate(Request &request, UCHAR character)
    {
        *request.Buffer<UCHAR>() = character;
        NTSTATUS status = request.Send([&](PIRP irp) {
            Locked([&] {
                ext->ImmediateIrp = irp;
                ext->TxQueuedCount += 1;
            });
            return StartImmediateChar(ext);
        });
        Settle();
        return status;
    }

    // A read handed straight to the read queue.
    NTSTATUS StartRead(Request &request)
    {
        NTSTATUS status = request.Send([&](PIRP irp) { return QueueStartPacket(&ext->ReadQueue, irp); });
        Settle();
        return status;
    }

    ULONG HoldReasons()
    {
        return Locked([&] { return ext->TxHoldReasons; });
    }
    ULONG RxHolds()
    {
        return Locked([&] { return ext->RxHoldReasons; });
    }
    UCHAR Mcr()
    {
        return Locked([&] { return ext->Uart.Mcr; });
    }
    ULONG RingCount()
    {
        return Locked([&] { return ext->RxRingCount; });
    }
    SERIALPERF_STATS Stats()
    {
        return Locked([&] { return ext->PerfStats; });
    }

    // The ring's content, oldest first.
    std::vector<UCHAR> RingBytes()
    {
        return Locked([&] {
            std::vector<UCHAR> bytes;
            PUCHAR p = ext->RxRingReadPos;
            for (ULONG i = 0; i < ext->RxRingCount; ++i) {
                bytes.push_back(*p);
                p = p == ext->RxRing + ext->RxRingSize - 1 ? ext->RxRing : p + 1;
            }
            return bytes;
        });
    }

    std::unique_ptr<qvtest::DriverPort> node;
    PDEVICE_OBJECT device = nullptr;
    PDEVICE_EXTENSION ext = nullptr;
    bool opened = false;
};

}  // namespace sctest
