#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/discovery/local_interfaces.hpp"
#include "core/discovery/tailscale_status.hpp"

namespace tarvel::discovery {

/// Asks the Tailscale daemon for its status: its local HTTP API first, then its
/// command-line tool. The host itself never depends on the answer.
///
/// Every call is synchronous and blocking, so callers run it on a worker of
/// their own, never on the server or main queue. Calls are independent and may
/// run concurrently.
class TailscaleLocalAPI {
public:
    /// The daemon answers at this fixed address on every machine that runs it.
    static constexpr std::string_view defaultStatusURL =
        "http://100.100.100.100/localapi/v0/status";

    /// Cap on an HTTP body or the tool's output, so a hostile answer cannot
    /// exhaust memory; a status of a large network is well below it.
    static constexpr std::size_t defaultMaxOutputBytes = 4 * 1024 * 1024;

    /// Time between the watchdog's SIGTERM and its SIGKILL.
    static constexpr std::chrono::milliseconds killGrace{200};

    /// The tool's usual install locations, tried in this order.
    static std::vector<std::string> defaultCLICandidates();

    struct Config {
        /// Plain HTTP only; any other scheme is refused and the tool is asked.
        std::string statusURL{defaultStatusURL};
        /// Paths of the tool; only the first executable one is ever run.
        std::vector<std::string> cliCandidates = defaultCLICandidates();
        /// Consulted to skip the HTTP attempt on a machine without Tailscale.
        LocalInterfaces interfaces;
        /// Largest HTTP body or tool output accepted, in bytes.
        std::size_t maxOutputBytes = defaultMaxOutputBytes;
    };

    /// The real daemon, tool locations and interfaces.
    TailscaleLocalAPI();
    explicit TailscaleLocalAPI(Config config);

    /// Without a Tailscale address, `runCLI`. Otherwise a GET of `statusURL` with
    /// "Sec-Tailscale: localapi", bounded by `timeout`, never through a proxy;
    /// a 200 answer that parses is the result, anything else falls back to
    /// `runCLI(timeout)`. Blocks for at most about twice `timeout` plus half a
    /// second. `timeout` is clamped to 1 ms .. 24 h. Never throws.
    std::optional<TailscaleStatus> fetchStatus(std::chrono::milliseconds timeout) const;

    /// Runs the first candidate that is an executable regular file with
    /// "status --json" (stdin and stderr on /dev/null) and parses what it prints.
    /// A tool still running after `timeout` gets SIGTERM, then SIGKILL after
    /// `killGrace`; output not ended by then gives nothing. Nothing also when no
    /// candidate is executable, the tool cannot start or its output does not
    /// parse. `timeout`
    /// is clamped as in `fetchStatus`. The child is always reaped; the process
    /// must not ignore SIGCHLD. Never throws.
    std::optional<TailscaleStatus> runCLI(std::chrono::milliseconds timeout) const;

    /// "address:port" for the Tailscale IPv4 addresses of the online peers, in
    /// the status's peer order.
    static std::vector<std::string> candidateEndpoints(const TailscaleStatus& status,
                                                       std::uint16_t port);

private:
    std::optional<TailscaleStatus> queryLocalAPI(std::chrono::milliseconds timeout) const;

    Config config_;
};

}  // namespace tarvel::discovery
