// Socket helpers of the benchmark programs. The benchmarks run on Linux only, inside the
// private network namespace that bench/run_bench.py creates, so they use POSIX directly.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace zvbench {

// A blocking TCP connection to host:port with TCP_NODELAY and 10-second send and receive
// time-outs, so that a lost frame ends a run instead of hanging it. -1 on failure.
int connect_tcp(const char* host, int port);
// A listening socket on 127.0.0.1:port; -1 on failure.
int listen_tcp(int port);

bool send_all(int fd, const void* data, std::size_t size);
// Reads exactly size bytes; false on time-out, error or end of stream.
bool recv_exact(int fd, void* buffer, std::size_t size);

// A frame: 2-byte big-endian payload length, 2-byte big-endian code, payload.
std::string make_frame(std::uint16_t code, const std::string& payload);
// Registers with role 0 and returns the name the gateway answers with; empty on failure.
std::string register_role0(int fd);

// Monotonic nanoseconds.
std::uint64_t now_ns();

// Splits "host:port"; false when malformed.
bool split_host_port(const std::string& text, std::string* host, int* port);

}  // namespace zvbench
