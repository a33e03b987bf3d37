// Gateway start-up and the interface refresh that runs at the start of every pass.
#include "net/gateway_start.h"

#include "net/listener.h"
#include "net/sockets.h"
#include "net/udp_endpoint.h"

namespace {

// Room for the resolver's answer; only the first kLocalAddressSlots addresses get a slot
// and an endpoint.
inline constexpr int kMaxResolved = 256;

GatewaySetup g_setup{};

// The host's IPv4 addresses in the resolver's order: count, or -1 when the name cannot be
// fetched or resolved.
int resolve_host(std::uint32_t* out) {
    char name[kHostNameSize] = {};
    if (platform::host_name(name, sizeof name) != 0) return -1;
    return platform::host_addresses(name, out, kMaxResolved);
}

// Opens the endpoint for the address in slot i. 0 or -1.
int open_endpoint(int slot, std::uint32_t addr) {
    EndpointDescriptor descriptor{};
    descriptor.address_slot = static_cast<std::uint32_t>(slot);
    descriptor.local_addr = addr;
    descriptor.port = kAnnouncePort;
    sock_t handle = udp_socket_create(nullptr, &descriptor.remote_addr, addr, kAnnouncePort);
    if (handle == kInvalidSocket) return -1;
    if (udp_endpoint_create(handle, &g_setup.endpoint_hooks, &descriptor) == nullptr) {
        socket_close(handle);
        return -1;
    }
    if (g_setup.endpoint_created != nullptr) g_setup.endpoint_created();
    return 0;
}

bool has_endpoint(const LoopState& state, std::uint32_t addr) {
    for (std::uint32_t i = 0; i < state.table.count; ++i) {
        const Connection* c = state.table.connections[i];
        if (conn_kind(c) == kKindUdpEndpoint && c->local_addr == addr) return true;
    }
    return false;
}

}  // namespace

int gateway_start(const GatewaySetup* setup) {
    g_setup = *setup;
    ListenerConfig config{kGatewayTcpPort, 0, 0};
    if (listener_create(&config, &g_setup.listener_hooks) == nullptr) return -1;

    std::uint32_t addresses[kMaxResolved];
    int n = resolve_host(addresses);
    if (n < 0) return -1;
    LocalAddressList& list = local_address_list();
    for (int i = 0; i < n && i < kLocalAddressSlots; ++i) {
        list.slots[i] = addresses[i];
        if (open_endpoint(i, addresses[i]) != 0) return -1;
    }
    return 0;
}

int refresh_local_endpoints(LoopState* state) {
    std::uint32_t addresses[kMaxResolved];
    int n = resolve_host(addresses);
    if (n < 0) n = platform::loopback_addresses(addresses, kMaxResolved);
    if (n < 0) return -1;

    LocalAddressList& list = local_address_list();
    // The walk ends at the first listed address that already has an endpoint, so only
    // addresses that appeared at the head of the list get one.
    for (int i = 0; i < n && i < kLocalAddressSlots; ++i) {
        list.slots[i] = addresses[i];
        if (has_endpoint(*state, addresses[i])) return 0;
        if (open_endpoint(i, addresses[i]) != 0) return -1;
    }
    return 0;
}
