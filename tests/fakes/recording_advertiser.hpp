#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "host/platform/advertiser.hpp"

namespace tarvel::testing {

/// One call of `Advertiser::advertise`.
struct Advertisement {
    std::string instanceName;
    std::uint16_t port = 0;
    discovery::DnsSdTxt txt;

    friend bool operator==(const Advertisement&, const Advertisement&) = default;
};

/// An advertiser that keeps every call. Thread-safe.
class RecordingAdvertiser final : public platform::Advertiser {
  public:
    void advertise(std::string_view instanceName, std::uint16_t port,
                   const discovery::DnsSdTxt& txt) override {
        std::lock_guard guard(mutex_);
        calls_.push_back(Advertisement{std::string(instanceName), port, txt});
        current_ = calls_.back();
    }
    void withdraw() override {
        std::lock_guard guard(mutex_);
        ++withdrawals_;
        current_.reset();
    }

    /// Every `advertise` call, oldest first, identical repeats included.
    std::vector<Advertisement> advertisements() const {
        std::lock_guard guard(mutex_);
        return calls_;
    }
    /// What is published now: the last advertisement unless withdrawn since.
    std::optional<Advertisement> current() const {
        std::lock_guard guard(mutex_);
        return current_;
    }
    std::size_t withdrawals() const {
        std::lock_guard guard(mutex_);
        return withdrawals_;
    }

  private:
    mutable std::mutex mutex_;
    std::vector<Advertisement> calls_;
    std::optional<Advertisement> current_;
    std::size_t withdrawals_ = 0;
};

}  // namespace tarvel::testing
