// UDP endpoints and the list of local addresses they serve and announce.
#pragma once

#include <cstdint>

#include "core/connection.h"

// One slot per local IPv4 address (network order), in the order the host lists them.
// Addresses beyond the last slot get neither a slot nor an endpoint.
inline constexpr int kLocalAddressSlots = 64;
struct LocalAddressList {
    std::uint32_t slots[kLocalAddressSlots];
};
LocalAddressList& local_address_list();
void local_address_list_reset();

// Copied whole into the endpoint's endpoint_info.
struct EndpointDescriptor {
    std::uint32_t reserved;      // zero
    std::uint32_t address_slot;  // index into LocalAddressList
    std::uint32_t local_addr;    // network order
    std::uint32_t port;          // host order; low 16 bits become Connection.port
    SockAddrIn remote_addr;      // destination; replaced by the sender of each datagram
};
static_assert(sizeof(EndpointDescriptor) == kEndpointInfoSize);

// The endpoint's current remote address (inside its endpoint_info).
SockAddrIn* endpoint_remote_addr(Connection* connection);

// The caller made the socket with udp_socket_create and closes it when this returns null.
Connection* udp_endpoint_create(sock_t handle, const ConnectionHooks* hooks,
                                const EndpointDescriptor* descriptor);
