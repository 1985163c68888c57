#include "host/platform/linux/avahi_browser.hpp"
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <ifaddrs.h>
#include <netinet/in.h>
#include <unistd.h>
#include <algorithm>
#include <thread>
#include "core/discovery/dns_sd_txt.hpp"
#include "host/platform/linux/avahi_advertiser.hpp"
#include "tests/fakes/child_process.hpp"
#include "tests/fakes/desktop_env.hpp"

using namespace std::chrono_literals;
namespace {

using tarvel::discovery::DnsSdTxt;
using tarvel::platform::BrowsedService;
using tarvel::platform::BrowseError;
using tarvel::platform::browseDnsSd;

const BrowsedService* named(const std::vector<BrowsedService>& services, const std::string& name) {
    const auto it = std::find_if(services.begin(), services.end(), [&](const auto& s) { return s.instanceName == name; });
    return it == services.end() ? nullptr : &*it;
}

/// Browses up to 8 times, half a second apart, until `accept` holds: a goodbye leaves a cached record for about 1 s.
template <typename Accept>
std::vector<BrowsedService> browseUntil(const Accept& accept) {
    std::vector<BrowsedService> services;
    for (int i = 0; i < 8 && (i == 0 || !accept(services)); ++i) {
        if (i > 0) std::this_thread::sleep_for(500ms);
        services = browseDnsSd("_tarvel._tcp", 4s).value_or(services);
    }
    return services;
}

bool isLocal(const std::string& address) {
    if (address.starts_with("127.") || address == "::1") return true;
    ifaddrs* list = nullptr;
    bool local = false;
    for (ifaddrs* it = ::getifaddrs(&list) == 0 ? list : nullptr; it != nullptr; it = it->ifa_next) {
        char text[INET6_ADDRSTRLEN] = {};
        const sockaddr* a = it->ifa_addr;
        if (a != nullptr && a->sa_family == AF_INET) ::inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in*>(a)->sin_addr, text, sizeof text);
        if (a != nullptr && a->sa_family == AF_INET6) ::inet_ntop(AF_INET6, &reinterpret_cast<const sockaddr_in6*>(a)->sin6_addr, text, sizeof text);
        local = local || address.substr(0, address.find('%')) == text;
    }
    ::freeifaddrs(list);
    return local;
}

bool establishedAs(const tarvel::platform::AvahiAdvertiser& advertiser, const std::optional<std::string>& name) {
    for (int i = 0; i < 500 && advertiser.establishedName() != name; ++i) std::this_thread::sleep_for(20ms);
    return advertiser.establishedName() == name;
}

TEST(AvahiBrowser, resolvesPublishedRecordsWithTheirTxtSortedAndLosesThemOnceWithdrawn) {
    TARVEL_REQUIRE_TEST_AVAHI();
    const std::string pid = std::to_string(::getpid()), name = "Zürich Desk " + pid, raw = "Alpha raw " + pid;
    const DnsSdTxt record("3f2504e0-4f89-41d3-9a0c-0305e82c3301", "Zürich Desk", tarvel::pairing::HostOSType::windows,
                          "100.101.102.103:49182", "0123456789abcdef");
    tarvel::platform::AvahiAdvertiser advertiser;
    advertiser.advertise(name, 49187, record);
    ASSERT_TRUE(establishedAs(advertiser, name));
    // Strings a well-behaved host never sends: a bare key, '=' in a value, no key, a repeated key.
    const tarvel::testing::ChildGuard other{tarvel::testing::spawnChild(
        {"avahi-publish", "-s", raw, "_tarvel._tcp", "49188", "flag", "k=v=w", "=nokey", "dup=1", "dup=2"}, {}, nullptr)};
    auto services = browseUntil([&](const auto& s) { return named(s, name) && named(s, raw); });
    ASSERT_TRUE(named(services, name) && named(services, raw)) << services.size() << " services";
    const BrowsedService& mine = *named(services, name);
    EXPECT_EQ(mine.port, 49187);
    EXPECT_TRUE(isLocal(mine.address)) << mine.address;
    EXPECT_TRUE(mine.hostName.ends_with(".local")) << mine.hostName;
    EXPECT_GT(mine.interfaceIndex, 0);
    EXPECT_EQ(mine.txt, record.dictionary());
    EXPECT_EQ(DnsSdTxt::fromDictionary(mine.txt), record);
    EXPECT_EQ(named(services, raw)->port, 49188);
    EXPECT_EQ(named(services, raw)->txt, (std::map<std::string, std::string>{{"dup", "1"}, {"flag", ""}, {"k", "v=w"}}));
    EXPECT_TRUE(std::adjacent_find(services.begin(), services.end(), [](const auto& a, const auto& b) {
                    return std::tie(a.instanceName, a.address) >= std::tie(b.instanceName, b.address);
                }) == services.end()) << "not sorted, or a duplicate";
    // Without waitFull a browse ends once everything seen is resolved; with it, it takes its time.
    auto start = std::chrono::steady_clock::now();
    EXPECT_TRUE(named(browseDnsSd("_tarvel._tcp", 8s).value_or(services), name));
    EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
    start = std::chrono::steady_clock::now();
    const auto full = browseDnsSd("_tarvel._tcp", 2500ms, true);
    EXPECT_GE(std::chrono::steady_clock::now() - start, 2500ms);
    EXPECT_TRUE(full && named(*full, name) && named(*full, raw));
    advertiser.withdraw();
    ASSERT_TRUE(establishedAs(advertiser, std::nullopt));
    services = browseUntil([&](const auto& s) { return !named(s, name); });
    EXPECT_EQ(named(services, name), nullptr);
    EXPECT_NE(named(services, raw), nullptr);
    start = std::chrono::steady_clock::now();
    EXPECT_EQ(browseDnsSd("not a type", 5s).error(), BrowseError::failed);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 2s);
}

// The bus address is read once per process: the dead bus gets a fresh copy of this program.
TEST(AvahiBrowser, aMissingBusIsReportedAtOnce) {
    if (std::getenv("TARVEL_TEST_DEAD_BUS") == nullptr) {
        char self[4096] = {};
        ASSERT_GT(::readlink("/proc/self/exe", self, sizeof self - 1), 0);
        const std::string bus = "/nonexistent/tarvel-bus-" + std::to_string(::getpid());
        EXPECT_TRUE(tarvel::testing::runChild({"env", "TARVEL_TEST_DEAD_BUS=1", "DBUS_SYSTEM_BUS_ADDRESS=unix:path=" + bus, self,
                                               "--gtest_filter=AvahiBrowser.aMissingBus*"}, 20s))
            << "the copy failed, crashed or hung";
        return;
    }
    for (const bool waitFull : {false, true}) {
        const auto start = std::chrono::steady_clock::now();
        const auto result = browseDnsSd("_tarvel._tcp", 10s, waitFull);
        EXPECT_LT(std::chrono::steady_clock::now() - start, 1s);
        ASSERT_FALSE(result);
        EXPECT_EQ(result.error(), BrowseError::daemonUnavailable);
    }
    EXPECT_NE(tarvel::platform::describe(BrowseError::daemonUnavailable).find("avahi-daemon"), std::string::npos);
}

}  // namespace
