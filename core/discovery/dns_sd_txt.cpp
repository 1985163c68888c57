#include "core/discovery/dns_sd_txt.hpp"

#include <utility>

namespace tarvel::discovery {

namespace {

// The longest prefix of `text` of at most `limit` bytes that does not end inside
// a multi-byte UTF-8 sequence.
std::string_view utf8Prefix(std::string_view text, std::size_t limit) noexcept {
    if (text.size() <= limit) {
        return text;
    }
    std::size_t cut = limit;
    // Back up over continuation bytes (10xxxxxx) so a character is never split.
    while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) {
        --cut;
    }
    return text.substr(0, cut);
}

bool fits(std::string_view key, std::string_view value) noexcept {
    return key.size() + 1 + value.size() <= DnsSdTxt::maxPairBytes;
}

}  // namespace

DnsSdTxt::DnsSdTxt(std::string hostId, std::string name, pairing::HostOSType os,
                       std::optional<std::string> tailscaleEndpoint, std::string fingerprint)
    : hostId(std::move(hostId)),
      name(std::move(name)),
      os(os),
      tailscaleEndpoint(std::move(tailscaleEndpoint)),
      fingerprint(std::move(fingerprint)) {}

std::map<std::string, std::string> DnsSdTxt::dictionary() const {
    std::map<std::string, std::string> map;
    auto put = [&map](std::string key, std::string_view value) {
        // A pair that cannot fit would make the whole record invalid; drop it.
        if (fits(key, value)) {
            map.emplace(std::move(key), std::string(value));
        }
    };
    put("v", std::to_string(version));
    put("id", hostId);
    put("name", utf8Prefix(name, maxPairBytes - std::string_view("name=").size()));
    put("os", pairing::rawValue(os));
    put("fp", fingerprint);
    if (tailscaleEndpoint && !tailscaleEndpoint->empty()) {
        put("ts", *tailscaleEndpoint);
    }
    return map;
}

wire::Bytes DnsSdTxt::txtRecord() const {
    wire::Bytes record;
    for (const auto& [key, value] : dictionary()) {
        record.push_back(static_cast<std::uint8_t>(key.size() + 1 + value.size()));
        record.insert(record.end(), key.begin(), key.end());
        record.push_back('=');
        record.insert(record.end(), value.begin(), value.end());
    }
    return record;
}

std::optional<DnsSdTxt> DnsSdTxt::fromDictionary(
    const std::map<std::string, std::string>& map) {
    auto value = [&map](const char* key) -> const std::string* {
        auto it = map.find(key);
        return it == map.end() ? nullptr : &it->second;
    };
    const std::string* version = value("v");
    if (version == nullptr || *version != "1") {
        return std::nullopt;
    }
    const std::string* hostId = value("id");
    const std::string* name = value("name");
    if (hostId == nullptr || name == nullptr) {
        return std::nullopt;
    }
    const std::string* osText = value("os");
    auto os = osText ? pairing::hostOSType(*osText) : std::nullopt;
    if (!os) {
        return std::nullopt;
    }
    std::optional<std::string> tailscaleEndpoint;
    if (const std::string* ts = value("ts")) {
        tailscaleEndpoint = *ts;
    }
    const std::string* fingerprint = value("fp");
    return DnsSdTxt(*hostId, *name, *os, std::move(tailscaleEndpoint),
                      fingerprint ? *fingerprint : std::string());
}

}  // namespace tarvel::discovery
