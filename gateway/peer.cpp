#include "gateway/peer.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "core/alloc.h"
#include "core/transfer.h"
#include "gateway/args.h"
#include "gateway/frame.h"
#include "gateway/name_table.h"
#include "net/listener.h"

namespace {

PeerList peers{};

constexpr std::int32_t kPeerListStep = 8;
constexpr std::uint32_t kRoleDevice = 2;
constexpr std::uint32_t kRoleWatcher = 3;
constexpr int kNameBufferSize = 64;  // "255.255.255.255:65535" needs 21 characters

// Removal is constant-time: the last listed peer moves into the hole.
void take_off_list(Peer* peer) {
    --peers.count;
    Peer* last = peers.items[peers.count];
    peers.items[peer->index] = last;
    last->index = peer->index;
    peers.items[peers.count] = nullptr;
}

bool is_listed(const Peer* peer) {
    return peer->index >= 0 && peer->index < peers.count && peers.items[peer->index] == peer;
}

// The departing peer is already off the list, so it never hears about itself.
void release_listed(Peer* peer) {
    take_off_list(peer);
    if (peer_role(peer) == kRoleDevice) peers_for_each(notify_departure, peer);
    name_remove(peer->name_entry->name);
    zv_free(peer);
}

}  // namespace

const char* peer_name(const Peer* peer) {
    if (peer == nullptr || peer->name_entry == nullptr) return "";
    return peer->name_entry->name;
}

PeerList& peer_list() {
    return peers;
}

void peer_list_reset() {
    for (std::int32_t i = 0; i < peers.count; ++i) {
        Peer* peer = peers.items[i];
        if (peer->name_entry != nullptr) name_remove(peer->name_entry->name);
        zv_free(peer);
    }
    zv_free(peers.items);
    peers = {};
}

void* peer_open(Connection* connection, const void* endpoint_info, std::int32_t* timer_ms) {
    if (connection == nullptr) return nullptr;
    if (timer_ms != nullptr) *timer_ms = 0;  // accepted clients have no timer
    ClientEndpointInfo info{};
    std::memcpy(&info, endpoint_info != nullptr ? endpoint_info : connection->endpoint_info,
                sizeof(info));
    char address[16];
    platform::inet_to_text(info.addr_net, address);
    char name[kNameBufferSize];
    std::snprintf(name, sizeof(name), "%s:%d", address, static_cast<int>(info.port));
    return peer_create(connection, name);
}

// Any failure closes the connection as for a taken name: a client without a Peer could
// only have its frames dropped.
Peer* peer_create(Connection* connection, const char* name) {
    if (connection == nullptr) return nullptr;
    if (peers.count == peers.capacity) {
        std::int32_t capacity = peers.capacity + kPeerListStep;
        auto* items = static_cast<Peer**>(
            zv_realloc(peers.items, static_cast<std::size_t>(capacity) * sizeof(Peer*)));
        if (items == nullptr) {
            conn_mark_closing(connection);
            return nullptr;
        }
        peers.items = items;
        peers.capacity = capacity;
    }
    auto* peer = static_cast<Peer*>(zv_calloc(sizeof(Peer)));
    if (peer == nullptr) {
        conn_mark_closing(connection);
        return nullptr;
    }
    peer->connection = connection;
    NameEntry* entry = name_entry_create(name);
    if (entry == nullptr) {
        conn_mark_closing(connection);
        zv_free(peer);
        return nullptr;
    }
    peer->name_entry = entry;
    entry->peer = peer;
    peer->index = peers.count;
    peers.items[peers.count++] = peer;
    return peer;
}

void peer_destroy(void* context) {
    auto* peer = static_cast<Peer*>(context);
    if (peers.count == 0 || peer == nullptr || !is_listed(peer)) return;
    release_listed(peer);
}

void peers_release_all() {
    while (peers.count > 0) release_listed(peers.items[0]);
}

void peers_for_each(void (*fn)(Peer*, void*), void* arg) {
    // count is read before every call; callbacks only send, which never removes a peer.
    for (std::int32_t i = 0; i < peers.count; ++i) fn(peers.items[i], arg);
}

void notify_departure(Peer* peer, void* departing) {
    if (peer_role(peer) != kRoleWatcher) return;
    send_reply(peer, kCodeDeparture, "%s", peer_name(static_cast<Peer*>(departing)));
}

void relay_frame(Peer* sender, std::uint32_t code, std::uint32_t length, char* payload) {
    if (sender == nullptr || sender->name_entry == nullptr || payload == nullptr) return;
    char* cursor = payload;
    const char* target = next_arg(&cursor);
    if (target == nullptr) return;
    NameEntry* entry = name_lookup(target);
    if (entry == nullptr || entry->peer == nullptr) return;

    const char* name = sender->name_entry->name;
    std::size_t name_length = std::strlen(name);
    std::size_t rest_length = 0;
    std::size_t total = name_length;
    if (cursor != nullptr) {
        rest_length = length - static_cast<std::size_t>(cursor - payload);
        total = name_length + 1 + rest_length;
    }
    // A cut frame would hand the target corrupted data; an oversized one goes nowhere.
    if (total > static_cast<std::size_t>(kMaxFramePayload)) return;

    char frame[kBufferCapacity];
    frame_write_header(frame, static_cast<std::uint32_t>(total), code);
    char* out = frame + kFrameHeaderSize;
    std::memcpy(out, name, name_length);
    if (cursor != nullptr) {
        out[name_length] = ' ';
        std::memcpy(out + name_length + 1, cursor, rest_length);
    }
    conn_send(entry->peer->connection, frame, static_cast<int>(total) + kFrameHeaderSize);
}

void send_reply(Peer* peer, std::uint32_t code, const char* format, ...) {
    if (peer == nullptr || peer->connection == nullptr) return;
    // One byte beyond the 2048-byte frame for the terminator vsnprintf always writes, so
    // that a full 2044-byte payload fits; the terminator is never sent.
    char frame[kBufferCapacity + 1];
    va_list args;
    va_start(args, format);
    int written = std::vsnprintf(frame + kFrameHeaderSize,
                                 static_cast<std::size_t>(kMaxFramePayload) + 1, format, args);
    va_end(args);
    if (written < 0) return;
    std::uint32_t length = written > kMaxFramePayload ? static_cast<std::uint32_t>(kMaxFramePayload)
                                                      : static_cast<std::uint32_t>(written);
    frame_write_header(frame, length, code & 0xFFFFu);
    conn_send(peer->connection, frame, static_cast<int>(length) + kFrameHeaderSize);
}
