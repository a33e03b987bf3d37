// POSIX implementation of the platform boundary.
#include "platform/platform.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

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
    // A send on a connection the peer has reset must fail like any other send, not end
    // the process. MSG_NOSIGNAL covers send(); ignoring the signal covers the rest.
    signal(SIGPIPE, SIG_IGN);
}

void net_stop() {}

sock_t socket_tcp() {
    return ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
}

sock_t socket_udp() {
    return ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_UDP);
}

int socket_close(sock_t handle) {
    return ::close(handle);
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
    socklen_t length = sizeof addr;
    int fd = ::accept4(handle, reinterpret_cast<sockaddr*>(&addr), &length, SOCK_CLOEXEC);
    if (fd >= 0 && peer != nullptr) from_native(addr, peer);
    return fd;
}

int socket_set_nonblocking(sock_t handle) {
    int flags = ::fcntl(handle, F_GETFL, 0);
    if (flags < 0) return -1;
    return ::fcntl(handle, F_SETFL, flags | O_NONBLOCK) < 0 ? -1 : 0;
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
    return ::setsockopt(handle, level, name, &one, sizeof one);
}

int socket_send(sock_t handle, const void* data, int length) {
    return static_cast<int>(::send(handle, data, static_cast<size_t>(length), MSG_NOSIGNAL));
}

int socket_recv(sock_t handle, void* buffer, int space) {
    return static_cast<int>(::recv(handle, buffer, static_cast<size_t>(space), 0));
}

int socket_sendto(sock_t handle, const void* data, int length, const SockAddrIn* to) {
    sockaddr_in addr = to_native(*to);
    return static_cast<int>(::sendto(handle, data, static_cast<size_t>(length), MSG_NOSIGNAL,
                                     reinterpret_cast<sockaddr*>(&addr), sizeof addr));
}

int socket_recvfrom(sock_t handle, void* buffer, int space, SockAddrIn* from, bool* truncated) {
    sockaddr_in addr{};
    socklen_t length = sizeof addr;
    // MSG_TRUNC makes the result the datagram's real size, so a datagram that did not fit
    // is recognised instead of being passed on cut.
    ssize_t n = ::recvfrom(handle, buffer, static_cast<size_t>(space), MSG_TRUNC,
                           reinterpret_cast<sockaddr*>(&addr), &length);
    *truncated = false;
    if (n < 0) return -1;
    if (from != nullptr) from_native(addr, from);
    if (n > space) {
        *truncated = true;
        return space;
    }
    return static_cast<int>(n);
}

int socket_local_port(sock_t handle) {
    sockaddr_in addr{};
    socklen_t length = sizeof addr;
    if (::getsockname(handle, reinterpret_cast<sockaddr*>(&addr), &length) != 0) return -1;
    return ntohs(addr.sin_port);
}

int last_error() {
    return errno;
}

SockError classify_error(int code) {
    if (code == EAGAIN || code == EWOULDBLOCK) return SockError::WouldBlock;
    if (code == ENOBUFS) return SockError::NoBuffers;
    return SockError::Other;
}

int wait_ready(InterestSet* read, InterestSet* write, sock_t /*max_handle*/, WaitTimeout timeout) {
    // poll instead of select: a descriptor above FD_SETSIZE must never touch memory
    // outside an fd_set. One pollfd per distinct handle of the two sets.
    pollfd fds[2 * kInterestSetSize];
    nfds_t n = 0;
    auto slot_of = [&](sock_t handle) -> pollfd& {
        for (nfds_t i = 0; i < n; ++i) {
            if (fds[i].fd == handle) return fds[i];
        }
        fds[n] = pollfd{handle, 0, 0};
        return fds[n++];
    };
    for (std::uint32_t i = 0; i < read->count && i < kInterestSetSize; ++i) {
        slot_of(read->handles[i]).events |= POLLIN;
    }
    for (std::uint32_t i = 0; i < write->count && i < kInterestSetSize; ++i) {
        slot_of(write->handles[i]).events |= POLLOUT;
    }

    // Normalise, then round up to whole milliseconds: never wait less than asked.
    long long micros = static_cast<long long>(timeout.seconds) * 1000000LL + timeout.microseconds;
    if (micros < 0) micros = 0;
    long long millis = (micros + 999) / 1000;
    timespec ts{static_cast<time_t>(millis / 1000), static_cast<long>((millis % 1000) * 1000000)};

    int ready = ::ppoll(fds, n, &ts, nullptr);
    if (ready < 0) return -1;

    InterestSet in_read{};
    InterestSet in_write{};
    for (nfds_t i = 0; i < n; ++i) {
        short got = fds[i].revents;
        if (got == 0) continue;
        // As with select, an error or hang-up makes a watched handle ready in either set.
        bool failed = (got & (POLLERR | POLLHUP | POLLNVAL)) != 0;
        if ((fds[i].events & POLLIN) && ((got & POLLIN) || failed)) {
            in_read.handles[in_read.count++] = fds[i].fd;
        }
        if ((fds[i].events & POLLOUT) && ((got & POLLOUT) || failed)) {
            in_write.handles[in_write.count++] = fds[i].fd;
        }
    }
    *read = in_read;
    *write = in_write;
    return static_cast<int>(in_read.count + in_write.count);
}

std::uint64_t tick_ms() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<std::uint64_t>(ts.tv_sec) * 1000u +
           static_cast<std::uint64_t>(ts.tv_nsec) / 1000000u;
}

int host_name(char* buffer, int length) {
    return ::gethostname(buffer, static_cast<size_t>(length)) == 0 ? 0 : -1;
}

// gethostbyname keeps the hosts file's order; getaddrinfo may re-sort the addresses.
int host_addresses(const char* name, std::uint32_t* out_net, int max) {
    return copy_addresses(::gethostbyname(name), out_net, max);
}

int loopback_addresses(std::uint32_t* out_net, int max) {
    std::uint32_t loopback = htonl(INADDR_LOOPBACK);
    return copy_addresses(::gethostbyaddr(&loopback, 4, AF_INET), out_net, max);
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
    if (::connect(handle, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0) {
        return ConnectResult::Connected;
    }
    if (errno != EINPROGRESS) {
        *error = errno;
        return ConnectResult::Failed;
    }
    pollfd fd{handle, POLLOUT, 0};
    int ready = 0;
    do {
        ready = ::poll(&fd, 1, timeout_ms < 0 ? -1 : timeout_ms);
    } while (ready < 0 && errno == EINTR);
    if (ready == 0) return ConnectResult::TimedOut;
    int result = 0;
    socklen_t length = sizeof result;
    if (ready < 0) {
        result = errno;
    } else if (::getsockopt(handle, SOL_SOCKET, SO_ERROR, &result, &length) != 0) {
        result = errno;
    }
    if (result != 0) {
        *error = result;
        return ConnectResult::Failed;
    }
    return ConnectResult::Connected;
}

void error_text(int code, char* out, std::size_t size) {
    std::snprintf(out, size, "%s", std::strerror(code));
}

bool is_terminal(std::FILE* stream) {
    return ::isatty(::fileno(stream)) == 1;
}

int terminal_width(std::FILE* stream) {
    winsize size{};
    if (::ioctl(::fileno(stream), TIOCGWINSZ, &size) == 0 && size.ws_col > 0) {
        return size.ws_col;
    }
    return 80;
}

void binary_stdio() {}

}  // namespace platform
