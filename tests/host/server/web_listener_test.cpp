#include <sched.h>

#include <cstdlib>
#include <thread>

#include "host/server/web_listener.hpp"
#include "tests/host/server/server_test_support.hpp"

namespace tarvel::server::testing {
namespace {

constexpr std::uint8_t indexBody[] = {'<', 'p', '>', 'h', 'i'};
constexpr std::uint8_t indexGzip[] = {0x1f, 0x8b, 0x08, 0x00};
constexpr std::uint8_t scriptBody[] = {'x', '=', '1'};
const WebAsset testAssets[] = {
    {"/index.html", "text/html; charset=utf-8", indexBody, indexGzip, "\"abc\""},
    {"/app.js", "text/javascript; charset=utf-8", scriptBody, {}, "\"js1\""},
};

std::string header(const WebReply& reply, std::string_view name) {
    const auto found = std::ranges::find(reply.headers, name, [](const auto& h) { return h.first; });
    return found == reply.headers.end() ? "" : found->second;
}

TEST(WebRemote, answersPageRequestsWithCompressionRevalidationAndNothingElse) {
    auto get = [](std::string_view target, std::string_view etag = {},
                  std::string_view encoding = {}, std::string_view method = "GET") {
        return answerWebRequest(testAssets, method, target, etag, encoding);
    };
    const auto page = get("/?from=qr", {}, "deflate, gzip;q=0.8, br");
    EXPECT_EQ(page.status, 200);
    EXPECT_EQ(page.body.data(), indexGzip);
    EXPECT_EQ(header(page, "Content-Encoding"), "gzip");
    EXPECT_EQ(header(page, "ETag"), "\"abc-gzip\"");
    EXPECT_TRUE(header(page, "Content-Security-Policy").ends_with("connect-src 'self'"));
    const auto policyFor = [](std::string_view pageHost) {
        return header(answerWebRequest(testAssets, "GET", "/", {}, {}, pageHost), "Content-Security-Policy");
    };
    EXPECT_TRUE(policyFor("10.0.0.2:49280").ends_with("connect-src 'self' ws://10.0.0.2:49280"));
    for (auto odd : {"[fd7a::1]:49280", "10.0.0.2:49280/x", "10.0.0.2:*", "a b:1", "h:"}) {
        EXPECT_TRUE(policyFor(odd).ends_with("connect-src 'self'")) << odd;
    }
    for (auto refused : {"", "identity", "gzip;q=0", "x-gzip-ish"}) {
        const auto plain = get("/index.html", {}, refused);
        EXPECT_EQ(plain.body.data(), indexBody) << refused;
        EXPECT_EQ(header(plain, "Content-Encoding"), "") << refused;
        EXPECT_EQ(header(plain, "ETag"), "\"abc\"") << refused;
    }
    for (auto cached : {"\"abc-gzip\"", "W/\"abc-gzip\"", "\"old\", \"abc-gzip\"", "*"}) {
        const auto notModified = get("/", cached, "gzip");
        EXPECT_EQ(notModified.status, 304) << cached;
        EXPECT_TRUE(notModified.body.empty());
    }
    EXPECT_EQ(get("/", "\"abc\"", "gzip").status, 200);  // a cached copy of the other encoding
    EXPECT_EQ(get("/", "\"abc-gzip\"").status, 200);
    const auto script = get("/app.js", {}, "gzip");  // too small to compress: as it is, whatever is taken
    EXPECT_EQ(script.body.data(), scriptBody);
    EXPECT_EQ(header(script, "Content-Encoding"), "");
    EXPECT_EQ(header(script, "Content-Security-Policy"), "");
    EXPECT_EQ(get("/../index.html").status, 404);
    EXPECT_EQ(get("/app.js.map").status, 404);
    EXPECT_EQ(get("/", {}, {}, "POST").status, 405);
    EXPECT_EQ(get("/", {}, {}, "HEAD").status, 405);
}

TEST(WebRemote, takesOneFramePerMessageAndSocketsOnlyFromItsOwnPage) {
    const auto ping = *wire::TCPFrameCodec::encodePlain(0x30, wire::Bytes{'{', '}'});
    EXPECT_TRUE(isOneFrame(ping));
    auto two = ping;
    two.insert(two.end(), ping.begin(), ping.end());
    EXPECT_FALSE(isOneFrame(two));
    EXPECT_FALSE(isOneFrame(wire::ByteView(ping.data(), ping.size() - 1)));
    EXPECT_FALSE(isOneFrame(wire::Bytes{0, 0, 0, 0, 0x30}));
    EXPECT_FALSE(isOneFrame(wire::Bytes{1, 0, 0, 0}));

    const std::vector<std::string> names{"localhost", "desk", "desk.local"};
    auto upgrade = [&](std::string_view target, std::string_view origin, std::string_view host) {
        return isAllowedUpgrade(target, origin, host, names);
    };
    EXPECT_TRUE(upgrade("/ws", "", "192.168.1.5:49280"));
    EXPECT_TRUE(upgrade("/ws?v=1", "http://192.168.1.5:49280", "192.168.1.5:49280"));
    EXPECT_TRUE(upgrade("/ws", "http://Desk.local:49280", "desk.local:49280"));
    EXPECT_TRUE(upgrade("/ws", "http://[fd7a::1]:49280", "[fd7a::1]:49280"));
    EXPECT_FALSE(upgrade("/", "", "desk"));
    EXPECT_FALSE(upgrade("/ws/x", "", "desk"));
    EXPECT_FALSE(upgrade("/ws", "", ""));
    EXPECT_FALSE(upgrade("/ws", "http://evil.example", "192.168.1.5:49280"));
    EXPECT_FALSE(upgrade("/ws", "http://192.168.1.5:49281", "192.168.1.5:49280"));
    EXPECT_FALSE(upgrade("/ws", "https://192.168.1.5:49280", "192.168.1.5:49280"));
    EXPECT_FALSE(upgrade("/ws", "null", "192.168.1.5:49280"));
    // A site that rebinds its own name to the host's address is not the host.
    EXPECT_FALSE(upgrade("/ws", "http://evil.example:49280", "evil.example:49280"));
    EXPECT_FALSE(upgrade("/ws", "", "desk.evil.example:49280"));
    EXPECT_TRUE(upgrade("/ws", "", "desk.local.:49280"));

    EXPECT_EQ(webRemoteLink("192.168.1.5:49182", 49280, "123456", "ab"),
              "http://192.168.1.5:49280/#pair=123456&pk=ab");
    EXPECT_EQ(webRemoteLink("[fd7a::1]:49182", 49281, "1", "ab"), "http://[fd7a::1]:49281/#pair=1&pk=ab");
    EXPECT_EQ(webRemoteLink("fe80::2", 1, "1", "ab"), "http://[fe80::2]:1/#pair=1&pk=ab");
    EXPECT_EQ(webRemoteLink("desk", 1, "1", "ab"), "http://desk:1/#pair=1&pk=ab");
}

/// A server with the test page on a port of its own.
struct WebHarness {
    explicit WebHarness(const std::function<void(HostServer::Dependencies&)>& adjust = [](auto&) {})
        : webPort(freePortBase()), host([&](HostServer::Dependencies& deps) {
              deps.webAssets = testAssets;
              deps.firstWebPort = deps.lastWebPort = webPort;
              adjust(deps);
          }) {
        EXPECT_TRUE(eventually([&] { return host.server->webPort() == webPort; }));
    }
    std::uint16_t webPort;
    Harness host;
};

/// What a plain HTTP request gets back (everything until the host closes).
std::string fetch(std::uint16_t port, const std::string& request, const std::string& from = "127.0.0.1") {
    asio::io_context io;
    asio::ip::tcp::socket socket(io);
    std::error_code error;
    socket.open(asio::ip::tcp::v4(), error);
    socket.bind({asio::ip::make_address(from), 0}, error);
    socket.connect({asio::ip::make_address("127.0.0.1"), port}, error);
    asio::write(socket, asio::buffer(request), error);
    std::string reply;
    std::array<char, 4096> buffer{};
    const auto deadline = Clock::now() + 3000ms;
    const auto read = [&](auto done) { socket.async_read_some(asio::buffer(buffer), done); };
    for (auto got = receiveUntil(io, socket, read, deadline); got && !got->first;
         got = receiveUntil(io, socket, read, deadline)) {
        reply.append(buffer.data(), got->second);
    }
    return reply;
}

TEST(WebRemote, servesThePageAndCarriesTheProtocolOverWebSocketsClosingThoseThatBreakIt) {
    WebHarness h;
    const auto page = fetch(h.webPort, "GET / HTTP/1.1\r\nHost: x\r\nAccept-Encoding: gzip\r\n\r\n");
    EXPECT_TRUE(page.starts_with("HTTP/1.1 200")) << page;
    EXPECT_NE(page.find("Content-Encoding: gzip"), std::string::npos);
    EXPECT_TRUE(page.ends_with(std::string(std::begin(indexGzip), std::end(indexGzip))));
    const auto cached = fetch(h.webPort, "GET / HTTP/1.1\r\nHost: x\r\nIf-None-Match: \"abc\"\r\n\r\n");
    EXPECT_TRUE(cached.starts_with("HTTP/1.1 304")) << cached;

    // Another site's page in the phone's browser may not open a socket.
    TestConnection foreign(h.webPort, TestConnection::Over::webSocket, "127.0.0.1", "http://evil.example");
    EXPECT_FALSE(foreign.upgraded);

    TestConnection phone(h.webPort, TestConnection::Over::webSocket, "127.0.0.1",
                         "http://127.0.0.1:" + std::to_string(h.webPort));
    ASSERT_TRUE(phone.upgraded);
    ASSERT_TRUE(phone.pair(h.host.server->beginPairing().code));
    EXPECT_TRUE(eventually([&] { return h.host.server->isConnected(); }));
    const auto press = *phone.channel->seal(wire::FrameType::reliableInput, keyPacket(1, 4, true).plain20());
    phone.sendRaw(press);
    phone.sendSealed(wire::FrameType::ping, wire::PingBody{7});
    auto pong = phone.readFrame();
    ASSERT_TRUE(pong && pong->type == wire::FrameType::pong);
    constexpr std::string_view keyDown = R"("op":"key","keyCode":0,"down":true)";
    // The host sent each frame as a message of its own.
    EXPECT_TRUE(std::ranges::all_of(phone.messageSizes, [](auto size) { return size >= 5u; }));
    EXPECT_EQ(phone.messageSizes.size(), 3u);  // challenge, complete, pong
    EXPECT_EQ(countLines(*h.host.sink, {keyDown}), 1u);
    // The same sealed frame again fails to open under the moved-on counter:
    // the socket closes and the key is not pressed twice.
    phone.sendRaw(press);
    EXPECT_TRUE(phone.closedByHost());
    EXPECT_EQ(countLines(*h.host.sink, {keyDown}), 1u);
    EXPECT_TRUE(eventually([&] { return !h.host.server->isConnected(); }));

    // Two frames in one message, a frame cut short, text and an oversized message.
    const auto getInfo = *wire::TCPFrameCodec::encodePlain(wire::FrameType::getInfo, {});
    auto twoFrames = getInfo;
    twoFrames.insert(twoFrames.end(), getInfo.begin(), getInfo.end());
    const wire::Bytes cut(getInfo.begin(), getInfo.end() - 1);
    const wire::Bytes huge(4 + 0x10000 + 1, 0);
    using Case = std::tuple<wire::ByteView, std::uint8_t, std::uint16_t>;
    for (const auto& [message, opcode, closeCode] :
         {Case{twoFrames, 0x2, 1008}, Case{cut, 0x2, 1008}, Case{getInfo, 0x1, 1008},
          Case{huge, 0x2, 1009}}) {
        TestConnection bad(h.webPort, TestConnection::Over::webSocket);
        ASSERT_TRUE(bad.upgraded);
        bad.sendMessage(message, opcode);
        EXPECT_TRUE(bad.closedByHost()) << message.size();
        EXPECT_EQ(bad.closeCode, closeCode) << message.size();
        EXPECT_FALSE(bad.readFrame(50ms));
    }
    // The socket's own pings go unanswered: a peer that never reads cannot
    // pile pongs up in the host.
    TestConnection info(h.webPort, TestConnection::Over::webSocket);
    for (int i = 0; i < 3; ++i) {
        info.sendMessage(wire::Bytes(100, 'p'), 0x9);
    }
    info.sendRaw(getInfo);
    auto reply = info.readFrame();
    ASSERT_TRUE(reply && reply->type == wire::FrameType::infoReply);
    EXPECT_EQ(info.controlMessages, 0u);
}

TEST(WebRemote, idleConnectionsAndSocketsAreBoundedLikeControlConnections) {
    WebHarness h([](HostServer::Dependencies& deps) {
        deps.timings.handshakeIdle = 3000ms;
        deps.webLimits.requestTimeout = 2000ms;
    });
    // Evictions close at once; counting stops well before any time limit
    // could close a socket instead.
    auto closedBy = [](std::vector<std::unique_ptr<TestConnection>>& sockets, Clock::time_point deadline) {
        std::size_t closed = 0;
        for (auto& socket : sockets) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
            closed += socket->closedByHost(std::max(left, 5ms)) ? 1 : 0;
        }
        return closed;
    };
    // Hundreds of sockets that never start a handshake: the oldest make room
    // as on the control port, so at most the core's pending limit per address stays open.
    std::vector<std::unique_ptr<TestConnection>> idle;
    const auto openedAt = Clock::now();
    for (int i = 0; i < 300; ++i) {
        idle.push_back(std::make_unique<TestConnection>(h.webPort, TestConnection::Over::webSocket));
    }
    const auto closed = closedBy(idle, openedAt + 2000ms);
    EXPECT_EQ(idle.size() - closed, Limits{}.maxPendingPerAddress);
    // Connections that send no request at all: the oldest go past the
    // listener's bound, the rest when their time is up.
    std::vector<std::unique_ptr<TestConnection>> silent;
    const auto silentAt = Clock::now();
    for (int i = 0; i < 100; ++i) {
        silent.push_back(std::make_unique<TestConnection>(h.webPort));
    }
    EXPECT_EQ(closedBy(silent, silentAt + 1200ms), 100 - WebListener::Limits{}.maxPendingPerAddress);
    for (auto* sockets : {&silent, &idle}) {
        for (auto& socket : *sockets) {
            EXPECT_TRUE(socket->closedByHost(3000ms));
        }
    }
    TestConnection phone(h.webPort, TestConnection::Over::webSocket);  // served at once afterwards
    ASSERT_TRUE(phone.upgraded);
    EXPECT_TRUE(phone.pair(h.host.server->beginPairing().code));
}

TEST(WebRemote, refusesPeersOutsideTheAdmittedRangesBeforeReadingAByte) {
    // A network namespace of the test's own, where a public test address
    // (TEST-NET-3) can reach the host over its loopback device.
    std::string failure;
    bool skipped = false;
    std::thread([&] {
        if (::unshare(CLONE_NEWNET) != 0 ||
            std::system("ip link set lo up && ip addr add 203.0.113.7/32 dev lo") != 0) {
            skipped = true;
            return;
        }
        WebHarness h;
        const auto refused = fetch(h.webPort, "GET / HTTP/1.1\r\nHost: x\r\n\r\n", "203.0.113.7");
        TestConnection outsider(h.webPort, TestConnection::Over::webSocket, "203.0.113.7");
        const auto admitted = fetch(h.webPort, "GET / HTTP/1.1\r\nHost: x\r\n\r\n", "127.0.0.1");
        if (!refused.empty() || outsider.upgraded || !admitted.starts_with("HTTP/1.1 200")) {
            failure = "refused: '" + refused + "', admitted: '" + admitted + "'";
        }
    }).join();
    if (skipped && std::getenv("TARVEL_REQUIRE_DESKTOP") == nullptr) {
        GTEST_SKIP() << "no network namespace for the test (needs root)";
    }
    EXPECT_FALSE(skipped) << "no network namespace for the test";
    EXPECT_EQ(failure, "");
}

}  // namespace
}  // namespace tarvel::server::testing
