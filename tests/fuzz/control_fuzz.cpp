// The control socket's messages as the host decodes requests and the configurator decodes
// responses, and the length-prefixed framing that carries them.
//
// Invariants: a body that decodes is the one encoding of what it decodes to (so nothing in it
// was skipped or read twice); the frame reader hands out exactly the bytes that were sent, never
// a body over the limit, and stops at the first bad or cut frame.
#include <sys/socket.h>
#include <unistd.h>

#include "common/controlproto.h"
#include "fuzz.h"
#include "hostproto.h"

using namespace qvfuzz;
namespace ctl = quorvel::ctl;
namespace hostctl = quorvel::hostctl;

namespace {

template <std::uint16_t N, class Base>
struct HostRequest : Base {
    static constexpr ctl::Op kOp = ctl::Op(N);
};

template <class T>
void CheckFields(const Bytes &body, std::size_t headerSize, const char *name)
{
    T message;
    if (!ctl::DecodeFields(body, headerSize, &message)) return;
    Bytes again = ctl::EncodeFields(message);
    FUZZ_CHECK(Bytes(body.begin() + std::ptrdiff_t(headerSize), body.end()) == again,
               std::string(name) + " decodes from " + Hex(body) + " but encodes as " + Hex(again));
}

void CheckRequest(const Bytes &body)
{
    ctl::RequestHeader h;
    if (!ctl::DecodeRequestHeader(body, &h)) {
        FUZZ_CHECK(body.size() < ctl::kRequestHeaderSize, "header refused: " + Hex(body));
        return;
    }
    const std::size_t n = ctl::kRequestHeaderSize;
    switch (std::uint16_t(h.op)) {
    case 1: CheckFields<ctl::GetClassDevsRequest>(body, n, "GetClassDevs"); break;
    case 2: CheckFields<ctl::EnumDeviceInfoRequest>(body, n, "EnumDeviceInfo"); break;
    case 3: CheckFields<ctl::DestroyDeviceInfoListRequest>(body, n, "DestroyDeviceInfoList"); break;
    case 4: CheckFields<ctl::GetClassDescriptionRequest>(body, n, "GetClassDescription"); break;
    case 5: CheckFields<ctl::GetDeviceRegistryPropertyRequest>(body, n, "GetDeviceRegistryProperty"); break;
    case 6: CheckFields<ctl::SetDeviceRegistryPropertyRequest>(body, n, "SetDeviceRegistryProperty"); break;
    case 7: CheckFields<ctl::QueryClassValueRequest>(body, n, "QueryClassValue"); break;
    case 8: CheckFields<ctl::SetClassMultiSzRequest>(body, n, "SetClassMultiSz"); break;
    case 9: CheckFields<ctl::PortIoControlRequest>(body, n, "PortIoControl"); break;
    case 10: CheckFields<ctl::InstallDeviceRequest>(body, n, "InstallDevice"); break;
    case 11: CheckFields<ctl::RemoveDeviceRequest>(body, n, "RemoveDevice"); break;
    case 12: CheckFields<ctl::InstallFilterServiceRequest>(body, n, "InstallFilterService"); break;
    case hostctl::AddPort:
    case hostctl::RemovePort:
    case hostctl::PortStatus: CheckFields<hostctl::NameMessage>(body, n, "port name"); break;
    case hostctl::ListPorts: CheckFields<ctl::Empty>(body, n, "ListPorts"); break;
    default: break;
    }
}

void CheckResponse(const Bytes &body)
{
    ctl::ResponseHeader h;
    if (!ctl::DecodeResponseHeader(body, &h)) return;
    const std::size_t n = ctl::kResponseHeaderSize;
    switch (std::uint16_t(h.op)) {
    case 1: CheckFields<ctl::GetClassDevsResponse>(body, n, "GetClassDevs response"); break;
    case 2: CheckFields<ctl::EnumDeviceInfoResponse>(body, n, "EnumDeviceInfo response"); break;
    case 4:
    case 12: CheckFields<ctl::TextResponse>(body, n, "text response"); break;
    case 5:
    case 7: CheckFields<ctl::DataResponse>(body, n, "data response"); break;
    case 9: CheckFields<ctl::PortIoControlResponse>(body, n, "PortIoControl response"); break;
    case hostctl::ListPorts: CheckFields<hostctl::PortList>(body, n, "port list"); break;
    case hostctl::AddPort: CheckFields<hostctl::NameMessage>(body, n, "AddPort response"); break;
    case hostctl::PortStatus: CheckFields<hostctl::PortStatusReply>(body, n, "port status"); break;
    default: CheckFields<ctl::Empty>(body, n, "empty response"); break;
    }
}

// The input as a byte stream on a socket, read frame by frame until the reader stops.
void CheckFrames(const Bytes &stream)
{
    if (stream.size() > 65536) return;  // more than a socket buffer holds without a reader
    int fds[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) return;
    bool sent = ctl::SendFrame(fds[1], stream);
    shutdown(fds[1], SHUT_WR);
    FUZZ_CHECK(sent, "socket send");
    std::size_t offset = 0;
    Bytes body;
    while (ctl::ReceiveFrame(fds[0], &body)) {
        FUZZ_CHECK(body.size() <= ctl::kMaxFrameBody, "body of " + std::to_string(body.size()));
        FUZZ_CHECK(offset + 4 + body.size() <= stream.size(), "more bytes received than sent");
        if (offset + 4 + body.size() > stream.size()) break;
        std::uint32_t length = stream[offset] | (stream[offset + 1] << 8) | (stream[offset + 2] << 16) |
                               (std::uint32_t(stream[offset + 3]) << 24);
        FUZZ_CHECK(
            length == body.size() && std::equal(body.begin(), body.end(), stream.begin() + std::ptrdiff_t(offset + 4)),
            "frame at " + std::to_string(offset));
        offset += 4 + body.size();
        CheckRequest(body);
    }
    // The reader stops only at the end, at a prefix over the limit, or at a cut frame.
    if (offset + 4 <= stream.size()) {
        std::uint32_t length = stream[offset] | (stream[offset + 1] << 8) | (stream[offset + 2] << 16) |
                               (std::uint32_t(stream[offset + 3]) << 24);
        FUZZ_CHECK(length > ctl::kMaxFrameBody || offset + 4 + length > stream.size(),
                   "reader stopped at a whole frame at " + std::to_string(offset));
    }
    close(fds[0]);
    close(fds[1]);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) { return 0; }

// First byte: 0 a request body, 1 a response body, else a stream of frames.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    if (size == 0) return 0;
    Bytes rest(data + 1, data + size);
    switch (data[0] % 3) {
    case 0: CheckRequest(rest); break;
    case 1: CheckResponse(rest); break;
    default: CheckFrames(rest); break;
    }
    EndInput();
    return 0;
}
