// tarveld: the headless Tarvel host. Serves paired phones on the first free
// port of 49182-49192, optionally showing a pairing code, until SIGINT or
// SIGTERM, then releases everything it holds and exits 0. Exits 2 on a bad
// command line and 1 when it cannot start (data folder, event record, ports).
// `tarveld status|devices|pair|forget` ask the running host over its control
// socket instead.
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <variant>
#include <utility>
#include <vector>

#include "core/base/data_folder.hpp"
#include "core/base/environment.hpp"
#include "core/base/log.hpp"
#include "core/base/version.hpp"
#include "core/diagnostics/latency_trace.hpp"
#include "core/gamepad/gamepad_mapping_file.hpp"
#include "host/injection/event_sink.hpp"
#include "host/injection/recording_event_sink.hpp"
#include "host/mapping/pad_mapping_store.hpp"
#include "host/mapping/user_defaults.hpp"
#include "host/platform/advertiser.hpp"
#include "host/platform/asio_serial_queue.hpp"
#include "host/platform/clipboard.hpp"
#include "host/platform/host_facts.hpp"
#include "host/platform/linux/avahi_advertiser.hpp"
#include "host/platform/linux/x11_clipboard.hpp"
#include "host/platform/linux/x11_event_sink.hpp"
#include "host/platform/terminal_qr.hpp"
#include "host/server/host_server.hpp"
#include "host/server/web_listener.hpp"
#include "tools/control_commands.hpp"
#include "tools/host_setup.hpp"

namespace {

using namespace tarvel;

std::string usageText() {
    return std::string(
               "usage: tarveld [--data-dir DIR] [--sink x11|record:FILE|none] [--keystrokes linux|mac]\n"
               "               [--dns-sd avahi|off] [--pair] [--ports FIRST-LAST]\n"
               "               [--web-ports FIRST-LAST] [--no-web] [--control-socket PATH]\n") +
           std::string(tools::controlCommandsUsage) +
           "  --pair        show a pairing code, its link and QR code, and the web remote's\n"
           "                address and QR code; Enter or SIGUSR1 for a new one\n" +
           std::string(tools::hostOptionsUsage);
}

constexpr int exitUsage = 2;
constexpr int exitStartFailed = 1;

struct Options {
    tools::HostOptions host;
    bool pair = false;
};

/// The options, or a message for standard error (empty for --help).
std::variant<Options, std::string> parse(int argc, char** argv) {
    Options options;
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        if (auto hostOption = tools::parseHostOption(options.host, argc, argv, i)) {
            if (!*hostOption) {
                return hostOption->error();
            }
        } else if (arg == "--pair") {
            options.pair = true;
        } else if (arg == "--help" || arg == "-h") {
            return std::string();
        } else {
            return "unknown option: " + std::string(arg);
        }
    }
    return options;
}

