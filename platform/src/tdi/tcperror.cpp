// Socket errors as the status codes Windows' TCP reports for the same conditions. A request
// that fails never completes with a success code: errors missing from the table map to
// STATUS_UNEXPECTED_NETWORK_ERROR.
#include <errno.h>

#include "tcp.h"

namespace qv::tcp {
namespace {

struct SocketError {
    int Error;
    NTSTATUS Status;
};

const SocketError kSocketErrors[] = {
    {ECONNREFUSED, STATUS_CONNECTION_REFUSED},  // nobody listens on the port
    {ENETUNREACH, STATUS_NETWORK_UNREACHABLE},  // no route to the network
    {ENETDOWN, STATUS_NETWORK_UNREACHABLE},
    {EHOSTUNREACH, STATUS_HOST_UNREACHABLE},  // no route to the host
    {EHOSTDOWN, STATUS_HOST_UNREACHABLE},
    {ETIMEDOUT, STATUS_IO_TIMEOUT},         // the stack gave up retransmitting
    {ECONNRESET, STATUS_CONNECTION_RESET},  // the peer reset the connection
    {ENETRESET, STATUS_CONNECTION_RESET},
    {EPIPE, STATUS_CONNECTION_RESET},  // written after the peer's reset
    {ECONNABORTED, STATUS_CONNECTION_ABORTED},
    {ENOTCONN, STATUS_INVALID_CONNECTION},
    {EADDRINUSE, STATUS_ADDRESS_ALREADY_EXISTS},        // local address and port taken
    {EADDRNOTAVAIL, STATUS_INVALID_ADDRESS_COMPONENT},  // not an address of this host
    {EAFNOSUPPORT, STATUS_INVALID_ADDRESS_COMPONENT},
    {EACCES, STATUS_ACCESS_DENIED},
    {EPERM, STATUS_ACCESS_DENIED},
    {ENOMEM, STATUS_INSUFFICIENT_RESOURCES},
    {ENOBUFS, STATUS_INSUFFICIENT_RESOURCES},
    {EMFILE, STATUS_INSUFFICIENT_RESOURCES},
    {ENFILE, STATUS_INSUFFICIENT_RESOURCES},
    {EINVAL, STATUS_INVALID_PARAMETER},
};

}  // namespace

NTSTATUS StatusFromErrno(int error)
{
    for (const SocketError &e : kSocketErrors)
        if (e.Error == error) return e.Status;
    return STATUS_UNEXPECTED_NETWORK_ERROR;
}

}  // namespace qv::tcp
