#include "tools/host_setup.hpp"

#include <cctype>
#include <charconv>

#include <unistd.h>

#include "core/base/data_folder.hpp"
#include "core/base/log.hpp"
#include "core/diagnostics/latency_trace.hpp"
#include "core/gamepad/gamepad_mapping_file.hpp"
#include "host/injection/event_sink.hpp"
#include "host/injection/recording_event_sink.hpp"
#include "host/platform/advertiser.hpp"
#include "host/platform/clipboard.hpp"
#include "host/platform/host_facts.hpp"
#include "host/platform/linux/avahi_advertiser.hpp"
#include "host/platform/linux/x11_clipboard.hpp"
#include "host/platform/linux/x11_event_sink.hpp"
#include "web/web_assets.hpp"

namespace tarvel::tools {

namespace {

// Keys whose server autorepeat the X11 sink turned off, so a crash does not
// leave them without repeat.
constexpr std::string_view autorepeatStateFile = "x11-autorepeat-off";  // + the display

std::optional<std::uint16_t> parsePort(std::string_view text) {
    unsigned value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size() || value == 0 || value > 65535) {
        return std::nullopt;
    }
    return static_cast<std::uint16_t>(value);
}

}  // namespace

const std::string_view hostOptionsUsage =
    "  --data-dir    the host's files (default: $TVL_DATA_DIR, else ~/.local/share/Tarvel)\n"
    "  --sink        where input goes: the X display in $DISPLAY (the default when it is\n"
    "                set), a record of events, or nowhere\n"
    "  --keystrokes  the chords for shortcuts, swipes, zoom and paste (default: linux\n"
    "                with x11, mac otherwise)\n"
    "  --dns-sd      announce the host to phones with Avahi (default), or not at all\n"
    "  --ports       the port range to bind (default 49182-49192)\n"
    "  --web-ports   the port range of the web remote (default 49280-49290)\n"
    "  --no-web      serve no web remote\n"
    "  --control-socket  where the host answers tarveld's commands (default:\n"
    "                $TVL_CONTROL_SOCKET, else $XDG_RUNTIME_DIR/tarvel/control)\n";

std::optional<tl::expected<void, std::string>> parseHostOption(HostOptions& options, int argc,
                                                               char** argv, int& i) {
    using Result = tl::expected<void, std::string>;
    const std::string_view arg = argv[i];
    auto value = [&]() -> std::optional<std::string_view> {
        if (i + 1 >= argc) {
            return std::nullopt;
        }
        return std::string_view(argv[++i]);
    };
    if (arg == "--data-dir") {
        auto dir = value();
        if (!dir || dir->empty()) {
            return Result(tl::unexpect, "--data-dir needs a folder");
        }
        options.dataDirectory = std::filesystem::path(*dir);
    } else if (arg == "--sink") {
        auto sink = value();
        if (!sink) {
            return Result(tl::unexpect, "--sink needs x11, record:FILE or none");
        }
        if (*sink == "none") {
            options.sink = SinkChoice::none;
        } else if (*sink == "x11") {
            options.sink = SinkChoice::x11;
        } else if (sink->starts_with("record:") && sink->size() > 7) {
            options.sink = SinkChoice::record;
            options.recordFile = std::filesystem::path(sink->substr(7));
        } else {
            return Result(tl::unexpect, "unknown sink: " + std::string(*sink));
        }
    } else if (arg == "--keystrokes") {
        auto profile = value();
        if (!profile || (*profile != "linux" && *profile != "mac")) {
            return Result(tl::unexpect, "--keystrokes needs linux or mac");
        }
        options.linuxKeystrokes = *profile == "linux";
    } else if (arg == "--dns-sd") {
        auto choice = value();
        if (!choice || (*choice != "avahi" && *choice != "off")) {
            return Result(tl::unexpect, "--dns-sd needs avahi or off");
        }
        options.advertise = *choice == "avahi";
    } else if (arg == "--ports" || arg == "--web-ports") {
        // For tests and second instances that must not meet the default range.
        auto range = value();
        const auto dash = range ? range->find('-') : std::string_view::npos;
        auto first =
            dash != std::string_view::npos ? parsePort(range->substr(0, dash)) : std::nullopt;
        auto last =
            dash != std::string_view::npos ? parsePort(range->substr(dash + 1)) : std::nullopt;
        if (!first || !last || *first > *last) {
            return Result(tl::unexpect, std::string(arg) + " needs FIRST-LAST");
        }
        (arg == "--ports" ? options.firstPort : options.firstWebPort) = *first;
        (arg == "--ports" ? options.lastPort : options.lastWebPort) = *last;
    } else if (arg == "--no-web") {
        options.web = false;
    } else if (arg == "--control-socket") {
        auto path = value();
        if (!path || path->empty()) {
            return Result(tl::unexpect, "--control-socket needs a path");
        }
        options.controlSocket = std::filesystem::path(*path);
    } else {
        return std::nullopt;
    }
    return Result();
}

