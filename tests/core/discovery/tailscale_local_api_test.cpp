#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <thread>

#include "core/discovery/tailscale_local_api.hpp"
#include "core/discovery/tailscale_status.hpp"
#include "tests/fakes/temp_dir.hpp"

namespace tarvel::discovery {
namespace {

using namespace std::chrono_literals;
using testing::TempDir;
using Strings = std::vector<std::string>;

std::optional<TailscaleStatus> parse(std::string_view json) {
    return TailscaleStatus::parse(wire::asBytes(json));
}

TEST(TailscaleStatus, readsPeersSortedStablyByHostNameMistypedMembersTakeDefaultsOnlyObjectsParse) {
    // Peer keys sort opposite to host names, and two peers share a host name.
    auto status =
        parse(R"({"Self": {"DNSName": "studio.ts.net.", "TailscaleIPs": ["100.101.102.103"]},
      "Version": "1.2.3", "Peer": {
        "nodekey:1": {"HostName": "zeta", "DNSName": "zeta.ts.net.",
                      "TailscaleIPs": ["100.90.1.2", "fd7a:115c:a1e0::9"], "Online": true},
        "nodekey:2": {"HostName": "alpha", "TailscaleIPs": ["100.90.1.3"], "Online": false},
        "nodekey:3": {"HostName": "dup", "TailscaleIPs": ["100.90.1.4", "8.8.8.8"], "Online": true},
        "nodekey:4": {"HostName": "dup", "TailscaleIPs": ["100.90.1.5"], "Online": true},
        "nodekey:5": "not a peer"}})");
    ASSERT_TRUE(status);
    EXPECT_EQ(status->magicDNSName(), "studio.ts.net");
    EXPECT_EQ(status->selfIPs, Strings{"100.101.102.103"});
    ASSERT_EQ(status->peers.size(), 4u);
    EXPECT_EQ(status->peers[0], (TailscalePeer{"alpha", "", {"100.90.1.3"}, false}));
    EXPECT_EQ(status->peers[3],
              (TailscalePeer{"zeta", "zeta.ts.net.", {"100.90.1.2", "fd7a:115c:a1e0::9"}, true}));
    EXPECT_EQ(TailscaleLocalAPI::candidateEndpoints(*status, 49183),
              (Strings{"100.90.1.4:49183", "100.90.1.5:49183", "100.90.1.2:49183"}));
    status = parse(R"({"Self": {"DNSName": 7, "TailscaleIPs": ["100.64.0.1", 5]},
        "Peer": {"k": {"HostName": ["x"], "DNSName": null, "TailscaleIPs": "100.64.0.2",
                       "Online": "yes"}}})");
    ASSERT_TRUE(status);
    EXPECT_EQ(status->selfDNSName, std::nullopt);
    EXPECT_TRUE(status->selfIPs.empty());
    EXPECT_EQ(status->peers, std::vector<TailscalePeer>{TailscalePeer{}});
    EXPECT_EQ(parse(R"({"Self": [], "Peer": []})"), TailscaleStatus{});
    status->selfDNSName = "studio..";  // exactly one trailing dot goes
    EXPECT_EQ(status->magicDNSName(), "studio.");
    status->selfDNSName = ".";
    EXPECT_EQ(status->magicDNSName(), std::nullopt);
    for (const char* text :
         {"", "[]", "42", "{\"Self\":", "{} {}", "{\"Self\": {\"DNSName\": \"\xFF\"}}"}) {
        EXPECT_EQ(parse(text), std::nullopt) << text;
    }
}

/// Gives one HTTP request on 127.0.0.1 a fixed reply, or none (`hang`); every wait is bounded.
class LoopbackHTTPServer {
  public:
    LoopbackHTTPServer(int status, const std::string& body, bool hang = false) {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        auto* raw = reinterpret_cast<sockaddr*>(&address);
        if (::bind(listener_, raw, length) == 0 && ::listen(listener_, 8) == 0 &&
            ::getsockname(listener_, raw, &length) == 0) {
            port_ = ntohs(address.sin_port);
            // No Content-Length: the body ends when the connection closes.
            thread_ = std::thread(&LoopbackHTTPServer::serve, this, hang,
                                  "HTTP/1.1 " + std::to_string(status) +
                                      " Reply\r\nConnection: close\r\n\r\n" + body);
        }
    }
    ~LoopbackHTTPServer() {
        request();
        ::close(listener_);
    }
    std::string url(const std::string& path) const {
        return "http://127.0.0.1:" + std::to_string(port_) + path;
    }
    /// The head of the request, if one came; call once the client is done.
    std::optional<std::string> request() {
        ::shutdown(listener_, SHUT_RDWR);  // ends a pending accept
        if (thread_.joinable()) {
            thread_.join();
        }
        return request_;
    }

  private:
    void serve(bool hang, const std::string& reply) {
        const int client = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
        timeval wait{15, 0};  // never outlives a stuck test by much
        if (client < 0 || ::setsockopt(client, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait) != 0) {
            return;
        }
        auto& head = request_.emplace();
        char buffer[4096];
        for (ssize_t count = 0; head.find("\r\n\r\n") == std::string::npos &&
                                (count = ::recv(client, buffer, sizeof buffer, 0)) > 0;) {
            head.append(buffer, static_cast<std::size_t>(count));
        }
        hang ? (void)::recv(client, buffer, sizeof buffer, 0)
             : (void)::send(client, reply.data(), reply.size(), MSG_NOSIGNAL);
        ::close(client);
    }
    int listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    std::uint16_t port_ = 0;
    std::optional<std::string> request_;
    std::thread thread_;
};

