// Reading the fields of client messages and showing them in journal texts.
#pragma once

#include <arpa/inet.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <string>
#include <string_view>

namespace zorv {

// The u32 at byte `at` of a message (the caller checked its size).
inline uint32_t U32At(std::span<const uint8_t> bytes, std::size_t at) {
    uint32_t value = 0;
    std::memcpy(&value, bytes.data() + at, sizeof(value));
    return value;
}

// "a.b.c.d:port" of an IPv4 address in network byte order.
inline std::string AddressText(uint32_t ip, uint16_t port) {
    in_addr address{};
    address.s_addr = ip;
    char dotted[INET_ADDRSTRLEN] = {};
    ::inet_ntop(AF_INET, &address, dotted, sizeof(dotted));
    return std::string(dotted) + ":" + std::to_string(port);
}

// The address part of "a.b.c.d:port" (the text itself when it has no port).
inline std::string HostOf(std::string_view address) {
    return std::string(address.substr(0, address.rfind(':')));
}

}  // namespace zorv
