#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <fstream>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include "core/diagnostics/latency_trace.hpp"
#include "tests/fakes/log_capture.hpp"
#include "tests/host/server/server_test_support.hpp"

namespace tarvel::server::testing {
namespace {

/// A TCP listener on every address holding `port` (0: any free one).
struct TakenPort {
    explicit TakenPort(std::uint16_t port = 0) : acceptor(io) {
        acceptor.open(asio::ip::tcp::v6());
        acceptor.set_option(asio::ip::v6_only(false));
        acceptor.bind(asio::ip::tcp::endpoint(asio::ip::tcp::v6(), port));
        acceptor.listen();
    }
    std::uint16_t port() const { return acceptor.local_endpoint().port(); }
    asio::io_context io;
    asio::ip::tcp::acceptor acceptor;
};

TEST(HostServer, takenPortFallsBackAdvertisesTheIdentityFollowsARenameAndAFullRangeFails) {
    Harness h([](HostServer::Dependencies& deps) { deps.timings.refresh = 100ms; }, false);
    TakenPort taken(h.firstPort);
    std::atomic<int> listening{0};
    h.server->setOnListening([&](std::uint16_t port) { listening = port; });
    h.start();
    EXPECT_EQ(h.port, h.firstPort + 1);
    EXPECT_TRUE(eventually([&] { return listening == h.firstPort + 1; }));
    auto current = h.advertiser->current();
    EXPECT_EQ(current->port, h.firstPort + 1);
    EXPECT_TRUE(current->txt.hostId == h.server->identity().id() &&
                current->txt.fingerprint == h.server->identity().fingerprint());
    TestConnection conn(h.port);
    conn.sendRaw({0x01, 0x00, 0x00, 0x00, 0x10});
    EXPECT_TRUE(conn.readFrame());
    h.facts->setHostName("Renamed");
    EXPECT_TRUE(eventually([&] { return h.advertiser->current()->txt.name == "Renamed"; }));
    EXPECT_EQ(h.server->snapshot().hostName, "Renamed");
    TakenPort busy;
    std::atomic<bool> reported{false};
    Harness full(
        [&](HostServer::Dependencies& deps) { deps.firstPort = deps.lastPort = busy.port(); },
        false);
    full.server->setOnStartFailed([&](std::string reason) {
        reported = reason.find(std::to_string(busy.port()) + ": ") != std::string::npos;
    });
    full.server->start();
    EXPECT_TRUE(eventually([&] { return reported.load(); }));
    EXPECT_FALSE(full.advertiser->current());
}

/// The descriptor of this process's listening TCP socket on `port`, or -1.
int listeningSocketOn(std::uint16_t port) {
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
        const int fd = std::stoi(entry.path().filename().string());
        sockaddr_in6 address{};
        socklen_t length = sizeof(address);
        int listening = 0;
        socklen_t size = sizeof(int);
        if (::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0 &&
            address.sin6_family == AF_INET6 && ntohs(address.sin6_port) == port &&
            ::getsockopt(fd, SOL_SOCKET, SO_ACCEPTCONN, &listening, &size) == 0 && listening) {
            return fd;
        }
    }
    return -1;
}

TEST(HostServer, inputReachesTheSinkOnceIsReleasedWhenSilentAndStopReleasesAndLeavesFilesWhole) {
    auto& trace = diagnostics::LatencyTrace::shared();
    trace.reset();
    trace.setEnabled(true);
    Harness h([&](HostServer::Dependencies& deps) { deps.latencyTrace = &trace; });
    TestConnection conn(h.port);
    ASSERT_TRUE(conn.pair(h.server->beginPairing().code));
    EXPECT_TRUE(eventually([&] { return h.server->isConnected(); }));
    TestDatagrams phone(h.port, *conn.key);
    auto press = keyPacket(1, 0x04, true);
    press.ackRequired = true;
    phone.send(press);
    EXPECT_EQ(phone.readAck(), 1u);
    phone.send(press);  // retransmitted: acknowledged again, typed once
    EXPECT_EQ(phone.readAck(), 1u);
    conn.sendSealed(wire::FrameType::clipboardSet, wire::ClipboardBody{"héllo", true});
    // Nothing more: the dead-man release lets go of the A within about 1.75 s.
    const auto releasesOfA = [&] {
        return countLines(*h.sink, {R"("op":"key","keyCode":0,"down":false)"});
    };
    EXPECT_TRUE(eventually([&] { return releasesOfA() == 1; }, 4000ms));
    EXPECT_EQ(countLines(*h.sink, {R"("op":"key","keyCode":0,"down":true)"}), 1u);
    EXPECT_EQ(h.clipboard->texts(), std::vector<std::string>{"héllo"});
    EXPECT_EQ(countLines(*h.sink, {R"("op":"key","keyCode":9,"down":true)", "1048576"}), 1u);
    trace.setEnabled(false);
    EXPECT_TRUE(trace.summary(diagnostics::LatencyMetric::hostInject) &&
                trace.summary(diagnostics::LatencyMetric::hostRecvToInject));
    press.seq = 2;
    phone.send(press);
    ASSERT_EQ(phone.readAck(), 2u);
    conn.sendSealed(wire::FrameType::ping, wire::PingBody{1});  // a close-time touch to write
    ASSERT_TRUE(conn.readFrame());
    h.server->stop();
    const auto afterStop = h.sink->lines().size();
    EXPECT_EQ(releasesOfA(), 2u);
    EXPECT_TRUE(conn.closedByHost());
    phone.send(keyPacket(3, 0x05, true));
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(h.sink->lines().size(), afterStop);
    EXPECT_FALSE(h.advertiser->current() || h.facts->activityHeld());
    // Every write finished: the paired device is on disk, no temporary file is left.
    std::ifstream file(h.dir.path() / "paired_devices.json");
    const std::string text((std::istreambuf_iterator<char>(file)), {});
    EXPECT_NE(text.find(conn.client.id()), std::string::npos);
    for (const auto& entry : std::filesystem::directory_iterator(h.dir.path())) {
        EXPECT_EQ(entry.path().filename().string().find(".tmp."), std::string::npos);
    }
}

TEST(HostServer, crashLeftoversGoUnusableStorageStillRunsAndAnUnsavablePairingIsForgotten) {
    tarvel::testing::LogCapture log;
    Harness h(
        [](HostServer::Dependencies& deps) {
            std::ofstream(deps.dataDirectory / "paired_devices.json.tmp.Ab12Cd") << "[partial";
            std::ofstream(deps.dataDirectory / "identity") << "x";  // a file where a folder goes
            // A folder where the file belongs: every write of it fails.
            std::filesystem::create_directory(deps.dataDirectory / "paired_devices.json");
        },
        false);
    EXPECT_FALSE(std::filesystem::exists(h.dir.path() / "paired_devices.json.tmp.Ab12Cd"));
    EXPECT_TRUE(log.contains("using an ephemeral identity"));
    h.start();
    TestConnection conn(h.port);
    EXPECT_FALSE(conn.pair(h.server->beginPairing().code));
    EXPECT_TRUE(conn.closedByHost());
    EXPECT_TRUE(eventually([&] { return log.contains("its record could not be saved"); }));
    EXPECT_TRUE(eventually([&] { return h.server->snapshot().clients.empty(); }));
}

/// A slow sink, so injections are still queued when the server goes.
class SlowSink final : public injection::RecordingEventSink {
  public:
    void post(const injection::KeyboardEvent& event) override {
        std::this_thread::sleep_for(50ms);
        RecordingEventSink::post(event);
    }
    using RecordingEventSink::post;
};

TEST(HostServer, failedListenerRebindsKeepsSessionsAndDestructionFinishesQueuedInjections) {
    tarvel::testing::LogCapture log;
    auto sink = std::make_shared<SlowSink>();
    std::weak_ptr<SlowSink> watch = sink;
    {
        Harness h(
            [&](HostServer::Dependencies& deps) {
                deps.timings.restartDelay = 200ms;
                deps.eventSink = sink;
            },
            false);
        std::atomic<int> announced{0};
        h.server->setOnListening([&](std::uint16_t) { ++announced; });
        h.start();
        ASSERT_TRUE(eventually([&] { return announced.load() == 1; }));
        TestConnection conn(h.port);
        ASSERT_TRUE(conn.pair(h.server->beginPairing().code));
        const int fd = listeningSocketOn(h.port);
        ASSERT_GE(fd, 0);
        ::shutdown(fd, SHUT_RDWR);  // the pending accept fails for good
        ASSERT_TRUE(eventually([&] { return log.contains("TCP listener failed: "); }));
        ASSERT_TRUE(eventually([&] { return announced.load() == 2; }));
        TestConnection fresh(h.server->port());
        fresh.sendRaw({0x01, 0x00, 0x00, 0x00, 0x10});
        EXPECT_TRUE(fresh.readFrame());
        conn.sendSealed(wire::FrameType::ping, wire::PingBody{5});
        EXPECT_EQ(conn.readFrame().value_or(wire::TCPFrame{}).type, wire::FrameType::pong);
        TestDatagrams phone(h.port, *conn.key);
        for (std::uint64_t seq = 1; seq <= 6; ++seq) {
            auto packet = keyPacket(seq, static_cast<std::uint16_t>(0x04 + seq), true);
            packet.ackRequired = true;
            phone.send(packet);
            ASSERT_EQ(phone.readAck(), seq);
        }
        sink.reset();
        h.server.reset();  // without stop(): the destructor must drain the inject queue
    }
    // The last reference may have been a server task's, ending a moment later.
    EXPECT_TRUE(eventually([&] { return watch.expired(); }));
}

TEST(HostServer, idleFlowsExpireWithoutATickAndAForgottenPortIsHeardAgain) {
    Harness h([](HostServer::Dependencies& deps) {
        deps.timings.refresh = 50ms;
        deps.timings.udpPeerIdle = 150ms;
    });
    // Nobody connected: junk makes a flow, and the refresh alone lets it go.
    TestDatagrams stranger(h.port, wire::SymmetricKey{});
    stranger.sendRaw(wire::Bytes(36, 0x01));
    ASSERT_TRUE(eventually([&] { return h.server->udpPeerCount() == 1; }));
    EXPECT_TRUE(eventually([&] { return h.server->udpPeerCount() == 0; }, 2000ms));
    // A phone silent on UDP past the idle limit loses its flow, not its input.
    TestConnection conn(h.port);
    ASSERT_TRUE(conn.pair(h.server->beginPairing().code));
    TestDatagrams phone(h.port, *conn.key);
    for (std::uint64_t seq = 1; seq <= 2; ++seq) {
        auto packet = keyPacket(seq, 0x04, seq == 1);
        packet.ackRequired = true;
        phone.send(packet);
        ASSERT_EQ(phone.readAck(), seq);
        ASSERT_TRUE(eventually([&] { return h.server->udpPeerCount() == 0; }, 2000ms));
        conn.sendSealed(wire::FrameType::ping, wire::PingBody{seq});
        ASSERT_EQ(conn.readFrame().value_or(wire::TCPFrame{}).type, wire::FrameType::pong);
    }
    EXPECT_EQ(countLines(*h.sink, {R"("op":"key","keyCode":0)"}), 2u);
}

}  // namespace
}  // namespace tarvel::server::testing
