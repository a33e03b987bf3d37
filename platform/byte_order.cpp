// Byte order, written out once: network order is big-endian on every system.
#include "platform/platform.h"

#include <bit>

namespace platform {

std::uint16_t host_to_net16(std::uint16_t value) {
    if constexpr (std::endian::native == std::endian::big) return value;
    return static_cast<std::uint16_t>((value << 8) | (value >> 8));
}

std::uint16_t net_to_host16(std::uint16_t value) {
    return host_to_net16(value);
}

std::uint32_t host_to_net32(std::uint32_t value) {
    if constexpr (std::endian::native == std::endian::big) return value;
    return ((value & 0xFFu) << 24) | ((value & 0xFF00u) << 8) | ((value >> 8) & 0xFF00u) |
           (value >> 24);
}

std::uint32_t net_to_host32(std::uint32_t value) {
    return host_to_net32(value);
}

}  // namespace platform
