// Peers: every accepted client bound to a unique name "%s:%d" and a role; the reply
// writer; the relay of frames whose code the gateway does not handle itself.
#pragma once

#include <cstdint>

#include "core/connection.h"

struct NameEntry;

inline constexpr std::uint32_t kRoleMask = 0xFu;
inline constexpr std::uint32_t kCodeDeparture = 174;

struct Peer {
    Connection* connection;
    std::int32_t index;  // slot in the PeerList
    NameEntry* name_entry;
    std::uint32_t flags;  // bits 0-3: role
};

inline std::uint32_t peer_role(const Peer* peer) {
    return peer->flags & kRoleMask;
}
const char* peer_name(const Peer* peer);

struct PeerList {
    Peer** items;
    std::int32_t capacity;  // grows by 8, never shrinks
    std::int32_t count;
};
PeerList& peer_list();
// Tests: frees every listed peer (without notices) and the list storage.
void peer_list_reset();

void* peer_open(Connection* connection, const void* endpoint_info, std::int32_t* timer_ms);
Peer* peer_create(Connection* connection, const char* name);
void peer_destroy(void* context);
void peers_release_all();
void peers_for_each(void (*fn)(Peer*, void*), void* arg);
void notify_departure(Peer* peer, void* departing);

void relay_frame(Peer* sender, std::uint32_t code, std::uint32_t length, char* payload);

// Formats one frame (payload cut at 2044 bytes) and hands it to conn_send.
void send_reply(Peer* peer, std::uint32_t code, const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 3, 4)))
#endif
    ;
