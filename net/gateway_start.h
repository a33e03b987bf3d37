// Gateway start-up and the per-pass interface refresh.
#pragma once

#include <cstdint>

#include "core/connection.h"

inline constexpr std::uint16_t kGatewayTcpPort = 52554;
inline constexpr std::uint16_t kAnnouncePort = 12390;
inline constexpr int kHostNameSize = 256;

// What the layers above hand to the start-up: the hooks of the listener and of the
// endpoints, and what to do each time an endpoint has been made (register the commands).
struct GatewaySetup {
    ConnectionHooks listener_hooks;
    ConnectionHooks endpoint_hooks;
    void (*endpoint_created)();
};

// Opens the listener on 52554 and one UDP endpoint per local address. 0 or -1.
int gateway_start(const GatewaySetup* setup);
// Resolves the host's addresses again and opens endpoints for addresses that appeared at
// the head of the list. 0 or -1 (ignored by the loop).
int refresh_local_endpoints(LoopState* state);
