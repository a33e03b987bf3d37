// The operating-system boundary. Everything above this folder talks to sockets, the clock
// and the host-name resolver only through these declarations; posix.cpp and win32.cpp
// implement them. The names follow Windows Sockets; POSIX gets a thin shim.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

#if defined(_WIN32)
using sock_t = std::uintptr_t;  // SOCKET
#else
using sock_t = int;
#endif

inline constexpr sock_t kInvalidSocket = static_cast<sock_t>(-1);
inline constexpr std::uint32_t kInterestSetSize = 64;

// Handles watched for one kind of readiness: a 32-bit count followed by room for 64
// handles. On Windows this is exactly the layout of fd_set, so the loop hands copies of
// it to select unchanged.
struct InterestSet {
    std::uint32_t count;
    sock_t handles[kInterestSetSize];
};

// IPv4 socket address with the 16-byte layout of sockaddr_in.
struct SockAddrIn {
    std::uint16_t family;  // kAfInet
    std::uint16_t port;    // network byte order
    std::uint32_t addr;    // network order (first octet first in memory)
    std::uint8_t zero[8];
};
static_assert(sizeof(SockAddrIn) == 16);

inline constexpr std::uint16_t kAfInet = 2;
inline constexpr std::uint32_t kInaddrNone = 0xFFFFFFFFu;  // also 255.255.255.255

// A select-style time-out. microseconds may exceed one million on the way in; the wait
// normalises it and never rounds a wait down.
struct WaitTimeout {
    long seconds;
    long microseconds;
};

enum class SockError { WouldBlock, NoBuffers, Other };
enum class SockOption { KeepAlive, ReuseAddr, NoDelay, Broadcast };
enum class ConnectResult { Connected, TimedOut, Failed };

namespace platform {

// Socket layer start and stop (WSAStartup 2.2 / WSACleanup; nothing on POSIX).
void net_start();
void net_stop();

// Socket calls. Handles come back as kInvalidSocket on failure; the int results are the
// platform's own (-1 on failure, see last_error()).
sock_t socket_tcp();
sock_t socket_udp();
int socket_close(sock_t handle);
int socket_bind(sock_t handle, std::uint32_t addr_net, std::uint16_t port_host);
int socket_listen(sock_t handle, int backlog);
sock_t socket_accept(sock_t handle, SockAddrIn* peer);
int socket_set_nonblocking(sock_t handle);
int socket_set_option(sock_t handle, SockOption option);
int socket_send(sock_t handle, const void* data, int length);
int socket_recv(sock_t handle, void* buffer, int space);
int socket_sendto(sock_t handle, const void* data, int length, const SockAddrIn* to);
// Receives one datagram. A datagram that did not fit into space is reported through
// *truncated (its bytes are not to be used); the sender is written into *from.
int socket_recvfrom(sock_t handle, void* buffer, int space, SockAddrIn* from, bool* truncated);
int socket_local_port(sock_t handle);  // bound port in host order, or -1
// Connects a non-blocking TCP socket to addr_net:port within timeout_ms (< 0: no limit).
// On Failed, *error holds the system's error code. (Clients only; the gateway never
// connects.)
ConnectResult socket_connect(sock_t handle, std::uint32_t addr_net, std::uint16_t port,
                             int timeout_ms, int* error);

// The last socket error (errno or WSAGetLastError) and what it means to the callers.
int last_error();
SockError classify_error(int code);

// Waits until a handle of *read is readable or a handle of *write is writable, or the
// time-out passes. Like select, the two sets are reduced to the ready handles. Returns the
// number of ready handles, 0 on time-out, -1 on failure.
int wait_ready(InterestSet* read, InterestSet* write, sock_t max_handle, WaitTimeout timeout);

// Monotonic milliseconds, 64 bits wide so that the value never wraps.
std::uint64_t tick_ms();

// Host-name resolution, in the resolver's own order (the order matters to the interface
// refresh). host_addresses returns the number of addresses stored (up to max) or -1 when
// the name does not resolve; loopback_addresses does the same for 127.0.0.1 looked up by
// address.
int host_name(char* buffer, int length);
int host_addresses(const char* name, std::uint32_t* out_net, int max);
int loopback_addresses(std::uint32_t* out_net, int max);

// Dotted-text conversions (inet_addr / inet_ntoa). inet_from_text gives kInaddrNone for
// text that is not an address; inet_to_text writes at most 15 characters and a NUL.
std::uint32_t inet_from_text(const char* text);
void inet_to_text(std::uint32_t addr_net, char out[16]);

// The system's text for an error code (errno or Winsock), cut to fit size.
void error_text(int code, char* out, std::size_t size);

// Terminals, for the command-line tools: whether a stream is one, its width in columns
// (80 when unknown), and standard input and output switched to carry bytes unchanged.
bool is_terminal(std::FILE* stream);
int terminal_width(std::FILE* stream);
void binary_stdio();

std::uint16_t host_to_net16(std::uint16_t value);
std::uint16_t net_to_host16(std::uint16_t value);
std::uint32_t host_to_net32(std::uint32_t value);
std::uint32_t net_to_host32(std::uint32_t value);

}  // namespace platform
