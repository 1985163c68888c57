// The tray application's shell serves the control socket while its server runs.
#include <gtest/gtest.h>

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <cstring>

#include "host/app/app_shell.hpp"
#include "host/server/control_server.hpp"
#include "tests/host/server/server_test_support.hpp"

namespace tarvel::app {
namespace {

using namespace std::chrono_literals;
using server::testing::Harness;

/// Sends one request and reads the first answer line (bounded).
std::optional<control::Answer> ask(const std::filesystem::path& path, const control::Request& request) {
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, path.c_str(), path.native().size());
    std::string line;
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0) {
        const auto bytes = control::encodeRequest(request);
        (void)!::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
        for (char c = 0; line.find('\n') == std::string::npos;) {
            pollfd pfd{fd, POLLIN, 0};
            if (::poll(&pfd, 1, 3000) <= 0 || ::read(fd, &c, 1) != 1) {
                break;
            }
            line += c;
        }
    }
    ::close(fd);
    auto answer = control::parseAnswer(line.substr(0, line.find('\n')));
    return answer ? std::optional(*answer) : std::nullopt;
}

TEST(AppShellControl, answersStatusWhileRunningAndRemovesTheSocketWhenStopped) {
    auto mainQueue = std::make_shared<QtMainQueue>();
    Harness host([&](server::HostServer::Dependencies& deps) { deps.mainQueue = mainQueue; }, false);
    tarvel::testing::TempDir files;
    const auto socket = files / "control";
    control::ControlServer::Dependencies deps;
    deps.socketPath = socket;
    deps.host = host.server;
    deps.sink = "none";
    auto defaults = std::make_shared<mapping::UserDefaults>(files / "defaults.json");
    AppShell::Setup setup{
        .server = host.server,
        .mainQueue = mainQueue,
        .background = std::make_shared<platform::AsioSerialQueue>("rc.test.background"),
        .defaults = defaults,
        .runtime = mapping::makePadMappingRuntime(files / "mapping.json", *defaults),
        .mappingFile = files / "mapping.json",
        .injection = {false, "input is discarded (--sink none)"},
        .loginItem = LoginItem(files / "autostart", "/usr/bin/tarvel"),
        .environment = [](std::string_view name) -> std::optional<std::string> {
            return name == "TVL_BENCH" ? std::optional<std::string>("1") : std::nullopt;
        },
        .control = control::ControlServer::create(std::move(deps)),
    };
    AppShell shell(std::move(setup));
    shell.start();
    ASSERT_TRUE(server::testing::eventually([&] { return host.server->port() != 0; }));
    const auto status = ask(socket, {control::Command::status, {}});
    ASSERT_TRUE(status && std::holds_alternative<control::HostStatus>(*status));
    EXPECT_EQ(std::get<control::HostStatus>(*status).port, host.server->port());
    EXPECT_EQ(std::get<control::HostStatus>(*status).sink, "none");

    shell.stopServer();
    EXPECT_FALSE(std::filesystem::exists(socket));
    EXPECT_FALSE(ask(socket, {control::Command::status, {}}));
}

}  // namespace
}  // namespace tarvel::app
