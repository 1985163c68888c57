// tarvel: the Tarvel host as a tray application. The icon's menu pairs
// phones, shows who is connected and who controls, forgets devices, picks
// or edits the gamepad mapping and sets the host to start at login. Quitting
// from the menu, or SIGTERM or SIGINT at logout, stops the host with nothing
// held and exits 0. Exits 2 on a bad command line and 1 when it cannot start.
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QApplication>
#include <QSocketNotifier>
#include <QSystemTrayIcon>

#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "core/base/log.hpp"
#include "core/base/version.hpp"
#include "host/app/app_shell.hpp"
#include "host/app/qt_main_queue.hpp"
#include "tools/host_setup.hpp"

namespace {

using namespace tarvel;

std::string usageText() {
    return "usage: tarvel [--data-dir DIR] [--sink x11|record:FILE|none] [--keystrokes linux|mac]\n"
           "              [--dns-sd avahi|off] [--ports FIRST-LAST]\n"
           "       tarvel --version\n" +
           std::string(tools::hostOptionsUsage);
}

int signalPipe[2] = {-1, -1};

void onSignal(int) {
    const char byte = 0;
    (void)!::write(signalPipe[1], &byte, 1);
}

/// Why input does not reach every application, or nothing when it does.
app::InjectionState injectionState(const tools::AssembledHost& host,
                                   const base::Environment& environment) {
    if (!host.injecting) {
        return {false, host.injectionProblem.empty() ? "no X display" : host.injectionProblem};
    }
    if (base::nonEmptyVariable(environment, "WAYLAND_DISPLAY")) {
        return {false, "a Wayland session: input reaches X11 applications only"};
    }
    return {true, {}};
}

}  // namespace

int main(int argc, char** argv) {
    tools::HostOptions options;
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            std::fputs(usageText().c_str(), stdout);
            return 0;
        }
        if (arg == "--version") {
            std::printf("tarvel %.*s\n", static_cast<int>(base::version().size()), base::version().data());
            return 0;
        }
        auto parsed = tools::parseHostOption(options, argc, argv, i);
        if (!parsed || !*parsed) {
            const std::string why = parsed ? parsed->error() : "unknown option: " + std::string(arg);
            std::fprintf(stderr, "tarvel: %s\n%s", why.c_str(), usageText().c_str());
            return 2;
        }
    }
    ::signal(SIGPIPE, SIG_IGN);
    QApplication application(argc, argv);
    QApplication::setApplicationName("Tarvel");
    QApplication::setQuitOnLastWindowClosed(false);  // the windows come and go; the tray stays

    // Logout sends SIGTERM: leave through the event loop so the host stops cleanly.
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, signalPipe) != 0) {
        base::logLine("cannot watch for SIGTERM; quit from the menu");
    } else {
        struct sigaction action {};
        action.sa_handler = onSignal;
        ::sigaction(SIGTERM, &action, nullptr);
        ::sigaction(SIGINT, &action, nullptr);
    }
    QSocketNotifier stopSignals(signalPipe[0], QSocketNotifier::Read);
    QObject::connect(&stopSignals, &QSocketNotifier::activated, &application, [] {
        char byte = 0;
        (void)!::read(signalPipe[0], &byte, 1);  // or the notifier fires for ever
        base::logLine("stopping on a signal");
        QCoreApplication::quit();
    });

    const auto environment = base::processEnvironment();
    auto mainQueue = std::make_shared<app::QtMainQueue>("rc.main");
    std::vector<std::string_view> arguments(argv, argv + argc);
    auto assembled = tools::assembleHost(options, environment, arguments, mainQueue, false);
    if (!assembled) {
        base::logLine(assembled.error());
        return 1;
    }
    if (!QSystemTrayIcon::isSystemTrayAvailable()) {
        base::logLine("no system tray yet: the icon appears once the desktop shows one");
    }
    std::string command = QCoreApplication::applicationFilePath().toStdString();
    app::AppShell::Setup setup{
        .server = std::exchange(assembled->server, nullptr),
        .mainQueue = mainQueue,
        .background = assembled->background,
        .defaults = assembled->defaults,
        .runtime = assembled->runtime,
        .mappingFile = assembled->mappingFile,
        .injection = injectionState(*assembled, environment),
        .loginItem = app::LoginItem(app::LoginItem::defaultDirectory(environment), command),
        .environment = environment,
        .control = assembled->control,
    };
    int exitCode = 0;
    {
        app::AppShell shell(std::move(setup));
        shell.start();
        exitCode = QApplication::exec();
        shell.stopServer();
    }
    return exitCode;
}
