#pragma once

#include <mutex>
#include <string>
#include <string_view>
#include <utility>

#include "host/platform/host_facts.hpp"

namespace tarvel::testing {

/// Host facts with a name the test sets, tracking whether an activity is held. Thread-safe.
class RecordingHostFacts final : public platform::HostFacts {
  public:
    std::string hostName() override {
        std::lock_guard guard(mutex_);
        return hostName_;
    }
    std::string deviceKind() override { return "desktop"; }
    void beginActivity(std::string_view) override { change(+1); }
    void endActivity() override { change(-1); }
    void setHostName(std::string name) {
        std::lock_guard guard(mutex_);
        hostName_ = std::move(name);
    }
    bool activityHeld() const {
        std::lock_guard guard(mutex_);
        return held_ > 0;
    }

  private:
    void change(int by) {
        std::lock_guard guard(mutex_);
        held_ += by;
    }
    mutable std::mutex mutex_;
    std::string hostName_ = "Test Host";
    int held_ = 0;
};

}  // namespace tarvel::testing
