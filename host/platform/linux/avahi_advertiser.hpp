#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "host/platform/advertiser.hpp"

namespace tarvel::platform {

/// Publishes the host over DNS-SD through the Avahi daemon (on the D-Bus system
/// bus), on every interface, over IPv4 and IPv6, in the default domain. Runs
/// an Avahi event loop on a thread of its own; the methods may be called from
/// any thread and return at once, never waiting on the bus or the daemon: the
/// loop applies the latest request (earlier ones not yet applied are skipped).
///
/// The publication survives the daemon: when it is not running yet, or stops
/// and comes back, the service is published once it is there. When the bus
/// itself cannot be reached, the client is created again every
/// `retryInterval`. When another host already uses the name, the service is
/// published under Avahi's alternative ("NAME #2").
class AvahiAdvertiser final : public Advertiser {
  public:
    explicit AvahiAdvertiser(std::chrono::milliseconds retryInterval = std::chrono::seconds(5));
    /// Stops the event loop, then takes the publication down with the client.
    ~AvahiAdvertiser() override;
    AvahiAdvertiser(const AvahiAdvertiser&) = delete;
    AvahiAdvertiser& operator=(const AvahiAdvertiser&) = delete;

    /// Publishes `instanceName` (cut to the 63 bytes a DNS label holds) as
    /// "_tarvel._tcp" on `port` with the record's TXT keys. A record that only
    /// changes the TXT keys updates the published one in place.
    void advertise(std::string_view instanceName, std::uint16_t port,
                   const discovery::DnsSdTxt& txt) override;

    /// Takes the publication down; the next `advertise` publishes again.
    void withdraw() override;

    /// The name under which the service is established on the network (an
    /// alternative after a collision), or nothing while it is not. Follows a
    /// request once the loop has applied it.
    std::optional<std::string> establishedName() const;

  private:
    struct State;
    std::unique_ptr<State> state_;
};

}  // namespace tarvel::platform
