#pragma once

#include <cstddef>
#include <map>
#include <optional>
#include <string>
#include <string_view>

#include "core/pairing/host_os_type.hpp"
#include "core/wire/bytes.hpp"

namespace tarvel::discovery {

namespace DnsSdConstants {
inline constexpr std::string_view serviceType = "_tarvel._tcp";
inline constexpr std::string_view serviceTypeFQDN = "_tarvel._tcp.";
}  // namespace DnsSdConstants

/// The TXT record a host advertises. A value; pure, any thread.
///
/// DNS-SD limits each "key=value" string to 255 bytes. `dictionary()` and
/// `txtRecord()` therefore cut a longer `name` at a UTF-8 character boundary so
/// that its pair fits, and leave out any other pair that would not fit (none
/// does with a real identity: ids, fingerprints and endpoints are short). The
/// fields themselves keep what the caller gave.
struct DnsSdTxt {
    /// Longest "key=value" string a TXT record can carry.
    static constexpr std::size_t maxPairBytes = 255;

    int version = 1;
    std::string hostId;
    std::string name;
    pairing::HostOSType os = pairing::HostOSType::macos;
    std::optional<std::string> tailscaleEndpoint;
    std::string fingerprint;

    /// A record of version 1.
    DnsSdTxt(std::string hostId, std::string name, pairing::HostOSType os,
               std::optional<std::string> tailscaleEndpoint, std::string fingerprint);

    /// Keys "v", "id", "name", "os", "fp", and "ts" when the Tailscale endpoint is
    /// present and not empty; values fitted to the pair limit as described above.
    std::map<std::string, std::string> dictionary() const;

    /// The DNS-SD wire form of `dictionary()`: one length byte and "key=value"
    /// per pair, in key order.
    wire::Bytes txtRecord() const;

    /// A record from a browsed TXT map, or nothing when "v" is not "1", "id" or
    /// "name" is missing, or "os" is not a known operating system. A missing "fp"
    /// gives an empty fingerprint; "ts" is taken as it is, even empty. Other keys
    /// are ignored.
    static std::optional<DnsSdTxt> fromDictionary(const std::map<std::string, std::string>& map);

    friend bool operator==(const DnsSdTxt&, const DnsSdTxt&) = default;
};

}  // namespace tarvel::discovery
