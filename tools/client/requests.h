// The exchanges of quorvel-client with the gateway, each one a request and the answers it
// waits for. Frames that arrive meanwhile and belong to nothing asked (frames other peers
// relay to this connection) are passed over.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

#include "tools/client/connection.h"
#include "tools/client/frame_codec.h"

namespace zvc {

enum class Outcome {
    Ok,
    Io,            // time-out, closed or failed connection: see io
    GatewayError,  // a 999 answer: see message
    Protocol,      // an answer that makes no sense for the request
    Local,         // a local file could not be read or written
};

struct Result {
    Outcome outcome = Outcome::Ok;
    IoStatus io = IoStatus::Ok;
    std::string message;
    std::uint64_t bytes = 0;  // get, put: file bytes moved
    std::string name;         // register: own name; put: the gateway's name for the file
};

// Waits for a frame with code a or b (or 999 when allow_error); other codes are passed over.
IoStatus wait_for_code(ClientConnection* connection, std::uint16_t a, std::uint16_t b,
                       bool allow_error, int timeout_ms, Frame* out);

// The text of a 999 answer ("first code \"message\""), as "command code: message".
std::string error_answer_text(const std::string& payload);

// Registers with text ("ROLE" or "ROLE 0 HWADDR ADDRTEXT"); name receives the answer.
Result register_peer(ClientConnection* connection, const std::string& text, int timeout_ms);

// Returns once the gateway has dispatched every frame sent before: frames are dispatched in
// order, and a role-0 registration is answered. The gateway answers neither relayed frames
// nor the device search, and a connection closed right after its last frame may have that
// frame discarded unread.
Result sync_with_gateway(ClientConnection* connection, int timeout_ms);

Result delete_remote(ClientConnection* connection, const std::string& name, int timeout_ms);

using ProgressFn = void (*)(void* context, std::uint64_t bytes, std::int64_t total);

// Reads the gateway file names.file chunk by chunk into sink until the end flag, with up to
// window requests outstanding (the gateway keeps no transfer state, and answers in order).
// The gateway drops all queued output of a connection whose socket cannot take a new frame,
// so the answers of a window (about 1 KiB each) must fit in the socket buffers between the
// two: the client's default of 4 fits in any default send buffer, kMaxWindow in Linux's.
inline constexpr int kMaxWindow = 8;
Result download(ClientConnection* connection, const TransferNames& names, std::FILE* sink,
                int window, int timeout_ms, ProgressFn progress, void* progress_context);

// Creates a gateway file and writes source into it; total is the size when known, else -1.
// result.name is the gateway's name for the file.
Result upload(ClientConnection* connection, const std::string& label, std::FILE* source,
              std::int64_t total, int timeout_ms, ProgressFn progress, void* progress_context);

}  // namespace zvc
