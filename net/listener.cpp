// The TCP listener and the admission of its clients.
#include "net/listener.h"

#include <cstring>

#include "net/sockets.h"

namespace {

inline constexpr int kBacklog = 5;

const ListenerConfig* config_of(const Connection* listener) {
    return reinterpret_cast<const ListenerConfig*>(listener->endpoint_info);
}

// Clients the listener has made that are still in the table.
std::uint32_t client_count() {
    const LoopState& state = loop_state();
    std::uint32_t n = 0;
    for (std::uint32_t i = 0; i < state.table.count; ++i) {
        if (conn_kind(state.table.connections[i]) == kKindClient) ++n;
    }
    return n;
}

bool address_passes(std::uint32_t mask, std::uint32_t addr_host) {
    for (int shift = 0; shift < 32; shift += 8) {
        std::uint32_t want = (mask >> shift) & 0xFFu;
        if (want != 0 && ((addr_host >> shift) & 0xFFu) != want) return false;
    }
    return true;
}

}  // namespace

static_assert(sizeof(ListenerConfig) <= kEndpointInfoSize);
static_assert(sizeof(ClientEndpointInfo) <= kEndpointInfoSize);

Connection* listener_create(const ListenerConfig* config, const ConnectionHooks* hooks) {
    sock_t handle = tcp_socket_create();
    if (handle == kInvalidSocket) return nullptr;
    if (socket_bind(handle, 0, config->port) != 0 ||
        platform::socket_listen(handle, kBacklog) != 0) {
        socket_close(handle);
        return nullptr;
    }
    Connection* listener = conn_create(handle, kKindListener, config->port);
    if (listener == nullptr) {
        socket_close(handle);
        return nullptr;
    }
    conn_set_hooks(listener, hooks);  // for its clients; on_open never runs for the listener
    listener->write_fn = tcp_send;
    listener->close_fn = socket_close;
    listener->read_fn = listener_on_readable;
    std::memcpy(listener->endpoint_info, config, sizeof *config);
    return listener;
}

sock_t listener_accept(sock_t handle, std::uint32_t* port, std::uint32_t* addr_host) {
    SockAddrIn peer{};
    sock_t client = platform::socket_accept(handle, &peer);
    if (client == kInvalidSocket) return kInvalidSocket;
    *port = platform::net_to_host16(peer.port);
    *addr_host = platform::net_to_host32(peer.addr);
    platform::socket_set_option(client, SockOption::KeepAlive);

    // The verdict only names clients worth noticing (a device still on its factory
    // address, a second client from one address); every client is served, and every
    // client socket must be non-blocking for the read loop.
    (void)admission_check(*addr_host);
    if (platform::socket_set_nonblocking(client) != 0) {
        platform::socket_close(client);
        return kInvalidSocket;
    }
    return client;
}

int admission_check(std::uint32_t addr_host) {
    if (addr_host ==
        platform::net_to_host32(platform::inet_from_text(kFactoryDefaultDeviceAddress))) {
        return 0;
    }
    const LoopState& state = loop_state();
    for (std::uint32_t i = 0; i < state.table.count; ++i) {
        std::uint32_t known = state.table.connections[i]->peer_addr;
        if (known != 0 && known == addr_host) return 0;
    }
    return 1;
}

int listener_on_readable(sock_t handle, char*, int, Connection* listener) {
    std::uint32_t port = 0;
    std::uint32_t addr_host = 0;
    sock_t accepted = listener_accept(handle, &port, &addr_host);
    if (accepted == kInvalidSocket) return 0;

    const ListenerConfig* config = config_of(listener);
    if (config->client_limit != 0 && client_count() >= config->client_limit) {
        socket_close(accepted);
        return 0;
    }
    Connection* client = conn_create(accepted, kKindClient, static_cast<std::uint16_t>(port));
    if (client == nullptr) {
        socket_close(accepted);  // table full: the listener stays in service
        return 0;
    }
    client->read_fn = tcp_recv;
    client->write_fn = tcp_send;
    client->close_fn = socket_close;
    ClientEndpointInfo info{static_cast<std::uint16_t>(port), 0,
                            platform::host_to_net32(addr_host)};
    std::memcpy(client->endpoint_info, &info, sizeof info);

    if (config->address_mask != 0 && !address_passes(config->address_mask, addr_host)) {
        conn_mark_closing(client);  // no hooks, no on_open: destroyed at the end of the pass
        return 0;
    }
    client->peer_addr = addr_host;
    ConnectionHooks hooks{listener->on_open, listener->on_frame, listener->on_timer,
                          listener->on_destroy};
    conn_set_hooks(client, &hooks);
    conn_open(client, client->endpoint_info);
    // Returning 0 ends the read loop: one accept per readable pass.
    return 0;
}
