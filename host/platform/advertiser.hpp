#pragma once

#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "core/discovery/dns_sd_txt.hpp"

namespace tarvel::platform {

/// Publishes the host as a DNS-SD service of type "_tarvel._tcp" in the
/// default domain.
class Advertiser {
  public:
    virtual ~Advertiser() = default;

    /// Publishes `instanceName` on `port` with `txt`, replacing whatever this
    /// advertiser published before. Called on the server queue.
    virtual void advertise(std::string_view instanceName, std::uint16_t port,
                           const discovery::DnsSdTxt& txt) = 0;

    /// Takes the publication down; nothing happens when there is none.
    virtual void withdraw() = 0;
};

/// The text of a log line describing a publication, without the "Tarvel: "
/// prefix: "not advertising on the network (no DNS-SD publisher); would publish
/// NAME on port P (_tarvel._tcp) v=1 id=… name=… os=… fp=…"
/// followed by " ts=…" when the record carries one. Values are those the TXT
/// record would carry.
std::string advertisementDescription(std::string_view instanceName, std::uint16_t port,
                                     const discovery::DnsSdTxt& txt);

/// Publishes nothing: logs what it would publish, once per distinct record,
/// and that the withdrawn publication never was one.
/// Thread-safe.
class LoggingAdvertiser final : public Advertiser {
  public:
    void advertise(std::string_view instanceName, std::uint16_t port,
                   const discovery::DnsSdTxt& txt) override;
    void withdraw() override;

  private:
    std::mutex mutex_;
    // The description of what is published now, if anything.
    std::optional<std::string> current_;
};

}  // namespace tarvel::platform
