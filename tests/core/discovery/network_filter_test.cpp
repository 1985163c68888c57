#include <gtest/gtest.h>

#include "core/discovery/network_filter.hpp"

namespace tarvel::discovery {
namespace {

namespace NF = NetworkFilter;

std::array<std::uint8_t, 16> v6(const char* text) {
    std::array<std::uint8_t, 16> bytes{};
    auto parsed = NF::parseLiteral(text);
    EXPECT_TRUE(parsed && parsed->size() == 16) << text;
    if (parsed && parsed->size() == 16) {
        std::copy(parsed->begin(), parsed->end(), bytes.begin());
    }
    return bytes;
}

TEST(NetworkFilter, admitsPrivateLinkLocalTailscaleAndLoopbackRanges) {
    for (const char* address :
         {"10.255.255.255", "172.16.0.1", "172.31.255.255", "192.168.0.1", "169.254.1.1",
          "100.64.0.1", "100.127.255.254", "127.0.0.1", "::1", "fe80::1", "febf::1", "fc00::1",
          "fd7a:115c:a1e0::1", "::ffff:192.168.1.5", "::ffff:100.64.0.1"}) {
        EXPECT_TRUE(NF::isAllowedAddress(address)) << address;
        EXPECT_TRUE(isAllowedAddress(address)) << address;
        EXPECT_TRUE(isAllowedTarvelAddress(address)) << address;
    }
}

TEST(NetworkFilter, refusesEverythingElse) {
    for (const char* address : {"172.15.255.255",
                                "172.32.0.1",
                                "192.169.0.1",
                                "169.253.0.1",
                                "100.63.255.255",
                                "100.128.0.1",
                                "8.8.8.8",
                                "0.0.0.0",
                                "255.255.255.255",
                                "fec0::1",
                                "2001:db8::1",
                                "::",
                                "::2",
                                "::ffff:8.8.8.8",
                                "::ff00:a00:1",
                                "::10.0.0.1",
                                "fe7f::1",
                                "ff02::1",
                                "router.local",
                                "localhost",
                                "",
                                "10.0.0.1\n",
                                "[::1",
                                "10.0.0.300"}) {
        EXPECT_FALSE(NF::isAllowedAddress(address)) << address;
    }
}

TEST(NetworkFilter, byteListsOfOtherLengthsAreNeverAddresses) {
    const Bytes five{10, 0, 0, 1, 0};
    const Bytes three{10, 0, 0};
    const Bytes fifteen(15, 0xFD);
    EXPECT_FALSE(NF::isAllowed(ByteView(five)));
    EXPECT_FALSE(NF::isAllowed(ByteView(three)));
    EXPECT_FALSE(NF::isAllowed(ByteView(fifteen)));
    EXPECT_FALSE(NF::isAllowed(ByteView()));
    EXPECT_FALSE(isAllowedIPv6(ByteView(Bytes{10, 0, 0, 1})));
    EXPECT_TRUE(NF::isAllowed(ByteView(Bytes{10, 0, 0, 1})));
}

TEST(NetworkFilter, parseLiteralStripsBracketsZonesAndBlanksOnly) {
    EXPECT_EQ(NF::parseLiteral("[fe80::1%en0]"), NF::parseLiteral("fe80::1"));
    EXPECT_EQ(NF::parseLiteral("fe80::1%25eth0"), NF::parseLiteral("fe80::1"));
    EXPECT_EQ(NF::parseLiteral(" \t10.0.0.2 \t"), (Bytes{10, 0, 0, 2}));
    EXPECT_EQ(NF::parseLiteral("[10.0.0.2]"), (Bytes{10, 0, 0, 2}));
    EXPECT_TRUE(NF::isAllowedAddress("[fe80::1%en0]"));
    EXPECT_TRUE(NF::isAllowedAddress("  10.0.0.2  "));

    EXPECT_EQ(NF::parseLiteral("\n10.0.0.2"), std::nullopt);
    EXPECT_EQ(NF::parseLiteral("[ 10.0.0.2 ]"), std::nullopt);
    EXPECT_EQ(NF::parseLiteral("[fe80::1]%en0"), std::nullopt);
    EXPECT_EQ(NF::parseLiteral(std::string_view("10.0.0.2\0garbage", 16)), std::nullopt);
    EXPECT_EQ(NF::parseLiteral(std::string(200, '1')), std::nullopt);
    EXPECT_EQ(NF::parseLiteral("%en0"), std::nullopt);
    EXPECT_EQ(NF::parseLiteral("[]"), std::nullopt);
}

TEST(NetworkFilter, splitHostPortHandlesBracketsColonsAndBadPorts) {
    using HP = NF::HostPort;
    EXPECT_EQ(NF::splitHostPort("192.168.1.2:7000"), (HP{"192.168.1.2", 7000}));
    EXPECT_EQ(NF::splitHostPort("[fe80::1]:7000"), (HP{"fe80::1", 7000}));
    EXPECT_EQ(NF::splitHostPort("[fe80::1%en0]:65535"), (HP{"fe80::1%en0", 65535}));
    EXPECT_EQ(NF::splitHostPort("fe80::1"), (HP{"fe80::1", std::nullopt}));
    EXPECT_EQ(NF::splitHostPort("10.0.0.1:"), (HP{"10.0.0.1", std::nullopt}));
    EXPECT_EQ(NF::splitHostPort("10.0.0.1:70000"), (HP{"10.0.0.1", std::nullopt}));
    EXPECT_EQ(NF::splitHostPort("10.0.0.1:+80"), (HP{"10.0.0.1", std::nullopt}));
    EXPECT_EQ(NF::splitHostPort("10.0.0.1"), (HP{"10.0.0.1", std::nullopt}));
    EXPECT_EQ(NF::splitHostPort("[::1]x:80"), (HP{"::1", std::nullopt}));
    EXPECT_EQ(NF::splitHostPort("[::1]:"), (HP{"::1", std::nullopt}));
    EXPECT_EQ(NF::splitHostPort("[::1"), (HP{"[::1", std::nullopt}));
    EXPECT_EQ(NF::splitHostPort(""), (HP{"", std::nullopt}));

    EXPECT_TRUE(NF::isAllowedEndpointString("[fe80::1%en0]:7000"));
    EXPECT_TRUE(NF::isAllowedEndpointString("192.168.1.2:99999"));
    EXPECT_FALSE(NF::isAllowedEndpointString("8.8.8.8:53"));
    EXPECT_FALSE(NF::isAllowedEndpointString("nas.local:80"));
}

TEST(NetworkFilter, hostsAreJudgedByTheirBytesAndNamesOnlyAsLiterals) {
    EXPECT_TRUE(NF::isAllowed(NetworkHost(IPv4Address{{192, 168, 4, 4}})));
    EXPECT_FALSE(NF::isAllowed(NetworkHost(IPv4Address{{8, 8, 8, 8}})));
    EXPECT_TRUE(NF::isAllowed(NetworkHost(IPv6Address{v6("::ffff:10.1.2.3"), 0})));
    EXPECT_FALSE(NF::isAllowed(NetworkHost(IPv6Address{v6("::ffff:1.1.1.1"), 0})));
    EXPECT_TRUE(NF::isAllowed(NetworkHost(IPv6Address{v6("fe80::1"), 4})));
    EXPECT_TRUE(NF::isAllowed(NetworkHost(HostName{"10.9.8.7"})));
    EXPECT_FALSE(NF::isAllowed(NetworkHost(HostName{"printer.local"})));

    EXPECT_FALSE(NF::isAllowed(std::optional<NetworkEndpoint>()));
    EXPECT_TRUE(NF::isAllowed(std::optional(NetworkEndpoint{IPv4Address{{127, 0, 0, 1}}, 80})));
    EXPECT_FALSE(NF::isAllowed(std::optional(NetworkEndpoint{HostName{"example.com"}, 80})));
}

TEST(NetworkFilter, hostStringNeverCarriesAZone) {
    auto text = [](NetworkHost host) {
        return NF::hostString(NetworkEndpoint{std::move(host), 7000});
    };
    EXPECT_EQ(text(IPv6Address{v6("fe80::1%en0"), 7}), "fe80::1");
    EXPECT_EQ(text(IPv6Address{v6("::ffff:192.168.1.5"), 0}), "::ffff:192.168.1.5");
    EXPECT_EQ(text(IPv4Address{{10, 0, 0, 7}}), "10.0.0.7");
    EXPECT_EQ(text(HostName{"My-Mac.local"}), "My-Mac.local");
    EXPECT_EQ(NF::hostString(std::nullopt), std::nullopt);
}

}  // namespace
}  // namespace tarvel::discovery
