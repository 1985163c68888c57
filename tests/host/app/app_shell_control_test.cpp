// The tray application's shell serves the control socket while its server runs.
#include <gtest/gtest.h>
#include <QCoreApplication>
#include "host/app/pairing_window.hpp"
#include "host/server/control_server.hpp"
#include "tests/host/server/control_peer.hpp"
#include "tests/host/app/shell_setup.hpp"
#include "tests/host/server/server_test_support.hpp"

namespace tarvel::app {
namespace {

using namespace std::chrono_literals;
using control::testing::Peer;
using server::testing::Harness;

TEST(AppShellControl, servesTheSocketWhileRunningAndACommandsCodeOutlivesAndClosesTheWindowItReplaced) {
    auto mainQueue = std::make_shared<QtMainQueue>();
    Harness host([&](server::HostServer::Dependencies& deps) { deps.mainQueue = mainQueue; }, false);
    tarvel::testing::TempDir files;
    const auto socket = files / "control";
    control::ControlServer::Dependencies deps;
    deps.socketPath = socket;
    deps.host = host.server;
    deps.sink = "none";
    AppShell shell(testShellSetup(host.server, mainQueue, files.path(), {false, "input is discarded (--sink none)"},
                                  control::ControlServer::create(std::move(deps))));
    shell.start();
    ASSERT_TRUE(server::testing::eventually([&] { return host.server->port() != 0; }));
    const auto status = std::get<control::HostStatus>(Peer(socket).ask({control::Command::status, {}}));
    EXPECT_EQ(status.port, host.server->port());
    EXPECT_EQ(status.sink, "none");
    const auto windowShown = [&] { return shell.pairingWindow() && shell.pairingWindow()->isVisible(); };
    for (const bool userCloses : {true, false}) {
        shell.openPairingWindow();
        ASSERT_TRUE(windowShown());
        Peer command(socket);
        const auto offer = std::get<control::PairingOffer>(command.ask({control::Command::pair, {}}));
        if (userCloses) {
            // The user closes the window before it learns of the command: only
            // the window's own, replaced code may be withdrawn.
            shell.pairingWindow()->close();
            std::this_thread::sleep_for(200ms);
        } else {
            // Left alone, the window showing a dead code goes by itself (bounded).
            for (const auto deadline = std::chrono::steady_clock::now() + 3s;
                 windowShown() && std::chrono::steady_clock::now() < deadline;)
                QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
            EXPECT_FALSE(windowShown());
        }
        server::testing::TestConnection phone(host.server->port());
        EXPECT_TRUE(phone.pair(offer.code, userCloses ? "Ana" : "Bo"));
    }
    shell.stopServer();
    EXPECT_FALSE(std::filesystem::exists(socket));
    EXPECT_FALSE(Peer(socket).connected());
}

}  // namespace
}  // namespace tarvel::app
