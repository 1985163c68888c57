#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tarvel::discovery {

/// One address of one of this machine's interfaces.
struct LocalAddress {
    std::string interface;  // e.g. "en0", "wlan0"
    std::string address;    // numeric text form, never with a zone suffix
    bool isIPv6 = false;

    friend bool operator==(const LocalAddress&, const LocalAddress&) = default;
};

/// The host's own LAN and Tailscale addresses. Every query enumerates afresh
/// through the source; nothing is cached. Safe from any thread when the source is.
class LocalInterfaces {
public:
    /// The port used in endpoint strings while the server has not bound one.
    static constexpr std::uint16_t defaultPort = 49182;

    /// Lists addresses in the platform's enumeration order.
    using Source = std::function<std::vector<LocalAddress>()>;

    /// Enumerates the machine's real interfaces (`systemAddresses`).
    LocalInterfaces();

    /// Enumerates through `source` (a fake list in tests). An empty function
    /// behaves as a machine without interfaces.
    explicit LocalInterfaces(Source source);

    /// getifaddrs: every IPv4 and IPv6 address of every interface that is up and
    /// not loopback, in enumeration order; empty when enumeration fails.
    static std::vector<LocalAddress> systemAddresses();

    /// Every address the source lists.
    std::vector<LocalAddress> all() const;

    /// Private LAN IPv4 addresses, those on physical Ethernet and Wi-Fi interfaces
    /// (names starting "en", "eth" or "wl") first, otherwise in enumeration order.
    /// Without any, the other admitted non-Tailscale IPv4 addresses (link-local,
    /// loopback) in enumeration order.
    std::vector<std::string> lanIPv4Addresses() const;

    /// Tailscale IPv4 and IPv6 addresses, in enumeration order.
    std::vector<std::string> tailscaleAddresses() const;

    /// The first Tailscale IPv4 address, or nothing.
    std::optional<std::string> tailscaleIPv4() const;

    /// True when there is any Tailscale address.
    bool hasTailscaleInterface() const;

    /// "address:port" for each LAN address; port 0 means `defaultPort`.
    std::vector<std::string> lanEndpoints(std::uint16_t port) const;

    /// "address:port" for Tailscale IPv4 and "[address]:port" for Tailscale IPv6;
    /// port 0 means `defaultPort`.
    std::vector<std::string> tailscaleEndpoints(std::uint16_t port) const;

    /// The TXT record's "ts" value: the first Tailscale IPv4 address, ":" and the
    /// port (0 means `defaultPort`); never an IPv6 address. Nothing without one.
    std::optional<std::string> txtTailscaleEndpoint(std::uint16_t port) const;

    /// A literal in 100.64.0.0/10 or fd7a:115c:a1e0::/48.
    static bool isTailscale(std::string_view address);
    /// An IPv4 literal in 100.64.0.0/10.
    static bool isTailscaleIPv4(std::string_view address);
    /// An IPv6 literal in fd7a:115c:a1e0::/48.
    static bool isTailscaleIPv6(std::string_view address);

private:
    Source source_;
};

}  // namespace tarvel::discovery
