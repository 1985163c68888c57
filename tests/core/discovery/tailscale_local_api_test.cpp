#include <gtest/gtest.h>

#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>

#include <cerrno>

#include "core/discovery/tailscale_local_api.hpp"
#include "tests/core/discovery/test_support.hpp"

namespace tarvel::discovery {
namespace {

using namespace std::chrono_literals;
using fixtures::LoopbackHTTPServer;
using fixtures::TempDir;
using Clock = std::chrono::steady_clock;

const std::string httpStatus = R"({"Self":{"DNSName":"via-http.ts.net.","TailscaleIPs":[]}})";
const std::string cliStatus = R"({"Self":{"DNSName":"via-cli.ts.net.","TailscaleIPs":[]}})";

// Prints `cliStatus` only when called as "status --json", with noise on stderr
// that must not reach the parsed output.
std::string cliScript() {
    return "#!/bin/sh\n"
           "[ \"$#\" = 2 ] && [ \"$1\" = status ] && [ \"$2\" = --json ] || exit 3\n"
           "echo 'warning: noise' >&2\n"
           "printf '%s' '" +
           cliStatus + "'\n";
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
        const std::string text = dir.read(name);
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

TEST(TailscaleLocalAPI, answerOf200IsUsedAndCarriesTheLocalAPIHeader) {
    LoopbackHTTPServer server({200, httpStatus});
    auto status = api(server.url("/localapi/v0/status"), {}).fetchStatus(2s);
    EXPECT_EQ(dnsName(status), "via-http.ts.net.");
    const auto requests = server.requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].rfind("GET /localapi/v0/status HTTP/1.1\r\n", 0), 0u) << requests[0];
    EXPECT_NE(requests[0].find("\r\nSec-Tailscale: localapi\r\n"), std::string::npos);
}

TEST(TailscaleLocalAPI, environmentProxyIsNeverUsed) {
    LoopbackHTTPServer server({200, httpStatus});
    LoopbackHTTPServer proxy({502, ""});
    ::setenv("http_proxy", proxy.url("").c_str(), 1);
    auto status = api(server.url("/localapi/v0/status"), {}).fetchStatus(2s);
    ::unsetenv("http_proxy");
    EXPECT_EQ(dnsName(status), "via-http.ts.net.");
    EXPECT_TRUE(proxy.requests().empty());
}

TEST(TailscaleLocalAPI, otherAnswersFallBackToTheTool) {
    TempDir dir;
    const std::string tool = dir.write("tailscale", cliScript());
    for (const LoopbackHTTPServer::Reply& reply :
         {LoopbackHTTPServer::Reply{403, httpStatus}, LoopbackHTTPServer::Reply{200, "<html>"},
          LoopbackHTTPServer::Reply{500, httpStatus}}) {
        LoopbackHTTPServer server(reply);
        auto status = api(server.url("/localapi/v0/status"), {tool}).fetchStatus(2s);
        EXPECT_EQ(dnsName(status), "via-cli.ts.net.") << reply.status << " " << reply.body;
        EXPECT_EQ(server.requests().size(), 1u);
    }
}

TEST(TailscaleLocalAPI, withoutTailscaleAddressOnlyTheToolIsAsked) {
    TempDir dir;
    LoopbackHTTPServer server({200, httpStatus});
    auto status = api(server.url("/"), {dir.write("tailscale", cliScript())},
                      LocalInterfaces([] { return std::vector<LocalAddress>{}; }))
                      .fetchStatus(2s);
    EXPECT_EQ(dnsName(status), "via-cli.ts.net.");
    EXPECT_TRUE(server.requests().empty());
}

TEST(TailscaleLocalAPI, bodyLargerThanTheCapIsRefused) {
    const std::string padded = R"({"Self":{"DNSName":"big."},"Pad":")" + std::string(4000, 'x') +
                               "\"}";
    LoopbackHTTPServer server({200, padded});
    EXPECT_EQ(api(server.url("/"), {}, withTailscale(), 1024).fetchStatus(2s), std::nullopt);
    EXPECT_EQ(dnsName(api(server.url("/"), {}, withTailscale(), 8192).fetchStatus(2s)), "big.");
}

TEST(TailscaleLocalAPI, toolIsTheFirstExecutableRegularFileOnly) {
    TempDir dir;
    const std::string plain = dir.write("plain", cliScript(), 0644);
    std::filesystem::create_directory(dir.path() / "folder");
    const std::string good = dir.write("good", cliScript());
    const std::string failing = dir.write("failing", "#!/bin/sh\nexit 1\n");
    const std::string missing = (dir.path() / "missing").string();

    EXPECT_EQ(dnsName(api("", {missing, plain, (dir.path() / "folder").string(), good}).runCLI(2s)),
              "via-cli.ts.net.");
    EXPECT_EQ(api("", {failing, good}).runCLI(2s), std::nullopt);
    EXPECT_EQ(api("", {missing}).runCLI(2s), std::nullopt);
    EXPECT_EQ(api("", {}, LocalInterfaces(LocalInterfaces::Source())).fetchStatus(2s),
              std::nullopt);
}

TEST(TailscaleLocalAPI, hangingToolIsKilledAndReaped) {
    TempDir dir;
    const std::string tool = dir.write("tailscale", "#!/bin/sh\necho $$ > \"" +
                                                        dir.path().string() +
                                                        "/pid\"\nexec sleep 30\n");
    const auto start = Clock::now();
    EXPECT_EQ(api("", {tool}).runCLI(300ms), std::nullopt);
    const auto elapsed = Clock::now() - start;
    EXPECT_GE(elapsed, 250ms);
    EXPECT_LT(elapsed, 3s);
    expectReaped(pidFrom(dir, "pid"));
}

TEST(TailscaleLocalAPI, toolIgnoringTermWithAGrandchildHoldingOutputIsBounded) {
    TempDir dir;
    const std::string folder = dir.path().string();
    const std::string tool = dir.write(
        "tailscale", "#!/bin/sh\ntrap '' TERM\nsleep 30 &\necho $! > \"" + folder +
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

TEST(TailscaleLocalAPI, silentServerAndHangingToolStayWithinTwoTimeouts) {
    TempDir dir;
    const std::string tool = dir.write("tailscale", "#!/bin/sh\necho $$ > \"" +
                                                        dir.path().string() +
                                                        "/pid\"\nexec sleep 30\n");
    LoopbackHTTPServer server({200, httpStatus, /*hang=*/true});
    const auto start = Clock::now();
    EXPECT_EQ(api(server.url("/"), {tool}).fetchStatus(300ms), std::nullopt);
    const auto elapsed = Clock::now() - start;
    EXPECT_GE(elapsed, 550ms);
    EXPECT_LT(elapsed, 3s);
    EXPECT_EQ(server.requests().size(), 1u);
    expectReaped(pidFrom(dir, "pid"));
}

}  // namespace
}  // namespace tarvel::discovery