tl::expected<AssembledHost, std::string> assembleHost(const HostOptions& options,
                                                      const base::Environment& environment,
                                                      const std::vector<std::string_view>& arguments,
                                                      std::shared_ptr<base::SerialQueue> mainQueue,
                                                      bool sinkRequired) {
    AssembledHost host;
    host.dataDirectory = options.dataDirectory.value_or(base::dataDirectory(environment));
    // Identity and paired devices: nobody else may read or plant files here.
    if (auto prepared = base::preparePrivateDirectory(host.dataDirectory); !prepared) {
        return tl::unexpected("cannot use the data folder: " + prepared.error());
    }

    std::shared_ptr<injection::EventSink> sink;
    std::shared_ptr<platform::Clipboard> clipboard;
    SinkChoice sinkChoice = options.sink;
    if (sinkChoice == SinkChoice::automatic) {
        if (base::nonEmptyVariable(environment, "DISPLAY")) {
            sinkChoice = SinkChoice::x11;
        } else {
            sinkChoice = SinkChoice::none;
            host.injectionProblem = "no X display";
            base::logLine("no X display ($DISPLAY is not set): input is discarded, "
                          "nothing reaches the desktop");
        }
    }
    if (sinkChoice == SinkChoice::x11) {
        // One file a display: two sessions of one user must not repair
        // each other's keys.
        std::string stateFile(autorepeatStateFile);
        for (char c : base::nonEmptyVariable(environment, "DISPLAY").value_or("")) {
            stateFile += std::isalnum(static_cast<unsigned char>(c)) ? c : '-';
        }
        auto x11 = platform::X11EventSink::open("", host.dataDirectory / stateFile);
        auto x11Clipboard = x11 ? platform::X11Clipboard::open("")
                                : tl::expected<std::shared_ptr<platform::X11Clipboard>, std::string>(
                                      tl::unexpect, x11.error());
        if (!x11 || !x11Clipboard) {
            const std::string why = !x11 ? "cannot inject input: " + x11.error()
                                         : "cannot own the clipboard: " + x11Clipboard.error();
            if (sinkRequired) {
                return tl::unexpected(why + (!x11 ? " (--sink none runs without a desktop)" : ""));
            }
            base::logLine(why + "; input is discarded");
            host.injectionProblem = !x11 ? x11.error() : x11Clipboard.error();
            sinkChoice = SinkChoice::none;
        } else {
            sink = *x11;
            clipboard = *x11Clipboard;
            host.injecting = true;
            if (base::nonEmptyVariable(environment, "WAYLAND_DISPLAY")) {
                base::logLine("this is a Wayland session: input reaches X11 applications only");
            }
        }
    }
    if (sinkChoice == SinkChoice::record) {
        auto recorder = injection::RecordingEventSink::open(options.recordFile);
        if (!recorder) {
            return tl::unexpected("cannot open the event record " + options.recordFile.string() +
                                  ": " + recorder.error().message());
        }
        sink = *recorder;
        clipboard = std::make_shared<platform::RecordingClipboard>(
            [recorder = *recorder](std::string_view line) { recorder->writeLine(line); });
        host.injecting = true;
    }
    if (!sink) {
        sink = std::make_shared<injection::NullEventSink>();
        clipboard = std::make_shared<platform::RecordingClipboard>();
        if (options.sink == SinkChoice::none) {
            host.injectionProblem = "input is discarded (--sink none)";
            base::logLine("input is discarded (--sink none): nothing reaches the desktop");
        }
    }
    const bool linuxKeystrokes = options.linuxKeystrokes.value_or(sinkChoice == SinkChoice::x11);

    host.defaults = std::make_shared<mapping::UserDefaults>(
        options.dataDirectory ? *options.dataDirectory / mapping::UserDefaults::fileName
                              : mapping::UserDefaults::defaultPath(environment));
    host.background = std::make_shared<platform::AsioSerialQueue>("rc.host.background");

    auto& trace = diagnostics::LatencyTrace::shared();
    trace.setPersistCallback([defaults = host.defaults](bool enabled) {
        (void)defaults->setBool(mapping::UserDefaults::latencyTraceKey, enabled);
    });
    if (trace.configureFromEnvironment(
            environment, arguments,
            host.defaults->boolean(mapping::UserDefaults::latencyTraceKey).value_or(false))) {
        trace.startPeriodicReport(*host.background, std::chrono::seconds(10));
    }

    host.mappingFile = host.dataDirectory / gamepad::GamepadMappingFile::fileName;
    host.runtime = mapping::makePadMappingRuntime(host.mappingFile, *host.defaults);

    server::HostServer::Dependencies dependencies;
    dependencies.dataDirectory = host.dataDirectory;
    dependencies.firstPort = options.firstPort;
    dependencies.lastPort = options.lastPort;
    dependencies.eventSink = sink;
    dependencies.keystrokes = linuxKeystrokes ? injection::KeystrokeProfile::linuxDesktop()
                                              : injection::KeystrokeProfile::mac();
    dependencies.clipboard = clipboard;
    if (options.advertise) {
        dependencies.advertiser = std::make_shared<platform::AvahiAdvertiser>();
    } else {
        dependencies.advertiser = std::make_shared<platform::LoggingAdvertiser>();
    }
    dependencies.hostFacts = std::make_shared<platform::LinuxHostFacts>();
    dependencies.mainQueue = std::move(mainQueue);
    dependencies.padRuntime = host.runtime;
    dependencies.latencyTrace = &trace;
    if (options.web) {
        dependencies.webAssets = web::remoteAssets();
        dependencies.firstWebPort = options.firstWebPort;
        dependencies.lastWebPort = options.lastWebPort;
        if (dependencies.webAssets.empty()) {
            base::logLine("no web remote: this build was made without Node.js");
        }
    }
    host.server = server::HostServer::create(std::move(dependencies));

    host.sinkName = sinkChoice == SinkChoice::x11      ? "x11"
                    : sinkChoice == SinkChoice::record ? "record"
                                                       : "none";
    control::ControlServer::Dependencies controlDeps;
    controlDeps.socketPath =
        options.controlSocket.value_or(control::socketPath(environment, ::getuid()));
    controlDeps.host = host.server;
    controlDeps.sink = host.sinkName;
    controlDeps.injecting = host.injecting;
    controlDeps.latencyTrace = &trace;
    host.control = control::ControlServer::create(std::move(controlDeps));
    return host;
}

}  // namespace tarvel::tools
