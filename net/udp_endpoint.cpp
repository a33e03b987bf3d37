// UDP endpoints: connections of kind 4 that send to, and receive from, a remote address.
#include "net/udp_endpoint.h"

#include <cstring>

#include "net/sockets.h"

namespace {
LocalAddressList g_addresses;
}

LocalAddressList& local_address_list() {
    return g_addresses;
}

void local_address_list_reset() {
    std::memset(&g_addresses, 0, sizeof g_addresses);
}

SockAddrIn* endpoint_remote_addr(Connection* connection) {
    return &reinterpret_cast<EndpointDescriptor*>(connection->endpoint_info)->remote_addr;
}

Connection* udp_endpoint_create(sock_t handle, const ConnectionHooks* hooks,
                                const EndpointDescriptor* descriptor) {
    Connection* endpoint = conn_create_udp(
        handle, static_cast<std::uint16_t>(descriptor->port & 0xFFFFu), descriptor->local_addr);
    if (endpoint == nullptr) return nullptr;
    conn_set_hooks(endpoint, hooks);
    endpoint->read_fn = udp_recv;
    endpoint->write_fn = udp_send;
    endpoint->close_fn = socket_close;
    std::memcpy(endpoint->endpoint_info, descriptor, sizeof *descriptor);
    // on_open sees the creator's descriptor, whose fields equal the copy just made.
    conn_open(endpoint, descriptor);
    return endpoint;
}
