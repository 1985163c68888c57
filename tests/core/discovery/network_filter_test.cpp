#include <gtest/gtest.h>

#include "core/discovery/local_interfaces.hpp"
#include "core/discovery/network_filter.hpp"

namespace tarvel::discovery {
namespace {

namespace NF = NetworkFilter;
using Strings = std::vector<std::string>;

std::array<std::uint8_t, 16> v6(const char* text) {
    std::array<std::uint8_t, 16> bytes{};
    std::ranges::copy(NF::parseLiteral(text).value(), bytes.begin());  // 16 bytes: test inputs
    return bytes;
}

TEST(NetworkFilter, admitsOnlyLocalRangesByBytesLiteralsLoseBracketsZonesAndBlanksOnly) {
    for (const char* address :
         {"10.255.255.255", "172.16.0.1", "172.31.255.255", "192.168.0.1", "169.254.1.1",
          "100.64.0.1", "100.127.255.254", "127.0.0.1", "::1", "fe80::1", "febf::1", "fc00::1",
          "fd7a:115c:a1e0::1", "::ffff:192.168.1.5", "::ffff:100.64.0.1", "[fe80::1%en0]",
          "  10.0.0.2 \t"}) {
        EXPECT_TRUE(NF::isAllowedAddress(address)) << address;
        EXPECT_TRUE(isAllowedTarvelAddress(address)) << address;
    }
    for (const char* address : {"172.15.255.255",  "172.32.0.1",   "192.169.0.1",  "169.253.0.1",
                                "100.63.255.255",  "100.128.0.1",  "8.8.8.8",      "0.0.0.0",
                                "255.255.255.255", "fec0::1",      "2001:db8::1",  "::2",
                                "::ffff:8.8.8.8",  "::ff00:a00:1", "::10.0.0.1",   "fe7f::1",
                                "ff02::1",         "::",           "router.local", "localhost",
                                "10.0.0.1\n",      "[::1",         "10.0.0.300",   "[]"}) {
        EXPECT_FALSE(NF::isAllowedAddress(address)) << address;
    }
    EXPECT_FALSE(NF::isAllowed(ByteView(Bytes{10, 0, 0, 1, 0})));
    EXPECT_FALSE(NF::isAllowed(ByteView(Bytes(15, 0xFD))));
    EXPECT_FALSE(isAllowedIPv6(ByteView(Bytes{10, 0, 0, 1})));
    EXPECT_EQ(NF::parseLiteral("[fe80::1%en0]"), NF::parseLiteral("fe80::1"));
    EXPECT_EQ(NF::parseLiteral("fe80::1%25eth0"), NF::parseLiteral("fe80::1"));
    EXPECT_EQ(NF::parseLiteral("[10.0.0.2]"), (Bytes{10, 0, 0, 2}));
    for (const std::string& text :
         std::vector<std::string>{"", "\n10.0.0.2", "[ 10.0.0.2 ]", "[fe80::1]%en0", "%en0", "[]",
                                  std::string("10.0.0.2\0garbage", 16), std::string(200, '1')}) {
        EXPECT_EQ(NF::parseLiteral(text), std::nullopt) << text;
    }
    using HP = NF::HostPort;
    EXPECT_EQ(NF::splitHostPort("192.168.1.2:7000"), (HP{"192.168.1.2", 7000}));
    EXPECT_EQ(NF::splitHostPort("[fe80::1%en0]:65535"), (HP{"fe80::1%en0", 65535}));
    EXPECT_EQ(NF::splitHostPort("fe80::1"), (HP{"fe80::1", std::nullopt}));
    for (const char* text : {"10.0.0.1:", "10.0.0.1:70000", "10.0.0.1:+80", "10.0.0.1"}) {
        EXPECT_EQ(NF::splitHostPort(text), (HP{"10.0.0.1", std::nullopt})) << text;
    }
    EXPECT_EQ(NF::splitHostPort("[::1]x:80"), (HP{"::1", std::nullopt}));
    EXPECT_EQ(NF::splitHostPort("[::1"), (HP{"[::1", std::nullopt}));
    EXPECT_TRUE(NF::isAllowedEndpointString("192.168.1.2:99999"));
    EXPECT_FALSE(NF::isAllowedEndpointString("8.8.8.8:53"));
    EXPECT_FALSE(NF::isAllowedEndpointString("nas.local:80"));
    EXPECT_TRUE(NF::isAllowed(NetworkHost(IPv4Address{{192, 168, 4, 4}})));
    EXPECT_FALSE(NF::isAllowed(NetworkHost(IPv4Address{{8, 8, 8, 8}})));
    EXPECT_TRUE(NF::isAllowed(NetworkHost(IPv6Address{v6("::ffff:10.1.2.3"), 0})));
    EXPECT_FALSE(NF::isAllowed(NetworkHost(IPv6Address{v6("::ffff:1.1.1.1"), 0})));
    EXPECT_TRUE(NF::isAllowed(NetworkHost(HostName{"10.9.8.7"})));
    EXPECT_FALSE(NF::isAllowed(NetworkHost(HostName{"printer.local"})));
    EXPECT_FALSE(NF::isAllowed(std::optional<NetworkEndpoint>()));
    const auto text = [](NetworkHost host) {
        return NF::hostString(NetworkEndpoint{std::move(host), 7000});
    };
    EXPECT_EQ(text(IPv6Address{v6("fe80::1%en0"), 7}), "fe80::1");
    EXPECT_EQ(text(IPv6Address{v6("::ffff:192.168.1.5"), 0}), "::ffff:192.168.1.5");
}

const auto fake = [](std::vector<LocalAddress> list) {
    return LocalInterfaces([list] { return list; });
};

TEST(LocalInterfaces, listsPhysicalFirstTailscaleApartAndBracketedAndSystemAddressesPlain) {
    auto interfaces = fake({{"docker0", "172.17.0.1", false},
                            {"wlan0", "192.168.1.20", false},
                            {"br-lan", "10.0.0.1", false},
                            {"en0", "10.1.2.3", false},
                            {"eth1", "203.0.113.9", false},
                            {"utun3", "100.101.102.103", false},
                            {"wlan0", "169.254.7.7", false}});
    EXPECT_EQ(interfaces.lanIPv4Addresses(),
              (Strings{"192.168.1.20", "10.1.2.3", "172.17.0.1", "10.0.0.1"}));
    EXPECT_EQ(interfaces.tailscaleEndpoints(49190), (Strings{"100.101.102.103:49190"}));
    EXPECT_EQ(interfaces.txtTailscaleEndpoint(0), "100.101.102.103:49182");
    // Without private addresses, other admitted ones are used.
    EXPECT_EQ(fake({{"eth0", "203.0.113.5", false},
                    {"eth1", "169.254.9.9", false},
                    {"lo9", "127.0.0.2", false}})
                  .lanIPv4Addresses(),
              (Strings{"169.254.9.9", "127.0.0.2"}));
    EXPECT_TRUE(fake({{"eth0", "203.0.113.5", false}}).lanIPv4Addresses().empty());
    auto v6Only = fake({{"tailscale0", "fd7a:115c:a1e0::5", true}});
    EXPECT_EQ(v6Only.tailscaleEndpoints(7000), (Strings{"[fd7a:115c:a1e0::5]:7000"}));
    EXPECT_EQ(v6Only.txtTailscaleEndpoint(7000), std::nullopt);
    for (const char* no : {"100.63.255.255", "100.128.0.0", "::ffff:100.64.0.1",
                           "fd7a:115c:a1e1::1", "fd7a:115c:a1e::1", "tailscale", ""}) {
        EXPECT_FALSE(LocalInterfaces::isTailscale(no)) << no;
    }
    EXPECT_TRUE(LocalInterfaces::isTailscale("[fd7a:115c:a1e0::1%utun3]"));
    EXPECT_TRUE(LocalInterfaces::isTailscale(" 100.127.255.255 "));
    for (const auto& entry : LocalInterfaces::systemAddresses()) {
        auto bytes = NF::parseLiteral(entry.address);
        ASSERT_TRUE(bytes) << entry.address;
        EXPECT_EQ(bytes->size(), entry.isIPv6 ? 16u : 4u) << entry.address;
        EXPECT_EQ(entry.address.find('%'), std::string::npos) << entry.address;
        EXPECT_NE(entry.interface, "lo");
    }
}

}  // namespace
}  // namespace tarvel::discovery
