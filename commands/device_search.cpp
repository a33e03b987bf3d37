// The device search (command 22) and the hooks of the gateway's UDP endpoints.
#include "commands/device_search.h"

#include <cstdio>
#include <cstring>

#include "gateway/frame.h"
#include "gateway/peer.h"
#include "net/gateway_start.h"
#include "net/udp_endpoint.h"

namespace {

SearchState g_search;

inline constexpr int kMaxResolved = 256;

bool is_space(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// Sends one announcement of addr to the destination from a short-lived socket bound to
// port 12390, with up to three attempts. The socket gets no options: a broadcast
// destination is refused by the platform, and each refusal is printed.
void announce_to(std::uint32_t addr, const SockAddrIn& destination) {
    char text[16];
    platform::inet_to_text(addr, text);
    auto n = static_cast<std::uint32_t>(std::strlen(text));
    char datagram[kFrameHeaderSize + 16];
    frame_write_header(datagram, n, kCodeAnnounce);
    std::memcpy(datagram + kFrameHeaderSize, text, n);

    sock_t handle = platform::socket_udp();
    if (handle == kInvalidSocket) return;
    if (platform::socket_bind(handle, 0, kAnnouncePort) < 0) {
        platform::socket_close(handle);
        return;
    }
    for (int attempt = 0; attempt < kSearchSendAttempts; ++attempt) {
        if (platform::socket_sendto(handle, datagram, static_cast<int>(kFrameHeaderSize + n),
                                    &destination) >= 0) {
            break;
        }
        std::printf("Specify By Search error = %x\r\n",
                    static_cast<unsigned>(platform::last_error()));
        std::fflush(stdout);
    }
    platform::socket_close(handle);
}

}  // namespace

SearchState& search_state() {
    return g_search;
}

void search_clear() {
    std::memset(&g_search, 0, sizeof g_search);
}

void search_devices(Peer*, std::uint32_t, std::uint32_t, char* text) {
    if (std::strlen(text) > 1) {
        const char* word = text;
        while (is_space(*word)) ++word;
        std::size_t length = 0;
        while (word[length] != '\0' && !is_space(word[length])) ++length;
        // A word that cannot be an address and does not fit is ignored entirely: the
        // pending search and its age stay as they are and nothing is sent.
        if (length >= kSearchTargetSize) return;
        std::memcpy(g_search.search_target, word, length);
        g_search.search_target[length] = '\0';
    }

    SockAddrIn destination{};
    destination.family = kAfInet;
    destination.port = platform::host_to_net16(kAnnouncePort);
    destination.addr = g_search.search_target[0] != '\0'
                           ? platform::inet_from_text(g_search.search_target)
                           : kInaddrNone;
    g_search.search_age = 0;

    char name[kHostNameSize] = {};
    std::uint32_t addresses[kMaxResolved];
    if (platform::host_name(name, sizeof name) != 0) return;
    int n = platform::host_addresses(name, addresses, kMaxResolved);
    LocalAddressList& list = local_address_list();
    for (int i = 0; i < n; ++i) {
        if (i < kLocalAddressSlots) list.slots[i] = addresses[i];
        if (addresses[i] == 0) continue;
        announce_to(addresses[i], destination);
    }
}

void* endpoint_open(Connection*, const void* descriptor, std::int32_t* timer_ms) {
    *timer_ms = kAnnouncePeriodMs;
    search_clear();
    auto slot = static_cast<const EndpointDescriptor*>(descriptor)->address_slot;
    return &local_address_list().slots[slot];
}

int endpoint_tick(Connection* connection, InputView* view) {
    if (++g_search.search_age >= kSearchMaxAge) search_clear();
    char text[16];
    platform::inet_to_text(*static_cast<const std::uint32_t*>(view->context), text);
    // The endpoint has no Peer; a transient one carries its connection to send_reply.
    Peer transient{};
    transient.connection = connection;
    send_reply(&transient, kCodeAnnounce, "%s", text);
    return 0;
}
