#include "host/platform/linux/avahi_advertiser.hpp"

#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <functional>
#include <map>
#include <optional>
#include <regex>
#include <sstream>
#include <string>
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

/// Every resolved "_tarvel._tcp" service the daemon knows, by instance name.
Services browse() {
    Services services;
    // "=;lo;IPv4;NAME;_tarvel._tcp;local;HOST;ADDRESS;PORT;"k=v" "k=v""
    static const std::regex resolved(R"(^=;[^;]*;[^;]*;([^;]*);(?:[^;]*;){4}(\d+);(.*)$)");
    static const std::regex pair(R"re("([^"=]*)=([^"]*)")re");
    static const std::regex escape(R"(\\(\d{3}))");  // names carry "\DDD" decimal escapes
    std::istringstream lines(
        tarvel::testing::runChild({"avahi-browse", "-rpt", "_tarvel._tcp"}, 10s).value_or(""));
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

/// Browses until `accept` holds, up to ten times (a browse takes about 1 s).
Services browseUntil(const std::function<bool(const Services&)>& accept) {
    auto services = browse();
    for (int i = 0; i < 10 && !accept(services); ++i) {
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

DnsSdTxt record(std::optional<std::string> tailscale = std::nullopt) {
    return DnsSdTxt("3f2504e0-4f89-41d3-9a0c-0305e82c3301", "Test Host",
                    tarvel::pairing::HostOSType::macos, std::move(tailscale), "0123456789abcdef");
}

TEST(AvahiAdvertiser, takenNameGetsAnAlternativeThatKeepsItsTxtUpdatesThenRenamesAndWithdraws) {
    TARVEL_REQUIRE_TEST_AVAHI();
    const std::string name = "tarvel-taken-" + std::to_string(::getpid());
    const tarvel::testing::ChildGuard other{tarvel::testing::spawnChild(
        {"avahi-publish", "-s", name, "_tarvel._tcp", "49190"}, {}, nullptr)};
    ASSERT_GT(other.pid, 0);
    ASSERT_TRUE(browseUntil([&](const auto& s) { return s.contains(name); }).contains(name));

    tarvel::testing::LogCapture log;
    AvahiAdvertiser advertiser;
    advertiser.advertise(name, 49191, record());
    const std::string alternative = name + " #2";
    ASSERT_TRUE(establishedAs(advertiser, alternative));
    EXPECT_TRUE(log.contains("DNS-SD name " + name + " is taken; advertising as " + alternative));
    auto services = browseUntil([&](const auto& s) { return s.contains(alternative); });
    EXPECT_EQ(services[alternative], (Browsed{49191, record().dictionary()}));
    EXPECT_EQ(services[name].port, 49190);

    // New TXT keys under the same name: the alternative stays, updated in place.
    const DnsSdTxt tailscale = record("100.101.102.103:49182");
    advertiser.advertise(name, 49191, tailscale);
    services = browseUntil([&](const auto& s) {
        return s.contains(alternative) && s.at(alternative).txt.contains("ts");
    });
    EXPECT_EQ(services[alternative], (Browsed{49191, tailscale.dictionary()}));
    EXPECT_EQ(advertiser.establishedName(), alternative);

    const std::string renamed = "tarvel-renamed-" + std::to_string(::getpid());
    advertiser.advertise(renamed, 49183, record());
    ASSERT_TRUE(establishedAs(advertiser, renamed));
    services = browseUntil(
        [&](const auto& s) { return s.contains(renamed) && !s.contains(alternative); });
    EXPECT_FALSE(services.contains(alternative));
    EXPECT_EQ(services[renamed].port, 49183);

    advertiser.withdraw();
    EXPECT_TRUE(establishedAs(advertiser, std::nullopt));
    EXPECT_FALSE(browseUntil([&](const auto& s) { return !s.contains(renamed); }).contains(renamed));
}

/// Runs one test of this program in a fresh copy of it with `env` added (the
/// bus address is read once per process); whether it passed.
bool passesInFreshCopy(const std::string& test, std::vector<std::string> env) {
    char self[4096] = {};
    if (::readlink("/proc/self/exe", self, sizeof self - 1) <= 0) {
        return false;
    }
    env.insert(env.begin(), "env");
    env.insert(env.end(), {self, "--gtest_filter=AvahiAdvertiser." + test});
    return tarvel::testing::runChild(env, 20s).has_value();
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
        EXPECT_EQ(log.lines().size(), 1u);
        EXPECT_TRUE(log.contains("cannot reach Avahi over the D-Bus system bus"));
        return;
    }
    EXPECT_TRUE(passesInFreshCopy(
        "unreachableBusIsReportedOnceAndDoesNotCrash",
        {"TARVEL_TEST_DEAD_BUS=1", "DBUS_SYSTEM_BUS_ADDRESS=unix:path=/nonexistent/bus"}))
        << "the copy failed or crashed";
}

// A bus that takes the connection and never answers holds the event loop in
// its D-Bus call for about 25 s; the callers (the server's queue) never wait.
TEST(AvahiAdvertiser, callsReturnAtOnceWhileTheBusNeverAnswers) {
    const char* path = std::getenv("TARVEL_TEST_MUTE_BUS");
    if (path == nullptr) {
        const std::string bus = "/tmp/tarvel-mute-bus-" + std::to_string(::getpid());
        EXPECT_TRUE(passesInFreshCopy(
            "callsReturnAtOnceWhileTheBusNeverAnswers",
            {"TARVEL_TEST_MUTE_BUS=" + bus, "DBUS_SYSTEM_BUS_ADDRESS=unix:path=" + bus}))
            << "the copy failed, crashed or hung";
        return;
    }
    sockaddr_un address{.sun_family = AF_UNIX, .sun_path = {}};
    std::string(path).copy(address.sun_path, sizeof address.sun_path - 1);
    const int listener = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(::listen(listener, 4), 0);
    tarvel::testing::LogCapture log;
    {
        auto start = std::chrono::steady_clock::now();
        AvahiAdvertiser advertiser(20ms);
        auto slowest = std::chrono::steady_clock::now() - start;
        // Taken but never read from: the loop now waits inside its first call.
        pollfd incoming{listener, POLLIN, 0};
        ASSERT_EQ(::poll(&incoming, 1, 5000), 1);
        const int connection = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
        for (int i = 0; i < 100; ++i) {
            start = std::chrono::steady_clock::now();
            advertiser.advertise("tarvel-mute-" + std::to_string(i), 49182, record());
            advertiser.withdraw();
            EXPECT_EQ(advertiser.establishedName(), std::nullopt);
            slowest = std::max(slowest, std::chrono::steady_clock::now() - start);
        }
        EXPECT_LT(slowest, 100ms);
        ::close(connection);  // fails the loop's call, so the advertiser goes at once
        ::close(listener);
        ::unlink(path);
    }
    EXPECT_TRUE(log.contains("cannot reach Avahi over the D-Bus system bus"));
}

}  // namespace
