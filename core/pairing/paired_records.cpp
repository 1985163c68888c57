#include "core/pairing/paired_records.hpp"

namespace tarvel::pairing {

using wire::JSON;
using wire::JSONError;
using wire::JSONFields;

JSON PairedClientRecord::toJSON() const {
    return JSON{{"clientId", clientId},         {"deviceModel", deviceModel},
                {"deviceName", deviceName},     {"ed25519PublicKeyHex", ed25519PublicKeyHex},
                {"lastRemoteIp", lastRemoteIp}, {"lastSeenUnix", lastSeenUnix},
                {"pairedAtUnix", pairedAtUnix}};
}

tl::expected<PairedClientRecord, JSONError> PairedClientRecord::fromJSON(const JSON& json) {
    if (!json.is_object()) {
        return tl::unexpected(JSONError::notAnObject);
    }
    JSONFields f(json);
    PairedClientRecord record;
    record.clientId = f.string("clientId");
    record.deviceName = f.string("deviceName");
    record.deviceModel = f.string("deviceModel");
    record.ed25519PublicKeyHex = f.string("ed25519PublicKeyHex");
    record.pairedAtUnix = f.integer("pairedAtUnix");
    record.lastSeenUnix = f.integer("lastSeenUnix");
    record.lastRemoteIp = f.string("lastRemoteIp");
    return f.finish(std::move(record));
}

JSON PairedHostRecord::toJSON() const {
    JSON json{{"displayName", displayName},
              {"ed25519PublicKeyHex", ed25519PublicKeyHex},
              {"hostId", hostId},
              {"lanEndpoints", lanEndpoints},
              {"lastConnectedUnix", lastConnectedUnix},
              {"osType", std::string(rawValue(osType))},
              {"pairedAtUnix", pairedAtUnix},
              {"tailscaleEndpoints", tailscaleEndpoints}};
    if (deviceType) {
        json["deviceType"] = *deviceType;
    }
    return json;
}

tl::expected<PairedHostRecord, JSONError> PairedHostRecord::fromJSON(const JSON& json) {
    if (!json.is_object()) {
        return tl::unexpected(JSONError::notAnObject);
    }
    JSONFields f(json);
    PairedHostRecord record;
    record.hostId = f.string("hostId");
    record.displayName = f.string("displayName");
    const std::string os = f.string("osType");
    record.ed25519PublicKeyHex = f.string("ed25519PublicKeyHex");
    record.lanEndpoints = f.strings("lanEndpoints");
    record.tailscaleEndpoints = f.strings("tailscaleEndpoints");
    record.pairedAtUnix = f.integer("pairedAtUnix");
    record.lastConnectedUnix = f.integer("lastConnectedUnix");
    record.deviceType = f.optionalString("deviceType");
    if (auto result = f.result(); !result) {
        return tl::unexpected(result.error());
    }
    auto parsedOS = hostOSType(os);
    if (!parsedOS) {
        return tl::unexpected(JSONError::wrongType);
    }
    record.osType = *parsedOS;
    return record;
}

}  // namespace tarvel::pairing
