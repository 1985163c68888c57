#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/un.h>

#include <atomic>
#include <cstring>
#include <fstream>

#include "host/server/control_server.hpp"
#include "tests/host/server/control_peer.hpp"
#include "tests/host/server/server_test_support.hpp"

namespace tarvel::control {
namespace {

using testing::Peer;
using server::testing::eventually;
using server::testing::Harness;
using server::testing::TestConnection;

/// A control server over a harness's host, wired as the owners wire it.
struct Served {
    explicit Served(Harness& h, const std::function<void(ControlServer::Dependencies&)>& adjust =
                                    [](ControlServer::Dependencies&) {})
        : path(h.dir.path() / "run" / "control") {
        ControlServer::Dependencies deps;
        deps.socketPath = path;
        deps.host = h.server;
        deps.sink = "record";
        deps.injecting = true;
        adjust(deps);
        server = ControlServer::create(std::move(deps));
        h.server->setOnPairingCompleted([s = server] { s->pairingCompleted(); });
        h.server->setOnPairingCodeEnded([s = server](server::PairingCodeEnd how) { s->pairingCodeEnded(how); });
        started = server->start();
    }
    ~Served() { server->stop(); }
    std::filesystem::path path;
    std::shared_ptr<ControlServer> server;
    tl::expected<void, std::string> started;
};

TEST(ControlServer, answersStatusDevicesAndForgetKeepsALiveSocketReplacesAStaleOneAndRefusesUnsafePlaces) {
    Harness h;
    Served served(h);
    ASSERT_TRUE(served.started) << served.started.error();
    struct stat info {};
    ASSERT_EQ(::stat(served.path.parent_path().c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0700u);

    TestConnection phone(h.port);
    ASSERT_TRUE(phone.pair(h.server->beginPairing().code, "Ana"));
    ASSERT_TRUE(eventually([&] { return h.server->isConnected(); }));
    auto status = std::get<HostStatus>(Peer(served.path).ask({Command::status, {}}));
    EXPECT_EQ(status.name, h.server->snapshot().hostName);
    EXPECT_EQ(status.controlledBy, "Ana");
    EXPECT_EQ(status.pairedDevices, 1u);

    const auto devices = std::get<std::vector<Device>>(Peer(served.path).ask({Command::devices, {}}));
    ASSERT_EQ(devices.size(), 1u);
    EXPECT_EQ(devices[0].name, "Ana");
    EXPECT_TRUE(devices[0].online && devices[0].controlling);

    const auto forgotten = std::get<Forgotten>(Peer(served.path).ask({Command::forget, "Ana"}));
    EXPECT_EQ(forgotten.device.id, devices[0].id);
    EXPECT_TRUE(phone.closedByHost());
    EXPECT_TRUE(eventually([&] { return h.server->snapshot().clients.empty(); }));

    served.server->stop();
    EXPECT_FALSE(std::filesystem::exists(served.path));
    // A host that died leaves its file behind, and nothing answers there.
    {
        const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::memcpy(address.sun_path, served.path.c_str(), served.path.native().size());
        ASSERT_EQ(::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
        ::close(fd);
    }
    {
        Served again(h);
        ASSERT_TRUE(again.started) << again.started.error();
        EXPECT_TRUE(std::holds_alternative<HostStatus>(Peer(again.path).ask({Command::status, {}})));
    }
    std::ofstream(served.path) << "not a socket";
    {
        Served blocked(h);
        ASSERT_FALSE(blocked.started);
        EXPECT_NE(blocked.started.error().find("is not a socket"), std::string::npos);
    }
    std::filesystem::remove(served.path);
    std::filesystem::permissions(served.path.parent_path(), std::filesystem::perms::others_write,
                                 std::filesystem::perm_options::add);
    Served open(h);
    ASSERT_FALSE(open.started);
    EXPECT_NE(open.started.error().find("is not private to this user"), std::string::npos);
}

TEST(ControlServer, pairReportsTheNewDeviceAndAClosedReplacedOrExhaustedCodeEnds) {
    Harness h;
    Served served(h);
    ASSERT_TRUE(served.started);
    {
        Peer waiting(served.path);
        const auto offer = std::get<PairingOffer>(waiting.ask({Command::pair, {}}));
        TestConnection phone(h.port);
        ASSERT_TRUE(phone.pair(offer.code, "Ana"));
        const auto paired = waiting.next();
        ASSERT_TRUE(paired);
        EXPECT_EQ(std::get<Paired>(*paired).device.name, "Ana");
        EXPECT_TRUE(waiting.closedByHost());
    }
    {
        Peer first(served.path);
        const auto replaced = std::get<PairingOffer>(first.ask({Command::pair, {}}));
        Peer second(served.path);
        ASSERT_TRUE(std::holds_alternative<PairingOffer>(second.ask({Command::pair, {}})));
        EXPECT_EQ(first.next(), Answer(PairingEnded{PairingEnd::replaced}));
        // The owner shows a code of its own: the command's code is gone.
        served.server->pairingCodeReplaced();
        EXPECT_EQ(second.next(), Answer(PairingEnded{PairingEnd::replaced}));
        EXPECT_FALSE(TestConnection(h.port).pair(replaced.code, "Late"));
    }
    {
        // The owner shows a code of its own while the command closes, before
        // the owner's notice arrives: the owner's code stays.
        std::atomic<int> taken = 0;
        served.server->setOnCodeTaken([&] { ++taken; });
        auto leaving = std::make_unique<Peer>(served.path);
        ASSERT_TRUE(std::holds_alternative<PairingOffer>(leaving->ask({Command::pair, {}})));
        EXPECT_EQ(taken, 1);
        served.server->setOnCodeTaken({});
        const auto owners = h.server->beginPairing().code;
        leaving.reset();
        std::this_thread::sleep_for(200ms);
        served.server->pairingCodeReplaced();
        std::this_thread::sleep_for(100ms);
        EXPECT_TRUE(TestConnection(h.port).pair(owners, "Owner's"));
    }
    Peer guessed(served.path);
    const auto code = std::get<PairingOffer>(guessed.ask({Command::pair, {}})).code;
    const std::string wrong = code == "000000" ? "111111" : "000000";
    // News of the owner's code, late: it is not this command's pairing.
    served.server->pairingCodeEnded(server::PairingCodeEnd::used);
    served.server->pairingCompleted();
    for (int i = 0; i < 5; ++i) {
        EXPECT_FALSE(TestConnection(h.port).pair(wrong, "Guess"));
    }
    EXPECT_EQ(guessed.next(), Answer(PairingEnded{PairingEnd::exhausted}));
    EXPECT_EQ(h.server->snapshot().clients.size(), 2u);
}

TEST(ControlServer, refusesOtherUsersGarbageOversizedIdleAndExcessClients) {
    Harness h;
    {
        Served strangers(h, [](ControlServer::Dependencies& deps) { deps.allowedUid = ::getuid() + 1; });
        ASSERT_TRUE(strangers.started);
        Peer stranger(strangers.path);
        ASSERT_TRUE(stranger.connected());
        stranger.send(encodeRequest({Command::status, {}}));
        EXPECT_FALSE(stranger.next());
        EXPECT_TRUE(stranger.closedByHost());
    }
    Served served(h, [](ControlServer::Dependencies& deps) {
        // Long enough that the held clients below outlast a loaded machine's admissions.
        deps.requestDeadline = 1s;
        deps.maxClients = 3;
    });
    ASSERT_TRUE(served.started);
    for (const std::string& bytes : {std::string("\x00\xff{\n", 4), std::string("{\"command\":\"halt\"}\n"),
                                     std::string(maxRequestBytes + 10, 'x')}) {
        Peer peer(served.path);
        peer.send(bytes);
        const auto answer = peer.next();
        ASSERT_TRUE(answer);
        EXPECT_EQ(std::get<Error>(*answer).failure, Failure::badRequest);
        EXPECT_TRUE(peer.closedByHost());
    }
    {
        Peer idle(served.path);
        idle.send(R"({"command":)");
        const auto answer = idle.next();
        ASSERT_TRUE(answer);
        EXPECT_EQ(std::get<Error>(*answer).failure, Failure::timeout);
        EXPECT_TRUE(idle.closedByHost());
    }
    {
        std::vector<std::unique_ptr<Peer>> held;
        for (int i = 0; i < 3; ++i) {
            held.push_back(std::make_unique<Peer>(served.path));
        }
        Peer extra(served.path);
        extra.send(encodeRequest({Command::status, {}}));
        const auto busy = extra.next();
        ASSERT_TRUE(busy);
        EXPECT_EQ(std::get<Error>(*busy).failure, Failure::busy);
    }
    // Those slots free again once their holders go.
    EXPECT_TRUE(eventually([&] {
        return std::holds_alternative<HostStatus>(Peer(served.path).ask({Command::status, {}}));
    }));
}

}  // namespace
}  // namespace tarvel::control
