// The echo side of the relay benchmarks.
//
//   bench_echo listen PORT       a TCP echo server on 127.0.0.1:PORT (the direct floor, and
//                                what socat forwards to); any number of connections
//   bench_echo relay HOST:PORT   a gateway peer: registers, prints its name, then sends back
//                                every byte it receives. A relayed frame names its sender
//                                first, so echoing it unchanged relays it back to the sender.
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "bench/bench_net.h"

namespace {

constexpr std::size_t kBufferSize = 65536;

// Echoes what is readable now; false once the connection has ended.
bool echo_once(int fd, char* buffer) {
    const ssize_t n = ::recv(fd, buffer, kBufferSize, 0);
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) return true;
    if (n <= 0) return false;
    return zvbench::send_all(fd, buffer, static_cast<std::size_t>(n));
}

int serve(int port) {
    const int listener = zvbench::listen_tcp(port);
    if (listener < 0) {
        std::perror("bench_echo: listen");
        return 1;
    }
    std::vector<pollfd> fds{{listener, POLLIN, 0}};
    std::vector<char> buffer(kBufferSize);
    while (true) {
        if (::poll(fds.data(), fds.size(), -1) < 0) {
            if (errno == EINTR) continue;
            return 1;
        }
        for (std::size_t i = fds.size(); i-- > 1;) {
            if (fds[i].revents == 0) continue;
            if (!echo_once(fds[i].fd, buffer.data())) {
                ::close(fds[i].fd);
                fds.erase(fds.begin() + static_cast<std::ptrdiff_t>(i));
            }
        }
        if (fds[0].revents & POLLIN) {
            const int fd = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd >= 0) {
                const int one = 1;
                ::setsockopt(fd, IPPROTO_TCP, 1 /* TCP_NODELAY */, &one, sizeof one);
                fds.push_back({fd, POLLIN, 0});
            }
        }
    }
}

int relay(const std::string& where) {
    std::string host;
    int port = 0;
    if (!zvbench::split_host_port(where, &host, &port)) return 2;
    const int fd = zvbench::connect_tcp(host.c_str(), port);
    if (fd < 0) {
        std::perror("bench_echo: connect");
        return 1;
    }
    // No time-out while idle between runs.
    const timeval none{0, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &none, sizeof none);
    const std::string name = zvbench::register_role0(fd);
    if (name.empty()) return 1;
    std::printf("%s\n", name.c_str());
    std::fflush(stdout);
    std::vector<char> buffer(kBufferSize);
    while (echo_once(fd, buffer.data())) {
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 3 && std::strcmp(argv[1], "listen") == 0) return serve(std::atoi(argv[2]));
    if (argc == 3 && std::strcmp(argv[1], "relay") == 0) return relay(argv[2]);
    std::fprintf(stderr, "usage: bench_echo listen PORT | bench_echo relay HOST:PORT\n");
    return 2;
}
