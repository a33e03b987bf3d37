// What the client needs from the operating system beyond the platform boundary: a connect
// with a time-out, and a little about the terminal. os_posix.cpp and os_win32.cpp hold the
// two implementations; nothing else in tools/ knows which system it runs on.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

#include "platform/platform.h"

namespace zvc {

enum class ConnectStatus { Connected, TimedOut, Failed };

// Connects a fresh non-blocking TCP socket to addr_net:port within timeout_ms (< 0: no
// limit). On Failed, *error holds the system's error code.
ConnectStatus os_connect(sock_t handle, std::uint32_t addr_net, std::uint16_t port, int timeout_ms,
                         int* error);

// The system's text for a socket error code.
std::string os_error_text(int code);

bool os_is_terminal(std::FILE* stream);
// Columns of the terminal behind stream; 80 when unknown.
int os_terminal_width(std::FILE* stream);

// Standard input and output carry file bytes unchanged (no line-end translation).
void os_binary_stdio();

}  // namespace zvc
