// Command 22, the device search, and the hooks of the gateway's UDP endpoints: the
// periodic announcement of each local address and the ageing of the pending search.
#pragma once

#include <cstdint>

#include "core/connection.h"

struct Peer;

inline constexpr std::uint32_t kCodeSearch = 22;
inline constexpr std::uint32_t kCodeAnnounce = 23;
inline constexpr std::int32_t kAnnouncePeriodMs = 10000;
inline constexpr int kSearchTargetSize = 20;  // 19 characters and a NUL
inline constexpr std::int32_t kSearchMaxAge = 2;
inline constexpr int kSearchSendAttempts = 3;

// The pending search, shared by every endpoint.
struct SearchState {
    char search_target[kSearchTargetSize];  // empty: no search pending
    std::int32_t search_age;                // endpoint ticks since the last search
};
SearchState& search_state();
void search_clear();

void search_devices(Peer* peer, std::uint32_t code, std::uint32_t length, char* text);
void* endpoint_open(Connection* connection, const void* descriptor, std::int32_t* timer_ms);
int endpoint_tick(Connection* connection, InputView* view);
