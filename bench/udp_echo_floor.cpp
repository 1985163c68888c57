// The machine's floor for the input path: a plain UDP echo between two
// processes on loopback, paced like `tarvel-client bench`, reporting the
// round trip's percentiles and the echo process's CPU time per datagram.
//
//   udp_echo_floor [--events N] [--rate R]

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

int boundSocket(sockaddr_in& address) {
    const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
    address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        std::perror("udp_echo_floor: socket");
        std::exit(1);
    }
    return fd;
}

double percentile(std::vector<double>& samples, double p) {
    const auto index = static_cast<std::size_t>(p * static_cast<double>(samples.size() - 1));
    std::nth_element(samples.begin(), samples.begin() + static_cast<long>(index), samples.end());
    return samples[index];
}

}  // namespace

int main(int argc, char** argv) {
    long events = 2000;
    long rate = 500;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string_view name = argv[i];
        (name == "--events" ? events : rate) = std::strtol(argv[i + 1], nullptr, 10);
    }
    if (events < 1 || rate < 1) {
        std::fputs("usage: udp_echo_floor [--events N] [--rate R]\n", stderr);
        return 2;
    }
    sockaddr_in server{};
    const int serverFd = boundSocket(server);
    const pid_t echo = ::fork();
    if (echo == 0) {
        std::array<char, 64> buffer{};
        sockaddr_in from{};
        for (;;) {
            socklen_t length = sizeof from;
            const ssize_t n = ::recvfrom(serverFd, buffer.data(), buffer.size(), 0,
                                         reinterpret_cast<sockaddr*>(&from), &length);
            if (n == 1) {
                rusage usage{};
                ::getrusage(RUSAGE_SELF, &usage);
                const double cpu = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                                   static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
                ::sendto(serverFd, &cpu, sizeof cpu, 0, reinterpret_cast<sockaddr*>(&from), length);
                continue;
            }
            if (n > 0) {
                ::sendto(serverFd, buffer.data(), 28, 0, reinterpret_cast<sockaddr*>(&from), length);
            }
        }
    }
    sockaddr_in self{};
    const int fd = boundSocket(self);
    ::connect(fd, reinterpret_cast<sockaddr*>(&server), sizeof server);
    const auto askCPU = [&] {
        double cpu = 0;
        const char probe = 0;
        ::send(fd, &probe, 1, 0);
        ::recv(fd, &cpu, sizeof cpu, 0);
        return cpu;
    };
    const double cpuBefore = askCPU();
    std::vector<double> rtts;
    rtts.reserve(static_cast<std::size_t>(events));
    std::array<char, 36> datagram{};
    std::array<char, 64> reply{};
    const auto interval = std::chrono::nanoseconds(1'000'000'000 / rate);
    auto next = Clock::now();
    for (long i = 0; i < events; ++i) {
        next += interval;
        std::this_thread::sleep_until(next);
        // Timed as the client pipe times an acknowledgement: from the return
        // of send (on loopback the kernel has delivered it by then) to the reply.
        ::send(fd, datagram.data(), datagram.size(), 0);
        const auto sent = Clock::now();
        ::recv(fd, reply.data(), reply.size(), 0);
        rtts.push_back(std::chrono::duration<double, std::micro>(Clock::now() - sent).count());
    }
    const double cpuAfter = askCPU();
    ::kill(echo, SIGKILL);
    ::waitpid(echo, nullptr, 0);
    std::printf("udp echo round trip (us): n=%ld p50=%.1f p95=%.1f p99=%.1f max=%.1f\n", events,
                percentile(rtts, 0.50), percentile(rtts, 0.95), percentile(rtts, 0.99),
                *std::max_element(rtts.begin(), rtts.end()));
    std::printf("echo CPU: %.1f us per datagram\n",
                (cpuAfter - cpuBefore) * 1e6 / static_cast<double>(events));
    return 0;
}
