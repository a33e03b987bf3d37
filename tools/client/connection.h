// A blocking TCP connection to the gateway with a time-out on every wait.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/platform.h"
#include "tools/client/frame_codec.h"

namespace zvc {

enum class IoStatus { Ok, TimedOut, Closed, Failed };

struct ClientConnection {
    sock_t handle = kInvalidSocket;
    FrameReader reader;
    std::string peer;  // "host:port" for messages
    int last_error = 0;
};

// Starts the socket layer once per process (Winsock needs it; harmless elsewhere).
void client_net_start();

// Resolves host (dotted text or a name) and connects within timeout_ms. On failure *error
// says why in words.
bool client_connect(ClientConnection* connection, const std::string& host, std::uint16_t port,
                    int timeout_ms, std::string* error);
void client_close(ClientConnection* connection);

// Sends every byte, waiting at most timeout_ms for the socket to take them.
IoStatus client_send(ClientConnection* connection, std::string_view bytes, int timeout_ms);
IoStatus client_send_frame(ClientConnection* connection, std::uint16_t code,
                           std::string_view payload, int timeout_ms);

// The next whole frame, waiting at most timeout_ms for it (< 0: no limit). Closed when the
// gateway ended the connection (bytes of a partial frame are then lost).
IoStatus client_recv_frame(ClientConnection* connection, Frame* out, int timeout_ms);

// A sentence for a failed wait: "no answer from ... within 5 s", "the gateway at ... closed
// the connection", "connection to ... failed: ...".
std::string describe(const ClientConnection& connection, IoStatus status, int timeout_ms);

}  // namespace zvc
