// The client's session against the real server over loopback: pairing, pinning
// (refusals of another host or key), reconnection after a restart.
#include <gtest/gtest.h>

#include <sys/socket.h>
#include <unistd.h>

#include <asio/read.hpp>

#include "core/security/hex.hpp"
#include "host/platform/client_session.hpp"
#include "tests/host/server/server_test_support.hpp"

namespace tarvel::server::testing {
namespace {

using client::ClientError;
using platform::ClientSession;

/// What a session reported, waited for with bounds.
struct Observed {
    std::mutex mutex;
    std::vector<client::ControlClient::Established> sessions;
    std::vector<bool> again;  // per established session
    std::vector<std::pair<ClientError, bool>> ends;

    ClientSession::Callbacks callbacks() {
        ClientSession::Callbacks callbacks;
        callbacks.established = [this](const auto& session, bool reconnected) {
            locked([&] {
                sessions.push_back(session);
                again.push_back(reconnected);
            });
        };
        callbacks.ended = [this](ClientError error, bool retrying) {
            locked([&] { ends.emplace_back(error, retrying); });
        };
        return callbacks;
    }
    void locked(const std::function<void()>& body) {
        std::lock_guard lock(mutex);
        body();
    }
    std::size_t established() {
        std::lock_guard lock(mutex);
        return sessions.size();
    }
    std::optional<std::pair<ClientError, bool>> lastEnd() {
        std::lock_guard lock(mutex);
        return ends.empty() ? std::nullopt : std::optional(ends.back());
    }
};

security::ClientDescriptor phoneIdentity() {
    return {security::LocalIdentity::generate(), "Test Phone", "TestModel"};
}

std::string loopback(std::uint16_t port) {
    return "127.0.0.1:" + std::to_string(port);
}

std::shared_ptr<ClientSession> open(Observed& seen, security::ClientDescriptor client,
                                    std::vector<std::string> endpoints, ClientSession::Start start,
                                    bool reconnect = false) {
    ClientSession::Config config{std::move(client), std::move(endpoints)};
    config.reconnect = reconnect;
    config.connectTimeout = 1000ms;
    auto session = ClientSession::create(std::move(config), std::move(start), seen.callbacks());
    session->start();
    return session;
}

TEST(ClientSession, pairsByLinkRefusesAlteredRecordsThenAuthenticatesAndDeliversEveryKindOfInputOnce) {
    Harness host;
    const auto phone = phoneIdentity();
    const auto pairing = host.server->beginPairing();
    Observed seen;
    // An unreachable endpoint first: the next one is tried.
    auto session = open(seen, phone, {"127.0.0.1:1", loopback(host.port)},
                        ClientSession::Pair{pairing.code, *security::Hex::decode(
                                                              pairing.payload.publicKeyHex)});
    ASSERT_TRUE(eventually([&] { return seen.established() == 1; }));
    const auto record = (seen.locked([] {}), seen.sessions[0].host);
    EXPECT_EQ(record.ed25519PublicKeyHex, pairing.payload.publicKeyHex);
    EXPECT_EQ(record.pairedAtUnix, record.lastConnectedUnix);
    EXPECT_EQ(record.lanEndpoints, std::vector<std::string>{loopback(host.port)}) << "the address that answered";
    session->close();
    // The record altered to name another host, or another key, is refused with its own error.
    const auto refused = [&](pairing::PairedHostRecord forged) {
        Observed other;
        auto attempt = open(other, phone, {loopback(host.port)}, ClientSession::Authenticate{forged});
        EXPECT_TRUE(eventually([&] { return other.lastEnd().has_value(); }));
        EXPECT_EQ(other.established(), 0u);
        return other.lastEnd().value_or(std::pair(ClientError::protocolError, true));
    };
    auto forged = record;
    forged.hostId = "another-host";
    EXPECT_EQ(refused(forged), std::pair(ClientError::hostKeyMismatch, false));
    forged = record;
    forged.ed25519PublicKeyHex = security::Hex::encode(security::LocalIdentity::generate().publicKey());
    EXPECT_EQ(refused(forged), std::pair(ClientError::hostNotAuthentic, false));

    auto again = open(seen, phone, {loopback(host.port)}, ClientSession::Authenticate{record});
    ASSERT_TRUE(eventually([&] { return seen.established() == 2; }));
    using Key = wire::InputEvent::Key;
    EXPECT_TRUE(again->send(Key{0x04, wire::KeyState::down, false}, wire::ModifierMask::shift));
    EXPECT_TRUE(again->send(Key{0x04, wire::KeyState::up, false}, wire::ModifierMask::shift));
    EXPECT_TRUE(again->send(wire::InputEvent::MouseMove{3, 4}, {}, wire::GesturePhase::none, true));
    EXPECT_TRUE(again->sendText("héllo"));
    EXPECT_TRUE(again->setClipboard("clip", false));
    EXPECT_EQ(again->sendText(std::string(70'000, 'a')),
              tl::unexpected(ClientSession::SendError::tooLarge));
    EXPECT_EQ(again->sendText("\xff"), tl::unexpected(ClientSession::SendError::notText));
    ASSERT_TRUE(again->settle(5000ms));
    // settle() returns once the host has taken all of it in.
    EXPECT_TRUE(eventually([&] { return countLines(*host.sink, {R"("op":"key")"}) == 2; }));
    EXPECT_TRUE(eventually([&] { return countLines(*host.sink, {R"("op":"text")", "héllo"}) == 1; }));
    EXPECT_EQ(countLines(*host.sink, {R"("op":"mouse")"}), 1u);
    EXPECT_TRUE(eventually([&] { return host.clipboard->texts() == std::vector<std::string>{"clip"}; }));
    again->close();
    EXPECT_FALSE(again->send(Key{0x05, wire::KeyState::down, false}));
    EXPECT_FALSE(again->settle(100ms));
    EXPECT_EQ(seen.lastEnd(), std::nullopt) << "close() reports nothing";
}

TEST(ClientSession, aHostPresentingAnotherKeyIsRefusedBeforeAnyConfirmationIsSent) {
    // A host that answers the request with a challenge naming its own key.
    asio::io_context io;
    asio::ip::tcp::acceptor acceptor(io, {asio::ip::make_address("127.0.0.1"), 0});
    const auto port = acceptor.local_endpoint().port();
    Observed seen;
    const auto linkKey = security::LocalIdentity::generate().publicKey();
    auto session = open(seen, phoneIdentity(), {loopback(port)},
                        ClientSession::Pair{"123456", wire::Bytes(linkKey.begin(), linkKey.end())});
    asio::ip::tcp::socket socket(io);
    acceptor.accept(socket);
    std::array<std::uint8_t, 4> length{};
    asio::read(socket, asio::buffer(length));
    wire::Bytes request(length[0] | length[1] << 8);
    asio::read(socket, asio::buffer(request));
    ASSERT_EQ(request[0], wire::FrameType::pairRequest);

    const auto impostor = security::LocalIdentity::generate();
    security::PairChallenge challenge;
    challenge.hostId = "impostor";
    challenge.hostName = "Impostor";
    challenge.osType = "macos";
    challenge.hostX25519PubHex = security::Hex::encode(security::X25519PrivateKey::generate().publicKey());
    challenge.hostEd25519PubHex = security::Hex::encode(impostor.publicKey());
    challenge.hostNonceHex = security::Hex::encode(security::Hex::random(16));
    const auto body = *wire::JSONCodec::encode(challenge);
    asio::write(socket, asio::buffer(*wire::TCPFrameCodec::encodePlain(wire::FrameType::pairChallenge, body)));

    ASSERT_TRUE(eventually([&] { return seen.lastEnd().has_value(); }));
    EXPECT_EQ(seen.lastEnd(), std::pair(ClientError::hostKeyMismatch, false));
    // The client closed without a byte more: no confirmation to guess against.
    std::array<std::uint8_t, 64> rest{};
    std::error_code error;
    EXPECT_EQ(socket.read_some(asio::buffer(rest), error), 0u);
    EXPECT_EQ(error, asio::error::eof);
}

TEST(ClientSession, reconnectsAndAuthenticatesAgainAfterTheHostRestartsAndStopsWhenRemoved) {
    tarvel::testing::TempDir data;
    std::uint16_t firstPort = 0;
    auto sameHost = [&](HostServer::Dependencies& deps) {
        deps.dataDirectory = data.path();
        if (firstPort != 0) {
            deps.firstPort = firstPort;
            deps.lastPort = static_cast<std::uint16_t>(firstPort + 4);
        }
        firstPort = deps.firstPort;
    };
    auto host = std::make_unique<Harness>(sameHost);
    const auto pairing = host->server->beginPairing();
    Observed seen;
    const auto phone = phoneIdentity();
    auto session = open(seen, phone, {loopback(host->port)},
                        ClientSession::Pair{pairing.code, std::nullopt}, true);
    ASSERT_TRUE(eventually([&] { return seen.established() == 1; }));
    const auto port = host->port;

    host.reset();
    ASSERT_TRUE(eventually([&] { return seen.lastEnd().has_value(); }));
    EXPECT_TRUE(seen.lastEnd()->second) << "a lost host is tried again";
    EXPECT_FALSE(session->send(wire::InputEvent::Key{0x04, wire::KeyState::down, false}));
    host = std::make_unique<Harness>(sameHost);
    ASSERT_EQ(host->port, port);
    ASSERT_TRUE(eventually([&] { return seen.established() == 2; }, 8000ms));
    EXPECT_EQ(seen.sessions[1].host.hostId, seen.sessions[0].host.hostId);
    EXPECT_EQ(seen.again, (std::vector<bool>{false, true}));
    EXPECT_TRUE(session->send(wire::InputEvent::Key{0x04, wire::KeyState::down, false}));
    ASSERT_TRUE(session->settle(5000ms));
    EXPECT_TRUE(eventually([&] { return countLines(*host->sink, {R"("op":"key")", R"("down":true)"}) == 1; }));

    // Removed by the host's user: over for good, no retry.
    host->server->removePairedClient(phone.identity.id());
    ASSERT_TRUE(eventually([&] {
        auto end = seen.lastEnd();
        return end && end->first == ClientError::removedByHost;
    }));
    EXPECT_FALSE(seen.lastEnd()->second);
    session->close();
}

TEST(ClientSession, closedAndDroppedWhileConnectingFreesNothingStillInUse) {
    // A listener whose queue is full: the client's connection stays pending.
    asio::io_context io;
    asio::ip::tcp::acceptor full(io, {asio::ip::make_address("127.0.0.1"), 0});
    full.listen(0);
    std::vector<int> waiting;
    for (int i = 0; i < 4; ++i) {
        waiting.push_back(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
        const auto address = full.local_endpoint();
        (void)::connect(waiting.back(), address.data(), static_cast<socklen_t>(address.size()));
    }
    for (int round = 0; round < 3; ++round) {
        Observed seen;
        auto session = open(seen, phoneIdentity(), {loopback(full.local_endpoint().port())},
                            ClientSession::Info{});
        std::this_thread::sleep_for(50ms);
        auto* raw = session.get();
        // Closed by one of its own callbacks while the owner lets go.
        session->queue()->async([raw] {
            raw->close();
            std::this_thread::sleep_for(50ms);
        });
        session.reset();
        EXPECT_FALSE(seen.lastEnd()) << "nothing is reported after close";
    }
    for (const int fd : waiting) {
        ::close(fd);
    }
}

}  // namespace
}  // namespace tarvel::server::testing
