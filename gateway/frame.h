// Frames, the command table and the dispatcher.
//
// Wire frame: 2-byte big-endian payload length, 2-byte big-endian command code, then the
// payload (argument text, raw bytes where a command says so). A frame is dispatched only
// when it lies whole in the connection's 2048-byte input buffer.
#pragma once

#include <cstdint>

#include "core/connection.h"

inline constexpr int kFrameHeaderSize = 4;
inline constexpr int kMaxFramePayload = kBufferCapacity - kFrameHeaderSize;  // 2044

struct Peer;

// Called with the sender's Peer (never null), the code, the payload length and the
// payload, which is NUL-terminated at payload[length] while the handler runs and may be
// split in place. The handler must not keep pointers into it.
using CommandHandler = void (*)(Peer* peer, std::uint32_t code, std::uint32_t length,
                                char* payload);

// Row flags.
inline constexpr std::uint32_t kCommandFromDatagram = 1u;  // may run for UDP datagrams

struct CommandEntry {
    std::uint32_t code;
    CommandHandler handler;
    std::uint32_t flags;
};

inline constexpr int kCommandBatchSize = 8;

// The on_frame hook of the listener's clients and of the UDP endpoints: dispatches one
// complete frame and returns its size, or 0 when no complete frame is buffered.
//
// A UDP endpoint's context is not a Peer: of a datagram's frames only rows flagged
// kCommandFromDatagram run (with a transient Peer that holds only the endpoint's
// connection); everything else arriving by datagram is dropped, never relayed. A client
// without a Peer has its frames dropped too.
int dispatch_frame(Connection* connection, InputView* view);

// Adds the rows of an 8-row batch whose codes are not yet present; returns how many.
int register_commands(const CommandEntry* rows);
int find_command(std::uint32_t code);
const CommandEntry* command_rows();
int command_count();
// Releases the rows (program exit; also the tests' reset).
void free_commands();

// Writes a frame header: big-endian length and code.
void frame_write_header(char* out, std::uint32_t length, std::uint32_t code);
