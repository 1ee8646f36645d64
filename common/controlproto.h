// Messages of quorvel-host's control socket (docs/control-protocol.md): the configurator's
// platform calls as length-prefixed request/response frames. Encoding and decoding only; the
// client is in the configurator and the server in the host.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "common/wintypes.h"

namespace quorvel::ctl {

using Bytes = std::vector<std::uint8_t>;

inline constexpr std::uint16_t kProtocolVersion = 1;
// Largest frame body either side accepts; a longer length prefix ends the connection.
inline constexpr std::uint32_t kMaxFrameBody = 1u << 20;
inline constexpr std::uint32_t kRequestHeaderSize = 4;   // version, op
inline constexpr std::uint32_t kResponseHeaderSize = 8;  // version, op, error

// Largest filter driver InstallFilterService takes: well below the frame limit, so that name and
// framing always fit beside it.
inline constexpr std::uint32_t kMaxFilterFileSize = 960u * 1024;
// Largest output a PortIoControl may ask for: the host allocates it before the request goes out.
inline constexpr std::uint32_t kMaxPortIoOutput = 65536;
// Largest registry value a client may write (filter lists: a few service names).
inline constexpr std::uint32_t kMaxRegistryValueBytes = 65536;

// The control codes PortIoControl passes to a port: only the driver's own requests (device type
// FILE_DEVICE_SERIAL_PORT, METHOD_BUFFERED, FILE_ANY_ACCESS, functions 10000 to 10015: the
// Ethernet pair and the driver's private options). Serial requests that wait for line events or
// characters would hold a host thread for as long as the port stays quiet.
bool PortIoControlAllowed(std::uint32_t ioctl);

enum class Op : std::uint16_t {
    GetClassDevs = 1,
    EnumDeviceInfo = 2,
    DestroyDeviceInfoList = 3,
    GetClassDescription = 4,
    GetDeviceRegistryProperty = 5,
    SetDeviceRegistryProperty = 6,
    QueryClassValue = 7,
    SetClassMultiSz = 8,
    PortIoControl = 9,
    InstallDevice = 10,
    RemoveDevice = 11,
    InstallFilterService = 12,
};

class Writer {
public:
    void operator()(const bool &v) { U8(v ? 1 : 0); }
    void operator()(const std::uint8_t &v) { U8(v); }
    void operator()(const std::uint16_t &v);
    void operator()(const std::uint32_t &v);
    void operator()(const std::uint64_t &v);
    void operator()(const std::u16string &v);
    void operator()(const Bytes &v);
    void operator()(const Guid &v);
    void operator()(const DevData &v);
    Bytes &bytes() { return bytes_; }

private:
    void U8(std::uint8_t v) { bytes_.push_back(v); }
    Bytes bytes_;
};

// Reads fields in order; a read past the end, a string of odd byte length or a bool other
// than 0/1 marks the reader failed and yields zero values.
class Reader {
public:
    Reader(const std::uint8_t *data, std::size_t size) : data_(data), size_(size) {}
    void operator()(bool &v);
    void operator()(std::uint8_t &v);
    void operator()(std::uint16_t &v);
    void operator()(std::uint32_t &v);
    void operator()(std::uint64_t &v);
    void operator()(std::u16string &v);
    void operator()(Bytes &v);
    void operator()(Guid &v);
    void operator()(DevData &v);
    bool ok() const { return ok_; }
    bool AtEnd() const { return ok_ && pos_ == size_; }

private:
    const std::uint8_t *Take(std::size_t n);
    const std::uint8_t *data_;
    std::size_t size_;
    std::size_t pos_ = 0;
    bool ok_ = true;
};

// One request and one response type per operation. Responses carry their fields also when the
// error code is not 0 (zero-filled), so that for example the needed size comes with 122.
#define QV_FIELDS(...)  \
    template <class IO> \
    void Fields(IO &io) \
    {                   \
        __VA_ARGS__;    \
    }

struct Empty {
    template <class IO>
    void Fields(IO &)
    {
    }
};

struct GetClassDevsRequest {
    static constexpr Op kOp = Op::GetClassDevs;
    bool hasClass = false;
    Guid classGuid;
    std::uint32_t flags = 0;
    QV_FIELDS(io(hasClass), io(classGuid), io(flags))
};
struct GetClassDevsResponse {
    DevSet set = kNoDevSet;
    QV_FIELDS(io(set))
};

struct EnumDeviceInfoRequest {
    static constexpr Op kOp = Op::EnumDeviceInfo;
    DevSet set = kNoDevSet;
    std::uint32_t index = 0;
    QV_FIELDS(io(set), io(index))
};
struct EnumDeviceInfoResponse {
    DevData device;
    QV_FIELDS(io(device))
};

struct DestroyDeviceInfoListRequest {
    static constexpr Op kOp = Op::DestroyDeviceInfoList;
    DevSet set = kNoDevSet;
    QV_FIELDS(io(set))
};

struct GetClassDescriptionRequest {
    static constexpr Op kOp = Op::GetClassDescription;
    Guid classGuid;
    QV_FIELDS(io(classGuid))
};
struct TextResponse {
    std::u16string text;
    QV_FIELDS(io(text))
};

struct GetDeviceRegistryPropertyRequest {
    static constexpr Op kOp = Op::GetDeviceRegistryProperty;
    DevSet set = kNoDevSet;
    DevData device;
    std::uint32_t property = 0;
    std::uint32_t bufferSize = 0;
    QV_FIELDS(io(set), io(device), io(property), io(bufferSize))
};
struct DataResponse {
    std::uint32_t needed = 0;  // bytes the value needs (also with ERROR_INSUFFICIENT_BUFFER / ERROR_MORE_DATA)
    Bytes data;                // at most the request's buffer size
    QV_FIELDS(io(needed), io(data))
};

struct SetDeviceRegistryPropertyRequest {
    static constexpr Op kOp = Op::SetDeviceRegistryProperty;
    DevSet set = kNoDevSet;
    DevData device;
    std::uint32_t property = 0;
    Bytes data;  // empty: the property is deleted
    QV_FIELDS(io(set), io(device), io(property), io(data))
};

struct QueryClassValueRequest {
    static constexpr Op kOp = Op::QueryClassValue;
    Guid classGuid;
    std::u16string name;
    std::uint32_t bufferSize = 0;
    QV_FIELDS(io(classGuid), io(name), io(bufferSize))
};

struct SetClassMultiSzRequest {
    static constexpr Op kOp = Op::SetClassMultiSz;
    Guid classGuid;
    std::u16string name;
    Bytes data;  // empty: a REG_MULTI_SZ value with no data
    QV_FIELDS(io(classGuid), io(name), io(data))
};

struct PortIoControlRequest {
    static constexpr Op kOp = Op::PortIoControl;
    std::u16string portName;  // "COM5": the host opens \\.\COM5, sends one request, closes
    std::uint32_t ioctl = 0;
    Bytes input;
    std::uint32_t outputSize = 0;
    QV_FIELDS(io(portName), io(ioctl), io(input), io(outputSize))
};
struct PortIoControlResponse {
    std::uint32_t information = 0;  // the request's information length, also on failure
    Bytes output;                   // the returned bytes, at most outputSize
    QV_FIELDS(io(information), io(output))
};

struct InstallDeviceRequest {
    static constexpr Op kOp = Op::InstallDevice;
    std::u16string infPath;
    std::u16string hardwareId;
    QV_FIELDS(io(infPath), io(hardwareId))
};

struct RemoveDeviceRequest {
    static constexpr Op kOp = Op::RemoveDevice;
    DevSet set = kNoDevSet;
    DevData device;
    QV_FIELDS(io(set), io(device))
};

struct InstallFilterServiceRequest {
    static constexpr Op kOp = Op::InstallFilterService;
    std::u16string fileName;  // "myfilt.sys": a name only, read by the client with its own rights
    Bytes content;            // the file's bytes, at most kMaxFilterFileSize
    QV_FIELDS(io(fileName), io(content))
};
// InstallFilterService answers a TextResponse carrying the service name.

#undef QV_FIELDS

// A frame: the 4-byte little-endian body length, then the body.
Bytes FrameRequestBody(Op op, Bytes fields, std::uint16_t version = kProtocolVersion);
Bytes FrameResponseBody(Op op, Win32Error error, Bytes fields, std::uint16_t version = kProtocolVersion);

template <class T>
Bytes EncodeFields(const T &message)
{
    T copy = message;
    Writer w;
    copy.Fields(w);
    return std::move(w.bytes());
}

template <class Req>
Bytes EncodeRequest(const Req &request)
{
    return FrameRequestBody(Req::kOp, EncodeFields(request));
}

template <class Resp>
Bytes EncodeResponse(Op op, Win32Error error, const Resp &response)
{
    return FrameResponseBody(op, error, EncodeFields(response));
}

// Splits a received body (the length prefix already removed).
struct RequestHeader {
    std::uint16_t version = 0;
    Op op{};
};
struct ResponseHeader {
    std::uint16_t version = 0;
    Op op{};
    Win32Error error = 0;
};
bool DecodeRequestHeader(const Bytes &body, RequestHeader *header);
bool DecodeResponseHeader(const Bytes &body, ResponseHeader *header);

// Decodes the fields after a header of headerSize bytes; every byte must be used.
template <class T>
bool DecodeFields(const Bytes &body, std::size_t headerSize, T *out)
{
    if (body.size() < headerSize) return false;
    Reader r(body.data() + headerSize, body.size() - headerSize);
    T message;
    message.Fields(r);
    if (!r.AtEnd()) return false;
    *out = std::move(message);
    return true;
}

#ifndef _WIN32
// Blocking frame I/O on a stream socket (POSIX). ReceiveFrame refuses a body over kMaxFrameBody.
bool SendFrame(int fd, const Bytes &frame);
bool ReceiveFrame(int fd, Bytes *body);
#endif

}  // namespace quorvel::ctl
