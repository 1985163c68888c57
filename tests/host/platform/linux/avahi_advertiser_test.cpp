#include "host/platform/linux/avahi_advertiser.hpp"
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>
#include <algorithm>
#include <map>
#include <regex>
#include <sstream>
#include <thread>
#include "tests/fakes/child_process.hpp"
#include "tests/fakes/desktop_env.hpp"
#include "tests/fakes/log_capture.hpp"

using namespace std::chrono_literals;
namespace {

using tarvel::discovery::DnsSdTxt;
using tarvel::platform::AvahiAdvertiser;

struct Browsed {
    std::uint16_t port = 0;
    std::map<std::string, std::string> txt;
    bool operator==(const Browsed&) const = default;
};
using Services = std::map<std::string, Browsed>;

/// Resolved services by instance name, browsed (about 1 s each) up to 11 times until accepted.
template <typename Accept>
Services browseUntil(const Accept& accept) {
    // "=;lo;IPv4;NAME;_tarvel._tcp;local;HOST;ADDRESS;PORT;"k=v" "k=v""
    static const std::regex resolved(R"(^=;[^;]*;[^;]*;([^;]*);(?:[^;]*;){4}(\d+);(.*)$)");
    static const std::regex pair(R"re("([^"=]*)=([^"]*)")re");
    static const std::regex escape(R"(\\(\d{3}))");  // names carry "\DDD" decimal escapes
    Services services;
    for (int i = 0; i < 11 && (i == 0 || !accept(services)); ++i) {
        services.clear();
        std::istringstream lines(tarvel::testing::runChild({"avahi-browse", "-rpt", "_tarvel._tcp"}, 10s).value_or(""));
        std::smatch match;
        for (std::string line; std::getline(lines, line);) {
            if (!std::regex_match(line, match, resolved)) continue;
            std::string name = match[1];
            for (std::smatch code; std::regex_search(name, code, escape);)
                name.replace(code.position(0), 4, 1, static_cast<char>(std::stoi(code[1])));
            Browsed& service = services[name] = {static_cast<std::uint16_t>(std::stoi(match[2])), {}};
            const std::string txt = match[3];
            for (std::sregex_iterator it(txt.begin(), txt.end(), pair), end; it != end; ++it)
                service.txt[(*it)[1]] = (*it)[2];
        }
    }
    return services;
}

bool establishedAs(const AvahiAdvertiser& advertiser, const std::optional<std::string>& name) {
    for (int i = 0; i < 500 && advertiser.establishedName() != name; ++i) std::this_thread::sleep_for(20ms);
    return advertiser.establishedName() == name;
}

DnsSdTxt record(std::optional<std::string> tailscale = std::nullopt) {
    return DnsSdTxt("3f2504e0-4f89-41d3-9a0c-0305e82c3301", "Test Host",
                    tarvel::pairing::HostOSType::macos, std::move(tailscale), "0123456789abcdef");
}

TEST(AvahiAdvertiser, takenNameGetsAnAlternativeThatKeepsItsTxtUpdatesThenRenamesAndWithdraws) {
    TARVEL_REQUIRE_TEST_AVAHI();
    const std::string name = "tarvel-taken-" + std::to_string(::getpid()), alternative = name + " #2";
    const tarvel::testing::ChildGuard other{tarvel::testing::spawnChild(
        {"avahi-publish", "-s", name, "_tarvel._tcp", "49190"}, {}, nullptr)};
    ASSERT_TRUE(browseUntil([&](const auto& s) { return s.contains(name); }).contains(name));
    const tarvel::testing::LogCapture log;
    AvahiAdvertiser advertiser;
    advertiser.advertise(name, 49191, record());
    ASSERT_TRUE(establishedAs(advertiser, alternative));
    EXPECT_TRUE(log.contains("DNS-SD name " + name + " is taken; advertising as " + alternative));
    auto services = browseUntil([&](const auto& s) { return s.contains(alternative); });
    EXPECT_EQ(services[alternative], (Browsed{49191, record().dictionary()}));
    EXPECT_EQ(services[name].port, 49190);
    // New TXT keys under the same name: the alternative stays, updated in place.
    advertiser.advertise(name, 49191, record("100.101.102.103:49182"));
    services = browseUntil([&](const auto& s) { return s.contains(alternative) && s.at(alternative).txt.contains("ts"); });
    EXPECT_EQ(services[alternative], (Browsed{49191, record("100.101.102.103:49182").dictionary()}));
    const std::string renamed = "tarvel-renamed-" + std::to_string(::getpid());
    advertiser.advertise(renamed, 49183, record());
    ASSERT_TRUE(establishedAs(advertiser, renamed));
    services = browseUntil([&](const auto& s) { return s.contains(renamed) && !s.contains(alternative); });
    EXPECT_EQ(std::pair(services.contains(alternative), services[renamed].port), std::pair(false, std::uint16_t{49183}));
    advertiser.withdraw();
    EXPECT_TRUE(establishedAs(advertiser, std::nullopt));
    EXPECT_FALSE(browseUntil([&](const auto& s) { return !s.contains(renamed); }).contains(renamed));
}

// The bus address is read once per process: each bus gets a fresh copy of this program.
// A mute bus holds the event loop in its D-Bus call for about 25 s; callers never wait.
TEST(AvahiAdvertiser, aDeadOrMuteBusIsReportedOnceAndNeverHoldsUpTheCaller) {
    const char* bus = std::getenv("TARVEL_TEST_BUS");
    if (bus == nullptr) {
        char self[4096] = {};
        ASSERT_GT(::readlink("/proc/self/exe", self, sizeof self - 1), 0);
        for (const std::string& path : {std::string("/nonexistent/bus"), "/tmp/tarvel-mute-bus-" + std::to_string(::getpid())}) {
            EXPECT_TRUE(tarvel::testing::runChild({"env", "TARVEL_TEST_BUS=" + path, "DBUS_SYSTEM_BUS_ADDRESS=unix:path=" + path, self, "--gtest_filter=*aDeadOrMuteBus*"}, 20s))
                << path << ": the copy failed, crashed or hung";
        }
        return;
    }
    const bool mute = !std::string_view(bus).starts_with("/nonexistent");
    sockaddr_un address{.sun_family = AF_UNIX, .sun_path = {}};
    std::string(bus).copy(address.sun_path, sizeof address.sun_path - 1);
    const int listener = mute ? ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0) : -1;
    ASSERT_TRUE(!mute || (::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 && ::listen(listener, 4) == 0));
    tarvel::testing::LogCapture log;
    {
        auto start = std::chrono::steady_clock::now();
        AvahiAdvertiser advertiser(20ms);
        auto slowest = std::chrono::steady_clock::now() - start;
        pollfd incoming{listener, POLLIN, 0};
        ASSERT_TRUE(!mute || ::poll(&incoming, 1, 5000) == 1);
        // Never read from: the loop waits in its first call.
        const int connection = mute ? ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC) : -1;
        ::unlink(bus);
        for (int i = 0; i < 100; ++i) {
            start = std::chrono::steady_clock::now();
            advertiser.advertise("tarvel-bus-" + std::to_string(i), 49182, record());
            advertiser.withdraw();
            EXPECT_EQ(advertiser.establishedName(), std::nullopt);
            slowest = std::max(slowest, std::chrono::steady_clock::now() - start);
        }
        EXPECT_LT(slowest, 100ms);
        advertiser.advertise("tarvel-retried", 49182, record());
        std::this_thread::sleep_for(300ms);  // retried every 20 ms
        ::close(connection);  // fails the loop's call, so the advertiser goes at once
        ::close(listener);
    }
    EXPECT_EQ(log.lines().size(), 1u) << ::testing::PrintToString(log.lines());
    EXPECT_TRUE(log.contains("cannot reach Avahi over the D-Bus system bus"));
}

}  // namespace
