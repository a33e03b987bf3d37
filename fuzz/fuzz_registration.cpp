// Fuzz target: the registration text (command 25).
//
// The input is the payload, handed to register_peer as the dispatcher hands it: in a
// buffer of exactly its size plus the terminating NUL. The registering peer last recorded
// 02:00:00:00:00:01; the table also holds a role-0 peer with that same address, a role-2
// peer with 02:00:00:12:34:56, a role-2 peer that never recorded one, a role-3 peer with
// 0a:0b:0c:0d:0e:0f, a listener and a UDP endpoint (all zero). The pending search looks
// for 10.0.0.5.
//
// The outcome is compared with a model built on the C library's sscanf with the documented
// format (hexadecimal bytes of one or two digits): the role, which connections are marked
// for closing, the address recorded, the search match, the reply and the notices.
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "commands/device_search.h"
#include "commands/registration.h"
#include "fuzz/fuzz_support.h"
#include "gateway/name_table.h"
#include "gateway/peer.h"

namespace {

enum Sockets { kListener, kEndpoint, kRegistering, kTwin, kDevice, kSilentDevice, kWatcher };
constexpr int kSocketCount = 7;

constexpr char kOwnHw[] = "\x02\x00\x00\x00\x00\x01";
constexpr char kDeviceHw[] = "\x02\x00\x00\x12\x34\x56";
constexpr char kWatcherHw[] = "\x0a\x0b\x0c\x0d\x0e\x0f";
constexpr char kZeroHw[] = "\0\0\0\0\0\0";
constexpr char kSearchTarget[] = "10.0.0.5";

Connection* g_connections[kSocketCount];
Peer* g_peers[kSocketCount];

Connection* plain(int socket, ConnKind kind) {
    Connection* c = kind == kKindUdpEndpoint ? conn_create_udp(fake_handle(socket), 12390, 0)
                                             : conn_create(fake_handle(socket), kind, 52554);
    c->write_fn = fake_write;
    c->read_fn = fake_read_nothing;
    c->close_fn = fake_close;
    return c;
}

void peer(int socket, std::uint32_t addr, std::uint16_t port, std::uint32_t role, const char* hw) {
    Connection* c = fake_client(socket, addr, port);
    std::memcpy(c->hw_addr, hw, 6);
    g_connections[socket] = c;
    g_peers[socket] = static_cast<Peer*>(c->context);
    g_peers[socket]->flags = role;
}

void set_up() {
    name_table_create();
    g_connections[kListener] = plain(kListener, kKindListener);
    g_connections[kEndpoint] = plain(kEndpoint, kKindUdpEndpoint);
    peer(kRegistering, 0x0A000005, 700, 0, kOwnHw);  // "10.0.0.5:700"
    peer(kTwin, 0x0A000009, 709, 0, kOwnHw);
    peer(kDevice, 0x0A000006, 701, 2, kDeviceHw);      // "10.0.0.6:701"
    peer(kSilentDevice, 0x0A000008, 708, 2, kZeroHw);  // "10.0.0.8:708"
    peer(kWatcher, 0x0A000007, 702, 3, kWatcherHw);
    std::memcpy(search_state().search_target, kSearchTarget, sizeof kSearchTarget);
}

// What the documented scan makes of the text.
struct Expected {
    bool hw_complete = false;
    std::uint8_t hw[6] = {};
    std::string address;
};

Expected model_scan(const char* text) {
    Expected out;
    std::size_t n = std::strlen(text);
    char bytes[6][3] = {};
    std::vector<char> word(n + 1, '\0');
    int fields =
        std::sscanf(text,
                    "%*d %*d %2[0-9A-Fa-f]: %2[0-9A-Fa-f]: %2[0-9A-Fa-f]: "
                    "%2[0-9A-Fa-f]: %2[0-9A-Fa-f]: %2[0-9A-Fa-f] %s",
                    bytes[0], bytes[1], bytes[2], bytes[3], bytes[4], bytes[5], word.data());
    if (fields < 6) return out;
    out.hw_complete = true;
    for (int i = 0; i < 6; ++i) {
        out.hw[i] = static_cast<std::uint8_t>(std::strtoul(bytes[i], nullptr, 16));
    }
    if (fields == 7 && std::strlen(word.data()) <= static_cast<std::size_t>(kAddressTextMax)) {
        out.address = word.data();
    }
    return out;
}

std::uint32_t model_role(const char* text) {
    long long value = std::strtoll(text, nullptr, 10);
    if (value > INT_MAX) value = INT_MAX;
    if (value < INT_MIN) value = INT_MIN;
    return static_cast<std::uint32_t>(static_cast<int>(value)) & 0xFu;
}

std::string frame(std::uint32_t code, const std::string& text) {
    std::string out;
    out += static_cast<char>(text.size() >> 8);
    out += static_cast<char>(text.size() & 0xFF);
    out += static_cast<char>(code >> 8);
    out += static_cast<char>(code & 0xFF);
    return out + text;
}

void check(const char* text) {
    const std::uint32_t role = model_role(text);
    const bool scanned = std::strlen(text) > 1;
    const Expected e = scanned ? model_scan(text) : Expected{};
    const bool evicts = e.hw_complete && std::memcmp(e.hw, kZeroHw, 6) != 0;

    Peer* registering = g_peers[kRegistering];
    if (peer_role(registering) != role) fuzz_fail("role");
    if ((registering->flags & ~kRoleMask) != 0) fuzz_fail("flags beyond the role");
    const std::uint8_t* own_before = reinterpret_cast<const std::uint8_t*>(kOwnHw);
    const std::uint8_t* own_after = e.hw_complete ? e.hw : own_before;
    if (std::memcmp(g_connections[kRegistering]->hw_addr, own_after, 6) != 0) {
        fuzz_fail("recorded hardware address");
    }

    const char* before[kSocketCount] = {kZeroHw,   kZeroHw, kOwnHw,    kOwnHw,
                                        kDeviceHw, kZeroHw, kWatcherHw};
    for (int s = 0; s < kSocketCount; ++s) {
        bool marked = conn_is_closing(g_connections[s]);
        bool want = evicts && std::memcmp(before[s], e.hw, 6) == 0;
        if (marked != want) fuzz_fail("eviction of socket", std::to_string(s).c_str());
    }

    int match = e.address == kSearchTarget ? 1 : 0;
    if (registering->name_entry->search_match != match) fuzz_fail("search match");

    std::string reply = frame(24, "10.0.0.5:700");
    if (role == 3) reply += frame(26, "10.0.0.6:701 0") + frame(26, "10.0.0.8:708 0");
    if (fake_socket(kRegistering).sent != reply)
        fuzz_fail("reply and notices to the registering peer");
    std::string watcher = role == 2 ? frame(26, "10.0.0.5:700 " + std::to_string(match)) : "";
    if (fake_socket(kWatcher).sent != watcher) fuzz_fail("notice to the watcher");
    for (int s : {kListener, kEndpoint, kTwin, kDevice, kSilentDevice}) {
        if (!fake_socket(s).sent.empty()) fuzz_fail("a frame to an uninvolved connection");
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz_reset_gateway();
    set_up();
    std::vector<char> payload(reinterpret_cast<const char*>(data),
                              reinterpret_cast<const char*>(data) + size);
    payload.push_back('\0');
    payload.shrink_to_fit();
    const std::string text(payload.data());  // what the handler's text functions see
    register_peer(g_peers[kRegistering], 25, static_cast<std::uint32_t>(size), payload.data());
    check(text.c_str());
    fuzz_reset_gateway();
    return 0;
}
