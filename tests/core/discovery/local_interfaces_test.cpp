#include <gtest/gtest.h>

#include "core/discovery/local_interfaces.hpp"
#include "core/discovery/network_filter.hpp"

namespace tarvel::discovery {
namespace {

using Strings = std::vector<std::string>;

LocalInterfaces fake(std::vector<LocalAddress> list) {
    return LocalInterfaces([list] { return list; });
}

TEST(LocalInterfaces, enInterfaceComesFirstAndTailscaleIsKeptApart) {
    auto interfaces = fake({{"bridge100", "192.168.2.1", false},
                            {"en0", "192.168.1.10", false},
                            {"utun3", "100.101.102.103", false}});
    EXPECT_EQ(interfaces.lanIPv4Addresses(), (Strings{"192.168.1.10", "192.168.2.1"}));
    EXPECT_EQ(interfaces.tailscaleIPv4(), "100.101.102.103");
    EXPECT_TRUE(interfaces.hasTailscaleInterface());
    EXPECT_EQ(interfaces.lanEndpoints(0), (Strings{"192.168.1.10:49182", "192.168.2.1:49182"}));
    EXPECT_EQ(interfaces.tailscaleEndpoints(49190), (Strings{"100.101.102.103:49190"}));
    EXPECT_EQ(interfaces.txtTailscaleEndpoint(0), "100.101.102.103:49182");
}

TEST(LocalInterfaces, physicalLinuxInterfacesPrecedeBridgesStably) {
    auto interfaces = fake({{"docker0", "172.17.0.1", false},
                            {"virbr0", "192.168.122.1", false},
                            {"wlan0", "192.168.1.20", false},
                            {"br-lan", "10.0.0.1", false},
                            {"eth0", "10.1.2.3", false},
                            {"eth1", "203.0.113.9", false},
                            {"enp3s0", "192.168.0.5", false},
                            {"enp3s0", "fd00::5", true},
                            {"wlan0", "169.254.7.7", false}});
    EXPECT_EQ(interfaces.lanIPv4Addresses(), (Strings{"192.168.1.20", "10.1.2.3", "192.168.0.5",
                                                      "172.17.0.1", "192.168.122.1", "10.0.0.1"}));
    EXPECT_FALSE(interfaces.hasTailscaleInterface());
    EXPECT_EQ(interfaces.txtTailscaleEndpoint(0), std::nullopt);
}

TEST(LocalInterfaces, withoutPrivateAddressesAdmittedOnesAreUsed) {
    EXPECT_EQ(fake({{"en0", "169.254.3.4", false}}).lanIPv4Addresses(), (Strings{"169.254.3.4"}));
    EXPECT_EQ(fake({{"eth0", "203.0.113.5", false},
                    {"tailscale0", "100.64.0.1", false},
                    {"eth1", "169.254.9.9", false},
                    {"eth0", "fe80::1", true},
                    {"lo9", "127.0.0.2", false}})
                  .lanIPv4Addresses(),
              (Strings{"169.254.9.9", "127.0.0.2"}));
    EXPECT_TRUE(fake({{"eth0", "203.0.113.5", false}}).lanIPv4Addresses().empty());
}

TEST(LocalInterfaces, tailscaleIPv6IsBracketedButNeverTheTxtEndpoint) {
    auto v6Only = fake({{"tailscale0", "fd7a:115c:a1e0::5", true}});
    EXPECT_EQ(v6Only.tailscaleEndpoints(7000), (Strings{"[fd7a:115c:a1e0::5]:7000"}));
    EXPECT_TRUE(v6Only.hasTailscaleInterface());
    EXPECT_EQ(v6Only.tailscaleIPv4(), std::nullopt);
    EXPECT_EQ(v6Only.txtTailscaleEndpoint(7000), std::nullopt);

    auto both = fake({{"tailscale0", "fd7a:115c:a1e0::5", true},
                      {"en0", "fd00::1", true},
                      {"tailscale0", "100.101.102.103", false}});
    EXPECT_EQ(both.tailscaleAddresses(), (Strings{"fd7a:115c:a1e0::5", "100.101.102.103"}));
    EXPECT_EQ(both.tailscaleEndpoints(0),
              (Strings{"[fd7a:115c:a1e0::5]:49182", "100.101.102.103:49182"}));
    EXPECT_EQ(both.txtTailscaleEndpoint(7000), "100.101.102.103:7000");
}

TEST(LocalInterfaces, tailscaleClassesFollowTheirPrefixes) {
    for (const char* yes : {"100.64.0.0", "100.127.255.255", " 100.100.1.1 "}) {
        EXPECT_TRUE(LocalInterfaces::isTailscaleIPv4(yes)) << yes;
        EXPECT_TRUE(LocalInterfaces::isTailscale(yes)) << yes;
    }
    for (const char* yes :
         {"fd7a:115c:a1e0::", "fd7a:115c:a1e0:ffff::1", "[fd7a:115c:a1e0::1%utun3]"}) {
        EXPECT_TRUE(LocalInterfaces::isTailscaleIPv6(yes)) << yes;
        EXPECT_TRUE(LocalInterfaces::isTailscale(yes)) << yes;
    }
    for (const char* no : {"100.63.255.255", "100.128.0.0", "::ffff:100.64.0.1",
                           "fd7a:115c:a1e1::1", "fd7a:115c:a1e::1", "tailscale", ""}) {
        EXPECT_FALSE(LocalInterfaces::isTailscale(no)) << no;
    }
}

TEST(LocalInterfaces, emptyOrFailedEnumerationGivesNothing) {
    for (const auto& interfaces : {LocalInterfaces(LocalInterfaces::Source()), fake({})}) {
        EXPECT_TRUE(interfaces.all().empty());
        EXPECT_TRUE(interfaces.lanEndpoints(0).empty());
        EXPECT_TRUE(interfaces.tailscaleEndpoints(0).empty());
        EXPECT_EQ(interfaces.txtTailscaleEndpoint(0), std::nullopt);
    }
}

TEST(LocalInterfaces, systemEnumerationSkipsLoopbackAndGivesPlainLiterals) {
    for (const auto& entry : LocalInterfaces::systemAddresses()) {
        auto bytes = NetworkFilter::parseLiteral(entry.address);
        ASSERT_TRUE(bytes) << entry.address;
        EXPECT_EQ(bytes->size(), entry.isIPv6 ? 16u : 4u) << entry.address;
        EXPECT_EQ(entry.address.find('%'), std::string::npos) << entry.address;
        EXPECT_NE(entry.interface, "lo");
        EXPECT_NE(entry.address, "127.0.0.1");
        EXPECT_NE(entry.address, "::1");
    }
}

}  // namespace
}  // namespace tarvel::discovery
