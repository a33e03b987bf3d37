// Shared fixture for the gateway tests: every test starts with an empty connection table,
// a fresh name table, no peers and no commands, and allocation failures switched off.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "core/alloc.h"
#include "gateway/frame.h"
#include "gateway/name_table.h"
#include "gateway/peer.h"
#include "tests/unit/support/fake_transport.h"

inline void reset_gateway_state() {
    zv_alloc_fail_after(-1);
    reset_core_state();
    peer_list_reset();
    name_table_destroy();
    free_commands();
}

class GatewayFixture : public ::testing::Test {
protected:
    void SetUp() override {
        reset_gateway_state();
        name_table_create();
    }
    void TearDown() override { reset_gateway_state(); }

    // A listed peer on a fresh fake client connection backed by socket.
    static Peer* add_peer(FakeSocket* socket, const char* name, std::uint32_t role = 0) {
        Connection* connection = make_fake_connection(socket);
        if (connection == nullptr) return nullptr;
        Peer* peer = peer_create(connection, name);
        if (peer != nullptr) peer->flags = role;
        return peer;
    }
};

// Expected wire bytes are written out literally; this only keeps embedded NULs.
template <std::size_t N>
std::string bytes(const char (&literal)[N]) {
    return std::string(literal, N - 1);
}
