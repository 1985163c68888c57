#include <gtest/gtest.h>

#include <atomic>
#include <fstream>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <filesystem>

#include <asio/ip/v6_only.hpp>

#include "tests/fakes/log_capture.hpp"
#include "tests/host/server/server_test_support.hpp"

namespace tarvel::server::testing {
namespace {

TEST(HostServer, takenFirstPortFallsBackToTheNextForBothListeners) {
    Harness h({}, false);
    asio::io_context io;
    asio::ip::tcp::acceptor taken(io);
    taken.open(asio::ip::tcp::v6());
    taken.set_option(asio::ip::v6_only(false));
    std::error_code error;
    taken.bind(asio::ip::tcp::endpoint(asio::ip::tcp::v6(), h.firstPort), error);
    ASSERT_FALSE(error) << error.message();
    taken.listen();

    h.start();
    EXPECT_EQ(h.port, h.firstPort + 1);
    EXPECT_EQ(h.server->snapshot().port, h.firstPort + 1);
    ASSERT_TRUE(h.advertiser->current());
    EXPECT_EQ(h.advertiser->current()->port, h.firstPort + 1);

    // Both protocols answer on the new port.
    TestConnection conn(h.port);
    conn.sendRaw({0x01, 0x00, 0x00, 0x00, 0x10});
    EXPECT_TRUE(conn.readFrame());
    asio::ip::udp::socket probe(io, asio::ip::udp::endpoint(asio::ip::udp::v4(), 0));
    EXPECT_THROW(probe.bind(asio::ip::udp::endpoint(asio::ip::udp::v4(), h.port)),
                 std::system_error);
}

TEST(HostServer, noFreePortIsLoggedWithTheRange) {
    tarvel::testing::LogCapture log;
    asio::io_context io;
    asio::ip::tcp::acceptor taken(io);
    taken.open(asio::ip::tcp::v6());
    taken.set_option(asio::ip::v6_only(false));
    taken.bind(asio::ip::tcp::endpoint(asio::ip::tcp::v6(), 0));
    taken.listen();
    const auto port = taken.local_endpoint().port();
    Harness h(
        [&](HostServer::Dependencies& deps) {
            deps.firstPort = port;
            deps.lastPort = port;
        },
        false);
    h.server->start();
    const auto expected =
        "could not bind any port in " + std::to_string(port) + "..." + std::to_string(port);
    EXPECT_TRUE(eventually([&] { return log.contains(expected); }));
    EXPECT_FALSE(h.advertiser->current());
    EXPECT_EQ(h.server->snapshot().port, port);
}

TEST(HostServer, advertisesTheIdentityAndRefreshesWhenTheRecordChanges) {
    Harness h([](HostServer::Dependencies& deps) { deps.timings.refresh = 100ms; });
    std::atomic<int> changes{0};
    h.server->setOnChange([&] { ++changes; });
    auto current = h.advertiser->current();
    ASSERT_TRUE(current);
    EXPECT_EQ(current->instanceName, "Test Host");
    EXPECT_EQ(current->txt.hostId, h.server->identity().id());
    EXPECT_EQ(current->txt.os, pairing::HostOSType::macos);
    EXPECT_EQ(current->txt.fingerprint, h.server->identity().fingerprint());

    h.facts->setHostName("Renamed");
    EXPECT_TRUE(eventually([&] {
        auto now = h.advertiser->current();
        return now && now->txt.name == "Renamed";
    }));
    EXPECT_TRUE(eventually([&] { return changes.load() >= 1; }));
    EXPECT_EQ(h.server->snapshot().hostName, "Renamed");
}

TEST(HostServer, snapshotAndPairingPayloadCarryTheEndpoints) {
    Harness h([](HostServer::Dependencies& deps) {
        deps.localInterfaces = discovery::LocalInterfaces([] {
            return std::vector<discovery::LocalAddress>{{"eth0", "192.168.1.20", false},
                                                        {"tailscale0", "100.101.102.103", false}};
        });
    });
    const auto snapshot = h.server->snapshot();
    EXPECT_EQ(snapshot.lanIP, "192.168.1.20");
    EXPECT_EQ(snapshot.tailscaleIP, "100.101.102.103");
    EXPECT_TRUE(snapshot.clients.empty());
    EXPECT_FALSE(snapshot.activeClientName);

    const auto first = h.server->beginPairing();
    const auto port = std::to_string(h.port);
    EXPECT_EQ(first.lan, "192.168.1.20:" + port);
    EXPECT_EQ(first.ts, "100.101.102.103:" + port);
    EXPECT_EQ(first.payload.lan, first.lan);
    EXPECT_EQ(first.payload.hostId, h.server->identity().id());
    EXPECT_EQ(h.advertiser->current()->txt.tailscaleEndpoint, "100.101.102.103:" + port);

    const auto second = h.server->beginPairing();
    TestConnection conn(h.port);
    EXPECT_TRUE(conn.pair(second.code));
}

/// The descriptor of this process's listening TCP socket on `port`, or -1.
int listeningSocketOn(std::uint16_t port) {
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
        const int fd = std::stoi(entry.path().filename().string());
        sockaddr_storage address{};
        socklen_t length = sizeof(address);
        if (::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
            continue;
        }
        int type = 0;
        int listening = 0;
        socklen_t size = sizeof(int);
        ::getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &size);
        size = sizeof(int);
        ::getsockopt(fd, SOL_SOCKET, SO_ACCEPTCONN, &listening, &size);
        std::uint16_t bound = 0;
        if (address.ss_family == AF_INET6) {
            bound = ntohs(reinterpret_cast<sockaddr_in6*>(&address)->sin6_port);
        } else if (address.ss_family == AF_INET) {
            bound = ntohs(reinterpret_cast<sockaddr_in*>(&address)->sin_port);
        }
        if (type == SOCK_STREAM && listening != 0 && bound == port) {
            return fd;
        }
    }
    return -1;
}

