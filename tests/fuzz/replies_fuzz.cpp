// The driver's gateway in-process on the platform: frames written to a port (ForwardRequest)
// and the byte streams its servers send back (ProcessIncomingData), on a port whose tables are
// built from one fixed settings record. No link is up, so every request is parked for the
// connection thread, where the harness reads what would have been sent.
//
// Invariants: only a valid RTU or ASCII frame for a served device is sent, as the right MBAP
// request (or unchanged on a raw connection); a reply reaches the application only as a valid
// frame in the framing of the port's last request, with its unit id and function (or its
// exception), at most once per request; a reply with a wrong transaction id, protocol id, unit id
// or length is never delivered; no pool memory or verifier finding is left behind.
#include <map>
#include <memory>

#include "fuzz.h"
#include "quorvel.h"
#include "qv/platform.h"

using namespace qvfuzz;

namespace {

#define FUZZ_TAG 'zzuF'

struct Server {
    std::uint8_t ip[4];
    std::uint16_t port;
    std::uint8_t raw;
    Bytes ids;
};
// Two converted connections and a raw one; device 5 is served by none.
const Server kServers[] = {
    {{127, 0, 0, 1}, 502, 0, {1, 2, 0x3A, 0x41, 247}}, {{127, 0, 0, 2}, 502, 0, {3}}, {{127, 0, 0, 3}, 4001, 1, {9}}};
const std::uint8_t kDevices[] = {1, 2, 3, 9, 0x3A, 0x41, 247, 5};

Bytes BuildRecord()
{
    Bytes r = {0, 0, 0, 0, 0x01, 0x01, 0xE8, 0x03, 0, 0};
    for (const Server &s : kServers) {
        std::uint32_t size = 11 + std::uint32_t(s.ids.size());
        Bytes e = {
            std::uint8_t(size),        0,    0, 0, s.ip[0], s.ip[1], s.ip[2], s.ip[3], std::uint8_t(s.port & 0xFF),
            std::uint8_t(s.port >> 8), s.raw};
        e.insert(e.end(), s.ids.begin(), s.ids.end());
        r.insert(r.end(), e.begin(), e.end());
    }
    r[0] = std::uint8_t(r.size());
    return r;
}

const Server *ServerOf(std::uint8_t device)
{
    for (const Server &s : kServers)
        for (std::uint8_t id : s.ids)
            if (id == device) return &s;
    return nullptr;
}

// A pool copy of exactly the given bytes, as a writer's or the transport's buffer is.
class PoolBytes {
public:
    explicit PoolBytes(const Bytes &b) : size_(ULONG(b.size()))
    {
        data_ = (PUCHAR)ExAllocatePoolWithTag(NonPagedPool, size_ ? size_ : 1, FUZZ_TAG);
        std::copy(b.begin(), b.end(), data_);
    }
    ~PoolBytes() { ExFreePoolWithTag(data_, FUZZ_TAG); }
    PUCHAR get() const { return data_; }
    ULONG size() const { return size_; }

private:
    ULONG size_;
    PUCHAR data_;
};

std::vector<Bytes> *delivered = nullptr;

// The receive step: takes what the FIFO holds, as ReceiveCharacters does.
VOID Drain(PDEVICE_EXTENSION extension)
{
    delivered->emplace_back(extension->Uart.RxFifo, extension->Uart.RxFifo + extension->Uart.RxCount);
    extension->Uart.RxCount = 0;
}

// The port's last request as the server got it.
struct Request {
    bool active = false;
    PETH_CONNECTION connection = nullptr;
    USHORT transactionId = 0;
    std::uint8_t unit = 0, function = 0, mode = 0;
    int replies = 0;
};

class Port {
public:
    Port()
    {
        ext_ = std::make_unique<DEVICE_EXTENSION>();
        ext = ext_.get();
        qv::VerifierForbidNestings(QuorvelForbiddenNesting);
        GatewayInitialize(ext);
        KeInitializeSpinLock(&ext->DeviceLock);
        NAME_DRIVER_LOCK(&ext->DeviceLock, LOCK_NAME_DEVICE);
        ext->Uart.RxFifo = (PUCHAR)ExAllocatePoolWithTag(NonPagedPool, VUART_RX_FIFO_SIZE, FUZZ_TAG);
        RtlZeroMemory(ext->Uart.RxFifo, VUART_RX_FIFO_SIZE);
        ext->RxRingSize = VUART_RX_FIFO_SIZE;
        PoolBytes record(BuildRecord());
        FUZZ_CHECK(MakeEthernetLists(ext, record.get()) == STATUS_SUCCESS, "the port's record is refused");
        for (std::uint8_t d : kDevices) connections[d] = FindConnectionByDeviceID(ext, d);
        for (int i = 0; i < 3; ++i) byServer[i] = connections[kServers[i].ids[0]];
    }
    ~Port()
    {
        FreeEthernetLists(ext);
        ExFreePoolWithTag(ext->Uart.RxFifo, FUZZ_TAG);
    }

