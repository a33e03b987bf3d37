// Command 25: registration with a role, a hardware address and an address text.
#include "commands/registration.h"

#include <climits>
#include <cstdlib>
#include <cstring>

#include "commands/device_search.h"
#include "core/connection.h"
#include "gateway/name_table.h"
#include "gateway/peer.h"

namespace {

bool is_space(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

int hex_digit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// The role as the standard decimal conversion reads it: leading white space, an optional
// sign, digits; values beyond the int range are clamped as the C library does.
int leading_int(const char* text) {
    long value = std::strtol(text, nullptr, 10);
    if (value > INT_MAX) return INT_MAX;
    if (value < INT_MIN) return INT_MIN;
    return static_cast<int>(value);
}

// What the registration text holds beyond the role.
struct RegistrationText {
    bool hw_complete;  // all six address bytes were read
    std::uint8_t hw[6];
    char address[kAddressTextMax + 1];  // empty when absent or too long
};

// Reads "%d %d %02X:%02X:%02X:%02X:%02X:%02X %s" the way scanf would, stopping at the
// first field that does not match, without scanf's undefined behaviour on overflow and
// without storing a word longer than the address text's room.
RegistrationText scan_registration(const char* p) {
    RegistrationText out{};
    for (int number = 0; number < 2; ++number) {
        while (is_space(*p)) ++p;
        if (*p == '+' || *p == '-') ++p;
        if (*p < '0' || *p > '9') return out;
        while (*p >= '0' && *p <= '9') ++p;
    }
    for (int i = 0; i < 6; ++i) {
        if (i > 0 && *p++ != ':') return out;
        while (is_space(*p)) ++p;  // %X skips white space before its digits
        int high = hex_digit(*p);
        if (high < 0) return out;
        ++p;
        int low = hex_digit(*p);
        int value = high;
        if (low >= 0) {
            value = high * 16 + low;
            ++p;
        }
        out.hw[i] = static_cast<std::uint8_t>(value);
    }
    out.hw_complete = true;
    while (is_space(*p)) ++p;
    std::size_t length = 0;
    while (p[length] != '\0' && !is_space(p[length])) ++length;
    if (length <= static_cast<std::size_t>(kAddressTextMax)) {
        std::memcpy(out.address, p, length);
        out.address[length] = '\0';
    }
    return out;
}

bool all_zero(const std::uint8_t* hw) {
    for (int i = 0; i < 6; ++i) {
        if (hw[i] != 0) return false;
    }
    return true;
}

// Closes every connection that recorded this hardware address before, the registering
// one included, then records it on the registering peer's connection.
void evict_and_record(Peer* peer, const std::uint8_t* hw) {
    // Every connection that never registered an address holds six zero bytes (the
    // listener and the UDP endpoints among them): the all-zero address evicts nobody.
    if (!all_zero(hw)) {
        LoopState& state = loop_state();
        for (std::uint32_t i = 0; i < state.table.count; ++i) {
            Connection* c = state.table.connections[i];
            if (std::memcmp(c->hw_addr, hw, 6) == 0) conn_mark_closing(c);
        }
    }
    std::memcpy(peer->connection->hw_addr, hw, 6);
}

struct NoticeWalk {
    Peer* registering;
};

// A role-3 peer learns of each role-2 peer.
void notice_to_registering(Peer* p, void* arg) {
    auto* walk = static_cast<NoticeWalk*>(arg);
    if (peer_role(p) != 2) return;
    send_reply(walk->registering, kCodeNotice, "%s %d", peer_name(p), p->name_entry->search_match);
}

// Each role-3 peer learns of the registering role-2 peer.
void notice_about_registering(Peer* p, void* arg) {
    auto* walk = static_cast<NoticeWalk*>(arg);
    if (peer_role(p) != 3) return;
    send_reply(p, kCodeNotice, "%s %d", peer_name(walk->registering),
               walk->registering->name_entry->search_match);
}

}  // namespace

void register_peer(Peer* peer, std::uint32_t, std::uint32_t, char* text) {
    auto role = static_cast<std::uint32_t>(leading_int(text)) & kRoleMask;
    peer->flags = (peer->flags & ~kRoleMask) | role;

    if (std::strlen(text) > 1) {
        RegistrationText scanned = scan_registration(text);
        // An address the scan did not complete compares with nothing and records nothing.
        if (scanned.hw_complete) evict_and_record(peer, scanned.hw);
        const char* target = search_state().search_target;
        if (target[0] != '\0' && std::strcmp(target, scanned.address) == 0) {
            peer->name_entry->search_match = 1;
        }
    }

    send_reply(peer, kCodeRegisterAnswer, "%s", peer_name(peer));

    NoticeWalk walk{peer};
    if (role == 3) peers_for_each(notice_to_registering, &walk);
    if (role == 2) peers_for_each(notice_about_registering, &walk);
}
