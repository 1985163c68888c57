#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include "core/wire/bytes.hpp"

namespace tarvel::discovery {

using wire::Bytes;
using wire::ByteView;

/// An IPv4 address, bytes in network order (asio's `address_v4::to_bytes()`).
struct IPv4Address {
    std::array<std::uint8_t, 4> bytes{};

    friend bool operator==(const IPv4Address&, const IPv4Address&) = default;
};

/// An IPv6 address, bytes in network order (asio's `address_v6::to_bytes()`), with
/// its zone index (`scope_id()`). The zone never affects admission nor text form.
struct IPv6Address {
    std::array<std::uint8_t, 16> bytes{};
    std::uint32_t scopeId = 0;

    friend bool operator==(const IPv6Address&, const IPv6Address&) = default;
};

/// A host given by name; judged only when the name is itself an address literal.
struct HostName {
    std::string name;

    friend bool operator==(const HostName&, const HostName&) = default;
};

using NetworkHost = std::variant<HostName, IPv4Address, IPv6Address>;

/// A host-and-port endpoint. Endpoints of every other kind (a Unix socket, a
/// service name, no endpoint at all) are represented by an empty
/// `std::optional<NetworkEndpoint>` wherever one is accepted.
struct NetworkEndpoint {
    NetworkHost host;
    std::uint16_t port = 0;

    friend bool operator==(const NetworkEndpoint&, const NetworkEndpoint&) = default;
};

/// True when the address lies in 10/8, 172.16/12, 192.168/16, 169.254/16,
/// 100.64/10 or 127/8. Allocation-free.
bool isAllowedIPv4(std::array<std::uint8_t, 4> octets) noexcept;

/// True when `bytes` has exactly 16 bytes and is unique local (fc00::/7),
/// link-local (fe80::/10), ::1, or IPv4-mapped with an admitted IPv4 part.
/// Allocation-free.
bool isAllowedIPv6(ByteView bytes) noexcept;

/// `NetworkFilter::isAllowedAddress`.
bool isAllowedAddress(std::string_view text) noexcept;

/// `NetworkFilter::isAllowedAddress`, under the name the client side uses.
bool isAllowedTarvelAddress(std::string_view text) noexcept;

/// The ranges from which the host admits peers. Pure functions, any thread.
namespace NetworkFilter {

/// 4 bytes: the IPv4 rule; 16 bytes: the IPv6 rule; any other length: false.
bool isAllowed(ByteView bytes) noexcept;

/// The 4 or 16 bytes of an address literal, or nothing. Spaces and tabs around
/// the text, one enclosing pair of "[" "]" and a "%zone" suffix are ignored.
/// Host names are never resolved.
std::optional<Bytes> parseLiteral(std::string_view text);

/// True when `text` is an address literal (as `parseLiteral`) in an admitted range.
/// Allocation-free.
bool isAllowedAddress(std::string_view text) noexcept;

/// An endpoint string split into its host text and port.
struct HostPort {
    std::string host;
    std::optional<std::uint16_t> port;

    friend bool operator==(const HostPort&, const HostPort&) = default;
};

/// "[host]:port", "host:port" (exactly one colon) or a bare host. A port that
/// is empty, not decimal digits or above 65535 is absent; a bare IPv6 address
/// (two or more colons) is all host.
HostPort splitHostPort(std::string_view endpoint);

/// `isAllowedAddress` of the host part of `endpoint`; the port is ignored.
bool isAllowedEndpointString(std::string_view endpoint);

/// Addresses by their bytes (an IPv4-mapped IPv6 address by its IPv4 part);
/// names only when they are admitted address literals. Never resolves names.
bool isAllowed(const NetworkHost& host) noexcept;

/// False for no endpoint; otherwise `isAllowed` of its host.
bool isAllowed(const std::optional<NetworkEndpoint>& endpoint) noexcept;

/// The endpoint's host as text: a name as it is, an address in its standard
/// form without any "%zone"; nothing when there is no endpoint.
std::optional<std::string> hostString(const std::optional<NetworkEndpoint>& endpoint);

}  // namespace NetworkFilter

}  // namespace tarvel::discovery
