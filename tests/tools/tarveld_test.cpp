// The daemon as a user runs it: pair, hold a key over UDP, stop with SIGTERM; and its refusals.
#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <string>

#include "tests/fakes/temp_dir.hpp"
#include "tests/tools/live_host.hpp"

namespace tarvel {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using testing::Daemon;
using testing::freePort;
using testing::rangeOf;

TEST(Tarveld, showsAFreshCodeOnSigusr1AndEnterPairsWithItAndSigtermReleasesAHeldKey) {
    testing::TempDir dir;
    testing::LiveHost host(dir.path());
    std::optional<std::string> code;
    for (const int round : {0, 1, 2}) {
        if (round == 1) {
            host.daemon->signal(SIGUSR1);
        } else if (round == 2) {
            host.daemon->pressEnter();
        }
        const auto fresh = host.daemon->waitFor("Pairing code: ", 10s);
        ASSERT_TRUE(fresh && fresh != code) << "round " << round;
        const auto link = host.daemon->waitFor("Pairing link: ", 5s);
        EXPECT_TRUE(link && link->starts_with("tarvel://pair?v=1&") && link->ends_with("&code=" + *fresh))
            << link.value_or("(none)");
        code = fresh;
    }
    testing::LiveClient phone(host.address(), "Test Phone", platform::ClientSession::Pair{*code, std::nullopt});
    const auto session = phone.established(10s);
    ASSERT_TRUE(session && session->udpPort == host.port);
    EXPECT_TRUE(host.daemon->waitFor("Pairing code used.", 5s));
    const auto lastPacket = Clock::now();
    ASSERT_TRUE(phone.session().send(wire::InputEvent::Key{0x04, wire::KeyState::down, false}));
    ASSERT_TRUE(phone.session().settle(5s));
    // The host releases held input by itself 1.5 s after the last packet;
    // ending sooner proves the release came from the SIGTERM path.
    host.daemon->signal(SIGTERM);
    EXPECT_EQ(host.daemon->exitStatus(5s), 0);
    EXPECT_LT(Clock::now() - lastPacket, 1500ms) << "too slow to tell SIGTERM from the dead-man release";
    EXPECT_EQ(testing::recordedKeys(host.events), (std::vector<testing::RecordedKey>{{0, true}, {0, false}}));
    EXPECT_TRUE(std::filesystem::exists(dir / "data" / "identity" / "ed25519-seed.secret"));
    std::ifstream devices(dir / "data" / "paired_devices.json");
    EXPECT_NE(std::string(std::istreambuf_iterator<char>(devices), {}).find("Test Phone"), std::string::npos);
}

TEST(Tarveld, badCommandLinesExit2WithTheReasonAndUsage) {
    for (const char* bad : {"--bogus", "--ports"}) {
        Daemon daemon({TARVELD_PATH, bad, "9-3"});
        EXPECT_EQ(daemon.exitStatus(5s), 2) << bad;
        const auto lines = daemon.rest(2s);
        ASSERT_GE(lines.size(), 2u) << bad;
        EXPECT_TRUE(lines[0].starts_with("tarveld: ") && lines[1].starts_with("usage: tarveld"))
            << lines[0] + "\n" + lines[1];
    }
}

TEST(Tarveld, unusableDataFolderOrRecordFileExit1WithOneLineNamingIt) {
    testing::TempDir dir;
    const auto open = dir / "open";
    std::filesystem::create_directory(open);
    std::filesystem::permissions(open, std::filesystem::perms::all);  // 0777
    const auto missing = (dir / "no-such-folder" / "events.jsonl").string();
    const std::vector<std::pair<std::vector<std::string>, std::string>> cases{
        {{"--data-dir", open.string()}, open.string()},
        {{"--data-dir", (dir / "data").string(), "--sink", "record:" + missing}, missing},
    };
    for (const auto& [args, named] : cases) {
        std::vector<std::string> command{TARVELD_PATH, "--ports", rangeOf(freePort())};
        command.insert(command.end(), args.begin(), args.end());
        Daemon daemon(command);
        EXPECT_EQ(daemon.exitStatus(5s), 1) << named;
        const auto lines = daemon.rest(2s);
        ASSERT_EQ(lines.size(), 1u) << named;
        EXPECT_NE(lines[0].find(named), std::string::npos) << lines[0];
    }
    EXPECT_TRUE(std::filesystem::is_empty(open)) << "nothing may be written to a refused folder";
}

TEST(Tarveld, exits1NamingThePortWhenNoPortOfTheRangeBinds) {
    testing::TempDir dir;
    const auto port = freePort();
    // The daemon binds the wildcard address, which a listener on 0.0.0.0 blocks.
    asio::io_context context;
    asio::ip::tcp::acceptor taken(context, asio::ip::tcp::endpoint(asio::ip::tcp::v4(), port));
    Daemon daemon({TARVELD_PATH, "--data-dir", (dir / "data").string(), "--ports", rangeOf(port)});
    const auto failure = daemon.waitFor("Tarvel: could not bind any port in ", 10s);
    const auto p = std::to_string(port);
    ASSERT_TRUE(failure && failure->starts_with(p + "..." + p + " (" + p + ": "))
        << failure.value_or("");
    EXPECT_NE(failure->find("in use"), std::string::npos) << *failure;
    EXPECT_EQ(daemon.exitStatus(5s), 1);
}

}  // namespace
}  // namespace tarvel