    void Write(const Bytes &frame);
    void Reply(PETH_CONNECTION c, const Bytes &message, std::size_t split, bool bad);
    void Deliver(PETH_CONNECTION c, const Bytes &block);

    PDEVICE_EXTENSION ext;
    std::map<std::uint8_t, PETH_CONNECTION> connections;
    PETH_CONNECTION byServer[3];
    std::map<PETH_CONNECTION, bool> clean;  // no partial reply can be held: nothing since the last request
    Request last;
    Bytes lastBlock;
    PETH_CONNECTION lastConnection = nullptr;

private:
    std::unique_ptr<DEVICE_EXTENSION> ext_;
};

void Port::Write(const Bytes &frame)
{
    PoolBytes data(frame);
    NTSTATUS status = ForwardRequest(ext, data.get(), data.size());
    FUZZ_CHECK(status == STATUS_SUCCESS || status == STATUS_TIMEOUT, Hex(frame));

    bool rtu = frame.size() >= 8 && IsValidRtu(frame);
    bool ascii = !rtu && IsStrictAscii(frame);
    Bytes content = rtu ? Bytes(frame.begin(), frame.end() - 2) : ascii ? AsciiContent(frame) : Bytes();
    const Server *server = content.empty() ? nullptr : ServerOf(content[0]);

    if (ext->PendingData == NULL) {
        FUZZ_CHECK(server == nullptr || content.size() < 2,
                   "a request for a served device was not sent: " + Hex(frame));
        return;
    }
    Bytes sent(ext->PendingData, ext->PendingData + ext->PendingLength);
    PETH_CONNECTION c = ext->PendingConnection;
    if (!(rtu || ascii)) {
        FUZZ_CHECK(rtu || ascii, "a frame that is neither RTU nor ASCII was sent: " + Hex(frame));
    } else if (server == nullptr || c != connections[content[0]]) {
        Fail(__FILE__, __LINE__, "sent to the wrong connection: " + Hex(frame));
    } else if (c->raw != 0) {
        FUZZ_CHECK(sent == frame, "a raw connection gets the frame unchanged: " + Hex(sent));
    } else {
        Bytes expected = {UCHAR(c->TransactionId & 0xFF), UCHAR(c->TransactionId >> 8), 0, 0,
                          UCHAR(content.size() >> 8),     UCHAR(content.size() & 0xFF)};
        expected.insert(expected.end(), content.begin(), content.end());
        FUZZ_CHECK(sent == expected, "MBAP request " + Hex(sent) + " for " + Hex(frame));
        FUZZ_CHECK(c->TransactionId != 0, "transaction id 0");
    }
    // Sent: the connection thread would free it now.
    AcquireConnectMutex(ext);
    ExFreePool(ext->PendingData);
    ext->PendingData = NULL;
    ext->PendingLength = 0;
    ext->PendingConnection = NULL;
    ReleaseConnectMutex(ext);

    last = Request{};
    last.active = c != NULL && c->raw == 0;
    last.connection = c;
    last.transactionId = c != NULL ? c->TransactionId : 0;
    last.unit = content.empty() ? 0 : content[0];
    last.function = content.size() > 1 ? content[1] : 0;
    last.mode = rtu ? FRAME_MODE_RTU : FRAME_MODE_ASCII;
    if (c != NULL) clean[c] = true;
}

void Port::Deliver(PETH_CONNECTION c, const Bytes &block)
{
    if (block.empty()) return;
    std::vector<Bytes> replies;
    delivered = &replies;
    {
        PoolBytes data(block);
        KIRQL irql;
        KeAcquireSpinLock(&ext->DeviceLock, &irql);
        ULONG consumed = ProcessIncomingData(ext, c, data.get(), data.size(), Drain);
        FUZZ_CHECK(ext->Uart.RxCount <= VUART_RX_FIFO_SIZE, "FIFO count " + std::to_string(ext->Uart.RxCount));
        if (ext->Uart.RxCount != 0) Drain(ext);  // a reply placed without the receive step
        KeReleaseSpinLock(&ext->DeviceLock, irql);
        FUZZ_CHECK(consumed == data.size(), "the whole block is taken");
        FUZZ_CHECK(Bytes(data.get(), data.get() + data.size()) == block, "the indicated data was changed");
    }
    delivered = nullptr;
    lastBlock = block;
    lastConnection = c;

    for (const Bytes &reply : replies) {
        FUZZ_CHECK(reply.size() <= VUART_RX_FIFO_SIZE, "reply of " + std::to_string(reply.size()) + " bytes");
        if (c->raw != 0) continue;  // raw replies pass unchecked
        FUZZ_CHECK(last.active && last.connection == c,
                   "a reply from a server the last request did not go to: " + Hex(reply));
        FUZZ_CHECK(++last.replies == 1, "a second reply to one request: " + Hex(reply));
        bool valid = last.mode == FRAME_MODE_RTU ? IsValidRtu(reply) : IsStrictAscii(reply);
        FUZZ_CHECK(valid, "not a frame in the request's framing: " + Hex(reply));
        if (!valid) continue;
        Bytes content = last.mode == FRAME_MODE_RTU ? Bytes(reply.begin(), reply.end() - 2) : AsciiContent(reply);
        FUZZ_CHECK(content.size() >= 2 && content[0] == last.unit && (content[1] & 0x7F) == (last.function & 0x7F),
                   "reply " + Hex(content) + " to unit " + std::to_string(last.unit) + " function " +
                       std::to_string(last.function));
    }
}

// One whole MBAP message, delivered in one block or two. `bad` says it is malformed in a way the
// gateway must refuse.
void Port::Reply(PETH_CONNECTION c, const Bytes &message, std::size_t split, bool bad)
{
    bool wasClean = clean[c];
    std::size_t repliesBefore = std::size_t(last.replies);
    if (split > 0 && split < message.size()) {
        Deliver(c, Bytes(message.begin(), message.begin() + std::ptrdiff_t(split)));
        Deliver(c, Bytes(message.begin() + std::ptrdiff_t(split), message.end()));
    } else {
        Deliver(c, message);
    }
    if (wasClean && bad && c->raw == 0)
        FUZZ_CHECK(std::size_t(last.replies) == repliesBefore, "a malformed reply was delivered: " + Hex(message));
}

void Run(Input &in)
{
    Port port;
    while (!in.Empty()) {
        std::uint8_t op = in.Byte() % 5;
        if (op == 0) {  // any bytes, written
            port.Write(in.Take(in.Byte()));
        } else if (op == 1) {  // a well-formed request
            std::uint8_t device = kDevices[in.Byte() % sizeof(kDevices)];
            std::uint8_t how = in.Byte();
            Bytes content = {device, in.Byte()};
            Bytes data = in.Take(how >> 3);
            content.insert(content.end(), data.begin(), data.end());
            port.Write(how & 1 ? AsciiFrame(content, how & 2) : RtuFrame(content));
        } else if (op == 2) {  // a reply to the last request, maybe malformed
            PETH_CONNECTION c = port.byServer[in.Byte() % 3];
            std::uint8_t flags = in.Byte();
            std::uint8_t function = flags & 1 ? in.Byte() : port.last.function;
            Bytes pdu = {function};
            Bytes data = in.Take(in.Byte());
            pdu.insert(pdu.end(), data.begin(), data.end());
            USHORT id = USHORT(port.last.transactionId + (flags & 2 ? 1 : 0));
            std::uint8_t protocol = flags & 4 ? 1 : 0;
            std::uint8_t unit = flags & 8 ? std::uint8_t(port.last.unit + 1) : port.last.unit;
            std::uint32_t length = std::uint32_t(pdu.size() + 1);
            static const std::uint32_t kWrongLengths[] = {0, 1, 2, 65535};
            if (flags & 16) length = kWrongLengths[(flags >> 6) & 3];
            Bytes message = {UCHAR(id & 0xFF),   UCHAR(id >> 8),       0,   protocol,
                             UCHAR(length >> 8), UCHAR(length & 0xFF), unit};
            message.insert(message.end(), pdu.begin(), pdu.end());
            bool bad =
                protocol != 0 || unit != port.last.unit || id != port.last.transactionId || length != pdu.size() + 1;
            std::size_t split = in.Byte();
            port.Reply(c, message, split, bad);
            if (flags & 32) port.Reply(c, message, 0, true);  // the same reply again
            if (length != pdu.size() + 1) port.clean[c] = false;
        } else if (op == 3) {  // any bytes from a server
            PETH_CONNECTION c = port.byServer[in.Byte() % 3];
            port.Deliver(c, in.Take(in.U16() % 8192));
            port.clean[c] = false;
        } else if (port.lastConnection != nullptr) {  // the last block once more
            port.Deliver(port.lastConnection, port.lastBlock);
            port.clean[port.lastConnection] = false;
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    BootPlatform();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    qv::PoolUsage before = qv::QueryPoolUsage();
    {
        Input in(data, size);
        Run(in);
    }
    qv::PoolUsage after = qv::QueryPoolUsage();
    FUZZ_CHECK(after.Blocks == before.Blocks && after.Bytes == before.Bytes,
               "pool blocks " + std::to_string(before.Blocks) + " before, " + std::to_string(after.Blocks) + " after");
    CheckPlatformAfterInput();
    EndInput();
    return 0;
}
