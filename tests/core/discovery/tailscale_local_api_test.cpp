#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <fstream>
#include <mutex>
#include <thread>

#include "core/discovery/tailscale_local_api.hpp"
#include "tests/fakes/temp_dir.hpp"

namespace tarvel::discovery {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using testing::TempDir;

/// A one-thread HTTP server on 127.0.0.1 that answers every request with one
/// fixed reply, or holds the connection open without answering. Every wait is
/// bounded; the destructor stops and joins.
class LoopbackHTTPServer {
  public:
    struct Reply {
        int status = 200;
        std::string body;
        bool hang = false;
    };

    explicit LoopbackHTTPServer(Reply reply) : reply_(std::move(reply)) {
        listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        if (listener_ >= 0 &&
            ::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
            ::listen(listener_, 8) == 0 &&
            ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
            port_ = ntohs(address.sin_port);
            thread_ = std::thread([this] { serve(); });
        }
    }
    ~LoopbackHTTPServer() {
        stop_ = true;
        if (thread_.joinable()) {
            thread_.join();
        }
        ::close(listener_);
    }

    std::string url(const std::string& path) const {
        return "http://127.0.0.1:" + std::to_string(port_) + path;
    }
    std::vector<std::string> requests() const {
        std::lock_guard lock(mutex_);
        return requests_;
    }

  private:
    bool readable(int fd, Clock::time_point until) const {
        while (!stop_ && Clock::now() < until) {
            pollfd ready{fd, POLLIN, 0};
            if (::poll(&ready, 1, 50) > 0) {
                return true;
            }
        }
        return false;
    }

    void serve() {
        const auto end = Clock::now() + 15s;  // never outlives a stuck test by much
        while (readable(listener_, end)) {
            const int client = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
            if (client < 0) {
                continue;
            }
            std::string head;
            char buffer[4096];
            while (head.find("\r\n\r\n") == std::string::npos && head.size() < 65536 &&
                   readable(client, Clock::now() + 2s)) {
                const ssize_t count = ::recv(client, buffer, sizeof buffer, 0);
                if (count <= 0) {
                    break;
                }
                head.append(buffer, static_cast<std::size_t>(count));
            }
            {
                std::lock_guard lock(mutex_);
                requests_.push_back(head);
            }
            if (reply_.hang) {
                readable(client, end);  // until the client gives up or the test ends
            } else {
                // No Content-Length: the body ends when the connection closes.
                const std::string response = "HTTP/1.1 " + std::to_string(reply_.status) +
                                             " Reply\r\nConnection: close\r\n\r\n" + reply_.body;
                (void)::send(client, response.data(), response.size(), MSG_NOSIGNAL);
            }
            ::close(client);
        }
    }

    Reply reply_;
    int listener_ = -1;
    std::uint16_t port_ = 0;
    std::atomic<bool> stop_{false};
    mutable std::mutex mutex_;
    std::vector<std::string> requests_;
    std::thread thread_;
};

const std::string httpStatus = R"({"Self":{"DNSName":"via-http.ts.net.","TailscaleIPs":[]}})";
const std::string cliStatus = R"({"Self":{"DNSName":"via-cli.ts.net.","TailscaleIPs":[]}})";

std::string write(const TempDir& dir, const std::string& name, const std::string& text,
                  mode_t mode = 0755) {
    const auto file = dir / name;
    std::ofstream(file) << text;
    ::chmod(file.c_str(), mode);
    return file.string();
}

// Prints `cliStatus` only when called as "status --json", with noise on stderr
// that must not reach the parsed output.
std::string cliScript() {
    return "#!/bin/sh\n"
           "[ \"$#\" = 2 ] && [ \"$1\" = status ] && [ \"$2\" = --json ] || exit 3\n"
           "echo 'warning: noise' >&2\n"
           "printf '%s' '" +
           cliStatus + "'\n";
}

// A tool that writes its PID to "pid" and then hangs.
std::string hangingScript(const TempDir& dir) {
    return "#!/bin/sh\necho $$ > \"" + dir.path().string() + "/pid\"\nexec sleep 30\n";
}

LocalInterfaces withTailscale() {
    return LocalInterfaces([] {
        return std::vector<LocalAddress>{{"tailscale0", "100.101.102.103", false}};
    });
}

std::optional<std::string> dnsName(const std::optional<TailscaleStatus>& status) {
    return status ? status->selfDNSName : std::nullopt;
}

TailscaleLocalAPI api(std::string url, std::vector<std::string> cli,
                      LocalInterfaces interfaces = withTailscale(),
                      std::size_t maxOutput = TailscaleLocalAPI::defaultMaxOutputBytes) {
    return TailscaleLocalAPI({std::move(url), std::move(cli), std::move(interfaces), maxOutput});
}

// The PID a script wrote, once it is there (bounded wait).
pid_t pidFrom(const TempDir& dir, const std::string& name) {
    for (int i = 0; i < 100; ++i) {
        std::ifstream in(dir / name);
        const std::string text(std::istreambuf_iterator<char>(in), {});
        if (!text.empty() && text.back() == '\n') {
            return static_cast<pid_t>(std::stol(text));
        }
        std::this_thread::sleep_for(10ms);
    }
    return -1;
}

void expectReaped(pid_t pid) {
    ASSERT_GT(pid, 0);
    errno = 0;
    EXPECT_EQ(::waitpid(pid, nullptr, WNOHANG), -1);
    EXPECT_EQ(errno, ECHILD);
    errno = 0;
    EXPECT_EQ(::kill(pid, 0), -1);
    EXPECT_EQ(errno, ESRCH);
}

TEST(TailscaleLocalAPI, answerOf200IsUsedCarriesTheHeaderAndBypassesProxies) {
    LoopbackHTTPServer server({200, httpStatus});
    LoopbackHTTPServer proxy({502, ""});
    ::setenv("http_proxy", proxy.url("").c_str(), 1);
    auto status = api(server.url("/localapi/v0/status"), {}).fetchStatus(2s);
    ::unsetenv("http_proxy");
    EXPECT_EQ(dnsName(status), "via-http.ts.net.");
    EXPECT_TRUE(proxy.requests().empty());
    const auto requests = server.requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].rfind("GET /localapi/v0/status HTTP/1.1\r\n", 0), 0u) << requests[0];
    EXPECT_NE(requests[0].find("\r\nSec-Tailscale: localapi\r\n"), std::string::npos);
}

