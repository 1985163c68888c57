#pragma once

#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "host/platform/advertiser.hpp"

namespace tarvel::testing {

struct Advertisement {
    std::string instanceName;
    std::uint16_t port = 0;
    discovery::DnsSdTxt txt;
};

/// Keeps what is published now (nothing once withdrawn). Thread-safe.
class RecordingAdvertiser final : public platform::Advertiser {
  public:
    void advertise(std::string_view instanceName, std::uint16_t port,
                   const discovery::DnsSdTxt& txt) override {
        std::lock_guard guard(mutex_);
        current_ = Advertisement{std::string(instanceName), port, txt};
    }
    void withdraw() override {
        std::lock_guard guard(mutex_);
        current_.reset();
    }
    std::optional<Advertisement> current() const {
        std::lock_guard guard(mutex_);
        return current_;
    }

  private:
    mutable std::mutex mutex_;
    std::optional<Advertisement> current_;
};

}  // namespace tarvel::testing
