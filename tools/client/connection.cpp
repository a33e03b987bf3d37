#include "tools/client/connection.h"

#include <cstdio>

#include "platform/platform.h"

namespace zvc {
namespace {

std::string error_text_of(int code) {
    char text[256];
    platform::error_text(code, text, sizeof text);
    return text;
}

// Milliseconds left until deadline; -1 stands for "no limit" throughout.
int remaining(std::uint64_t deadline, int timeout_ms) {
    if (timeout_ms < 0) return -1;
    const std::uint64_t now = platform::tick_ms();
    return now >= deadline ? 0 : static_cast<int>(deadline - now);
}

std::uint64_t deadline_after(int timeout_ms) {
    return timeout_ms < 0 ? 0 : platform::tick_ms() + static_cast<std::uint64_t>(timeout_ms);
}

// Waits until the socket is readable (or writable); 1 ready, 0 time-out, -1 failure.
int wait_for(sock_t handle, bool write, int timeout_ms) {
    InterestSet read_set{};
    InterestSet write_set{};
    (write ? write_set : read_set).handles[0] = handle;
    (write ? write_set : read_set).count = 1;
    // Without a limit the wait is repeated in day-long steps.
    const long ms = timeout_ms < 0 ? 86400000L : timeout_ms;
    const WaitTimeout timeout{ms / 1000, (ms % 1000) * 1000};
    const int ready = platform::wait_ready(&read_set, &write_set, handle, timeout);
    if (ready < 0) return -1;
    return ready > 0 ? 1 : 0;
}

std::string seconds_text(int timeout_ms) {
    char text[32];
    if (timeout_ms % 1000 == 0) {
        std::snprintf(text, sizeof text, "%d s", timeout_ms / 1000);
    } else {
        std::snprintf(text, sizeof text, "%.3g s", timeout_ms / 1000.0);
    }
    return text;
}

}  // namespace

void client_net_start() {
    static bool started = false;
    if (!started) {
        platform::net_start();
        started = true;
    }
}

bool client_connect(ClientConnection* connection, const std::string& host, std::uint16_t port,
                    int timeout_ms, std::string* error) {
    client_net_start();
    connection->peer = host + ":" + std::to_string(port);
    std::uint32_t addr = platform::inet_from_text(host.c_str());
    if (addr == kInaddrNone && host != "255.255.255.255") {
        std::uint32_t found[1];
        if (platform::host_addresses(host.c_str(), found, 1) < 1) {
            *error = "cannot resolve host name '" + host + "'";
            return false;
        }
        addr = found[0];
    }
    const sock_t handle = platform::socket_tcp();
    if (handle == kInvalidSocket) {
        *error = "cannot create a socket: " + error_text_of(platform::last_error());
        return false;
    }
    int code = 0;
    ConnectResult status = ConnectResult::Failed;
    if (platform::socket_set_nonblocking(handle) != 0) {
        code = platform::last_error();
    } else {
        status = platform::socket_connect(handle, addr, port, timeout_ms, &code);
    }
    if (status != ConnectResult::Connected) {
        platform::socket_close(handle);
        *error = status == ConnectResult::TimedOut
                     ? "cannot connect to " + connection->peer + ": no answer within " +
                           seconds_text(timeout_ms)
                     : "cannot connect to " + connection->peer + ": " + error_text_of(code);
        return false;
    }
    // Requests and answers are small and go one at a time: send each at once.
    platform::socket_set_option(handle, SockOption::NoDelay);
    connection->handle = handle;
    connection->reader = FrameReader{};
    return true;
}

void client_close(ClientConnection* connection) {
    if (connection->handle != kInvalidSocket) platform::socket_close(connection->handle);
    connection->handle = kInvalidSocket;
}

IoStatus client_send(ClientConnection* connection, std::string_view bytes, int timeout_ms) {
    const std::uint64_t deadline = deadline_after(timeout_ms);
    while (!bytes.empty()) {
        const int chunk = bytes.size() > 1u << 20 ? 1 << 20 : static_cast<int>(bytes.size());
        const int sent = platform::socket_send(connection->handle, bytes.data(), chunk);
        if (sent > 0) {
            bytes.remove_prefix(static_cast<std::size_t>(sent));
            continue;
        }
        const int code = platform::last_error();
        if (sent < 0 && platform::classify_error(code) != SockError::WouldBlock) {
            connection->last_error = code;
            return IoStatus::Failed;
        }
        const int ready = wait_for(connection->handle, true, remaining(deadline, timeout_ms));
        if (ready < 0) {
            connection->last_error = platform::last_error();
            return IoStatus::Failed;
        }
        if (ready == 0 && timeout_ms >= 0 && remaining(deadline, timeout_ms) == 0) {
            return IoStatus::TimedOut;
        }
    }
    return IoStatus::Ok;
}

IoStatus client_send_frame(ClientConnection* connection, std::uint16_t code,
                           std::string_view payload, int timeout_ms) {
    return client_send(connection, encode_frame(code, payload), timeout_ms);
}

IoStatus client_recv_frame(ClientConnection* connection, Frame* out, int timeout_ms) {
    const std::uint64_t deadline = deadline_after(timeout_ms);
    char buffer[16384];
    while (!connection->reader.next(out)) {
        const int got = platform::socket_recv(connection->handle, buffer, sizeof buffer);
        if (got > 0) {
            connection->reader.feed(buffer, static_cast<std::size_t>(got));
            continue;
        }
        if (got == 0) return IoStatus::Closed;
        const int code = platform::last_error();
        if (platform::classify_error(code) != SockError::WouldBlock) {
            connection->last_error = code;
            return IoStatus::Failed;
        }
        const int left = remaining(deadline, timeout_ms);
        if (left == 0) return IoStatus::TimedOut;
        if (wait_for(connection->handle, false, left) < 0) {
            connection->last_error = platform::last_error();
            return IoStatus::Failed;
        }
    }
    return IoStatus::Ok;
}

std::string describe(const ClientConnection& connection, IoStatus status, int timeout_ms) {
    switch (status) {
        case IoStatus::Ok:
            return "ok";
        case IoStatus::TimedOut:
            return "no answer from the gateway at " + connection.peer + " within " +
                   seconds_text(timeout_ms);
        case IoStatus::Closed:
            return "the gateway at " + connection.peer + " closed the connection";
        case IoStatus::Failed:
            return "connection to the gateway at " + connection.peer +
                   " lost: " + error_text_of(connection.last_error);
    }
    return "?";
}

}  // namespace zvc
