#pragma once

#include <optional>
#include <string>
#include <vector>

#include "core/wire/bytes.hpp"

namespace tarvel::discovery {

/// One machine of the Tailscale network as the daemon reports it.
struct TailscalePeer {
    std::string hostName;
    std::string dnsName;
    std::vector<std::string> tailscaleIPs;
    bool online = false;

    friend bool operator==(const TailscalePeer&, const TailscalePeer&) = default;
};

/// The parts of the Tailscale daemon's status that the client side uses.
struct TailscaleStatus {
    std::optional<std::string> selfDNSName;
    std::vector<std::string> selfIPs;
    std::vector<TailscalePeer> peers;  // sorted by hostName, stably

    /// A status from the daemon's JSON, or nothing when the text is not a JSON
    /// object. Missing or mistyped members take their defaults (empty text and
    /// lists, offline); peer entries that are not objects are skipped. Never throws.
    static std::optional<TailscaleStatus> parse(wire::ByteView json);

    /// `selfDNSName` without one trailing "."; nothing when that leaves no name.
    std::optional<std::string> magicDNSName() const;

    friend bool operator==(const TailscaleStatus&, const TailscaleStatus&) = default;
};

}  // namespace tarvel::discovery
