#include "core/diagnostics/latency_trace.hpp"

#include <time.h>

#include <algorithm>
#include <charconv>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <utility>
#include <vector>

#include "core/base/atomic_file.hpp"
#include "core/base/log.hpp"

namespace tarvel::diagnostics {

namespace {

static_assert((LatencyTrace::ringCapacity & (LatencyTrace::ringCapacity - 1)) == 0,
              "the write position is taken with a mask");
constexpr std::uint64_t ringMask = LatencyTrace::ringCapacity - 1;
constexpr mode_t dumpFileMode = 0600;

/// A non-recursive spin lock. Every critical section is one store or one
/// copy, so spinning is cheaper than parking a thread on the input path.
class SpinLock {
  public:
    void lock() noexcept {
        while (flag_.test_and_set(std::memory_order_acquire)) {
            // Spin on a plain read so waiters do not keep stealing the cache line.
            while (flag_.test(std::memory_order_relaxed)) {
            }
        }
    }
    void unlock() noexcept { flag_.clear(std::memory_order_release); }

  private:
    std::atomic_flag flag_;
};

std::size_t indexOf(LatencyMetric metric) noexcept {
    return static_cast<std::size_t>(metric);
}

}  // namespace

std::string_view label(LatencyMetric metric) noexcept {
    switch (metric) {
        case LatencyMetric::touchToSend:
            return "touch->send";
        case LatencyMetric::mainSendCall:
            return "main send() cost";
        case LatencyMetric::pipeQueueDelay:
            return "io queue delay";
        case LatencyMetric::seal:
            return "seal";
        case LatencyMetric::udpSendCall:
            return "udp send call";
        case LatencyMetric::ackRTT:
            return "ack RTT";
        case LatencyMetric::pingRTT:
            return "ping RTT";
        case LatencyMetric::mainStall:
            return "main stall";
        case LatencyMetric::hostRecvToInject:
            return "host recv->inject";
        case LatencyMetric::hostInject:
            return "host inject";
        case LatencyMetric::hostCallbackGap:
            return "host cb gap";
        case LatencyMetric::packetsPerSecond:
            return "packets/s";
        case LatencyMetric::ackFallbacks:
            return "ack fallbacks";
    }
    return {};
}

bool isTime(LatencyMetric metric) noexcept {
    return metric != LatencyMetric::packetsPerSecond && metric != LatencyMetric::ackFallbacks;
}

struct LatencyTrace::Samples {
    mutable SpinLock lock;
    std::array<std::array<std::uint64_t, ringCapacity>, latencyMetricCount> rings{};
    // Samples written since reset per metric; also the next write position
    // before masking, and the count reported.
    std::array<std::uint64_t, latencyMetricCount> heads{};
    std::vector<Event> events;

