#pragma once

#include <tl/expected.hpp>

#include <chrono>
#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace tarvel::platform {

/// One resolved instance of a DNS-SD service.
struct BrowsedService {
    std::string instanceName;  // e.g. "Office PC"
    std::string hostName;      // e.g. "office.local"
    /// Numeric; IPv6 without brackets, a link-local one with "%" and the
    /// interface name (or index, when the name is unknown here).
    std::string address;
    std::uint16_t port = 0;
    int interfaceIndex = -1;
    /// Every "key=value" string; a key without '=' maps to "". For a key
    /// given twice the first one counts; a string without a key is dropped.
    std::map<std::string, std::string> txt;

    friend bool operator==(const BrowsedService&, const BrowsedService&) = default;
};

enum class BrowseError {
    daemonUnavailable,  // no system bus, or no Avahi daemon on it
    failed,             // the daemon refused or dropped the browse
};

/// A one-line message for the user.
std::string describe(BrowseError error);

/// At most this many services are kept from one browse.
inline constexpr std::size_t maxBrowsedServices = 256;
/// TXT bytes read per service; a record beyond it is cut at a whole string.
inline constexpr std::size_t maxBrowsedTxtBytes = 4096;

/// Browses `serviceType` (e.g. "_tarvel._tcp") in the default domain on every
/// interface and protocol for up to `duration`, resolving each instance found.
/// Blocks the calling thread only, on a poll loop of its own. Returns early
/// once Avahi reports the cached and quickly answered instances all seen and
/// each of their resolutions has finished, unless `waitFull`. An instance that
/// is removed during the browse is left out. The result is deduplicated by
/// instance name, address and port, and sorted by instance name, then
/// address. Reports `daemonUnavailable` at once when the daemon cannot be
/// reached.
tl::expected<std::vector<BrowsedService>, BrowseError> browseDnsSd(
    std::string_view serviceType, std::chrono::milliseconds duration, bool waitFull = false);

}  // namespace tarvel::platform
