// Connections, the table that holds the live ones, the interest sets and the close list.
//
// Every socket the gateway serves is one Connection. A connection is never destroyed
// where its failure is noticed: whoever notices marks it for closing, and the loop
// destroys every marked connection once, at the end of its pass.
#pragma once

#include <cstdint>

#include "platform/platform.h"

inline constexpr std::uint32_t kMaxConnections = 64;
inline constexpr std::int32_t kBufferCapacity = 2048;
inline constexpr int kEndpointInfoSize = 32;

struct Connection;

// One fixed buffer per direction. The spare byte after the data area lets the frame hook
// terminate a frame that ends exactly at the end of a full buffer.
struct IoBuffer {
    char data[kBufferCapacity];
    char spare;
    std::int32_t end;       // bytes stored, counted from data[0]
    std::int32_t start;     // first byte not yet consumed / not yet written
    std::int32_t capacity;  // kBufferCapacity
};

// What on_frame and on_timer receive. data/length are null/0 for on_timer.
struct InputView {
    char* data;
    std::int32_t length;
    std::int32_t consumed;
    void* context;
};

using OpenHook = void* (*)(Connection* connection, const void* endpoint_info,
                           std::int32_t* timer_ms);
using FrameHook = int (*)(Connection* connection, InputView* view);
using TimerHook = int (*)(Connection* connection, InputView* view);
using DestroyHook = void (*)(void* context);

// Transport functions. read_fn/write_fn: a positive byte count, 0 for "nothing now", or
// a negative value for failure (the peer's close included). read_fn never waits.
using CloseFn = int (*)(sock_t handle);
using ReadFn = int (*)(sock_t handle, char* buffer, int size, Connection* connection);
using WriteFn = int (*)(sock_t handle, const char* bytes, int count, Connection* connection);

struct ConnectionHooks {
    OpenHook on_open;
    FrameHook on_frame;
    TimerHook on_timer;
    DestroyHook on_destroy;
};

enum ConnKind : std::uint32_t {
    kKindListener = 2,
    kKindUdpEndpoint = 4,
    kKindClient = 99,
};

// Connection.flags
inline constexpr std::uint32_t kFlagClosing = 1u << 16;
inline constexpr std::uint32_t kFlagRegistered = 1u << 17;
inline constexpr int kKindShift = 18;
inline constexpr std::uint32_t kKindMask = 0xFFu << kKindShift;

struct Connection {
    sock_t handle;
    std::uint16_t slot;  // index in the ConnectionTable, kept current when entries move
    std::uint16_t port;
    IoBuffer* out_buf;
    IoBuffer* in_buf;
    std::int32_t timer_ms;  // period of the own timer, written by on_open; 0 = none
    std::uint32_t flags;    // kFlagClosing, kFlagRegistered, kind
    // Id of the connection's own queued timer, 0 when it has none. Kept whole (not cut to
    // 16 bits) so that it names exactly one timer however many have been created.
    std::int32_t timer_id;
    CloseFn close_fn;
    ReadFn read_fn;
    WriteFn write_fn;
    void* context;  // what on_open returned; owned by the application
    OpenHook on_open;
    FrameHook on_frame;
    TimerHook on_timer;
    DestroyHook on_destroy;
    // Listener: its ListenerConfig. Client: its port and address. UDP endpoint: its
    // EndpointDescriptor with the remote address its datagrams go to.
    alignas(8) unsigned char endpoint_info[kEndpointInfoSize];
    std::uint32_t local_addr;  // UDP endpoint: local IPv4 address served, network order
    std::uint32_t peer_addr;   // accepted client: its IPv4 address, host order
    std::uint8_t hw_addr[6];   // hardware address recorded by the registration command
};

inline ConnKind conn_kind(const Connection* connection) {
    return static_cast<ConnKind>((connection->flags & kKindMask) >> kKindShift);
}
inline bool conn_is_closing(const Connection* connection) {
    return (connection->flags & kFlagClosing) != 0;
}

struct ConnectionTable {
    Connection* connections[kMaxConnections];  // entries 0..count-1, no holes
    std::uint32_t count;
};

struct CloseList {
    Connection* connections[kMaxConnections];  // marked this pass, in marking order
    std::uint32_t close_count;
};

// The one record that holds the loop's state. Zero-filled before the application starts.
struct LoopState {
    std::uint64_t now;  // tick taken at the start of the current pass
    sock_t max_handle;  // highest handle ever added to either set; never lowered
    InterestSet read_set;
    InterestSet write_set;
    ConnectionTable table;
    std::uint32_t registered_count;  // equals table.count
    CloseList close_list;
};

// The process's loop state, and a reset for tests (zero-fills it; frees nothing).
LoopState& loop_state();
void loop_state_reset();

// Makes a connection and registers its handle for reading; null when the table is full or
// memory runs out (the caller then closes the socket itself).
Connection* conn_create(sock_t handle, ConnKind kind, std::uint16_t port);
Connection* conn_create_udp(sock_t handle, std::uint16_t port, std::uint32_t local_addr);

// The creator's steps after making a connection and filling it: copy the hooks, then open
// it (on_open gives the context and may ask for a period; the connection's timer starts
// when it has both a period and an on_timer hook).
void conn_set_hooks(Connection* connection, const ConnectionHooks* hooks);
void conn_open(Connection* connection, const void* endpoint_info);

// Called only by the loop: when it reaps the close list, and at shutdown.
void conn_destroy(Connection* connection);

// Marks a connection for destruction at the end of the pass; marking twice is harmless.
void conn_mark_closing(Connection* connection);

void interest_add(InterestSet* set, Connection* connection);
void interest_remove(InterestSet* set, Connection* connection);
bool interest_contains(const InterestSet* set, sock_t handle);
