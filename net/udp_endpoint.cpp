// UDP endpoints: connections of kind 4 that send to, and receive from, a remote address.
#include "net/udp_endpoint.h"

#include <cstring>

#include "core/timer_queue.h"
#include "net/sockets.h"

namespace {
LocalAddressList g_addresses;
}

LocalAddressList& local_address_list() { return g_addresses; }

void local_address_list_reset() { std::memset(&g_addresses, 0, sizeof g_addresses); }

SockAddrIn* endpoint_remote_addr(Connection* connection) {
    return &reinterpret_cast<EndpointDescriptor*>(connection->endpoint_info)->remote_addr;
}

Connection* udp_endpoint_create(sock_t handle, const ConnectionHooks* hooks,
                                const EndpointDescriptor* descriptor) {
    Connection* endpoint = conn_create_udp(
        handle, static_cast<std::uint16_t>(descriptor->port & 0xFFFFu), descriptor->local_addr);
    if (endpoint == nullptr) return nullptr;
    endpoint->on_open = hooks->on_open;
    endpoint->on_frame = hooks->on_frame;
    endpoint->on_timer = hooks->on_timer;
    endpoint->on_destroy = hooks->on_destroy;
    endpoint->read_fn = udp_recv;
    endpoint->write_fn = udp_send;
    endpoint->close_fn = socket_close;
    std::memcpy(endpoint->endpoint_info, descriptor, sizeof *descriptor);

    if (endpoint->on_open != nullptr) {
        endpoint->context = endpoint->on_open(endpoint, descriptor, &endpoint->timer_ms);
        if (endpoint->on_timer != nullptr && endpoint->timer_ms != 0) {
            conn_timer_start(endpoint, endpoint->on_timer);
        }
    }
    return endpoint;
}
