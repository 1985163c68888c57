#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "core/base/environment.hpp"
#include "core/base/serial_queue.hpp"

namespace tarvel::diagnostics {

/// What a latency sample measures. Raw values are stable and give the report order.
enum class LatencyMetric : std::uint8_t {
    touchToSend = 0,
    mainSendCall = 1,
    pipeQueueDelay = 2,
    seal = 3,
    udpSendCall = 4,
    ackRTT = 5,
    pingRTT = 6,
    mainStall = 7,
    hostRecvToInject = 8,
    hostInject = 9,
    hostCallbackGap = 10,
    packetsPerSecond = 11,
    ackFallbacks = 12,
};

inline constexpr std::size_t latencyMetricCount = 13;

/// Every metric, in raw-value order.
inline constexpr std::array<LatencyMetric, latencyMetricCount> allLatencyMetrics = {
    LatencyMetric::touchToSend,  LatencyMetric::mainSendCall,    LatencyMetric::pipeQueueDelay,
    LatencyMetric::seal,         LatencyMetric::udpSendCall,     LatencyMetric::ackRTT,
    LatencyMetric::pingRTT,      LatencyMetric::mainStall,       LatencyMetric::hostRecvToInject,
    LatencyMetric::hostInject,   LatencyMetric::hostCallbackGap, LatencyMetric::packetsPerSecond,
    LatencyMetric::ackFallbacks,
};

/// The name printed in reports; empty for a value outside the enumeration.
std::string_view label(LatencyMetric metric) noexcept;

/// True when samples are durations in nanoseconds (reported in microseconds),
/// false when they are plain counts (reported as recorded).
bool isTime(LatencyMetric metric) noexcept;

/// Percentiles of the most recent samples of one metric.
struct LatencySummary {
    std::uint64_t count = 0;  // samples recorded since the last reset, not only those kept
    double p50 = 0;           // microseconds for time metrics, raw units for counts
    double p95 = 0;
    double p99 = 0;
    double max = 0;

    friend bool operator==(const LatencySummary&, const LatencySummary&) = default;
};

/// An always-compiled, normally-off timing instrument for the input path.
/// When enabled it keeps the most recent samples of each metric in a fixed
/// ring and, on request, a raw event log. Recording is allocation-free, safe
/// from any thread, and costs one relaxed load while disabled.
class LatencyTrace {
  public:
    /// One raw event; the caller decides what `kind` and the three times mean.
    struct Event {
        std::uint64_t seq = 0;
        std::uint8_t kind = 0;
        std::uint64_t t0 = 0;  // nanoseconds
        std::uint64_t t1 = 0;
        std::uint64_t t2 = 0;

        friend bool operator==(const Event&, const Event&) = default;
    };

    /// Samples kept per metric; a power of two so the write position is a mask.
    static constexpr std::size_t ringCapacity = 8192;
    /// Events kept at most; later ones are dropped.
    static constexpr std::size_t maxEvents = 400'000;
    static constexpr std::string_view reportHeader =
        "metric                      n      p50      p95      p99      max   (us)";
    /// Environment switches and launch argument read by configureFromEnvironment.
    static constexpr std::string_view enableVariable = "TVL_LATENCY";
    static constexpr std::string_view eventsVariable = "TVL_LATENCY_EVENTS";
    static constexpr std::string_view enableArgument = "-RCLatencyTrace";

    /// The process-wide trace. Never destroyed, so recording from threads that
    /// outlive main and a report timer on a queue torn down at exit stay safe.
    static LatencyTrace& shared();

    /// A disabled trace with empty rings and no event log.
    LatencyTrace();
    /// Cancels the periodic report, if any.
    ~LatencyTrace();
    LatencyTrace(const LatencyTrace&) = delete;
    LatencyTrace& operator=(const LatencyTrace&) = delete;

    /// Monotonic time in nanoseconds (CLOCK_MONOTONIC, which stops during suspend).
    static std::uint64_t now() noexcept;

    bool isEnabled() const noexcept { return enabled_.load(std::memory_order_relaxed); }
    bool eventLogEnabled() const noexcept { return eventLog_.load(std::memory_order_relaxed); }

    /// When enabled, stores `value` for `metric` as is: nanoseconds for time
    /// metrics, counts for the others. Any thread.
    void record(LatencyMetric metric, std::uint64_t value) noexcept {
        if (isEnabled()) {
            store(metric, value);
        }
    }

    /// When enabled, stores the time elapsed since `start` (a value of now()),
    /// or 0 when `start` lies in the future. Any thread.
    void recordSince(LatencyMetric metric, std::uint64_t start) noexcept {
        if (isEnabled()) {
            const std::uint64_t end = now();
            store(metric, end > start ? end - start : 0);
        }
    }

    /// When the event log is enabled, appends one event unless the log
    /// already holds maxEvents. Allocation-free. Any thread.
    void logEvent(std::uint64_t seq, std::uint8_t kind, std::uint64_t t0, std::uint64_t t1,
                  std::uint64_t t2) noexcept {
        if (eventLogEnabled()) {
            append(Event{seq, kind, t0, t1, t2});
        }
    }

    /// Turns tracing on when `TVL_LATENCY` is exactly "1", `arguments` hold
    /// "-RCLatencyTrace", or `defaultEnabled` (the persisted user choice) is
    /// true; otherwise leaves it as it is. With tracing on and
    /// `TVL_LATENCY_EVENTS` exactly "1", also starts the event log. Does not
    /// persist anything. Returns whether tracing is enabled afterwards.
    bool configureFromEnvironment(const base::Environment& environment,
                                  std::span<const std::string_view> arguments, bool defaultEnabled);

    /// Sets whether tracing records, then hands the same value to the persist
    /// callback, if one is set, on the calling thread.
    void setEnabled(bool enabled);

    /// Where setEnabled saves the choice; an empty function saves nothing.
    void setPersistCallback(std::function<void(bool enabled)> persist);

    /// Empties the event log, reserving room for maxEvents, and enables it.
    void startEventLog();

    /// Percentiles over the most recent samples of `metric` (at most
    /// ringCapacity), or nothing when none was recorded since the last reset.
    std::optional<LatencySummary> summary(LatencyMetric metric) const;

    /// The summary table: the header line, then one line per metric with
    /// samples in raw-value order; lines joined by '\n', none after the last.
    std::string report() const;

    /// While tracing is enabled and no report is running, logs report() line
    /// by line every `interval` on `queue`, first `interval` from now, until
    /// this trace is destroyed. Otherwise, or for a non-positive interval,
    /// does nothing. `queue` must outlive this trace's report.
    void startPeriodicReport(base::SerialQueue& queue, std::chrono::nanoseconds interval);

    /// Forgets all samples and events; the enabled flags stay.
    void reset();

    /// Writes the event log as CSV ("seq,kind,t0,t1,t2" then one line per
    /// event) to `path` atomically, mode 0600. A failed write is ignored.
    void dumpEvents(const std::filesystem::path& path) const;

  private:
    struct Samples;

    void store(LatencyMetric metric, std::uint64_t value) noexcept;
    void append(const Event& event) noexcept;

    std::atomic<bool> enabled_{false};
    std::atomic<bool> eventLog_{false};
    // Shared with the report timer, which holds it weakly.
    std::shared_ptr<Samples> samples_;

    // Guards the two below; never taken on the recording path.
    std::mutex controlLock_;
    std::function<void(bool)> persist_;
    base::TimerHandle reporter_;
};

}  // namespace tarvel::diagnostics
