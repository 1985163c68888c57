#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include "host/server/transport.hpp"
#include "tests/host/server/server_test_support.hpp"

namespace tarvel::server {
namespace {

using testing::eventually;
using namespace std::chrono_literals;

/// Both listeners on a port the kernel picks for TCP and UDP alike.
ListenerPair bindSomewhere(platform::AsioSerialQueue& queue) {
    for (int attempt = 0; attempt < 50; ++attempt) {
        tl::expected<ListenerPair, std::error_code> pair;
        queue.sync([&] { pair = bindListeners(queue.context(), queue.context(), 0); });
        if (pair) {
            return *pair;
        }
    }
    ADD_FAILURE() << "no port could be bound";
    return {};
}

TEST(Transport, ipv4PeersAreSeenAsIPv4AddressesForTheFilter) {
    const auto mapped = asio::ip::make_address("::ffff:192.168.1.5");
    EXPECT_EQ(toNetworkHost(mapped), discovery::NetworkHost(discovery::IPv4Address{{192, 168, 1, 5}}));
    const auto host = toNetworkHost(asio::ip::make_address("fe80::1%1"));
    ASSERT_TRUE(std::holds_alternative<discovery::IPv6Address>(host));
    EXPECT_EQ(std::get<discovery::IPv6Address>(host).scopeId, 1u);
    EXPECT_EQ(discovery::NetworkFilter::hostString(toNetworkEndpoint(asio::ip::tcp::endpoint(mapped, 7000))),
              "192.168.1.5");
}

TEST(Transport, listenersShareAPortAndUdpIsSplitIntoFlowsByPeerAndARefusedFlowNeverReceives) {
    platform::AsioSerialQueue queue("rc.test.transport");
    ListenerPair pair = bindSomewhere(queue);
    // Both listeners share one port, and a port taken in full or in half fails whole.
    EXPECT_TRUE(pair.tcp->port() == pair.port && pair.udp->port() == pair.port);
    tl::expected<ListenerPair, std::error_code> second;
    queue.sync([&] { second = bindListeners(queue.context(), queue.context(), pair.port); });
    EXPECT_FALSE(second);
    asio::io_context other;
    asio::ip::udp::socket udpOnly(other, asio::ip::udp::endpoint(asio::ip::udp::v6(), 0));
    const auto udpPort = udpOnly.local_endpoint().port();
    queue.sync([&] { second = bindListeners(queue.context(), queue.context(), udpPort); });
    EXPECT_FALSE(second);
    asio::ip::tcp::acceptor probe(other);
    probe.open(asio::ip::tcp::v6());
    std::error_code error;
    probe.bind(asio::ip::tcp::endpoint(asio::ip::tcp::v6(), udpPort), error);
    EXPECT_FALSE(error) << "the TCP half of a failed pair must be released";
    const asio::ip::udp::endpoint host(asio::ip::make_address("127.0.0.1"), pair.port);
    const asio::ip::udp::endpoint any(asio::ip::udp::v4(), 0);
    asio::ip::udp::socket a(other, any), b(other, any), refused(other, any);
    const auto aPort = a.local_endpoint().port(), bPort = b.local_endpoint().port();
    const auto refusedPort = refused.local_endpoint().port();
    std::mutex mutex;
    std::map<FlowId, std::uint16_t> flowPorts;  // every flow opened, with its peer's port
    std::map<std::uint16_t, std::vector<std::size_t>> sizesByPeerPort;
    std::size_t batches = 0, largestBatch = 0;
    queue.sync([&] {
        pair.udp->start(
            [&](UdpListener& listener, std::span<const UdpListener::Datagram> batch) {
                std::lock_guard guard(mutex);
                ++batches;
                largestBatch = std::max(largestBatch, batch.size());
                for (const auto& datagram : batch) {
                    const auto peer = listener.endpoint(datagram.flow);
                    if (!peer) {
                        continue;  // forgotten earlier in this batch
                    }
                    if (datagram.isNewFlow) {
                        flowPorts[datagram.flow] = peer->port;
                        if (peer->port == refusedPort) {
                            listener.forget(datagram.flow);
                            continue;
                        }
                    }
                    sizesByPeerPort[peer->port].push_back(datagram.bytes.size());
                    if (datagram.bytes.size() == 3) {
                        listener.send(datagram.flow, datagram.bytes);  // echo the short one back
                    }
                }
            },
            {});
    });
    const auto settles = [&](auto condition) {
        return eventually([&] {
            std::lock_guard guard(mutex);
            return condition();
        });
    };
    auto flowsFrom = [&](std::uint16_t port) {
        return std::ranges::count_if(flowPorts, [&](auto& f) { return f.second == port; });
    };
    const std::string x36(36, 'x');
    refused.send_to(asio::buffer(x36), host);
    ASSERT_TRUE(settles([&] { return flowsFrom(refusedPort) == 1; }));
    refused.send_to(asio::buffer(x36), host);
    a.send_to(asio::buffer(x36), host);
    a.send_to(asio::buffer(std::string(1000, 'y')), host);  // arrives cut short
    b.send_to(asio::buffer(std::string(3, 'z')), host);
    std::array<char, 8> echo{};
    asio::ip::udp::endpoint from;
    EXPECT_EQ(std::string(echo.data(), b.receive_from(asio::buffer(echo), from)), "zzz");
    EXPECT_TRUE(settles([&] {
        return sizesByPeerPort[aPort].size() == 2 && sizesByPeerPort[bPort].size() == 1 &&
               flowsFrom(refusedPort) == 2;
    }));
    {
        std::lock_guard guard(mutex);
        EXPECT_EQ(flowPorts.size(), 4u);
        EXPECT_EQ(sizesByPeerPort[aPort], (std::vector<std::size_t>{36, UdpListener::receiveBufferSize}));
        EXPECT_TRUE(sizesByPeerPort[refusedPort].empty());
    }
    // A forgotten flow's peer opens a new one with its next datagram.
    queue.sync([&] {
        std::lock_guard guard(mutex);
        pair.udp->forget(std::ranges::find_if(flowPorts, [&](auto& f) { return f.second == aPort; })->first);
    });
    a.send_to(asio::buffer(x36), host);
    EXPECT_TRUE(settles([&] { return flowsFrom(aPort) == 2; }));
    // A burst is read in batches, not a wake-up per datagram.
    queue.sync([&] {
        std::lock_guard guard(mutex);  // on the listener's own queue: no batch runs until it returns
        batches = 0;
        for (int i = 0; i < 128; ++i) {
            b.send_to(asio::buffer(x36), host);
        }
    });
    EXPECT_TRUE(settles([&] { return sizesByPeerPort[bPort].size() == 129; }));
    {
        std::lock_guard guard(mutex);
        EXPECT_LE(batches, 128u / UdpListener::batchSize + 2);
        EXPECT_EQ(largestBatch, UdpListener::batchSize);
    }
    queue.sync([&] {
        EXPECT_EQ(pair.udp->flowCount(), 2u);  // a and b; the refused one is forgotten
        pair.tcp->cancel();
        pair.udp->cancel();
    });
}

TEST(Transport, runningOutOfDescriptorsPausesAcceptingInsteadOfSpinning) {
    int pipeFds[2];
    ASSERT_EQ(::pipe(pipeFds), 0);
    // In a child process, so the lowered descriptor limit touches nothing else.
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        asio::io_context io;
        asio::ip::tcp::acceptor acceptor(io, asio::ip::tcp::endpoint(asio::ip::address_v4::loopback(), 0));
        const std::uint16_t port = acceptor.local_endpoint().port();
        auto listener = std::make_shared<TcpListener>(std::move(acceptor));
        std::vector<std::shared_ptr<TcpConnection>> kept;
        listener->start([&](std::shared_ptr<TcpConnection> c) { kept.push_back(std::move(c)); },
                        [](std::error_code) {});
        // open() takes the lowest free number: with the limit just above it every accept fails.
        const auto lowestFree = static_cast<rlim_t>(::open("/dev/null", O_RDONLY | O_CLOEXEC));
        const rlimit limit{lowestFree + 1, lowestFree + 1};
        ::setrlimit(RLIMIT_NOFILE, &limit);
        (void)!::write(pipeFds[1], &port, sizeof port);
        io.run_for(std::chrono::milliseconds(600));
        ::_exit(0);
    }
    std::uint16_t port = 0;
    ASSERT_EQ(::read(pipeFds[0], &port, sizeof port), static_cast<ssize_t>(sizeof port));
    asio::io_context io;
    asio::ip::tcp::socket client(io);
    client.connect(asio::ip::tcp::endpoint(asio::ip::address_v4::loopback(), port));
    int status = 0;
    rusage usage{};
    pid_t done = 0;
    for (int i = 0; i < 500 && done == 0; ++i) {
        done = ::wait4(child, &status, WNOHANG, &usage);
        std::this_thread::sleep_for(10ms);
    }
    if (done == 0) {
        ::kill(child, SIGKILL);
        ::wait4(child, &status, 0, &usage);
    }
    ASSERT_NE(done, 0) << "the child did not finish";
    const auto cpu = std::chrono::seconds(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                     std::chrono::microseconds(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec);
    // A listener that re-arms at once burns the whole 600 ms.
    EXPECT_LT(cpu, 200ms);
    ::close(pipeFds[0]), ::close(pipeFds[1]);
}

}  // namespace
}  // namespace tarvel::server
