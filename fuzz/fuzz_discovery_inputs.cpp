// Peer text through every discovery decoder: an address or endpoint string, a
// browsed TXT map (one "key=value" per line) and a status document. Nothing
// crashes, and what decodes keeps the invariants callers rely on.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <string_view>

#include "core/discovery/dns_sd_txt.hpp"
#include "core/discovery/network_filter.hpp"
#include "core/discovery/tailscale_status.hpp"

namespace {

using namespace tarvel::discovery;

void checkAddress(std::string_view text) {
    auto bytes = NetworkFilter::parseLiteral(text);
    if (bytes && bytes->size() != 4 && bytes->size() != 16) {
        __builtin_trap();
    }
    const bool allowed = bytes && NetworkFilter::isAllowed(ByteView(*bytes));
    if (NetworkFilter::isAllowedAddress(text) != allowed) {
        __builtin_trap();
    }
    auto split = NetworkFilter::splitHostPort(text);
    if (split.host.size() > text.size()) {
        __builtin_trap();
    }
    (void)NetworkFilter::isAllowedEndpointString(text);
}

void checkTXT(std::string_view text) {
    std::map<std::string, std::string> map;
    while (!text.empty()) {
        auto line = text.substr(0, text.find('\n'));
        text.remove_prefix(std::min(text.size(), line.size() + 1));
        auto equals = line.find('=');
        if (equals != std::string_view::npos) {
            map.emplace(std::string(line.substr(0, equals)), std::string(line.substr(equals + 1)));
        }
    }
    auto txt = DnsSdTxt::fromDictionary(map);
    if (!txt) {
        return;
    }
    // What a client re-advertises must still be a valid record.
    auto record = txt->txtRecord();
    std::size_t at = 0;
    while (at < record.size()) {
        at += 1 + record[at];
    }
    if (at != record.size()) {
        __builtin_trap();
    }
}

void checkStatus(std::string_view text) {
    auto status = TailscaleStatus::parse(tarvel::wire::asBytes(text));
    if (status && !std::is_sorted(status->peers.begin(), status->peers.end(),
                                  [](const TailscalePeer& a, const TailscalePeer& b) {
                                      return a.hostName < b.hostName;
                                  })) {
        __builtin_trap();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string_view text(reinterpret_cast<const char*>(data), size);
    checkAddress(text);
    checkTXT(text);
    checkStatus(text);
    return 0;
}
