#include "core/discovery/tailscale_status.hpp"

#include <algorithm>

#include "core/wire/json_codec.hpp"

namespace tarvel::discovery {

namespace {

using wire::JSON;

const JSON* member(const JSON& object, const char* key) {
    auto it = object.find(key);
    return it == object.end() ? nullptr : &*it;
}

std::optional<std::string> stringMember(const JSON& object, const char* key) {
    const JSON* value = member(object, key);
    if (value == nullptr || !value->is_string()) {
        return std::nullopt;
    }
    return value->get_ref<const std::string&>();
}

// All or nothing: one element that is not a string makes the whole list unusable.
std::vector<std::string> stringsMember(const JSON& object, const char* key) {
    const JSON* value = member(object, key);
    if (value == nullptr || !value->is_array()) {
        return {};
    }
    std::vector<std::string> strings;
    strings.reserve(value->size());
    for (const JSON& element : *value) {
        if (!element.is_string()) {
            return {};
        }
        strings.push_back(element.get_ref<const std::string&>());
    }
    return strings;
}

}  // namespace

std::optional<TailscaleStatus> TailscaleStatus::parse(wire::ByteView json) {
    auto object = wire::JSONCodec::parseObject(json);
    if (!object) {
        return std::nullopt;
    }
    TailscaleStatus status;
    if (const JSON* self = member(*object, "Self"); self != nullptr && self->is_object()) {
        status.selfIPs = stringsMember(*self, "TailscaleIPs");
        status.selfDNSName = stringMember(*self, "DNSName");
    }
    if (const JSON* peers = member(*object, "Peer"); peers != nullptr && peers->is_object()) {
        for (const JSON& peer : *peers) {
            if (!peer.is_object()) {
                continue;
            }
            const JSON* online = member(peer, "Online");
            status.peers.push_back({
                stringMember(peer, "HostName").value_or(""),
                stringMember(peer, "DNSName").value_or(""),
                stringsMember(peer, "TailscaleIPs"),
                online != nullptr && online->is_boolean() && online->get<bool>(),
            });
        }
    }
    std::stable_sort(status.peers.begin(), status.peers.end(),
                     [](const TailscalePeer& a, const TailscalePeer& b) {
                         return a.hostName < b.hostName;
                     });
    return status;
}

std::optional<std::string> TailscaleStatus::magicDNSName() const {
    if (!selfDNSName) {
        return std::nullopt;
    }
    std::string name = *selfDNSName;
    if (!name.empty() && name.back() == '.') {
        name.pop_back();
    }
    if (name.empty()) {
        return std::nullopt;
    }
    return name;
}

}  // namespace tarvel::discovery
