// winsock2.h must come before windows.h, which the other headers pull in.
#include <winsock2.h>

#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <cstdio>

#include "tools/client/os.h"

namespace zvc {

ConnectStatus os_connect(sock_t handle, std::uint32_t addr_net, std::uint16_t port, int timeout_ms,
                         int* error) {
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = addr_net;
    const auto socket = static_cast<SOCKET>(handle);
    if (::connect(socket, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0) {
        return ConnectStatus::Connected;
    }
    const int started = WSAGetLastError();
    if (started != WSAEWOULDBLOCK) {
        *error = started;
        return ConnectStatus::Failed;
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
    if (ready == 0) return ConnectStatus::TimedOut;
    if (ready < 0) {
        *error = WSAGetLastError();
        return ConnectStatus::Failed;
    }
    if (FD_ISSET(socket, &failed)) {
        int result = 0;
        int length = sizeof result;
        ::getsockopt(socket, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&result), &length);
        *error = result != 0 ? result : WSAECONNREFUSED;
        return ConnectStatus::Failed;
    }
    return ConnectStatus::Connected;
}

std::string os_error_text(int code) {
    char text[256] = {};
    const DWORD n =
        FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                       static_cast<DWORD>(code), 0, text, sizeof text, nullptr);
    std::string out(text, n);
    while (!out.empty() && (out.back() == '\n' || out.back() == '\r' || out.back() == '.')) {
        out.pop_back();
    }
    if (out.empty()) out = "socket error " + std::to_string(code);
    return out;
}

bool os_is_terminal(std::FILE* stream) {
    return _isatty(_fileno(stream)) != 0;
}

int os_terminal_width(std::FILE* stream) {
    CONSOLE_SCREEN_BUFFER_INFO info;
    const HANDLE console = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stream)));
    if (GetConsoleScreenBufferInfo(console, &info) != 0) {
        return info.srWindow.Right - info.srWindow.Left + 1;
    }
    return 80;
}

void os_binary_stdio() {
    _setmode(_fileno(stdin), _O_BINARY);
    _setmode(_fileno(stdout), _O_BINARY);
}

}  // namespace zvc
