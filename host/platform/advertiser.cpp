#include "host/platform/advertiser.hpp"

#include <array>
#include <utility>

#include "core/base/log.hpp"

namespace tarvel::platform {

std::string advertisementDescription(std::string_view instanceName, std::uint16_t port,
                                     const discovery::DnsSdTxt& txt) {
    // Nothing reaches the network through this advertiser: say so, so nobody
    // waits for phones to find the host.
    std::string line = "not advertising on the network (no DNS-SD publisher); would publish ";
    line += instanceName;
    line += " on port ";
    line += std::to_string(port);
    line += " (";
    line += discovery::DnsSdConstants::serviceType;
    line += ")";
    // A fixed order, not the map's, so lines read the same from run to run.
    static constexpr std::array<const char*, 6> keys{"v", "id", "name", "os", "fp", "ts"};
    const auto dictionary = txt.dictionary();
    for (const char* key : keys) {
        if (auto it = dictionary.find(key); it != dictionary.end()) {
            line += ' ';
            line += key;
            line += '=';
            line += it->second;
        }
    }
    return line;
}

void LoggingAdvertiser::advertise(std::string_view instanceName, std::uint16_t port,
                                  const discovery::DnsSdTxt& txt) {
    std::string description = advertisementDescription(instanceName, port, txt);
    // Logging under the lock keeps the lines in the order the records took effect.
    std::lock_guard guard(mutex_);
    if (current_ == description) {
        return;
    }
    base::logLine(description);
    current_ = std::move(description);
}

void LoggingAdvertiser::withdraw() {
    std::lock_guard guard(mutex_);
    if (!current_) {
        return;
    }
    current_.reset();
    base::logLine("advertisement withdrawn (it was never published)");
}

}  // namespace tarvel::platform
