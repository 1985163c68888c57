#include "host/platform/linux/avahi_advertiser.hpp"

#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <map>
#include <optional>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/fakes/child_process.hpp"
#include "tests/fakes/desktop_env.hpp"
#include "tests/fakes/log_capture.hpp"

using namespace std::chrono_literals;

namespace {

using tarvel::discovery::DnsSdTxt;
using tarvel::pairing::HostOSType;
using tarvel::platform::AvahiAdvertiser;

using tarvel::testing::ChildGuard;

struct Browsed {
    std::uint16_t port = 0;
    std::map<std::string, std::string> txt;
};

/// Every resolved "_tarvel._tcp" service the daemon knows, by instance name.
std::map<std::string, Browsed> browse() {
    std::map<std::string, Browsed> services;
    // "=;lo;IPv4;NAME;_tarvel._tcp;local;HOST;ADDRESS;PORT;"k=v" "k=v""
    static const std::regex resolved(
        R"(^=;[^;]*;[^;]*;([^;]*);[^;]*;[^;]*;[^;]*;[^;]*;(\d+);(.*)$)");
    static const std::regex pair(R"re("([^"=]*)=([^"]*)")re");
    static const std::regex escape(R"(\\(\d{3}))");  // names carry "\DDD" decimal escapes
    std::istringstream lines(
        tarvel::testing::runChild({"avahi-browse", "-rpt", "_tarvel._tcp"}, 10s, {}).value_or(""));
    std::smatch match;
    for (std::string line; std::getline(lines, line);) {
        if (!std::regex_match(line, match, resolved)) {
            continue;
        }
        std::string name = match[1];
        for (std::smatch code; std::regex_search(name, code, escape);) {
            name.replace(code.position(0), 4, 1, static_cast<char>(std::stoi(code[1])));
        }
        Browsed& service = services[name];
        service.port = static_cast<std::uint16_t>(std::stoi(match[2]));
        const std::string txt = match[3];
        for (std::sregex_iterator it(txt.begin(), txt.end(), pair), last; it != last; ++it) {
            service.txt[(*it)[1]] = (*it)[2];
        }
    }
    return services;
}

/// Browses until `accept` holds, up to ten times (a browse takes about 1 s);
/// the last result.
template <typename Accept>
std::map<std::string, Browsed> browseUntil(Accept accept) {
    auto services = browse();
    for (int i = 0; i < 10 && !accept(services); ++i) {
        std::this_thread::sleep_for(100ms);
        services = browse();
    }
    return services;
}

/// Waits up to 10 s for the advertiser to be established as `name`.
bool establishedAs(const AvahiAdvertiser& advertiser, const std::optional<std::string>& name) {
    for (int i = 0; i < 500 && advertiser.establishedName() != name; ++i) {
        std::this_thread::sleep_for(20ms);
    }
    return advertiser.establishedName() == name;
}

std::string uniqueName(const char* what) {
    return std::string("tarvel-") + what + "-" + std::to_string(::getpid());
}

DnsSdTxt record(std::optional<std::string> tailscale = std::nullopt) {
    return DnsSdTxt("3f2504e0-4f89-41d3-9a0c-0305e82c3301", "Test Host", HostOSType::macos,
                    std::move(tailscale), "0123456789abcdef");
}

TEST(AvahiAdvertiser, publishesUpdatesRenamesAndWithdraws) {
    TARVEL_REQUIRE_TEST_AVAHI();
    tarvel::testing::LogCapture log;
    AvahiAdvertiser advertiser;
    const std::string name = uniqueName("pub");
    advertiser.advertise(name, 49182, record());
    ASSERT_TRUE(establishedAs(advertiser, name));
    auto services = browseUntil([&](const auto& s) { return s.contains(name); });
    ASSERT_TRUE(services.contains(name));
    EXPECT_EQ(services[name].port, 49182);
    EXPECT_EQ(services[name].txt, record().dictionary());
    EXPECT_TRUE(log.contains("advertising " + name + " on port 49182 over DNS-SD"));

    advertiser.advertise(name, 49182, record("100.101.102.103:49182"));
    services = browseUntil(
        [&](const auto& s) { return s.contains(name) && s.at(name).txt.contains("ts"); });
    ASSERT_TRUE(services.contains(name));
    EXPECT_EQ(services[name].txt, record("100.101.102.103:49182").dictionary());

    const std::string renamed = uniqueName("renamed");
    advertiser.advertise(renamed, 49183, record());
    ASSERT_TRUE(establishedAs(advertiser, renamed));
    services = browseUntil([&](const auto& s) { return s.contains(renamed) && !s.contains(name); });
    EXPECT_FALSE(services.contains(name));
    ASSERT_TRUE(services.contains(renamed));
    EXPECT_EQ(services[renamed].port, 49183);

    advertiser.withdraw();
    EXPECT_EQ(advertiser.establishedName(), std::nullopt);
    services = browseUntil([&](const auto& s) { return !s.contains(renamed); });
    EXPECT_FALSE(services.contains(renamed));
}

TEST(AvahiAdvertiser, takenNameIsPublishedUnderAnAlternative) {
    TARVEL_REQUIRE_TEST_AVAHI();
    const std::string name = uniqueName("taken");
    const pid_t other = tarvel::testing::spawnChild(
        {"avahi-publish", "-s", name, "_tarvel._tcp", "49190"}, {}, nullptr);
    ASSERT_GT(other, 0);
    const ChildGuard guard{other};
    auto services = browseUntil([&](const auto& s) { return s.contains(name); });
    ASSERT_TRUE(services.contains(name));

    tarvel::testing::LogCapture log;
    AvahiAdvertiser advertiser;
    advertiser.advertise(name, 49191, record());
    const std::string alternative = name + " #2";
    ASSERT_TRUE(establishedAs(advertiser, alternative));
    EXPECT_TRUE(log.contains("DNS-SD name " + name + " is taken; advertising as " + alternative));
    services = browseUntil([&](const auto& s) { return s.contains(alternative); });
    ASSERT_TRUE(services.contains(alternative));
    EXPECT_EQ(services[alternative].port, 49191);
    EXPECT_EQ(services[name].port, 49190);
}

// The bus address is read once per process, so this runs in a fresh copy of
// the test program pointed at a bus that is not there.
TEST(AvahiAdvertiser, unreachableBusIsReportedOnceAndDoesNotCrash) {
    if (std::getenv("TARVEL_TEST_DEAD_BUS") != nullptr) {
        tarvel::testing::LogCapture log;
        {
            AvahiAdvertiser advertiser(20ms);
            advertiser.advertise("tarvel-nobus", 49182, record());
            std::this_thread::sleep_for(300ms);
            advertiser.withdraw();
            EXPECT_EQ(advertiser.establishedName(), std::nullopt);
        }
        const auto lines = log.lines();
        EXPECT_EQ(lines.size(), 1u);
        EXPECT_TRUE(log.contains("cannot reach Avahi over the D-Bus system bus"));
        return;
    }
    char self[4096] = {};
    ASSERT_GT(::readlink("/proc/self/exe", self, sizeof self - 1), 0);
    const auto output = tarvel::testing::runChild(
        {"env", "TARVEL_TEST_DEAD_BUS=1", "DBUS_SYSTEM_BUS_ADDRESS=unix:path=/nonexistent/bus",
         self, "--gtest_filter=AvahiAdvertiser.unreachableBusIsReportedOnceAndDoesNotCrash"},
        20s, {});
    EXPECT_TRUE(output) << "the copy failed or crashed";
}

}  // namespace
