// The TCP listener: a connection of kind 2 whose read_fn accepts one client per pass.
#pragma once

#include <cstdint>

#include "core/connection.h"

struct ListenerConfig {
    std::uint16_t port;          // host order
    std::uint16_t client_limit;  // 0: no limit; otherwise clients beyond it are closed
    std::uint32_t address_mask;  // host order, per-byte filter; 0: no filter
};

// A device fresh from the factory answers on this address. It is admitted like any other
// client; admission_check only names it.
inline constexpr const char* kFactoryDefaultDeviceAddress = "192.168.1.200";

// Layout of an accepted client's endpoint_info.
struct ClientEndpointInfo {
    std::uint16_t port;      // host order
    std::uint16_t reserved;  // zero
    std::uint32_t addr_net;  // network order
};

Connection* listener_create(const ListenerConfig* config, const ConnectionHooks* hooks);
// Accepts one client: its handle (non-blocking), or kInvalidSocket.
sock_t listener_accept(sock_t handle, std::uint32_t* port, std::uint32_t* addr_host);
// 1 = admitted, 0 = refused (the factory-default address, or an address that already has
// a client). The verdict turns nobody away: every accepted client is served.
int admission_check(std::uint32_t addr_host);
int listener_on_readable(sock_t handle, char* buffer, int space, Connection* listener);
