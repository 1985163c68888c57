// The tray application's shell serves the control socket while its server runs.
#include <gtest/gtest.h>

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <cstring>

#include <QCoreApplication>

#include "host/app/app_shell.hpp"
#include "host/app/pairing_window.hpp"
#include "host/server/control_server.hpp"
#include "tests/host/server/server_test_support.hpp"

namespace tarvel::app {
namespace {

using namespace std::chrono_literals;
using server::testing::Harness;

/// Sends one request and reads the first answer line (bounded); `keep`
/// takes the connection instead of closing it.
std::optional<control::Answer> ask(const std::filesystem::path& path, const control::Request& request,
                                   int* keep = nullptr) {
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
    if (keep != nullptr) {
        *keep = fd;
    } else {
        ::close(fd);
    }
    auto answer = control::parseAnswer(line.substr(0, line.find('\n')));
    return answer ? std::optional(*answer) : std::nullopt;
}

/// The tray's shell around a harness host, with its control socket.
struct Tray {
    Tray() : host([&](server::HostServer::Dependencies& deps) { deps.mainQueue = mainQueue; }, false) {
        control::ControlServer::Dependencies deps;
        deps.socketPath = socket;
        deps.host = host.server;
        deps.sink = "none";
        auto defaults = std::make_shared<mapping::UserDefaults>(files / "defaults.json");
        shell = std::make_unique<AppShell>(AppShell::Setup{
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
        });
        shell->start();
    }
    bool windowShown() const { return shell->pairingWindow() && shell->pairingWindow()->isVisible(); }
    /// Runs the GUI thread's queue until `predicate` holds (bounded).
    template <class Predicate>
    bool spinUntil(Predicate predicate) {
        for (const auto deadline = std::chrono::steady_clock::now() + 3s;
             !predicate() && std::chrono::steady_clock::now() < deadline;) {
            QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        }
        return predicate();
    }

    std::shared_ptr<QtMainQueue> mainQueue = std::make_shared<QtMainQueue>();
    Harness host;
    tarvel::testing::TempDir files;
    std::filesystem::path socket = files / "control";
    std::unique_ptr<AppShell> shell;
};

TEST(AppShellControl, aCommandsCodeOutlivesTheWindowItReplacedAndClosesIt) {
    Tray tray;
    ASSERT_TRUE(server::testing::eventually([&] { return tray.host.server->port() != 0; }));
    int command = -1;
    {
        tray.shell->openPairingWindow();
        ASSERT_TRUE(tray.windowShown());
        const auto offer = ask(tray.socket, {control::Command::pair, {}}, &command);
        ASSERT_TRUE(offer && std::holds_alternative<control::PairingOffer>(*offer));
        // The user closes the window before it learns of the command: only the
        // window's own, replaced code may be withdrawn.
        tray.shell->pairingWindow()->close();
        std::this_thread::sleep_for(200ms);
        server::testing::TestConnection phone(tray.host.server->port());
        EXPECT_TRUE(phone.pair(std::get<control::PairingOffer>(*offer).code, "Ana"));
        ::close(command);
    }
    {
        tray.shell->openPairingWindow();
        ASSERT_TRUE(tray.windowShown());
        const auto offer = ask(tray.socket, {control::Command::pair, {}}, &command);
        ASSERT_TRUE(offer && std::holds_alternative<control::PairingOffer>(*offer));
        // Left alone, the window showing a dead code goes by itself.
        EXPECT_TRUE(tray.spinUntil([&] { return !tray.windowShown(); }));
        server::testing::TestConnection phone(tray.host.server->port());
        EXPECT_TRUE(phone.pair(std::get<control::PairingOffer>(*offer).code, "Bo"));
        ::close(command);
    }
    tray.shell->stopServer();
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
