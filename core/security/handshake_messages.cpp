#include "core/security/handshake_messages.hpp"

#include <utility>

namespace tarvel::security {

using wire::JSONFields;

std::string HandshakeError::rejectReason() const {
    switch (kind_) {
        case Kind::rejected:
            return reason_;
        case Kind::noActiveCode:
            return "no_active_code";
        // A bad MAC is what a wrong code produces: the peer must not be able
        // to tell them apart.
        case Kind::invalidCode:
        case Kind::badMac:
            return "invalid_code";
        case Kind::unpaired:
            return "unpaired";
        // Which check failed is not the peer's business.
        case Kind::malformedMessage:
        case Kind::badSignature:
        case Kind::hostKeyMismatch:
        case Kind::outOfOrder:
            return "protocol_error";
    }
    return "protocol_error";
}

std::string HandshakeError::description() const {
    switch (kind_) {
        case Kind::rejected:
            return "rejected(" + reason_ + ")";
        case Kind::malformedMessage:
            return "malformedMessage";
        case Kind::noActiveCode:
            return "noActiveCode";
        case Kind::invalidCode:
            return "invalidCode";
        case Kind::unpaired:
            return "unpaired";
        case Kind::badSignature:
            return "badSignature";
        case Kind::badMac:
            return "badMac";
        case Kind::hostKeyMismatch:
            return "hostKeyMismatch";
        case Kind::outOfOrder:
            return "outOfOrder";
    }
    return "unknown";
}

std::ostream& operator<<(std::ostream& out, const HandshakeError& error) {
    return out << error.description();
}

namespace {

void putOptional(JSON& json, const char* key, const std::optional<std::string>& value) {
    if (value) {
        json[key] = *value;
    }
}

}  // namespace

JSON PairRequest::toJSON() const {
    return JSON{{"clientEd25519PubHex", clientEd25519PubHex},
                {"clientId", clientId},
                {"clientNonceHex", clientNonceHex},
                {"clientX25519PubHex", clientX25519PubHex},
                {"deviceModel", deviceModel},
                {"deviceName", deviceName}};
}

tl::expected<PairRequest, JSONError> PairRequest::fromJSON(const JSON& json) {
    JSONFields f(json);
    PairRequest m;
    m.clientId = f.string("clientId");
    m.deviceName = f.string("deviceName");
    m.deviceModel = f.string("deviceModel");
    m.clientX25519PubHex = f.string("clientX25519PubHex");
    m.clientEd25519PubHex = f.string("clientEd25519PubHex");
    m.clientNonceHex = f.string("clientNonceHex");
    return f.finish(std::move(m));
}

JSON PairChallenge::toJSON() const {
    JSON json{{"hostEd25519PubHex", hostEd25519PubHex},
              {"hostId", hostId},
              {"hostName", hostName},
              {"hostNonceHex", hostNonceHex},
              {"hostX25519PubHex", hostX25519PubHex},
              {"lanEndpoints", lanEndpoints},
              {"osType", osType},
              {"tailscaleEndpoints", tailscaleEndpoints}};
    putOptional(json, "deviceType", deviceType);
    return json;
}

tl::expected<PairChallenge, JSONError> PairChallenge::fromJSON(const JSON& json) {
    JSONFields f(json);
    PairChallenge m;
    m.hostId = f.string("hostId");
    m.hostName = f.string("hostName");
    m.osType = f.string("osType");
    m.hostX25519PubHex = f.string("hostX25519PubHex");
    m.hostEd25519PubHex = f.string("hostEd25519PubHex");
    m.hostNonceHex = f.string("hostNonceHex");
    m.lanEndpoints = f.strings("lanEndpoints");
    m.tailscaleEndpoints = f.strings("tailscaleEndpoints");
    m.deviceType = f.optionalString("deviceType");
    return f.finish(std::move(m));
}

JSON PairConfirm::toJSON() const {
    return JSON{{"clientMacHex", clientMacHex}, {"clientSigHex", clientSigHex}};
}

tl::expected<PairConfirm, JSONError> PairConfirm::fromJSON(const JSON& json) {
    JSONFields f(json);
    PairConfirm m;
    m.clientMacHex = f.string("clientMacHex");
    m.clientSigHex = f.string("clientSigHex");
    return f.finish(std::move(m));
}

JSON PairComplete::toJSON() const {
    return JSON{{"hostMacHex", hostMacHex}, {"hostSigHex", hostSigHex}, {"udpPort", udpPort}};
}

tl::expected<PairComplete, JSONError> PairComplete::fromJSON(const JSON& json) {
    JSONFields f(json);
    PairComplete m;
    m.hostMacHex = f.string("hostMacHex");
    m.hostSigHex = f.string("hostSigHex");
    m.udpPort = f.integer("udpPort");
    return f.finish(std::move(m));
}

JSON AuthHello::toJSON() const {
    return JSON{{"clientId", clientId},
                {"clientNonceHex", clientNonceHex},
                {"clientX25519PubHex", clientX25519PubHex},
                {"deviceName", deviceName}};
}

tl::expected<AuthHello, JSONError> AuthHello::fromJSON(const JSON& json) {
    JSONFields f(json);
    AuthHello m;
    m.clientId = f.string("clientId");
    m.deviceName = f.string("deviceName");
    m.clientX25519PubHex = f.string("clientX25519PubHex");
    m.clientNonceHex = f.string("clientNonceHex");
    return f.finish(std::move(m));
}

JSON AuthChallenge::toJSON() const {
    JSON json{{"hostId", hostId},
              {"hostName", hostName},
              {"hostNonceHex", hostNonceHex},
              {"hostSigHex", hostSigHex},
              {"hostX25519PubHex", hostX25519PubHex},
              {"lanEndpoints", lanEndpoints},
              {"osType", osType},
              {"tailscaleEndpoints", tailscaleEndpoints},
              {"udpPort", udpPort}};
    putOptional(json, "deviceType", deviceType);
    return json;
}

tl::expected<AuthChallenge, JSONError> AuthChallenge::fromJSON(const JSON& json) {
    JSONFields f(json);
    AuthChallenge m;
    m.hostId = f.string("hostId");
    m.hostName = f.string("hostName");
    m.osType = f.string("osType");
    m.hostX25519PubHex = f.string("hostX25519PubHex");
    m.hostNonceHex = f.string("hostNonceHex");
    m.hostSigHex = f.string("hostSigHex");
    m.udpPort = f.integer("udpPort");
    m.lanEndpoints = f.strings("lanEndpoints");
    m.tailscaleEndpoints = f.strings("tailscaleEndpoints");
    m.deviceType = f.optionalString("deviceType");
    return f.finish(std::move(m));
}

JSON AuthResponse::toJSON() const {
    return JSON{{"clientSigHex", clientSigHex}};
}

tl::expected<AuthResponse, JSONError> AuthResponse::fromJSON(const JSON& json) {
    JSONFields f(json);
    return f.finish(AuthResponse{f.string("clientSigHex")});
}

}  // namespace tarvel::security