TEST(TailscaleLocalAPI, otherAnswersOrNoTailscaleAddressFallBackToTheTool) {
    TempDir dir;
    const std::string tool = write(dir, "tailscale", cliScript());
    for (const LoopbackHTTPServer::Reply& reply :
         {LoopbackHTTPServer::Reply{403, httpStatus}, LoopbackHTTPServer::Reply{200, "<html>"},
          LoopbackHTTPServer::Reply{500, httpStatus}}) {
        LoopbackHTTPServer server(reply);
        auto status = api(server.url("/localapi/v0/status"), {tool}).fetchStatus(2s);
        EXPECT_EQ(dnsName(status), "via-cli.ts.net.") << reply.status << " " << reply.body;
        EXPECT_EQ(server.requests().size(), 1u);
    }
    // Without a Tailscale address only the tool is asked.
    LoopbackHTTPServer server({200, httpStatus});
    auto status =
        api(server.url("/"), {tool}, LocalInterfaces([] { return std::vector<LocalAddress>{}; }))
            .fetchStatus(2s);
    EXPECT_EQ(dnsName(status), "via-cli.ts.net.");
    EXPECT_TRUE(server.requests().empty());
}

TEST(TailscaleLocalAPI, bodyLargerThanTheCapIsRefused) {
    const std::string padded =
        R"({"Self":{"DNSName":"big."},"Pad":")" + std::string(4000, 'x') + "\"}";
    LoopbackHTTPServer server({200, padded});
    EXPECT_EQ(api(server.url("/"), {}, withTailscale(), 1024).fetchStatus(2s), std::nullopt);
    EXPECT_EQ(dnsName(api(server.url("/"), {}, withTailscale(), 8192).fetchStatus(2s)), "big.");
}

TEST(TailscaleLocalAPI, toolIsTheFirstExecutableRegularFileOnly) {
    TempDir dir;
    const std::string plain = write(dir, "plain", cliScript(), 0644);
    std::filesystem::create_directory(dir / "folder");
    const std::string good = write(dir, "good", cliScript());
    const std::string failing = write(dir, "failing", "#!/bin/sh\nexit 1\n");
    const std::string missing = (dir / "missing").string();

    EXPECT_EQ(dnsName(api("", {missing, plain, (dir / "folder").string(), good}).runCLI(2s)),
              "via-cli.ts.net.");
    EXPECT_EQ(api("", {failing, good}).runCLI(2s), std::nullopt);
    EXPECT_EQ(api("", {missing}).runCLI(2s), std::nullopt);
}

TEST(TailscaleLocalAPI, silentServerAndHangingToolStayWithinTwoTimeoutsAndTheToolIsReaped) {
    TempDir dir;
    const std::string tool = write(dir, "tailscale", hangingScript(dir));
    LoopbackHTTPServer server({200, httpStatus, /*hang=*/true});
    const auto start = Clock::now();
    EXPECT_EQ(api(server.url("/"), {tool}).fetchStatus(300ms), std::nullopt);
    const auto elapsed = Clock::now() - start;
    EXPECT_GE(elapsed, 550ms);
    EXPECT_LT(elapsed, 3s);
    EXPECT_EQ(server.requests().size(), 1u);
    expectReaped(pidFrom(dir, "pid"));
}

TEST(TailscaleLocalAPI, toolIgnoringTermWithAGrandchildHoldingOutputIsBounded) {
    TempDir dir;
    const std::string folder = dir.path().string();
    const std::string tool = write(dir, "tailscale",
                                   "#!/bin/sh\ntrap '' TERM\nsleep 30 &\necho $! > \"" + folder +
                                       "/grandchild\"\necho $$ > \"" + folder + "/pid\"\nwait\n");
    // The orphaned grandchild comes back to this process, which then reaps it.
    ASSERT_EQ(::prctl(PR_SET_CHILD_SUBREAPER, 1), 0);
    const auto start = Clock::now();
    EXPECT_EQ(api("", {tool}).runCLI(300ms), std::nullopt);
    EXPECT_LT(Clock::now() - start, 3s);
    expectReaped(pidFrom(dir, "pid"));
    const pid_t grandchild = pidFrom(dir, "grandchild");
    if (grandchild > 0 && ::kill(grandchild, SIGKILL) == 0) {
        EXPECT_EQ(::waitpid(grandchild, nullptr, 0), grandchild);
    }
    ::prctl(PR_SET_CHILD_SUBREAPER, 0);
    EXPECT_GT(grandchild, 0);
}

}  // namespace
}  // namespace tarvel::discovery
