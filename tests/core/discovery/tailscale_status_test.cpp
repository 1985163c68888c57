#include <gtest/gtest.h>

#include "core/discovery/tailscale_local_api.hpp"
#include "core/discovery/tailscale_status.hpp"

namespace tarvel::discovery {
namespace {

using Strings = std::vector<std::string>;

std::optional<TailscaleStatus> parse(std::string_view json) {
    return TailscaleStatus::parse(wire::asBytes(json));
}

// Peer keys sort opposite to host names, and two peers share a host name.
constexpr std::string_view daemonStatus = R"({
  "Version": "1.2.3",
  "Self": {"DNSName": "studio.tail1234.ts.net.",
           "TailscaleIPs": ["100.101.102.103", "fd7a:115c:a1e0::5"]},
  "Peer": {
    "nodekey:1": {"HostName": "zeta", "DNSName": "zeta.tail1234.ts.net.",
                  "TailscaleIPs": ["100.90.1.2", "fd7a:115c:a1e0::9"], "Online": true},
    "nodekey:2": {"HostName": "alpha", "TailscaleIPs": ["100.90.1.3"], "Online": false},
    "nodekey:3": {"HostName": "dup", "TailscaleIPs": ["100.90.1.4", "8.8.8.8"], "Online": true},
    "nodekey:4": {"HostName": "dup", "TailscaleIPs": ["100.90.1.5"], "Online": true},
    "nodekey:5": "not a peer"
  }
})";

TEST(TailscaleStatus, readsSelfAndPeersSortedStablyByHostName) {
    auto status = parse(daemonStatus);
    ASSERT_TRUE(status);
    EXPECT_EQ(status->selfDNSName, "studio.tail1234.ts.net.");
    EXPECT_EQ(status->selfIPs, (Strings{"100.101.102.103", "fd7a:115c:a1e0::5"}));
    ASSERT_EQ(status->peers.size(), 4u);
    EXPECT_EQ(status->peers[0], (TailscalePeer{"alpha", "", {"100.90.1.3"}, false}));
    EXPECT_EQ(status->peers[1].tailscaleIPs, (Strings{"100.90.1.4", "8.8.8.8"}));
    EXPECT_EQ(status->peers[2].tailscaleIPs, (Strings{"100.90.1.5"}));
    EXPECT_EQ(status->peers[3],
              (TailscalePeer{
                  "zeta", "zeta.tail1234.ts.net.", {"100.90.1.2", "fd7a:115c:a1e0::9"}, true}));
}

TEST(TailscaleStatus, manyPeersWithOneHostNameKeepTheirOrder) {
    std::string json = R"({"Peer":{)";
    for (int i = 10; i < 60; ++i) {
        json += (i > 10 ? "," : "") + std::string(R"("k)") + std::to_string(i) +
                R"(":{"HostName":"same","DNSName":")" + std::to_string(i) + "\"}";
    }
    json += "}}";
    auto status = parse(json);
    ASSERT_TRUE(status);
    ASSERT_EQ(status->peers.size(), 50u);
    for (int i = 10; i < 60; ++i) {
        EXPECT_EQ(status->peers[static_cast<std::size_t>(i - 10)].dnsName, std::to_string(i));
    }
}

TEST(TailscaleStatus, missingOrMistypedMembersTakeDefaults) {
    auto status = parse(R"({"Self": {"DNSName": 7, "TailscaleIPs": ["100.64.0.1", 5]},
        "Peer": {"k": {"HostName": ["x"], "DNSName": null, "TailscaleIPs": "100.64.0.2",
                       "Online": "yes"}}})");
    ASSERT_TRUE(status);
    EXPECT_EQ(status->selfDNSName, std::nullopt);
    EXPECT_TRUE(status->selfIPs.empty());
    ASSERT_EQ(status->peers.size(), 1u);
    EXPECT_EQ(status->peers[0], TailscalePeer{});

    for (const char* json : {"{}", R"({"Self": [], "Peer": []})", R"({"Self": null})"}) {
        auto empty = parse(json);
        ASSERT_TRUE(empty) << json;
        EXPECT_EQ(*empty, TailscaleStatus{}) << json;
    }
}

TEST(TailscaleStatus, onlyAJsonObjectParses) {
    for (const char* text : {"", "[]", "\"Self\"", "42", "{\"Self\":", "not json", "{} {}"}) {
        EXPECT_EQ(parse(text), std::nullopt) << text;
    }
    EXPECT_EQ(parse("{\"Self\": {\"DNSName\": \"\xFF\"}}"), std::nullopt);
}

TEST(TailscaleStatus, magicDNSNameDropsExactlyOneTrailingDot) {
    auto magic = [](std::optional<std::string> name) {
        TailscaleStatus status;
        status.selfDNSName = std::move(name);
        return status.magicDNSName();
    };
    EXPECT_EQ(magic("studio.tail1234.ts.net."), "studio.tail1234.ts.net");
    EXPECT_EQ(magic("studio.tail1234.ts.net"), "studio.tail1234.ts.net");
    EXPECT_EQ(magic("studio.."), "studio.");
    EXPECT_EQ(magic(""), std::nullopt);
    EXPECT_EQ(magic("."), std::nullopt);
    EXPECT_EQ(magic(std::nullopt), std::nullopt);
}

TEST(TailscaleStatus, candidateEndpointsAreOnlinePeersTailscaleIPv4) {
    auto status = parse(daemonStatus);
    ASSERT_TRUE(status);
    EXPECT_EQ(TailscaleLocalAPI::candidateEndpoints(*status, 49183),
              (Strings{"100.90.1.4:49183", "100.90.1.5:49183", "100.90.1.2:49183"}));
    EXPECT_TRUE(TailscaleLocalAPI::candidateEndpoints(TailscaleStatus{}, 1).empty());
}

}  // namespace
}  // namespace tarvel::discovery
