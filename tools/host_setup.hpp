#pragma once

// What tarveld and the tray application share: the host's command-line
// options and the assembly of the server with its desktop behind it.

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <tl/expected.hpp>

#include "core/base/environment.hpp"
#include "core/base/serial_queue.hpp"
#include "host/mapping/pad_mapping_store.hpp"
#include "host/mapping/user_defaults.hpp"
#include "host/platform/asio_serial_queue.hpp"
#include "host/server/control_server.hpp"
#include "host/server/host_server.hpp"

namespace tarvel::tools {

enum class SinkChoice { automatic, x11, record, none };

struct HostOptions {
    std::optional<std::filesystem::path> dataDirectory;
    SinkChoice sink = SinkChoice::automatic;
    std::filesystem::path recordFile;  // --sink record:FILE
    std::optional<bool> linuxKeystrokes;
    bool advertise = true;
    std::uint16_t firstPort = server::HostServer::defaultFirstPort;
    std::uint16_t lastPort = server::HostServer::defaultLastPort;
    bool web = true;
    std::uint16_t firstWebPort = server::HostServer::defaultFirstWebPort;
    std::uint16_t lastWebPort = server::HostServer::defaultLastWebPort;
    std::optional<std::filesystem::path> controlSocket;  // else TVL_CONTROL_SOCKET or the default
};

/// The lines of the usage text that describe HostOptions.
extern const std::string_view hostOptionsUsage;

/// Reads the host option at argv[i] (and its value, advancing i). Nothing
/// when argv[i] is not a host option; a one-line message for a bad value.
std::optional<tl::expected<void, std::string>> parseHostOption(HostOptions& options, int argc,
                                                               char** argv, int& i);

/// The server and what stands around it, not yet started.
struct AssembledHost {
    std::shared_ptr<server::HostServer> server;
    std::filesystem::path dataDirectory;
    std::filesystem::path mappingFile;
    std::shared_ptr<mapping::UserDefaults> defaults;
    std::shared_ptr<mapping::PadMappingRuntime> runtime;
    std::shared_ptr<platform::AsioSerialQueue> background;  // latency reports, mapping writes
    /// Whether input reaches a desktop; when not, why, in a few words.
    bool injecting = false;
    std::string injectionProblem;
    /// The event sink's name for status: x11, record or none.
    std::string sinkName;
    /// The control socket around `server`, not yet started; the owner
    /// starts it, forwards the pairing callbacks and stops it first.
    std::shared_ptr<control::ControlServer> control;
};

/// Prepares the data folder, picks the event sink and clipboard, reads the
/// latency switches and builds the server, whose callbacks run on
/// `mainQueue`. With `sinkRequired` an X11 sink that cannot open is an error
/// (the daemon exits); without it the host runs and says why nothing is
/// injected (the tray application shows it). Errors are one line.
tl::expected<AssembledHost, std::string> assembleHost(const HostOptions& options,
                                                      const base::Environment& environment,
                                                      const std::vector<std::string_view>& arguments,
                                                      std::shared_ptr<base::SerialQueue> mainQueue,
                                                      bool sinkRequired);

}  // namespace tarvel::tools
