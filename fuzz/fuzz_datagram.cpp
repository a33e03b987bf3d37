// Fuzz target: datagrams arriving on a UDP endpoint.
//
// The endpoint is a real one: a UDP socket made by udp_socket_create on 127.0.0.1 inside a
// private network namespace, with the gateway's hooks (endpoint_open, dispatch_frame,
// endpoint_tick), read by the real loop passes through udp_recv. The input is a list of
// datagrams, each a 2-byte big-endian header and its bytes: the low 15 bits of the header
// give the length, the top bit ends a loop pass after this datagram (the datagrams of one
// pass are read in one go, one behind the other). A last record shorter than its header
// says is sent with what is there. Datagrams are sent from one socket on 127.0.0.1.
//
// Two TCP peers are connected (a role-3 watcher, a role-2 device with a hardware address).
// Only the device search may run for a datagram, so each input must leave: nothing written
// to either peer, both still open with role and address unchanged, no file made; and the
// only datagrams coming back to the sender are the endpoint's announcements.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>

#include "commands/command_set.h"
#include "commands/device_search.h"
#include "commands/file_commands.h"
#include "core/event_loop.h"
#include "fuzz/fuzz_support.h"
#include "gateway/frame.h"
#include "gateway/name_table.h"
#include "gateway/peer.h"
#include "net/sockets.h"
#include "net/udp_endpoint.h"

namespace {

enum Sockets { kWatcher = 1, kDevice = 2 };

constexpr std::uint32_t kLoopbackNet = 0x0100007F;  // 127.0.0.1 in network order
constexpr std::uint64_t kPassMs = 4000;             // an endpoint tick every third pass
constexpr int kMaxDatagram = 0x7FFF;
constexpr char kDeviceHw[] = "\x02\x00\x00\x12\x34\x56";

constexpr char kAnnouncement[] =
    "\x00\x09\x00\x17"
    "127.0.0.1";
constexpr std::size_t kAnnouncementSize = sizeof kAnnouncement - 1;

int g_sender = -1;  // the datagrams' source; the endpoint answers it once it has heard it
Connection* g_endpoint = nullptr;

bool endpoint_alive() {
    LoopState& state = loop_state();
    for (std::uint32_t i = 0; i < state.table.count; ++i) {
        if (state.table.connections[i] == g_endpoint) return true;
    }
    return false;
}

// The endpoint is readable in every pass (its socket may hold nothing: then udp_recv
// reports "nothing now"); fake sockets are always writable.
int fake_wait(InterestSet* read, InterestSet* write, sock_t, WaitTimeout) {
    InterestSet readable{};
    if (endpoint_alive() && interest_contains(read, g_endpoint->handle)) {
        readable.handles[readable.count++] = g_endpoint->handle;
    }
    *read = readable;
    return static_cast<int>(readable.count + write->count);
}

void drain_sender() {
    char buffer[65536];
    for (;;) {
        ssize_t n = recv(g_sender, buffer, sizeof buffer, MSG_DONTWAIT);
        if (n < 0) return;
        if (static_cast<std::size_t>(n) != kAnnouncementSize ||
            std::memcmp(buffer, kAnnouncement, kAnnouncementSize) != 0) {
            fuzz_fail("a datagram came back that is not the endpoint's announcement");
        }
    }
}

void set_up() {
    name_table_create();
    local_address_list().slots[0] = kLoopbackNet;
    EndpointDescriptor descriptor{};
    descriptor.local_addr = kLoopbackNet;
    descriptor.port = 12390;
    sock_t handle = udp_socket_create(nullptr, &descriptor.remote_addr, kLoopbackNet, 12390);
    if (handle == kInvalidSocket) fuzz_fail("no UDP socket on loopback");
    ConnectionHooks hooks{endpoint_open, dispatch_frame, endpoint_tick, nullptr};
    g_endpoint = udp_endpoint_create(handle, &hooks, &descriptor);
    if (g_endpoint == nullptr) fuzz_fail("no endpoint");
    register_commands(gateway_command_batch());

    static_cast<Peer*>(fake_client(kWatcher, 0x0A000007, 702)->context)->flags = 3;
    Connection* device = fake_client(kDevice, 0x0A000006, 701);
    static_cast<Peer*>(device->context)->flags = 2;
    std::memcpy(device->hw_addr, kDeviceHw, 6);
}

void send_datagram(const std::uint8_t* bytes, std::size_t size) {
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port =
        htons(static_cast<std::uint16_t>(platform::socket_local_port(g_endpoint->handle)));
    to.sin_addr.s_addr = kLoopbackNet;
    sendto(g_sender, bytes, size, 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
}

bool pass() {
    const Application app{nullptr, nullptr};
    bool more = event_loop_pass(app);
    fuzz_clock_advance(kPassMs);
    drain_sender();
    return more && endpoint_alive();
}

void check() {
    for (int socket : {kWatcher, kDevice}) {
        if (!fake_socket(socket).sent.empty())
            fuzz_fail("a datagram made a TCP peer hear something");
    }
    PeerList& peers = peer_list();
    if (peers.count != 2) fuzz_fail("a datagram changed the peer list");
    for (std::int32_t i = 0; i < peers.count; ++i) {
        Peer* peer = peers.items[i];
        bool device = peer->connection->handle == fake_handle(kDevice);
        if (conn_is_closing(peer->connection)) fuzz_fail("a datagram closed a TCP peer");
        if (peer_role(peer) != (device ? 2u : 3u)) fuzz_fail("a datagram changed a role");
        if (device && std::memcmp(peer->connection->hw_addr, kDeviceHw, 6) != 0) {
            fuzz_fail("a datagram changed a hardware address");
        }
    }
    if (temp_file_counter() != 1) fuzz_fail("a datagram ran a file command");
}

bool nothing_allowed(const char*) {
    return false;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
    fuzz_silence_stdout();
    fuzz_sandbox(argc, argv, "datagram");
    fuzz_enter_private_network();
    fuzz_clock_install();
    event_loop_set_wait(fake_wait);
    g_sender = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in from{};
    from.sin_family = AF_INET;
    from.sin_addr.s_addr = kLoopbackNet;
    if (g_sender < 0 || bind(g_sender, reinterpret_cast<sockaddr*>(&from), sizeof from) != 0) {
        fuzz_fail("no sender socket on loopback");
    }
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz_reset_gateway();
    set_up();
    std::size_t at = 0;
    bool open = true;
    while (open && at < size) {
        std::uint32_t header =
            size - at >= 2 ? (static_cast<std::uint32_t>(data[at]) << 8) | data[at + 1] : data[at];
        at += size - at >= 2 ? 2 : 1;
        std::size_t length = header & kMaxDatagram;
        if (length > size - at) length = size - at;
        send_datagram(data + at, length);
        at += length;
        if ((header & 0x8000u) != 0 || at >= size) open = pass();
    }
    // A few more passes: ticks with nothing arriving.
    for (int i = 0; open && i < 3; ++i) open = pass();
    check();
    fuzz_reset_gateway();  // closes the endpoint's socket with the connection
    drain_sender();
    if (!fuzz_clean_scratch_dir(nothing_allowed)) fuzz_fail("a datagram left a file");
    return 0;
}
