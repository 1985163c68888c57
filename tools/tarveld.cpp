// tarveld: the headless Tarvel host. Serves paired phones on the first free
// port of 49182-49192, optionally showing a pairing code, until SIGINT or
// SIGTERM, then releases everything it holds and exits 0.
#include <signal.h>
#include <unistd.h>

#include <charconv>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/base/environment.hpp"
#include "core/base/log.hpp"
#include "core/diagnostics/latency_trace.hpp"
#include "core/gamepad/gamepad_mapping_file.hpp"
#include "core/pairing/paired_store.hpp"
#include "host/injection/event_sink.hpp"
#include "host/injection/recording_event_sink.hpp"
#include "host/mapping/pad_mapping_store.hpp"
#include "host/mapping/user_defaults.hpp"
#include "host/platform/advertiser.hpp"
#include "host/platform/asio_serial_queue.hpp"
#include "host/platform/clipboard.hpp"
#include "host/platform/host_facts.hpp"
#include "host/platform/terminal_qr.hpp"
#include "host/server/host_server.hpp"

namespace {

using namespace tarvel;

constexpr std::string_view usage =
    "usage: tarveld [--data-dir DIR] [--sink record:FILE|none] [--pair] [--ports FIRST-LAST]\n";

struct Options {
    std::optional<std::filesystem::path> dataDirectory;
    std::optional<std::filesystem::path> recordFile;  // --sink record:FILE
    bool pair = false;
    std::uint16_t firstPort = server::HostServer::defaultFirstPort;
    std::uint16_t lastPort = server::HostServer::defaultLastPort;
};

std::optional<std::uint16_t> parsePort(std::string_view text) {
    unsigned value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size() || value == 0 || value > 65535) {
        return std::nullopt;
    }
    return static_cast<std::uint16_t>(value);
}

