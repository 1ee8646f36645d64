#include "common/controlproto.h"

#include <cerrno>
#include <cstring>

#ifndef _WIN32
#include <sys/socket.h>
#include <unistd.h>
#endif

namespace quorvel::ctl {
namespace {

void PutLe(Bytes &b, std::uint64_t v, int width)
{
    for (int i = 0; i < width; ++i) b.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
}

std::uint64_t GetLe(const std::uint8_t *p, int width)
{
    std::uint64_t v = 0;
    for (int i = 0; i < width; ++i) v |= std::uint64_t(p[i]) << (8 * i);
    return v;
}

Bytes Frame(const Bytes &header, const Bytes &fields)
{
    Bytes frame;
    frame.reserve(4 + header.size() + fields.size());
    PutLe(frame, header.size() + fields.size(), 4);
    frame.insert(frame.end(), header.begin(), header.end());
    frame.insert(frame.end(), fields.begin(), fields.end());
    return frame;
}

}  // namespace

bool PortIoControlAllowed(std::uint32_t ioctl)
{
    // CTL_CODE(0x1B, function, METHOD_BUFFERED, FILE_ANY_ACCESS) for functions 10000..10015; the
    // function numbers run into the access bits, so the codes are compared whole.
    constexpr std::uint32_t kFirst = (0x1Bu << 16) | (10000u << 2), kLast = (0x1Bu << 16) | (10015u << 2);
    return ioctl >= kFirst && ioctl <= kLast && (ioctl & 3) == 0;
}

void Writer::operator()(const std::uint16_t &v) { PutLe(bytes_, v, 2); }
void Writer::operator()(const std::uint32_t &v) { PutLe(bytes_, v, 4); }
void Writer::operator()(const std::uint64_t &v) { PutLe(bytes_, v, 8); }

void Writer::operator()(const std::u16string &v)
{
    PutLe(bytes_, v.size() * 2, 4);
    for (char16_t c : v) PutLe(bytes_, c, 2);
}

void Writer::operator()(const Bytes &v)
{
    PutLe(bytes_, v.size(), 4);
    bytes_.insert(bytes_.end(), v.begin(), v.end());
}

void Writer::operator()(const Guid &v)
{
    PutLe(bytes_, v.d1, 4);
    PutLe(bytes_, v.d2, 2);
    PutLe(bytes_, v.d3, 2);
    bytes_.insert(bytes_.end(), v.d4, v.d4 + 8);
}

void Writer::operator()(const DevData &v)
{
    (*this)(v.classGuid);
    (*this)(v.devInst);
    (*this)(v.reserved);
}

const std::uint8_t *Reader::Take(std::size_t n)
{
    if (!ok_ || size_ - pos_ < n) {
        ok_ = false;
        return nullptr;
    }
    const std::uint8_t *p = data_ + pos_;
    pos_ += n;
    return p;
}

void Reader::operator()(bool &v)
{
    std::uint8_t b = 0;
    (*this)(b);
    if (b > 1) ok_ = false;
    v = b == 1;
}

void Reader::operator()(std::uint8_t &v)
{
    const std::uint8_t *p = Take(1);
    v = p ? *p : 0;
}

void Reader::operator()(std::uint16_t &v)
{
    const std::uint8_t *p = Take(2);
    v = p ? static_cast<std::uint16_t>(GetLe(p, 2)) : 0;
}

void Reader::operator()(std::uint32_t &v)
{
    const std::uint8_t *p = Take(4);
    v = p ? static_cast<std::uint32_t>(GetLe(p, 4)) : 0;
}

void Reader::operator()(std::uint64_t &v)
{
    const std::uint8_t *p = Take(8);
    v = p ? GetLe(p, 8) : 0;
}

void Reader::operator()(std::u16string &v)
{
    v.clear();
    std::uint32_t n = 0;
    (*this)(n);
    if (n % 2 != 0) ok_ = false;
    const std::uint8_t *p = Take(n);
    if (!p) return;
    v.resize(n / 2);
    for (std::size_t i = 0; i < v.size(); ++i) v[i] = static_cast<char16_t>(GetLe(p + 2 * i, 2));
}

void Reader::operator()(Bytes &v)
{
    v.clear();
    std::uint32_t n = 0;
    (*this)(n);
    const std::uint8_t *p = Take(n);
    if (p) v.assign(p, p + n);
}

void Reader::operator()(Guid &v)
{
    (*this)(v.d1);
    (*this)(v.d2);
    (*this)(v.d3);
    const std::uint8_t *p = Take(8);
    if (p)
        std::memcpy(v.d4, p, 8);
    else
        std::memset(v.d4, 0, 8);
}

void Reader::operator()(DevData &v)
{
    (*this)(v.classGuid);
    (*this)(v.devInst);
    (*this)(v.reserved);
}

Bytes FrameRequestBody(Op op, Bytes fields, std::uint16_t version)
{
    Bytes header;
    PutLe(header, version, 2);
    PutLe(header, static_cast<std::uint16_t>(op), 2);
    return Frame(header, fields);
}

Bytes FrameResponseBody(Op op, Win32Error error, Bytes fields, std::uint16_t version)
{
    Bytes header;
    PutLe(header, version, 2);
    PutLe(header, static_cast<std::uint16_t>(op), 2);
    PutLe(header, error, 4);
    return Frame(header, fields);
}

bool DecodeRequestHeader(const Bytes &body, RequestHeader *header)
{
    if (body.size() < kRequestHeaderSize) return false;
    header->version = static_cast<std::uint16_t>(GetLe(body.data(), 2));
    header->op = static_cast<Op>(GetLe(body.data() + 2, 2));
    return true;
}

bool DecodeResponseHeader(const Bytes &body, ResponseHeader *header)
{
    if (body.size() < kResponseHeaderSize) return false;
    header->version = static_cast<std::uint16_t>(GetLe(body.data(), 2));
    header->op = static_cast<Op>(GetLe(body.data() + 2, 2));
    header->error = static_cast<Win32Error>(GetLe(body.data() + 4, 4));
    return true;
}

#ifndef _WIN32
bool SendFrame(int fd, const Bytes &frame)
{
    std::size_t sent = 0;
    while (sent < frame.size()) {
        ssize_t n = ::send(fd, frame.data() + sent, frame.size() - sent, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        sent += static_cast<std::size_t>(n);
    }
    return true;
}

namespace {

bool ReadExactly(int fd, std::uint8_t *p, std::size_t n)
{
    std::size_t got = 0;
    while (got < n) {
        ssize_t r = ::read(fd, p + got, n - got);
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) return false;
        got += static_cast<std::size_t>(r);
    }
    return true;
}

}  // namespace

bool ReceiveFrame(int fd, Bytes *body)
{
    std::uint8_t prefix[4];
    if (!ReadExactly(fd, prefix, 4)) return false;
    std::uint32_t length = static_cast<std::uint32_t>(GetLe(prefix, 4));
    if (length > kMaxFrameBody) return false;
    body->resize(length);
    return length == 0 || ReadExactly(fd, body->data(), length);
}

#endif

}  // namespace quorvel::ctl