void printLine(const std::string& line) {
    std::fwrite(line.data(), 1, line.size(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

/// Calls `onLine` on a thread of its own each time standard input delivers
/// one or more lines, until end of input or destruction.
class StdinLines {
  public:
    explicit StdinLines(std::function<void()> onLine) {
        if (::pipe2(wake_.data(), O_CLOEXEC) != 0) {
            base::logLine("cannot watch standard input; use SIGUSR1 for a new code");
            return;
        }
        thread_ = std::thread([this, onLine = std::move(onLine)] { run(onLine); });
    }
    StdinLines(const StdinLines&) = delete;
    StdinLines& operator=(const StdinLines&) = delete;
    ~StdinLines() {
        if (thread_.joinable()) {
            const char byte = 0;
            (void)!::write(wake_[1], &byte, 1);
            thread_.join();
        }
        for (const int fd : wake_) {
            if (fd >= 0) {
                ::close(fd);
            }
        }
    }

  private:
    void run(const std::function<void()>& onLine) const {
        std::array<char, 256> chunk{};
        for (;;) {
            std::array<pollfd, 2> fds{pollfd{STDIN_FILENO, POLLIN, 0}, pollfd{wake_[0], POLLIN, 0}};
            if (::poll(fds.data(), fds.size(), -1) < 0) {
                if (errno == EINTR) {
                    continue;
                }
                return;
            }
            if (fds[1].revents != 0 || (fds[0].revents & POLLNVAL) != 0) {
                return;
            }
            const ssize_t n = ::read(STDIN_FILENO, chunk.data(), chunk.size());
            if (n < 0 && errno == EINTR) {
                continue;
            }
            // End of input (/dev/null, a closed pipe) or a terminal this
            // background process may not read (EIO, SIGTTIN being ignored).
            if (n <= 0) {
                return;
            }
            if (std::string_view(chunk.data(), static_cast<std::size_t>(n)).find('\n') !=
                std::string_view::npos) {
                onLine();
            }
        }
    }

    std::array<int, 2> wake_{-1, -1};
    std::thread thread_;
};

/// What the user sees of pairing. Main queue only.
class PairingDisplay {
  public:
    PairingDisplay(std::weak_ptr<server::HostServer> host, bool enabled,
                   std::shared_ptr<control::ControlServer> control)
        : host_(std::move(host)), enabled_(enabled), control_(std::move(control)) {}

    void listening(std::uint16_t port) {
        printLine("Listening on port " + std::to_string(port));
        // The first code waits for the port its link carries; a live code whose
        // port changed in a listener restart is replaced.
        if (enabled_ && !stopping_ && (!shownPort_ || (codeLive_ && *shownPort_ != port))) {
            show(port);
        }
    }

    /// Enter or SIGUSR1.
    void newCodeRequested() {
        if (!enabled_) {
            base::logLine("SIGUSR1 ignored: pairing codes are shown only with --pair");
            return;
        }
        if (shownPort_ && !stopping_) {
            show(*shownPort_);
        }
    }

    void codeEnded(server::PairingCodeEnd how) {
        if (!enabled_) {
            return;  // a code a `tarveld pair` asked for: that command reports it
        }
        codeLive_ = false;
        const std::string next = ::isatty(STDIN_FILENO) == 1
                                     ? "Press Enter (or send SIGUSR1) for a new code."
                                     : "Send SIGUSR1 for a new code.";
        switch (how) {
            case server::PairingCodeEnd::used:
                printLine("Pairing code used. " + next);
                break;
            case server::PairingCodeEnd::exhausted:
                printLine("Pairing code withdrawn after too many wrong tries. " + next);
                break;
            case server::PairingCodeEnd::notSaved:
                printLine("Pairing code spent, but the device could not be saved. " + next);
                break;
        }
    }

    void stop() { stopping_ = true; }

  private:
    void show(std::uint16_t port) {
        auto host = host_.lock();
        if (!host) {
            return;
        }
        const auto info = host->beginPairing();
        control_->pairingCodeReplaced();
        shownPort_ = port;
        codeLive_ = true;
        const std::string link = info.payload.urlString();
        printLine("Pairing code: " + info.code);
        printLine("Pairing link: " + link);
        platform::showQROnTerminal(link);
        // Bound, or given up, in the same turn of the server as the control port.
        if (const auto web = host->webRemoteLink(info)) {
            printLine("Web remote: " + *web);
            platform::showQROnTerminal(*web);
        }
    }

    std::weak_ptr<server::HostServer> host_;
    bool enabled_;
    bool stopping_ = false;
    bool codeLive_ = false;
    std::optional<std::uint16_t> shownPort_;
    std::shared_ptr<control::ControlServer> control_;
};

}  // namespace

int main(int argc, char** argv) {
    if (argc >= 2 && std::string_view(argv[1]) == "--version") {
        std::printf("tarveld %.*s\n", static_cast<int>(base::version().size()), base::version().data());
        return 0;
    }
    if (argc >= 2 && tools::isControlCommand(argv[1])) {
        return tools::runControlCommand(argc, argv, base::processEnvironment());
    }
    auto parsed = parse(argc, argv);
    if (auto* message = std::get_if<std::string>(&parsed)) {
        if (message->empty()) {
            std::fputs(usageText().c_str(), stdout);
            return 0;
        }
        std::fprintf(stderr, "tarveld: %s\n%s", message->c_str(), usageText().c_str());
        return exitUsage;
    }
    const Options options = std::get<Options>(parsed);
    std::setvbuf(stdout, nullptr, _IOLBF, 0);

    // Block the signals before any thread starts, so every thread inherits
    // the mask and only sigwait below receives them.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGUSR1);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    // A peer closing its connection mid-write must not end the host.
    ::signal(SIGPIPE, SIG_IGN);
    // Run in the background of a terminal, reading it would stop the process.
    ::signal(SIGTTIN, SIG_IGN);

    const auto environment = base::processEnvironment();
    auto mainQueue = std::make_shared<platform::AsioSerialQueue>("rc.host.main");
    std::vector<std::string_view> arguments(argv, argv + argc);
    auto assembled = tools::assembleHost(options.host, environment, arguments, mainQueue, true);
    if (!assembled) {
        base::logLine(assembled.error());
        return exitStartFailed;
    }
    auto host = std::exchange(assembled->server, nullptr);
    const auto control = assembled->control;

    // Touched only on the main queue, where every callback runs.
    auto display = std::make_shared<PairingDisplay>(host, options.pair, control);
    host->setOnListening([display](std::uint16_t port) { display->listening(port); });
    host->setOnWebListening(
        [](std::uint16_t port) { printLine("Web remote on port " + std::to_string(port)); });
    host->setOnPairingCodeEnded([display, control](server::PairingCodeEnd how) {
        display->codeEnded(how);
        control->pairingCodeEnded(how);
    });
    host->setOnPairingCompleted([control] {
        printLine("Pairing completed; serving the paired device.");
        control->pairingCompleted();
    });

    // Start-up failure wakes the signal loop below with a signal of its own.
    auto startFailed = std::make_shared<std::atomic<bool>>(false);
    // The server has already said which ports failed and why, in one line.
    host->setOnStartFailed([startFailed, mainThread = ::pthread_self()](const std::string&) {
        startFailed->store(true);
        ::pthread_kill(mainThread, SIGTERM);
    });
    host->start();
    // Without it the host still serves phones; the line says why.
    if (auto listening = control->start(); !listening) {
        base::logLine(listening.error());
    }

    std::optional<StdinLines> enterKey;
    if (options.pair) {
        enterKey.emplace(
            [mainQueue, display] { mainQueue->async([display] { display->newCodeRequested(); }); });
    }

    int exitCode = 0;
    for (;;) {
        int received = 0;
        if (sigwait(&signals, &received) != 0) {
            continue;
        }
        if (received == SIGUSR1) {
            mainQueue->async([display] { display->newCodeRequested(); });
            continue;
        }
        if (startFailed->load()) {
            exitCode = exitStartFailed;
        } else {
            base::logLine(std::string("stopping on ") +
                          (received == SIGINT ? "SIGINT" : "SIGTERM"));
        }
        break;
    }
    enterKey.reset();
    mainQueue->sync([display] { display->stop(); });
    control->stop();
    host->stop();
    mainQueue->sync([] {});
    // The server's threads end before main returns and statics go.
    std::weak_ptr<server::HostServer> gone = host;
    host.reset();
    for (int i = 0; i < 200 && !gone.expired(); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return exitCode;
}
