#include "core/discovery/local_interfaces.hpp"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>

#include <algorithm>
#include <iterator>
#include <memory>
#include <utility>

#include "core/discovery/network_filter.hpp"

namespace tarvel::discovery {

namespace {

bool isIPv4Literal(std::string_view address) {
    auto bytes = NetworkFilter::parseLiteral(address);
    return bytes && bytes->size() == 4;
}

bool isPrivateLANIPv4(std::string_view address) {
    auto bytes = NetworkFilter::parseLiteral(address);
    if (!bytes || bytes->size() != 4) {
        return false;
    }
    const std::uint8_t a = (*bytes)[0];
    const std::uint8_t b = (*bytes)[1];
    return a == 10 || (a == 172 && (b & 0xF0) == 0x10) || (a == 192 && b == 168);
}

bool isPhysicalInterface(std::string_view name) {
    // Wired and Wi-Fi names on Linux and macOS; bridges, VM and container links
    // are reachable from fewer places, so they go last.
    return name.starts_with("en") || name.starts_with("eth") || name.starts_with("wl");
}

std::uint16_t effectivePort(std::uint16_t port) {
    return port == 0 ? LocalInterfaces::defaultPort : port;
}

std::string endpoint(const std::string& address, std::uint16_t port) {
    const std::string portText = std::to_string(effectivePort(port));
    if (address.find(':') != std::string::npos) {
        return "[" + address + "]:" + portText;
    }
    return address + ":" + portText;
}

}  // namespace

LocalInterfaces::LocalInterfaces() : source_(&LocalInterfaces::systemAddresses) {}

LocalInterfaces::LocalInterfaces(Source source) : source_(std::move(source)) {}

std::vector<LocalAddress> LocalInterfaces::systemAddresses() {
    ifaddrs* raw = nullptr;
    if (getifaddrs(&raw) != 0) {
        return {};
    }
    std::unique_ptr<ifaddrs, decltype(&freeifaddrs)> list(raw, &freeifaddrs);

    std::vector<LocalAddress> addresses;
    for (const ifaddrs* entry = list.get(); entry != nullptr; entry = entry->ifa_next) {
        if ((entry->ifa_flags & IFF_UP) == 0 || (entry->ifa_flags & IFF_LOOPBACK) != 0 ||
            entry->ifa_addr == nullptr || entry->ifa_name == nullptr) {
            continue;
        }
        char text[INET6_ADDRSTRLEN] = {};
        const int family = entry->ifa_addr->sa_family;
        const void* bytes = nullptr;
        if (family == AF_INET) {
            bytes = &reinterpret_cast<const sockaddr_in*>(entry->ifa_addr)->sin_addr;
        } else if (family == AF_INET6) {
            // Only the 16 address bytes: the zone is never part of an advertised address.
            bytes = &reinterpret_cast<const sockaddr_in6*>(entry->ifa_addr)->sin6_addr;
        } else {
            continue;
        }
        if (inet_ntop(family, bytes, text, sizeof text) == nullptr) {
            continue;
        }
        addresses.push_back({entry->ifa_name, text, family == AF_INET6});
    }
    return addresses;
}

std::vector<LocalAddress> LocalInterfaces::all() const {
    return source_ ? source_() : std::vector<LocalAddress>{};
}

std::vector<std::string> LocalInterfaces::lanIPv4Addresses() const {
    std::vector<LocalAddress> candidates;
    for (auto& entry : all()) {
        if (!entry.isIPv6 && isIPv4Literal(entry.address) && !isTailscaleIPv4(entry.address)) {
            candidates.push_back(std::move(entry));
        }
    }
    std::vector<LocalAddress> preferred;
    std::copy_if(candidates.begin(), candidates.end(), std::back_inserter(preferred),
                 [](const LocalAddress& entry) { return isPrivateLANIPv4(entry.address); });
    std::stable_partition(preferred.begin(), preferred.end(), [](const LocalAddress& entry) {
        return isPhysicalInterface(entry.interface);
    });

    std::vector<std::string> result;
    if (!preferred.empty()) {
        for (auto& entry : preferred) {
            result.push_back(std::move(entry.address));
        }
        return result;
    }
    for (auto& entry : candidates) {
        if (NetworkFilter::isAllowedAddress(entry.address)) {
            result.push_back(std::move(entry.address));
        }
    }
    return result;
}

std::vector<std::string> LocalInterfaces::tailscaleAddresses() const {
    std::vector<std::string> result;
    for (auto& entry : all()) {
        if (isTailscale(entry.address)) {
            result.push_back(std::move(entry.address));
        }
    }
    return result;
}

std::optional<std::string> LocalInterfaces::tailscaleIPv4() const {
    for (auto& entry : all()) {
        if (!entry.isIPv6 && isTailscaleIPv4(entry.address)) {
            return std::move(entry.address);
        }
    }
    return std::nullopt;
}

bool LocalInterfaces::hasTailscaleInterface() const { return !tailscaleAddresses().empty(); }

std::vector<std::string> LocalInterfaces::lanEndpoints(std::uint16_t port) const {
    std::vector<std::string> result;
    for (const auto& address : lanIPv4Addresses()) {
        result.push_back(endpoint(address, port));
    }
    return result;
}

std::vector<std::string> LocalInterfaces::tailscaleEndpoints(std::uint16_t port) const {
    std::vector<std::string> result;
    for (const auto& address : tailscaleAddresses()) {
        result.push_back(endpoint(address, port));
    }
    return result;
}

std::optional<std::string> LocalInterfaces::txtTailscaleEndpoint(std::uint16_t port) const {
    auto address = tailscaleIPv4();
    if (!address) {
        return std::nullopt;
    }
    return *address + ":" + std::to_string(effectivePort(port));
}

bool LocalInterfaces::isTailscale(std::string_view address) {
    return isTailscaleIPv4(address) || isTailscaleIPv6(address);
}

bool LocalInterfaces::isTailscaleIPv4(std::string_view address) {
    auto bytes = NetworkFilter::parseLiteral(address);
    return bytes && bytes->size() == 4 && (*bytes)[0] == 100 && ((*bytes)[1] & 0xC0) == 0x40;
}

bool LocalInterfaces::isTailscaleIPv6(std::string_view address) {
    static constexpr std::uint8_t prefix[] = {0xFD, 0x7A, 0x11, 0x5C, 0xA1, 0xE0};
    auto bytes = NetworkFilter::parseLiteral(address);
    return bytes && bytes->size() == 16 && std::equal(std::begin(prefix), std::end(prefix),
                                                      bytes->begin());
}

}  // namespace tarvel::discovery
