// The tray application on the test X server with a tray host (wmdocker): the
// pairing window's QR code, read back from a screenshot, is the link the
// server issued; a phone pairs with it and appears in the menu; "Quit Tarvel"
// stops the server with nothing held.
#include <gtest/gtest.h>
#include <QAction>
#include <QApplication>
#include <QLabel>
#include <QMenu>
#include <QSystemTrayIcon>
#include <QTimer>
#include <cstdlib>
#include <filesystem>
#include <sstream>
#include "core/security/hex.hpp"
#include "host/app/pairing_window.hpp"
#include "host/platform/client_session.hpp"
#include "tests/fakes/child_process.hpp"
#include "tests/fakes/desktop_env.hpp"
#include "tests/host/app/shell_setup.hpp"
#include "tests/host/server/server_test_support.hpp"

namespace tarvel::app {
namespace {

using namespace std::chrono_literals;
using server::testing::countLines;
using server::testing::Harness;

/// Runs the event loop until `done` or the limit.
template <class Predicate>
bool spinUntil(Predicate done, std::chrono::milliseconds limit = 5000ms) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!done() && std::chrono::steady_clock::now() < deadline) QApplication::processEvents(QEventLoop::AllEvents, 20);
    return done();
}

TEST(TrayApp, theQrCodeIsTheIssuedLinkAPairedPhoneAppearsAndQuitLetsGoOfEverything) {
    TARVEL_REQUIRE_TEST_DISPLAY(display);
    const pid_t tray = testing::spawnChild({"wmdocker"}, {}, nullptr);
    ASSERT_GT(tray, 0) << "wmdocker is needed as the tray host";
    testing::ChildGuard trayGuard{tray};
    ASSERT_TRUE(spinUntil([] { return QSystemTrayIcon::isSystemTrayAvailable(); }));
    auto mainQueue = std::make_shared<QtMainQueue>();
    static constexpr std::uint8_t page[] = {'<', 'p', '>'};
    static const server::WebAsset web[] = {{"/index.html", "text/html", page, {}, "\"1\""}};
    const auto webPort = server::testing::freePortBase();
    Harness host([&](server::HostServer::Dependencies& deps) {
        deps.mainQueue = mainQueue;
        deps.webAssets = web;
        deps.firstWebPort = deps.lastWebPort = webPort;
    });
    tarvel::testing::TempDir files;
    AppShell shell(testShellSetup(host.server, mainQueue, files.path(), {true, {}}, nullptr));
    shell.start();
    shell.openPairingWindow();
    ASSERT_TRUE(spinUntil([&] { return shell.pairingWindow() && shell.pairingWindow()->isVisible(); }));
    // What a phone's camera would see, once the window has been painted.
    const auto artifacts = std::filesystem::path(TARVEL_TEST_ARTIFACTS);
    std::filesystem::create_directories(artifacts);
    const auto shot = artifacts / "pairing-window.png";
    std::optional<std::string> decoded;
    for (int attempt = 0; attempt < 20 && !decoded; ++attempt) {
        spinUntil([] { return false; }, 200ms);
        if (testing::runChild({"import", "-display", display, "-window", "root", shot.string()}, 10s)) {
            decoded = testing::runChild({"zbarimg", "-q", "--raw", shot.string()}, 10s);
        }
    }
    ASSERT_TRUE(decoded) << "no QR code in " << shot;
    // Two codes: the app's pairing link and the web remote's address.
    std::istringstream lines(*decoded);
    std::string appLink;
    std::string webLink;
    for (std::string line; std::getline(lines, line);) {
        (line.starts_with("http://") ? webLink : appLink) = line;
    }
    auto link = pairing::PairingPayload::fromURLString(appLink);
    ASSERT_TRUE(link) << *decoded;
    const auto& identity = host.server->identity();
    EXPECT_EQ(link->hostId, identity.id());
    EXPECT_EQ(link->publicKeyHex, security::Hex::encode(identity.publicKey()));
    const auto* code = shell.pairingWindow()->findChild<QLabel*>("code");
    ASSERT_NE(code, nullptr);
    EXPECT_EQ(code->text().remove(' ').toStdString(), link->code);
    EXPECT_TRUE(webLink.ends_with(":" + std::to_string(webPort) + "/#pair=" + link->code +
                                  "&pk=" + link->publicKeyHex))
        << *decoded;
    // A phone pairs from the link: the window closes and the menu names it.
    std::mutex mutex;
    bool paired = false;
    platform::ClientSession::Callbacks callbacks;
    callbacks.established = [&](const auto&, bool) {
        std::lock_guard lock(mutex);
        paired = true;
    };
    auto phone = platform::ClientSession::create(
        {{security::LocalIdentity::generate(), "Tray Phone", "Model 7"},
         {"127.0.0.1:" + std::to_string(host.port)}},
        platform::ClientSession::Pair{link->code, *security::Hex::decode(link->publicKeyHex)},
        std::move(callbacks));
    phone->start();
    ASSERT_TRUE(spinUntil([&] {
        std::lock_guard lock(mutex);
        return paired && !shell.pairingWindow()->isVisible();
    }));
    shell.rebuildMenu();
    QAction* client = shell.menu().findChild<QAction*>("clientRow");
    ASSERT_NE(client, nullptr);
    EXPECT_EQ(client->text(), "● Tray Phone (Model 7)");
    // A key held when the user quits is let go of before the server stops.
    ASSERT_TRUE(phone->send(wire::InputEvent::Key{0x04, wire::KeyState::down, false}));
    ASSERT_TRUE(phone->settle(5000ms));
    ASSERT_TRUE(spinUntil([&] { return countLines(*host.sink, {R"("op":"key")", R"("down":true)"}) == 1; }));
    QAction* quit = shell.menu().findChild<QAction*>("quitRow");
    ASSERT_NE(quit, nullptr);
    QTimer::singleShot(0, quit, &QAction::trigger);
    QTimer bound;  // the loop ends by the quit, or fails here
    bound.setSingleShot(true);
    QObject::connect(&bound, &QTimer::timeout, [] { QCoreApplication::exit(1); });
    bound.start(5000);
    EXPECT_EQ(QApplication::exec(), 0);
    bound.stop();
    EXPECT_EQ(countLines(*host.sink, {R"("op":"key")", R"("down":false)"}), 1u);
    EXPECT_FALSE(phone->send(wire::InputEvent::Key{0x05, wire::KeyState::down, false}) &&
                 phone->settle(1000ms))
        << "the server still serves after quitting";
    phone->close();
}

}  // namespace
}  // namespace tarvel::app

// Allocations the desktop's libraries keep for the life of the process,
// reached through Qt's xcb platform; none is ours. Read by LeakSanitizer.
extern "C" const char* __lsan_default_suppressions() {
    return "leak:libdbus-1.so\nleak:libfontconfig.so\nleak:libxkbcommon\n";
}

int main(int argc, char** argv) {
    // On the test X server when there is one; offscreen otherwise, where the
    // test skips (or fails when the desktop is required).
    if (const char* display = std::getenv("TARVEL_TEST_DISPLAY"); display != nullptr && *display != 0) {
        ::setenv("DISPLAY", display, 1);
        ::setenv("QT_QPA_PLATFORM", "xcb", 1);
    } else {
        ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
    }
    QApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
