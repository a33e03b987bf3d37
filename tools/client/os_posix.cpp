#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "tools/client/os.h"

namespace zvc {

ConnectStatus os_connect(sock_t handle, std::uint32_t addr_net, std::uint16_t port, int timeout_ms,
                         int* error) {
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = addr_net;
    if (::connect(handle, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0) {
        return ConnectStatus::Connected;
    }
    if (errno != EINPROGRESS) {
        *error = errno;
        return ConnectStatus::Failed;
    }
    pollfd fd{handle, POLLOUT, 0};
    int ready = 0;
    do {
        ready = ::poll(&fd, 1, timeout_ms < 0 ? -1 : timeout_ms);
    } while (ready < 0 && errno == EINTR);
    if (ready == 0) return ConnectStatus::TimedOut;
    int result = 0;
    socklen_t length = sizeof result;
    if (ready < 0) {
        result = errno;
    } else if (::getsockopt(handle, SOL_SOCKET, SO_ERROR, &result, &length) != 0) {
        result = errno;
    }
    if (result != 0) {
        *error = result;
        return ConnectStatus::Failed;
    }
    return ConnectStatus::Connected;
}

std::string os_error_text(int code) {
    return std::strerror(code);
}

bool os_is_terminal(std::FILE* stream) {
    return ::isatty(::fileno(stream)) == 1;
}

int os_terminal_width(std::FILE* stream) {
    winsize size{};
    if (::ioctl(::fileno(stream), TIOCGWINSZ, &size) == 0 && size.ws_col > 0) {
        return size.ws_col;
    }
    return 80;
}

void os_binary_stdio() {}

}  // namespace zvc
