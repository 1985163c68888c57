#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include <tl/expected.hpp>

#include "core/pairing/host_os_type.hpp"
#include "core/wire/json_codec.hpp"

namespace tarvel::pairing {

/// A paired client as the host knows it. Its id is `clientId`.
struct PairedClientRecord {
    std::string clientId;
    std::string deviceName;
    std::string deviceModel;
    std::string ed25519PublicKeyHex;  // 64 lower-case hex digits
    std::int64_t pairedAtUnix = 0;
    std::int64_t lastSeenUnix = 0;
    std::string lastRemoteIp;

    const std::string& id() const noexcept { return clientId; }

    wire::JSON toJSON() const;
    static tl::expected<PairedClientRecord, wire::JSONError> fromJSON(const wire::JSON& json);
    friend bool operator==(const PairedClientRecord&, const PairedClientRecord&) = default;
};

/// A paired host as a client knows it. Its id is `hostId`.
struct PairedHostRecord {
    std::string hostId;
    std::string displayName;
    HostOSType osType = HostOSType::macos;
    std::string ed25519PublicKeyHex;
    std::vector<std::string> lanEndpoints;
    std::vector<std::string> tailscaleEndpoints;
    std::int64_t pairedAtUnix = 0;
    std::int64_t lastConnectedUnix = 0;
    std::optional<std::string> deviceType;  // a HostDeviceKind raw value; omitted when absent

    const std::string& id() const noexcept { return hostId; }

    wire::JSON toJSON() const;
    /// Fails on a missing required key, a wrong type or an unknown `osType`.
    static tl::expected<PairedHostRecord, wire::JSONError> fromJSON(const wire::JSON& json);
    friend bool operator==(const PairedHostRecord&, const PairedHostRecord&) = default;
};

}  // namespace tarvel::pairing