/// The options, or a message for standard error.
std::variant<Options, std::string> parse(int argc, char** argv) {
    Options options;
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        auto value = [&]() -> std::optional<std::string_view> {
            if (i + 1 >= argc) {
                return std::nullopt;
            }
            return std::string_view(argv[++i]);
        };
        if (arg == "--pair") {
            options.pair = true;
        } else if (arg == "--data-dir") {
            auto dir = value();
            if (!dir || dir->empty()) {
                return std::string("--data-dir needs a folder");
            }
            options.dataDirectory = std::filesystem::path(*dir);
        } else if (arg == "--sink") {
            auto sink = value();
            if (!sink) {
                return std::string("--sink needs record:FILE or none");
            }
            if (*sink == "none") {
                options.recordFile.reset();
            } else if (sink->starts_with("record:") && sink->size() > 7) {
                options.recordFile = std::filesystem::path(sink->substr(7));
            } else {
                return "unknown sink: " + std::string(*sink);
            }
        } else if (arg == "--ports") {
            // For tests and second instances that must not meet the default range.
            auto range = value();
            const auto dash = range ? range->find('-') : std::string_view::npos;
            auto first =
                dash != std::string_view::npos ? parsePort(range->substr(0, dash)) : std::nullopt;
            auto last =
                dash != std::string_view::npos ? parsePort(range->substr(dash + 1)) : std::nullopt;
            if (!first || !last || *first > *last) {
                return std::string("--ports needs FIRST-LAST");
            }
            options.firstPort = *first;
            options.lastPort = *last;
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

void showPairing(server::HostServer& host) {
    const auto info = host.beginPairing();
    const std::string link = info.payload.urlString();
    printLine("Pairing code: " + info.code);
    printLine("Pairing link: " + link);
    if (::isatty(STDOUT_FILENO) == 1) {
        if (auto qr = platform::encodeQR(link)) {
            const std::string drawing = platform::renderForTerminal(*qr);
            std::fwrite(drawing.data(), 1, drawing.size(), stdout);
            std::fflush(stdout);
        }
    }
}

}  // namespace

int main(int argc, char** argv) {
    auto parsed = parse(argc, argv);
    if (auto* message = std::get_if<std::string>(&parsed)) {
        if (!message->empty()) {
            std::fprintf(stderr, "tarveld: %s\n", message->c_str());
        }
        std::fputs(std::string(usage).c_str(), message->empty() ? stdout : stderr);
        return message->empty() ? 0 : 2;
    }
    const Options options = std::get<Options>(parsed);
    std::setvbuf(stdout, nullptr, _IOLBF, 0);

    // Block the stop signals before any thread starts, so every thread
    // inherits the mask and only sigwait below receives them.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    // A peer closing its connection mid-write must not end the host.
    ::signal(SIGPIPE, SIG_IGN);

    const auto environment = base::processEnvironment();
    const auto dataDirectory =
        options.dataDirectory.value_or(pairing::PairedStore::defaultDirectory(environment));

    std::shared_ptr<injection::EventSink> sink;
    std::shared_ptr<platform::Clipboard> clipboard;
    if (options.recordFile) {
        auto recorder = injection::RecordingEventSink::open(*options.recordFile);
        if (!recorder) {
            std::fprintf(stderr, "tarveld: cannot open %s: %s\n", options.recordFile->c_str(),
                         recorder.error().message().c_str());
            return 1;
        }
        sink = *recorder;
        clipboard = std::make_shared<platform::RecordingClipboard>(
            [recorder = *recorder](std::string_view line) { recorder->writeLine(line); });
    } else {
        sink = std::make_shared<injection::NullEventSink>();
        clipboard = std::make_shared<platform::RecordingClipboard>();
    }

    auto defaults = std::make_shared<mapping::UserDefaults>(
        options.dataDirectory ? *options.dataDirectory / mapping::UserDefaults::fileName
                              : mapping::UserDefaults::defaultPath(environment));
    auto mainQueue = std::make_shared<platform::AsioSerialQueue>("rc.host.main");
    auto background = std::make_shared<platform::AsioSerialQueue>("rc.host.background");

    std::vector<std::string_view> arguments(argv, argv + argc);
    auto& trace = diagnostics::LatencyTrace::shared();
    trace.setPersistCallback([defaults](bool enabled) {
        (void)defaults->setBool(mapping::UserDefaults::latencyTraceKey, enabled);
    });
    if (trace.configureFromEnvironment(
            environment, arguments,
            defaults->boolean(mapping::UserDefaults::latencyTraceKey).value_or(false))) {
        trace.startPeriodicReport(*background, std::chrono::seconds(10));
    }

    const auto mappingFile = dataDirectory / gamepad::GamepadMappingFile::fileName;
    auto runtime = mapping::makePadMappingRuntime(mappingFile, *defaults);

    server::HostServer::Dependencies dependencies;
    dependencies.dataDirectory = dataDirectory;
    dependencies.firstPort = options.firstPort;
    dependencies.lastPort = options.lastPort;
    dependencies.eventSink = sink;
    dependencies.clipboard = clipboard;
    dependencies.advertiser = std::make_shared<platform::LoggingAdvertiser>();
    dependencies.hostFacts = std::make_shared<platform::LinuxHostFacts>();
    dependencies.mainQueue = mainQueue;
    dependencies.padRuntime = runtime;
    dependencies.latencyTrace = &trace;
    auto host = server::HostServer::create(std::move(dependencies));

    // Only the main queue touches these.
    auto announced = std::make_shared<bool>(false);
    std::weak_ptr<server::HostServer> weakHost = host;
    host->setOnChange([weakHost, announced, pair = options.pair] {
        auto strong = weakHost.lock();
        if (!strong || *announced) {
            return;
        }
        // The first change is the end of start-up: both listeners are ready.
        *announced = true;
        printLine("Listening on port " + std::to_string(strong->port()));
        if (pair) {
            showPairing(*strong);
        }
    });
    host->setOnPairingCompleted([] { printLine("Pairing completed; serving the paired device."); });
    host->start();

    int received = 0;
    sigwait(&stopSignals, &received);
    base::logLine(std::string("stopping on ") + (received == SIGINT ? "SIGINT" : "SIGTERM"));
    host->stop();
    mainQueue->sync([] {});
    return 0;
}
