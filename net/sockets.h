// Socket primitives: the two kinds of socket the gateway uses, and send/receive wrappers
// that turn every platform outcome into "some bytes", "nothing now" or "failure".
#pragma once

#include <cstdint>

#include "core/connection.h"

// A non-blocking TCP socket with keep-alive, address reuse and no-delay; -1 (as sock_t:
// kInvalidSocket) on failure.
sock_t tcp_socket_create();

// Binds to addr_net (network order; 0 = every local address) and port (host order).
// 0 on success, -1 on failure; the socket is never closed here.
int socket_bind(sock_t handle, std::uint32_t addr_net, std::uint16_t port);

// A UDP socket bound to local_addr with a system-chosen port, allowed to broadcast and
// switched to non-blocking mode. remote is filled with the destination: dest_text
// converted, or 255.255.255.255 when dest_text is null, and port. kInvalidSocket on
// failure (remote untouched when the socket could not be made).
sock_t udp_socket_create(const char* dest_text, SockAddrIn* remote, std::uint32_t local_addr,
                         std::uint16_t port);

// Transport functions (the read_fn/write_fn/close_fn shapes of a Connection).
int tcp_send(sock_t handle, const char* data, int length, Connection* connection);
int tcp_recv(sock_t handle, char* buffer, int space, Connection* connection);
// Sends one datagram to the connection's remote address: bytes sent, 0 when the socket
// cannot take it now (it stays queued), -1 on failure.
int udp_send(sock_t handle, const char* data, int length, Connection* connection);
// Receives one datagram and adopts its sender as the remote address. 0 when nothing was
// read: no datagram, an error, an empty datagram, or one larger than space (dropped).
int udp_recv(sock_t handle, char* buffer, int space, Connection* connection);
int socket_close(sock_t handle);