TEST(HostServer, tcpListenerFailureRebindsAfterTheDelayAndKeepsSessions) {
    tarvel::testing::LogCapture log;
    Harness h([](HostServer::Dependencies& deps) { deps.timings.restartDelay = 200ms; });
    TestConnection conn(h.port);
    ASSERT_TRUE(conn.pair(h.server->beginPairing().code));
    const int fd = listeningSocketOn(h.port);
    ASSERT_GE(fd, 0);
    // Shutting the listening socket down makes the pending accept fail for good.
    ::shutdown(fd, SHUT_RDWR);
    ASSERT_TRUE(eventually([&] { return log.contains("TCP listener failed: "); }));
    EXPECT_TRUE(eventually([&] { return h.advertiser->withdrawals() >= 1; }));
    ASSERT_TRUE(eventually([&] {
        return h.advertiser->advertisements().size() >= 2 && h.advertiser->current().has_value();
    }));
    const auto port = h.server->port();
    EXPECT_EQ(h.advertiser->current()->port, port);
    TestConnection fresh(port);
    fresh.sendRaw({0x01, 0x00, 0x00, 0x00, 0x10});
    EXPECT_TRUE(fresh.readFrame());
    // The established session survived the restart.
    conn.sendSealed(wire::FrameType::ping, wire::PingBody{5});
    auto pong = conn.readFrame();
    ASSERT_TRUE(pong);
    EXPECT_EQ(pong->type, wire::FrameType::pong);
}

TEST(HostServer, identityPersistsAcrossServersOnOneDataFolder) {
    tarvel::testing::TempDir dir;
    auto makeDeps = [&] {
        HostServer::Dependencies deps;
        deps.dataDirectory = dir.path();
        deps.eventSink = std::make_shared<injection::RecordingEventSink>();
        deps.localInterfaces = discovery::LocalInterfaces(discovery::LocalInterfaces::Source{});
        return deps;
    };
    const auto first = HostServer::create(makeDeps())->identity();
    const auto second = HostServer::create(makeDeps())->identity();
    EXPECT_EQ(first, second);
}

TEST(HostServer, unusableIdentityStorageFallsBackToAnEphemeralIdentity) {
    tarvel::testing::LogCapture log;
    tarvel::testing::TempDir dir;
    // A file where the identity folder should be makes the store fail.
    { std::ofstream(dir.path() / "identity") << "x"; }
    HostServer::Dependencies deps;
    deps.dataDirectory = dir.path();
    deps.eventSink = std::make_shared<injection::RecordingEventSink>();
    auto server = HostServer::create(std::move(deps));
    EXPECT_FALSE(server->identity().id().empty());
    EXPECT_TRUE(log.contains("identity storage failed ("));
    EXPECT_TRUE(log.contains("); using an ephemeral identity"));
}

TEST(HostServer, stopWithdrawsAndClosesEverything) {
    Harness h;
    TestConnection conn(h.port);
    ASSERT_TRUE(conn.pair(h.server->beginPairing().code));
    h.server->stop();
    EXPECT_TRUE(conn.closedByHost());
    EXPECT_FALSE(h.advertiser->current());
    EXPECT_FALSE(h.facts->activityHeld());
    std::error_code error;
    asio::io_context io;
    asio::ip::tcp::socket late(io);
    late.connect(asio::ip::tcp::endpoint(asio::ip::make_address("127.0.0.1"), h.port), error);
    EXPECT_TRUE(error);
}

}  // namespace
}  // namespace tarvel::server::testing
