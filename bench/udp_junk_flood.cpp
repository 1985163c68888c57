// Junk for the host's UDP port: 36-byte random datagrams from many source
// ports on loopback, at a target rate, for the flood part of
// bench/client_vs_echo. Prints how many it sent.
//
//   udp_junk_flood --port P [--rate R] [--seconds S] [--sources N]

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string_view>
#include <thread>
#include <vector>

int main(int argc, char** argv) {
    long port = 0;
    long rate = 600'000;
    long seconds = 10;
    long sources = 512;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string_view name = argv[i];
        const long value = std::strtol(argv[i + 1], nullptr, 10);
        if (name == "--port") {
            port = value;
        } else if (name == "--rate") {
            rate = value;
        } else if (name == "--seconds") {
            seconds = value;
        } else if (name == "--sources") {
            sources = value;
        }
    }
    if (port < 1 || port > 65535 || rate < 1 || seconds < 1 || sources < 1 || sources > 4096) {
        std::fputs("usage: udp_junk_flood --port P [--rate R] [--seconds S] [--sources N]\n",
                   stderr);
        return 2;
    }
    sockaddr_in target{};
    target.sin_family = AF_INET;
    target.sin_port = htons(static_cast<std::uint16_t>(port));
    target.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    std::vector<int> sockets;
    for (long i = 0; i < sources; ++i) {
        const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK, 0);
        if (fd < 0 || ::connect(fd, reinterpret_cast<sockaddr*>(&target), sizeof target) != 0) {
            std::perror("udp_junk_flood: socket");
            return 1;
        }
        sockets.push_back(fd);
    }
    constexpr std::size_t burst = 64;
    std::array<std::array<std::uint8_t, 36>, burst> payloads{};
    std::array<iovec, burst> vectors{};
    std::array<mmsghdr, burst> headers{};
    std::mt19937_64 random(42);
    for (std::size_t i = 0; i < burst; ++i) {
        for (auto& byte : payloads[i]) {
            byte = static_cast<std::uint8_t>(random());
        }
        payloads[i][0] = 1;  // the right version: only the tags refuse it
        vectors[i] = iovec{payloads[i].data(), payloads[i].size()};
        headers[i].msg_hdr.msg_iov = &vectors[i];
        headers[i].msg_hdr.msg_iovlen = 1;
    }
    using Clock = std::chrono::steady_clock;
    const auto start = Clock::now();
    const auto end = start + std::chrono::seconds(seconds);
    long long sent = 0;
    std::size_t next = 0;
    while (Clock::now() < end) {
        const auto elapsed = std::chrono::duration<double>(Clock::now() - start).count();
        const auto due = static_cast<long long>(elapsed * static_cast<double>(rate));
        if (sent >= due) {
            std::this_thread::sleep_for(std::chrono::microseconds(200));
            continue;
        }
        for (auto& payload : payloads) {
            ++payload[35];
        }
        const int fd = sockets[next++ % sockets.size()];
        const int n = ::sendmmsg(fd, headers.data(), burst, 0);
        sent += n > 0 ? n : 0;
    }
    std::printf("junk sent: %lld datagrams from %ld ports in %ld s\n", sent, sources, seconds);
    for (const int fd : sockets) {
        ::close(fd);
    }
    return 0;
}
