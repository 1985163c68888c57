#pragma once

#include <algorithm>
#include <mutex>
#include <string>
#include <vector>

#include "core/base/log.hpp"

namespace tarvel::testing {

/// Collects log lines while it lives, instead of printing them.
class LogCapture {
  public:
    LogCapture() {
        base::setLogSink([this](std::string_view line) {
            std::lock_guard guard(mutex_);
            lines_.emplace_back(line);
        });
    }
    ~LogCapture() { base::setLogSink({}); }
    std::vector<std::string> lines() const {
        std::lock_guard guard(mutex_);
        return lines_;
    }
    bool contains(const std::string& fragment) const {
        return std::ranges::any_of(lines(),
                                   [&](const auto& l) { return l.find(fragment) != l.npos; });
    }

  private:
    mutable std::mutex mutex_;
    std::vector<std::string> lines_;
};

}  // namespace tarvel::testing
