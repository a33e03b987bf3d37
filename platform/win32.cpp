// Windows Sockets 2 implementation of the platform boundary.
#include "platform/platform.h"

// winsock2.h must come before windows.h (which would otherwise pull in the old winsock.h).
#include <winsock2.h>

#include <windows.h>
#include <ws2tcpip.h>

#include <fcntl.h>
#include <io.h>

#include <cstddef>
#include <cstdio>
#include <cstring>

// The interest sets are handed to select as they are: same count, same handle array.
static_assert(sizeof(InterestSet) == sizeof(fd_set));
static_assert(offsetof(InterestSet, handles) == offsetof(fd_set, fd_array));
static_assert(kInterestSetSize == FD_SETSIZE);
static_assert(sizeof(sock_t) == sizeof(SOCKET));

namespace platform {
namespace {

sockaddr_in to_native(const SockAddrIn& in) {
    sockaddr_in out{};
    out.sin_family = AF_INET;
    out.sin_port = in.port;
    out.sin_addr.s_addr = in.addr;
    return out;
}

void from_native(const sockaddr_in& in, SockAddrIn* out) {
    std::memset(out, 0, sizeof *out);
    out->family = kAfInet;
    out->port = in.sin_port;
    out->addr = in.sin_addr.s_addr;
}

int copy_addresses(const hostent* entry, std::uint32_t* out_net, int max) {
    if (entry == nullptr || entry->h_addrtype != AF_INET || entry->h_length != 4) return -1;
    int n = 0;
    for (char** p = entry->h_addr_list; *p != nullptr && n < max; ++p) {
        std::memcpy(&out_net[n++], *p, 4);
    }
    return n;
}

}  // namespace

void net_start() {
    WSADATA data;
    WSAStartup(MAKEWORD(2, 2), &data);
    // Console lines carry their own "\r\n"; in text mode the C runtime would add a second
    // carriage return whenever the output goes to a file or a pipe.
    _setmode(_fileno(stdout), _O_BINARY);
}

void net_stop() {
    WSACleanup();
}

sock_t socket_tcp() {
    return ::socket(AF_INET, SOCK_STREAM, 0);
}

sock_t socket_udp() {
    return ::socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
}

int socket_close(sock_t handle) {
    return ::closesocket(handle);
}

int socket_bind(sock_t handle, std::uint32_t addr_net, std::uint16_t port_host) {
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port_host);
    addr.sin_addr.s_addr = addr_net;
    return ::bind(handle, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
}

int socket_listen(sock_t handle, int backlog) {
    return ::listen(handle, backlog);
}

sock_t socket_accept(sock_t handle, SockAddrIn* peer) {
    sockaddr_in addr{};
    int length = sizeof addr;
    SOCKET s = ::accept(handle, reinterpret_cast<sockaddr*>(&addr), &length);
    if (s != INVALID_SOCKET && peer != nullptr) from_native(addr, peer);
    return s;
}

int socket_set_nonblocking(sock_t handle) {
    u_long one = 1;
    return ::ioctlsocket(handle, static_cast<long>(FIONBIO), &one) == 0 ? 0 : -1;
}

int socket_set_option(sock_t handle, SockOption option) {
    int one = 1;
    int level = SOL_SOCKET;
    int name = SO_KEEPALIVE;
    switch (option) {
        case SockOption::KeepAlive:
            name = SO_KEEPALIVE;
            break;
        case SockOption::ReuseAddr:
            name = SO_REUSEADDR;
            break;
        case SockOption::Broadcast:
            name = SO_BROADCAST;
            break;
        case SockOption::NoDelay:
            level = IPPROTO_TCP;
            name = TCP_NODELAY;
            break;
    }
    return ::setsockopt(handle, level, name, reinterpret_cast<const char*>(&one), sizeof one);
}

int socket_send(sock_t handle, const void* data, int length) {
    return ::send(handle, static_cast<const char*>(data), length, 0);
}

int socket_recv(sock_t handle, void* buffer, int space) {
    return ::recv(handle, static_cast<char*>(buffer), space, 0);
}

int socket_sendto(sock_t handle, const void* data, int length, const SockAddrIn* to) {
    sockaddr_in addr = to_native(*to);
    return ::sendto(handle, static_cast<const char*>(data), length, 0,
                    reinterpret_cast<sockaddr*>(&addr), sizeof addr);
}

int socket_recvfrom(sock_t handle, void* buffer, int space, SockAddrIn* from, bool* truncated) {
    sockaddr_in addr{};
    int length = sizeof addr;
    int n = ::recvfrom(handle, static_cast<char*>(buffer), space, 0,
                       reinterpret_cast<sockaddr*>(&addr), &length);
    *truncated = false;
    if (n < 0) {
        // Windows reports a datagram larger than the buffer as an error (and drops it).
        if (WSAGetLastError() == WSAEMSGSIZE) *truncated = true;
        return -1;
    }
    if (from != nullptr) from_native(addr, from);
    return n;
}

int socket_local_port(sock_t handle) {
    sockaddr_in addr{};
    int length = sizeof addr;
    if (::getsockname(handle, reinterpret_cast<sockaddr*>(&addr), &length) != 0) return -1;
    return ntohs(addr.sin_port);
}

int last_error() {
    return WSAGetLastError();
}

SockError classify_error(int code) {
    if (code == WSAEWOULDBLOCK) return SockError::WouldBlock;
    if (code == WSAENOBUFS) return SockError::NoBuffers;
    return SockError::Other;
}

int wait_ready(InterestSet* read, InterestSet* write, sock_t max_handle, WaitTimeout timeout) {
    // select wants microseconds below one million; the duration stays the same.
    long micros_total = timeout.microseconds;
    timeval tv{};
    tv.tv_sec = timeout.seconds + micros_total / 1000000;
    tv.tv_usec = micros_total % 1000000;
    if (read->count == 0 && write->count == 0) {
        // select refuses empty sets on Windows; the wait still has to last.
        Sleep(static_cast<DWORD>(tv.tv_sec * 1000 + (tv.tv_usec + 999) / 1000));
        return 0;
    }
    int n = ::select(static_cast<int>(max_handle + 1), reinterpret_cast<fd_set*>(read),
                     reinterpret_cast<fd_set*>(write), nullptr, &tv);
    return n == SOCKET_ERROR ? -1 : n;
}

std::uint64_t tick_ms() {
    return GetTickCount64();
}

int host_name(char* buffer, int length) {
    return ::gethostname(buffer, length) == 0 ? 0 : -1;
}

int host_addresses(const char* name, std::uint32_t* out_net, int max) {
    return copy_addresses(::gethostbyname(name), out_net, max);
}

int loopback_addresses(std::uint32_t* out_net, int max) {
    std::uint32_t loopback = htonl(INADDR_LOOPBACK);
    return copy_addresses(::gethostbyaddr(reinterpret_cast<const char*>(&loopback), 4, AF_INET),
                          out_net, max);
}

std::uint32_t inet_from_text(const char* text) {
    return ::inet_addr(text);
}

void inet_to_text(std::uint32_t addr_net, char out[16]) {
    in_addr addr{};
    addr.s_addr = addr_net;
    std::strncpy(out, ::inet_ntoa(addr), 15);
    out[15] = '\0';
}

// ---- for the command-line tools ----
ConnectResult socket_connect(sock_t handle, std::uint32_t addr_net, std::uint16_t port,
                             int timeout_ms, int* error) {
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = addr_net;
    const auto socket = static_cast<SOCKET>(handle);
    if (::connect(socket, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0) {
        return ConnectResult::Connected;
    }
    const int started = WSAGetLastError();
    if (started != WSAEWOULDBLOCK) {
        *error = started;
        return ConnectResult::Failed;
    }
    // Winsock reports a failed non-blocking connect in the exception set, not as writable.
    fd_set writable;
    fd_set failed;
    FD_ZERO(&writable);
    FD_ZERO(&failed);
    FD_SET(socket, &writable);
    FD_SET(socket, &failed);
    timeval limit{timeout_ms / 1000, (timeout_ms % 1000) * 1000};
    const int ready = ::select(0, nullptr, &writable, &failed, timeout_ms < 0 ? nullptr : &limit);
    if (ready == 0) return ConnectResult::TimedOut;
    if (ready < 0) {
        *error = WSAGetLastError();
        return ConnectResult::Failed;
    }
    if (FD_ISSET(socket, &failed)) {
        int result = 0;
        int length = sizeof result;
        ::getsockopt(socket, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&result), &length);
        *error = result != 0 ? result : WSAECONNREFUSED;
        return ConnectResult::Failed;
    }
    return ConnectResult::Connected;
}

void error_text(int code, char* out, std::size_t size) {
    char text[256] = {};
    DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                             static_cast<DWORD>(code), 0, text, sizeof text, nullptr);
    while (n > 0 && (text[n - 1] == '\n' || text[n - 1] == '\r' || text[n - 1] == '.')) --n;
    text[n] = '\0';
    if (n == 0) {
        std::snprintf(out, size, "socket error %d", code);
    } else {
        std::snprintf(out, size, "%s", text);
    }
}

bool is_terminal(std::FILE* stream) {
    return _isatty(_fileno(stream)) != 0;
}

int terminal_width(std::FILE* stream) {
    CONSOLE_SCREEN_BUFFER_INFO info;
    const HANDLE console = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stream)));
    if (GetConsoleScreenBufferInfo(console, &info) != 0) {
        return info.srWindow.Right - info.srWindow.Left + 1;
    }
    return 80;
}

void binary_stdio() {
    _setmode(_fileno(stdin), _O_BINARY);
    _setmode(_fileno(stdout), _O_BINARY);
}

}  // namespace platform
