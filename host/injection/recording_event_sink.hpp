#pragma once

#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include <nlohmann/json.hpp>
#include <tl/expected.hpp>

#include "host/injection/event_sink.hpp"

namespace tarvel::injection {

/// The displays and starting pointer of a recording sink.
struct VirtualScreen {
    std::vector<Rect> displays;
    Point pointer;

    /// One 1920 x 1080 display at the origin, pointer at its centre.
    static VirtualScreen standard() { return {{Rect{0, 0, 1920, 1080}}, Point{960, 540}}; }
};

/// A sink that posts nowhere: it writes one JSON object per posted event,
/// one per line, flushed at once, and keeps the lines for inspection. The
/// pointer moves to every posted mouse location. Keys, in order:
///   {"op":"key","keyCode":K,"down":B,"flags":F,"autorepeat":0|1}
///   {"op":"mouse","type":T,"x":X,"y":Y,"button":N,"clickState":C,"flags":F,"dx":DX,"dy":DY}
///   {"op":"scroll","wheel1":V,"wheel2":H,"phase":P,"momentumPhase":M}
///   {"op":"gesture","zoom":Z}  {"op":"media","keyType":N,"down":B}
///   {"op":"text","text":"..."} (once per chunk, on its key down)  {"op":"userActivity"}
/// Posting runs on the injector's queue; writeLine and the readers may be
/// called from any thread.
class RecordingEventSink : public EventSink {
  public:
    /// Records in memory only.
    explicit RecordingEventSink(VirtualScreen screen = VirtualScreen::standard());
    /// Also writes to `out`, which must outlive the sink.
    explicit RecordingEventSink(std::ostream& out,
                                VirtualScreen screen = VirtualScreen::standard());

    /// A sink writing to `file`, created or truncated; the error when it cannot be opened.
    static tl::expected<std::shared_ptr<RecordingEventSink>, std::error_code> open(
        const std::filesystem::path& file, VirtualScreen screen = VirtualScreen::standard());

    void post(const KeyboardEvent& event) override;
    void post(const UnicodeKeyEvent& event) override;
    void post(const MouseEvent& event) override;
    void post(const ScrollEvent& event) override;
    void post(const GestureEvent& event) override;
    void post(const MediaKeyEvent& event) override;
    std::optional<Point> pointerLocation() override;
    std::size_t displayRects(std::span<Rect> out) override;
    void declareUserActivity() override;

    /// Writes and keeps one finished line (without its line break) in order
    /// with the events, under the sink's lock: the line writer for the
    /// recording clipboard, so its {"op":"clipboard",...} lines interleave.
    void writeLine(std::string_view line);

    /// Moves the pointer as a local user would, without recording anything.
    void setPointerLocation(Point p);

    /// Every line so far, oldest first.
    std::vector<std::string> lines() const;
    /// Forgets the kept lines (what was written stays written).
    void clearLines();

  private:
    void record(const nlohmann::ordered_json& object);

    mutable std::mutex mutex_;
    std::unique_ptr<std::ofstream> file_;
    std::ostream* out_ = nullptr;
    VirtualScreen screen_;
    std::vector<std::string> lines_;
};

}  // namespace tarvel::injection
