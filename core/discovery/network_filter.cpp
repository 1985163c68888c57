#include "core/discovery/network_filter.hpp"

#include <arpa/inet.h>

#include <algorithm>
#include <cstring>

namespace tarvel::discovery {

namespace {

// The longest valid literal is 45 characters (IPv6 with an embedded dotted quad),
// so anything that does not fit this buffer is not an address.
constexpr std::size_t literalBufferSize = 64;

struct Literal {
    std::array<std::uint8_t, 16> bytes{};
    std::size_t size = 0;

    ByteView view() const noexcept { return ByteView(bytes.data(), size); }
};

std::string_view trimSpacesAndTabs(std::string_view text) noexcept {
    // Line breaks are deliberately kept: "10.0.0.1\n" is not a literal.
    auto isBlank = [](char c) { return c == ' ' || c == '\t'; };
    while (!text.empty() && isBlank(text.front())) {
        text.remove_prefix(1);
    }
    while (!text.empty() && isBlank(text.back())) {
        text.remove_suffix(1);
    }
    return text;
}

// Parses into a fixed buffer so admission checks never allocate.
std::optional<Literal> parseLiteralFixed(std::string_view text) noexcept {
    text = trimSpacesAndTabs(text);
    if (text.size() >= 2 && text.front() == '[' && text.back() == ']') {
        text = text.substr(1, text.size() - 2);
    }
    if (auto zone = text.find('%'); zone != std::string_view::npos) {
        text = text.substr(0, zone);
    }
    if (text.empty() || text.size() >= literalBufferSize) {
        return std::nullopt;
    }
    // inet_pton needs a terminated string; an embedded NUL must not cut the text short.
    if (text.find('\0') != std::string_view::npos) {
        return std::nullopt;
    }
    char buffer[literalBufferSize];
    std::memcpy(buffer, text.data(), text.size());
    buffer[text.size()] = '\0';

    Literal literal;
    if (inet_pton(AF_INET, buffer, literal.bytes.data()) == 1) {
        literal.size = 4;
        return literal;
    }
    if (inet_pton(AF_INET6, buffer, literal.bytes.data()) == 1) {
        literal.size = 16;
        return literal;
    }
    return std::nullopt;
}

template <std::size_t N>
std::string addressText(int family, const std::array<std::uint8_t, N>& bytes) {
    char buffer[INET6_ADDRSTRLEN] = {};
    if (inet_ntop(family, bytes.data(), buffer, sizeof buffer) == nullptr) {
        return {};
    }
    std::string text(buffer);
    // Some platforms render a scope; the zone must never reach stored addresses.
    if (auto zone = text.find('%'); zone != std::string::npos) {
        text.resize(zone);
    }
    return text;
}

std::optional<std::uint16_t> parsePort(std::string_view digits) noexcept {
    if (digits.empty() || digits.size() > 5) {
        return std::nullopt;
    }
    std::uint32_t value = 0;
    for (char c : digits) {
        if (c < '0' || c > '9') {
            return std::nullopt;
        }
        value = value * 10 + static_cast<std::uint32_t>(c - '0');
    }
    if (value > 0xFFFF) {
        return std::nullopt;
    }
    return static_cast<std::uint16_t>(value);
}

}  // namespace

bool isAllowedIPv4(std::array<std::uint8_t, 4> octets) noexcept {
    const std::uint8_t a = octets[0];
    const std::uint8_t b = octets[1];
    return a == 10                               // private
           || (a == 172 && (b & 0xF0) == 0x10)   // private 172.16/12
           || (a == 192 && b == 168)             // private
           || (a == 169 && b == 254)             // link-local
           || (a == 100 && (b & 0xC0) == 0x40)   // carrier-grade NAT, Tailscale
           || a == 127;                          // loopback
}

bool isAllowedIPv6(ByteView bytes) noexcept {
    if (bytes.size() != 16) {
        return false;
    }
    if ((bytes[0] & 0xFE) == 0xFC) {  // unique local, includes Tailscale's range
        return true;
    }
    if (bytes[0] == 0xFE && (bytes[1] & 0xC0) == 0x80) {  // link-local
        return true;
    }
    const bool firstTenZero = std::all_of(bytes.begin(), bytes.begin() + 10,
                                          [](std::uint8_t b) { return b == 0; });
    if (!firstTenZero) {
        return false;
    }
    if (bytes[10] == 0xFF && bytes[11] == 0xFF) {
        // IPv4-mapped: judged as the IPv4 peer it really is.
        return isAllowedIPv4({bytes[12], bytes[13], bytes[14], bytes[15]});
    }
    // Only ::1; "::" and the deprecated IPv4-compatible forms are refused.
    return bytes[10] == 0 && bytes[11] == 0 && bytes[12] == 0 && bytes[13] == 0 &&
           bytes[14] == 0 && bytes[15] == 1;
}

bool isAllowedAddress(std::string_view text) noexcept {
    return NetworkFilter::isAllowedAddress(text);
}

bool isAllowedTarvelAddress(std::string_view text) noexcept {
    return NetworkFilter::isAllowedAddress(text);
}

namespace NetworkFilter {

bool isAllowed(ByteView bytes) noexcept {
    if (bytes.size() == 4) {
        return isAllowedIPv4({bytes[0], bytes[1], bytes[2], bytes[3]});
    }
    return isAllowedIPv6(bytes);
}

std::optional<Bytes> parseLiteral(std::string_view text) {
    auto literal = parseLiteralFixed(text);
    if (!literal) {
        return std::nullopt;
    }
    auto view = literal->view();
    return Bytes(view.begin(), view.end());
}

bool isAllowedAddress(std::string_view text) noexcept {
    auto literal = parseLiteralFixed(text);
    return literal && isAllowed(literal->view());
}

HostPort splitHostPort(std::string_view endpoint) {
    if (!endpoint.empty() && endpoint.front() == '[') {
        if (auto close = endpoint.find(']'); close != std::string_view::npos) {
            HostPort result{std::string(endpoint.substr(1, close - 1)), std::nullopt};
            auto rest = endpoint.substr(close + 1);
            if (!rest.empty() && rest.front() == ':') {
                result.port = parsePort(rest.substr(1));
            }
            return result;
        }
    }
    if (std::count(endpoint.begin(), endpoint.end(), ':') == 1) {
        auto colon = endpoint.find(':');
        return {std::string(endpoint.substr(0, colon)), parsePort(endpoint.substr(colon + 1))};
    }
    return {std::string(endpoint), std::nullopt};
}

bool isAllowedEndpointString(std::string_view endpoint) {
    return isAllowedAddress(splitHostPort(endpoint).host);
}

bool isAllowed(const NetworkHost& host) noexcept {
    if (const auto* name = std::get_if<HostName>(&host)) {
        return isAllowedAddress(name->name);
    }
    if (const auto* v4 = std::get_if<IPv4Address>(&host)) {
        return isAllowed(ByteView(v4->bytes));
    }
    if (const auto* v6 = std::get_if<IPv6Address>(&host)) {
        return isAllowed(ByteView(v6->bytes));
    }
    return false;
}

bool isAllowed(const std::optional<NetworkEndpoint>& endpoint) noexcept {
    return endpoint.has_value() && isAllowed(endpoint->host);
}

std::optional<std::string> hostString(const std::optional<NetworkEndpoint>& endpoint) {
    if (!endpoint) {
        return std::nullopt;
    }
    if (const auto* name = std::get_if<HostName>(&endpoint->host)) {
        return name->name;
    }
    if (const auto* v4 = std::get_if<IPv4Address>(&endpoint->host)) {
        return addressText(AF_INET, v4->bytes);
    }
    if (const auto* v6 = std::get_if<IPv6Address>(&endpoint->host)) {
        return addressText(AF_INET6, v6->bytes);
    }
    return std::nullopt;
}

}  // namespace NetworkFilter

}  // namespace tarvel::discovery
