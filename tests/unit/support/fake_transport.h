// Fake transports for unit tests: connections whose read_fn/write_fn talk to an in-memory
// FakeSocket instead of the network, and a reset of the process-wide core state.
#pragma once

#include <cstdint>
#include <deque>
#include <string>

#include "core/connection.h"

struct FakeSocket {
    std::string sent;                  // every byte write_fn accepted, in order
    std::deque<std::string> incoming;  // what read_fn returns, one chunk per call
    int accept_limit = -1;             // bytes write_fn takes per call; -1: all, 0: none
    bool fail_write = false;           // write_fn returns -1
    bool fail_read = false;            // read_fn returns -1 once incoming is drained
    int write_calls = 0;
    int read_calls = 0;
    int close_calls = 0;
};

// Makes a connection of the given kind (conn_create / conn_create_udp) backed by socket.
// The handle is unique per call. Returns null when the table is full.
Connection* make_fake_connection(FakeSocket* socket, ConnKind kind = kKindClient,
                                 std::uint16_t port = 0, std::uint32_t local_addr = 0);

// Transport functions, for tests that fill a connection by hand.
int fake_read(sock_t handle, char* buffer, int size, Connection* connection);
int fake_write(sock_t handle, const char* bytes, int count, Connection* connection);
int fake_close(sock_t handle);

// Destroys every connection in the table, empties the timer queue and zero-fills the
// loop state, and forgets every fake socket.
void reset_core_state();

// A controllable clock for the timer queue and the loop.
void fake_clock_install(std::uint64_t start_ms);
void fake_clock_set(std::uint64_t ms);
void fake_clock_advance(std::uint64_t ms);
