// Command 25: a peer registers its role, optionally a hardware address and an address
// text; role-3 peers learn of role-2 peers.
#pragma once

#include <cstdint>

struct Peer;

inline constexpr std::uint32_t kCodeRegister = 25;
inline constexpr std::uint32_t kCodeRegisterAnswer = 24;
inline constexpr std::uint32_t kCodeNotice = 26;
inline constexpr int kAddressTextMax = 39;

void register_peer(Peer* peer, std::uint32_t code, std::uint32_t length, char* text);