    std::optional<LatencySummary> summary(LatencyMetric metric) const;
    std::string report() const;
};

std::optional<LatencySummary> LatencyTrace::Samples::summary(LatencyMetric metric) const {
    const std::size_t index = indexOf(metric);
    if (index >= latencyMetricCount) {
        return std::nullopt;
    }
    // Allocated before taking the lock so the lock covers only the copy.
    std::vector<std::uint64_t> copy;
    copy.reserve(ringCapacity);
    std::uint64_t count = 0;
    {
        std::lock_guard guard(lock);
        count = heads[index];
        const auto kept = static_cast<std::ptrdiff_t>(std::min<std::uint64_t>(count, ringCapacity));
        copy.assign(rings[index].begin(), rings[index].begin() + kept);
    }
    if (copy.empty()) {
        return std::nullopt;
    }
    std::sort(copy.begin(), copy.end());
    const std::size_t last = copy.size() - 1;
    const auto at = [&](double p) {
        // std::round takes halves away from zero.
        const auto position = static_cast<std::size_t>(std::round(static_cast<double>(last) * p));
        return static_cast<double>(copy[std::min(position, last)]);
    };
    const double scale = isTime(metric) ? 1000.0 : 1.0;
    return LatencySummary{count, at(0.50) / scale, at(0.95) / scale, at(0.99) / scale,
                          static_cast<double>(copy.back()) / scale};
}

std::string LatencyTrace::Samples::report() const {
    std::string text(reportHeader);
    for (const LatencyMetric metric : allLatencyMetrics) {
        const auto s = summary(metric);
        if (!s) {
            continue;
        }
        const std::string name(label(metric));
        char line[160];
        const int length =
            std::snprintf(line, sizeof line, "%-22.22s %7" PRIu64 " %8.1f %8.1f %8.1f %8.1f",
                          name.c_str(), s->count, s->p50, s->p95, s->p99, s->max);
        text.push_back('\n');
        text.append(line, static_cast<std::size_t>(std::clamp(length, 0, int(sizeof line) - 1)));
    }
    return text;
}

LatencyTrace& LatencyTrace::shared() {
    static LatencyTrace* const trace = new LatencyTrace();
    return *trace;
}

LatencyTrace::LatencyTrace() : samples_(std::make_shared<Samples>()) {}

LatencyTrace::~LatencyTrace() = default;

std::uint64_t LatencyTrace::now() noexcept {
    timespec ts{};
    ::clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<std::uint64_t>(ts.tv_sec) * 1'000'000'000u +
           static_cast<std::uint64_t>(ts.tv_nsec);
}

void LatencyTrace::store(LatencyMetric metric, std::uint64_t value) noexcept {
    const std::size_t index = indexOf(metric);
    if (index >= latencyMetricCount) {
        return;
    }
    Samples& s = *samples_;
    std::lock_guard guard(s.lock);
    std::uint64_t& head = s.heads[index];
    s.rings[index][head & ringMask] = value;
    ++head;
}

void LatencyTrace::append(const Event& event) noexcept {
    Samples& s = *samples_;
    std::lock_guard guard(s.lock);
    // Capacity was reserved by startEventLog, so this never allocates.
    if (s.events.size() < maxEvents) {
        s.events.push_back(event);
    }
}

bool LatencyTrace::configureFromEnvironment(const base::Environment& environment,
                                            std::span<const std::string_view> arguments,
                                            bool defaultEnabled) {
    const auto variableIsOne = [&](std::string_view name) {
        const auto value = environment ? environment(name) : std::nullopt;
        return value && *value == "1";
    };
    const bool argumentGiven =
        std::find(arguments.begin(), arguments.end(), enableArgument) != arguments.end();
    if (variableIsOne(enableVariable) || argumentGiven || defaultEnabled) {
        enabled_.store(true, std::memory_order_relaxed);
    }
    if (isEnabled() && variableIsOne(eventsVariable)) {
        startEventLog();
    }
    return isEnabled();
}

void LatencyTrace::setEnabled(bool enabled) {
    enabled_.store(enabled, std::memory_order_relaxed);
    std::function<void(bool)> persist;
    {
        std::lock_guard guard(controlLock_);
        persist = persist_;
    }
    // Called without the lock so the callback may use this trace.
    if (persist) {
        persist(enabled);
    }
}

void LatencyTrace::setPersistCallback(std::function<void(bool enabled)> persist) {
    std::lock_guard guard(controlLock_);
    persist_ = std::move(persist);
}

void LatencyTrace::startEventLog() {
    // Reserved and freed outside the spin lock; only the swap happens inside.
    std::vector<Event> fresh;
    fresh.reserve(maxEvents);
    {
        std::lock_guard guard(samples_->lock);
        samples_->events.swap(fresh);
    }
    eventLog_.store(true, std::memory_order_relaxed);
}

std::optional<LatencySummary> LatencyTrace::summary(LatencyMetric metric) const {
    return samples_->summary(metric);
}

std::string LatencyTrace::report() const {
    return samples_->report();
}

void LatencyTrace::startPeriodicReport(base::SerialQueue& queue,
                                       std::chrono::nanoseconds interval) {
    if (!isEnabled() || interval <= std::chrono::nanoseconds::zero()) {
        return;
    }
    std::lock_guard guard(controlLock_);
    if (reporter_.active()) {
        return;
    }
    std::weak_ptr<const Samples> weak = samples_;
    reporter_ = queue.repeating(interval, interval, [weak] {
        const auto samples = weak.lock();
        if (!samples) {
            return;
        }
        const std::string text = samples->report();
        std::string_view rest = text;
        while (true) {
            const auto end = rest.find('\n');
            base::logLine(rest.substr(0, end));
            if (end == std::string_view::npos) {
                break;
            }
            rest.remove_prefix(end + 1);
        }
    });
}

void LatencyTrace::reset() {
    Samples& s = *samples_;
    std::lock_guard guard(s.lock);
    s.heads.fill(0);
    // clear() keeps the reserved capacity, so later appends stay allocation-free.
    s.events.clear();
}

namespace {

void appendDecimal(std::vector<std::uint8_t>& out, std::uint64_t value) {
    char digits[24];
    const auto result = std::to_chars(std::begin(digits), std::end(digits), value);
    out.insert(out.end(), std::begin(digits), result.ptr);
}

}  // namespace

void LatencyTrace::dumpEvents(const std::filesystem::path& path) const {
    Samples& s = *samples_;
    std::size_t capacity = 0;
    {
        std::lock_guard guard(s.lock);
        capacity = s.events.capacity();
    }
    // Reserving first keeps the allocation out of the locked copy.
    std::vector<Event> events;
    events.reserve(capacity);
    {
        std::lock_guard guard(s.lock);
        events.assign(s.events.begin(), s.events.end());
    }

    static constexpr std::string_view header = "seq,kind,t0,t1,t2\n";
    std::vector<std::uint8_t> text(header.begin(), header.end());
    text.reserve(header.size() + events.size() * 48);
    for (const Event& event : events) {
        appendDecimal(text, event.seq);
        text.push_back(',');
        appendDecimal(text, event.kind);
        text.push_back(',');
        appendDecimal(text, event.t0);
        text.push_back(',');
        appendDecimal(text, event.t1);
        text.push_back(',');
        appendDecimal(text, event.t2);
        text.push_back('\n');
    }
    // A failed dump must not disturb the traced program.
    (void)base::writeFileAtomically(path, text, dumpFileMode);
}

}  // namespace tarvel::diagnostics
