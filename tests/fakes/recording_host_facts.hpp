#pragma once

#include <cstddef>
#include <mutex>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "host/platform/host_facts.hpp"

namespace tarvel::testing {

/// Host facts with values the test sets, and a record of activity calls.
/// Thread-safe, so the server may call it on its queue while the test reads.
class RecordingHostFacts final : public platform::HostFacts {
  public:
    explicit RecordingHostFacts(std::string hostName = "Test Host",
                                std::string deviceKind = "desktop")
        : hostName_(std::move(hostName)), deviceKind_(std::move(deviceKind)) {}

    std::string hostName() override {
        std::lock_guard guard(mutex_);
        return hostName_;
    }
    std::string deviceKind() override {
        std::lock_guard guard(mutex_);
        return deviceKind_;
    }
    void beginActivity(std::string_view reason) override {
        std::lock_guard guard(mutex_);
        reasons_.emplace_back(reason);
        ++begun_;
    }
    void endActivity() override {
        std::lock_guard guard(mutex_);
        ++ended_;
    }

    void setHostName(std::string name) {
        std::lock_guard guard(mutex_);
        hostName_ = std::move(name);
    }
    void setDeviceKind(std::string kind) {
        std::lock_guard guard(mutex_);
        deviceKind_ = std::move(kind);
    }

    std::size_t activitiesBegun() const {
        std::lock_guard guard(mutex_);
        return begun_;
    }
    std::size_t activitiesEnded() const {
        std::lock_guard guard(mutex_);
        return ended_;
    }
    /// True while more activities were begun than ended.
    bool activityHeld() const {
        std::lock_guard guard(mutex_);
        return begun_ > ended_;
    }
    /// The reason of every `beginActivity`, oldest first.
    std::vector<std::string> activityReasons() const {
        std::lock_guard guard(mutex_);
        return reasons_;
    }

  private:
    mutable std::mutex mutex_;
    std::string hostName_;
    std::string deviceKind_;
    std::vector<std::string> reasons_;
    std::size_t begun_ = 0;
    std::size_t ended_ = 0;
};

}  // namespace tarvel::testing
