// Socket primitives. Each wraps one or two platform calls and turns every outcome into the
// three answers the transfer layer understands: some bytes, nothing for now, or failure.
#include "net/sockets.h"

#include <cstring>

#include "net/udp_endpoint.h"

namespace {

bool would_block_or_no_buffers() {
    SockError kind = platform::classify_error(platform::last_error());
    return kind == SockError::WouldBlock || kind == SockError::NoBuffers;
}

}  // namespace

sock_t tcp_socket_create() {
    sock_t handle = platform::socket_tcp();
    if (handle == kInvalidSocket) return kInvalidSocket;
    // The order is fixed: non-blocking first, then keep-alive, address reuse, no-delay.
    if (platform::socket_set_nonblocking(handle) != 0 ||
        platform::socket_set_option(handle, SockOption::KeepAlive) == -1 ||
        platform::socket_set_option(handle, SockOption::ReuseAddr) != 0) {
        platform::socket_close(handle);
        return kInvalidSocket;
    }
    platform::socket_set_option(handle, SockOption::NoDelay);  // a failure costs latency only
    return handle;
}

int socket_bind(sock_t handle, std::uint32_t addr_net, std::uint16_t port) {
    return platform::socket_bind(handle, addr_net, port) < 0 ? -1 : 0;
}

sock_t udp_socket_create(const char* dest_text, SockAddrIn* remote, std::uint32_t local_addr,
                         std::uint16_t port) {
    std::uint32_t dest = dest_text != nullptr ? platform::inet_from_text(dest_text) : kInaddrNone;
    sock_t handle = platform::socket_udp();
    if (handle == kInvalidSocket) return kInvalidSocket;

    std::memset(remote, 0, sizeof *remote);
    remote->family = kAfInet;
    remote->port = platform::host_to_net16(port);
    remote->addr = dest;

    // The given port is only the destination; the system picks the local one.
    if (socket_bind(handle, local_addr, 0) != 0) {
        platform::socket_close(handle);
        return kInvalidSocket;
    }
    platform::socket_set_option(handle, SockOption::Broadcast);
    // Reads must never wait: the read loop calls udp_recv until it returns 0.
    platform::socket_set_nonblocking(handle);
    return handle;
}

int tcp_send(sock_t handle, const char* data, int length, Connection*) {
    int n = platform::socket_send(handle, data, length);
    if (n != -1) return n;
    return would_block_or_no_buffers() ? 0 : -1;
}

int tcp_recv(sock_t handle, char* buffer, int space, Connection*) {
    int n = platform::socket_recv(handle, buffer, space);
    if (n == -1) {
        return platform::classify_error(platform::last_error()) == SockError::WouldBlock ? 0 : -1;
    }
    // An orderly shutdown by the peer ends the connection like a failure.
    return n == 0 ? -1 : n;
}

int udp_send(sock_t handle, const char* data, int length, Connection* connection) {
    int n = platform::socket_sendto(handle, data, length, endpoint_remote_addr(connection));
    if (n != -1) return n;
    // A full socket buffer keeps the datagram queued for the write pass.
    return would_block_or_no_buffers() ? 0 : -1;
}

int udp_recv(sock_t handle, char* buffer, int space, Connection* connection) {
    bool truncated = false;
    int n = platform::socket_recvfrom(handle, buffer, space, endpoint_remote_addr(connection),
                                      &truncated);
    // A datagram larger than the free space is dropped whole rather than passed on cut.
    if (n < 0 || truncated) return 0;
    return n;
}

int socket_close(sock_t handle) {
    platform::socket_close(handle);
    return 0;
}