std::string write(const TempDir& dir, const std::string& name, const std::string& text,
                  mode_t mode = 0755) {
    std::ofstream(dir / name) << text;
    ::chmod((dir / name).c_str(), mode);
    return (dir / name).string();
}

// Prints a status only when called as "status --json", with noise on stderr
// that must not reach the parsed output.
const std::string cliScript =
    "#!/bin/sh\n[ \"$#\" = 2 ] && [ \"$1\" = status ] && [ \"$2\" = --json ] || exit 3\n"
    "echo 'warning: noise' >&2\nprintf '%s' '{\"Self\":{\"DNSName\":\"via-cli.ts.net.\"}}'\n";
const std::string httpStatus = R"({"Self":{"DNSName":"via-http.ts.net."}})";

std::optional<std::string> fetched(std::string url, Strings cli, bool tailscale = true,
                                   std::size_t cap = 8192, std::chrono::milliseconds timeout = 2s) {
    LocalInterfaces interfaces([tailscale] {
        return std::vector<LocalAddress>(tailscale, {"tailscale0", "100.101.102.103", false});
    });
    const auto status =
        TailscaleLocalAPI({std::move(url), std::move(cli), std::move(interfaces), cap})
            .fetchStatus(timeout);
    return status ? status->selfDNSName : std::nullopt;
}

TEST(TailscaleLocalAPI, a200AnswerIsUsedAnythingElseFallsBackToTheFirstExecutableTool) {
    TempDir dir;
    std::filesystem::create_directory(dir / "folder");
    const Strings cli{(dir / "missing").string(), write(dir, "plain", cliScript, 0644),
                      (dir / "folder").string(), write(dir, "tool", cliScript)};
    EXPECT_EQ(fetched("", {write(dir, "failing", "#!/bin/sh\nexit 1\n"), cli[3]}, false),
              std::nullopt);
    LoopbackHTTPServer proxy(502, "");
    ::setenv("http_proxy", proxy.url("").c_str(), 1);
    const std::string big =
        R"({"Self":{"DNSName":"big."},"Pad":")" + std::string(4000, 'x') + "\"}";
    const std::tuple<int, std::string, std::size_t, std::string> rows[] = {
        {200, httpStatus, 8192, "via-http.ts.net."},
        {403, httpStatus, 8192, "via-cli.ts.net."},
        {200, "<html>", 8192, "via-cli.ts.net."},
        {200, big, 1024, "via-cli.ts.net."},
        {200, big, 8192, "big."}};
    for (const auto& [status, body, cap, expected] : rows) {
        LoopbackHTTPServer server(status, body);
        EXPECT_EQ(fetched(server.url("/localapi/v0/status"), cli, true, cap), expected)
            << status << " " << cap;
        const auto request = server.request().value_or("");
        EXPECT_EQ(request.rfind("GET /localapi/v0/status HTTP/1.1\r\n", 0), 0u) << request;
        EXPECT_NE(request.find("\r\nSec-Tailscale: localapi\r\n"), std::string::npos);
    }
    // Without a Tailscale address only the tool is asked.
    LoopbackHTTPServer server(200, httpStatus);
    EXPECT_EQ(fetched(server.url("/"), cli, false), "via-cli.ts.net.");
    EXPECT_EQ(server.request(), std::nullopt);
    ::unsetenv("http_proxy");
    EXPECT_EQ(proxy.request(), std::nullopt);
}

TEST(TailscaleLocalAPI, silentServerAndAToolIgnoringTermStayBoundedAndTheToolIsKilledAndReaped) {
    TempDir dir;
    const std::string folder = dir.path().string();
    // The grandchild holds the tool's output open after the tool dies.
    const std::string tool = write(dir, "tailscale",
                                   "#!/bin/sh\ntrap '' TERM\nsleep 30 &\necho $! > \"" + folder +
                                       "/grandchild\"\necho $$ > \"" + folder + "/pid\"\nwait\n");
    LoopbackHTTPServer server(200, httpStatus, /*hang=*/true);
    // The orphaned grandchild comes back to this process, which then reaps it.
    ASSERT_EQ(::prctl(PR_SET_CHILD_SUBREAPER, 1), 0);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(fetched(server.url("/"), {tool}, true, 8192, 300ms), std::nullopt);
    const auto elapsed = std::chrono::steady_clock::now() - start;
    EXPECT_GE(elapsed, 550ms);
    EXPECT_LT(elapsed, 3s);
    pid_t pid = -1, grandchild = -1;
    std::ifstream(dir / "pid") >> pid;
    std::ifstream(dir / "grandchild") >> grandchild;
    ASSERT_GT(pid, 0);
    EXPECT_EQ(::waitpid(pid, nullptr, WNOHANG), -1);  // reaped already
    EXPECT_EQ(::kill(pid, 0), -1);
    if (grandchild > 0 && ::kill(grandchild, SIGKILL) == 0) {
        EXPECT_EQ(::waitpid(grandchild, nullptr, 0), grandchild);
    }
    ::prctl(PR_SET_CHILD_SUBREAPER, 0);
    EXPECT_GT(grandchild, 0);
}

}  // namespace
}  // namespace tarvel::discovery
