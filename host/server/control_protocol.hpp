#pragma once

// The local control socket's protocol: one JSON request line per connection,
// answered by JSON lines. Both the host and `tarveld` commands use it. Only
// checkSocketFolder touches the file system.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include <sys/types.h>

#include <tl/expected.hpp>

#include "core/base/environment.hpp"
#include "core/diagnostics/latency_trace.hpp"
#include "core/pairing/paired_records.hpp"

namespace tarvel::control {

using namespace std::chrono_literals;

/// A request is one short line; more than this before the newline is refused.
inline constexpr std::size_t maxRequestBytes = 4096;
/// A client must send its whole request within this time.
inline constexpr auto requestDeadline = 5s;
/// Connections served at once; more are refused (the owner's own commands
/// never need more than a handful).
inline constexpr std::size_t maxClients = 16;
/// The environment variable that moves the socket (as --control-socket).
inline constexpr std::string_view socketVariable = "TVL_CONTROL_SOCKET";

/// Where the socket lives: `TVL_CONTROL_SOCKET` when set; else
/// "tarvel/control" in $XDG_RUNTIME_DIR when that is absolute; else
/// /tmp/tarvel-UID/control. Not created here.
std::filesystem::path socketPath(const base::Environment& environment, uid_t uid);

/// Whether `folder` keeps other users from planting or replacing a socket in
/// it: a real folder (not a link), ours and closed to group and others, or
/// sticky like /tmp. The host binds only there and the commands connect only
/// there. The error is one line naming the folder.
tl::expected<void, std::string> checkSocketFolder(const std::filesystem::path& folder, uid_t uid);

enum class Command : std::uint8_t { status, devices, pair, forget };

struct Request {
    Command command = Command::status;
    std::string device;  // forget: a client id or a device name

    friend bool operator==(const Request&, const Request&) = default;
};

enum class RequestError : std::uint8_t {
    tooLong,         // no newline within maxRequestBytes
    notJSON,         // not one JSON object
    unknownCommand,  // "command" missing, not a string, or not one we serve
    missingDevice,   // forget without a non-empty "device" string
};

/// A few words for the client; says nothing of the request's content.
std::string_view describe(RequestError error) noexcept;

/// One request line, without its newline.
tl::expected<Request, RequestError> parseRequest(std::string_view line);

/// The request as a line, newline included.
std::string encodeRequest(const Request& request);

/// Collects one connection's bytes until the request line is complete.
class RequestReader {
  public:
    using Result = tl::expected<Request, RequestError>;

    /// Nothing while the line is incomplete; then the request or why it is
    /// refused. Bytes after the first newline, and every later call, are
    /// ignored once a result was given (nothing is returned again).
    std::optional<Result> feed(std::string_view bytes);

  private:
    std::string line_;
    bool done_ = false;
};

/// A paired device as the commands show it.
struct Device {
    std::string id;
    std::string name;
    std::string model;
    bool online = false;
    bool controlling = false;
    std::int64_t lastSeenUnix = 0;

    friend bool operator==(const Device&, const Device&) = default;
};

/// The paired devices in store order. `activeClientName` is the controlling
/// session's device name: among several online devices of that name, the
/// first is marked.
std::vector<Device> devicesFrom(const std::vector<pairing::PairedClientRecord>& clients,
                                const std::set<std::string>& onlineIds,
                                const std::optional<std::string>& activeClientName);

struct LatencyFigure {
    std::string metric;
    bool microseconds = true;  // false: a plain count
    diagnostics::LatencySummary summary;

    friend bool operator==(const LatencyFigure&, const LatencyFigure&) = default;
};

/// Every metric `trace` holds samples of, in report order.
std::vector<LatencyFigure> latencyFigures(const diagnostics::LatencyTrace& trace);

struct HostStatus {
    std::string version;
    std::string name;
    std::uint16_t port = 0;
    std::string lan;
    std::optional<std::string> tailscale;
    std::string sink;  // x11, record or none
    bool injecting = false;
    std::optional<std::string> controlledBy;
    std::size_t pairedDevices = 0;
    std::size_t onlineDevices = 0;
    bool tracing = false;
    std::vector<LatencyFigure> latency;

    friend bool operator==(const HostStatus&, const HostStatus&) = default;
};

/// Why a refused request or a failed command ended.
enum class Failure : std::uint8_t {
    badRequest,     // see the message
    busy,           // too many clients
    timeout,        // no whole request in time
    unknownDevice,  // forget: nothing matches
    ambiguous,      // forget: a name several devices carry
    unavailable,    // the host is stopping
};

struct Error {
    Failure failure = Failure::badRequest;
    std::string message;
    std::vector<Device> matches;  // ambiguous: every device of that name

    friend bool operator==(const Error&, const Error&) = default;
};

/// The device `idOrName` names: an exact client id first, else a device name
/// carried by exactly one device.
tl::expected<Device, Error> chooseDevice(const std::vector<Device>& devices,
                                         std::string_view idOrName);

struct Forgotten {
    Device device;
    friend bool operator==(const Forgotten&, const Forgotten&) = default;
};

/// A fresh code, live until this connection closes.
struct PairingOffer {
    std::string code;
    std::string link;
    std::string web;  // the web remote's address; empty when the host has none
    friend bool operator==(const PairingOffer&, const PairingOffer&) = default;
};

struct Paired {
    Device device;
    friend bool operator==(const Paired&, const Paired&) = default;
};

enum class PairingEnd : std::uint8_t {
    exhausted,  // too many wrong tries
    notSaved,   // a device paired but could not be saved
    replaced,   // a newer code took its place
    stopping,   // the host is stopping
};

struct PairingEnded {
    PairingEnd reason = PairingEnd::exhausted;
    friend bool operator==(const PairingEnded&, const PairingEnded&) = default;
};

using Answer = std::variant<HostStatus, std::vector<Device>, Forgotten, PairingOffer, Paired,
                            PairingEnded, Error>;

/// One answer as a JSON line, newline included.
std::string encodeAnswer(const Answer& answer);

/// One answer line (without newline), as the commands read it. A number
/// that is not an integer in its field's range refuses the whole answer.
tl::expected<Answer, std::string> parseAnswer(std::string_view line);

/// What a device or host supplied, safe to print: control characters
/// (C0, DEL, C1) and invisible format characters (zero-width, bidi
/// embeddings, overrides and isolates, line separators, BOM) become '?', so
/// a name cannot move the cursor, retitle the terminal or reorder a line.
std::string printable(std::string_view text);

}  // namespace tarvel::control
