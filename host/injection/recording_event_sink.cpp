#include "host/injection/recording_event_sink.hpp"

#include <algorithm>
#include <cerrno>
#include <utility>

#include "host/injection/utf16.hpp"

namespace tarvel::injection {

namespace {

using Json = nlohmann::ordered_json;

std::string dumpLine(const Json& object) {
    // Replacing keeps a stray byte from turning into an exception mid-recording.
    return object.dump(-1, ' ', false, Json::error_handler_t::replace);
}

}  // namespace

RecordingEventSink::RecordingEventSink(VirtualScreen screen) : screen_(std::move(screen)) {}

RecordingEventSink::RecordingEventSink(std::ostream& out, VirtualScreen screen)
    : out_(&out), screen_(std::move(screen)) {}

tl::expected<std::shared_ptr<RecordingEventSink>, std::error_code> RecordingEventSink::open(
    const std::filesystem::path& file, VirtualScreen screen) {
    errno = 0;
    auto stream = std::make_unique<std::ofstream>(file, std::ios::out | std::ios::trunc);
    if (!stream->is_open()) {
        return tl::unexpected(std::error_code(errno != 0 ? errno : EIO, std::generic_category()));
    }
    auto sink = std::make_shared<RecordingEventSink>(*stream, std::move(screen));
    sink->file_ = std::move(stream);
    return sink;
}

void RecordingEventSink::post(const KeyboardEvent& event) {
    Json object;
    object["op"] = "key";
    object["keyCode"] = event.keyCode;
    object["down"] = event.down;
    object["flags"] = event.flags;
    object["autorepeat"] = event.autorepeat;
    record(object);
}

void RecordingEventSink::post(const UnicodeKeyEvent& event) {
    // The chunk types once; its key up carries the same text again.
    if (!event.key.down) {
        return;
    }
    Json object;
    object["op"] = "text";
    object["text"] = utf8FromUTF16(event.text);
    record(object);
}

void RecordingEventSink::post(const MouseEvent& event) {
    Json object;
    object["op"] = "mouse";
    object["type"] = static_cast<std::uint32_t>(event.type);
    object["x"] = event.location.x;
    object["y"] = event.location.y;
    object["button"] = event.button;
    object["clickState"] = event.clickState;
    object["flags"] = event.flags;
    object["dx"] = event.deltaX;
    object["dy"] = event.deltaY;
    {
        std::lock_guard guard(mutex_);
        screen_.pointer = event.location;
    }
    record(object);
}

void RecordingEventSink::post(const ScrollEvent& event) {
    Json object;
    object["op"] = "scroll";
    object["wheel1"] = event.wheel1;
    object["wheel2"] = event.wheel2;
    object["phase"] = event.scrollPhase;
    object["momentumPhase"] = event.momentumPhase;
    record(object);
}

void RecordingEventSink::post(const GestureEvent& event) {
    Json object;
    object["op"] = "gesture";
    object["zoom"] = event.zoom;
    record(object);
}

void RecordingEventSink::post(const MediaKeyEvent& event) {
    Json object;
    object["op"] = "media";
    object["keyType"] = event.keyType;
    object["down"] = event.down;
    record(object);
}

std::optional<Point> RecordingEventSink::pointerLocation() {
    std::lock_guard guard(mutex_);
    return screen_.pointer;
}

std::size_t RecordingEventSink::displayRects(std::span<Rect> out) {
    std::lock_guard guard(mutex_);
    const std::size_t count = std::min(out.size(), screen_.displays.size());
    std::copy_n(screen_.displays.begin(), count, out.begin());
    return count;
}

void RecordingEventSink::declareUserActivity() {
    Json object;
    object["op"] = "userActivity";
    record(object);
}

void RecordingEventSink::writeLine(std::string_view line) {
    std::lock_guard guard(mutex_);
    lines_.emplace_back(line);
    if (out_ != nullptr) {
        *out_ << line << '\n';
        out_->flush();
    }
}

void RecordingEventSink::setPointerLocation(Point p) {
    std::lock_guard guard(mutex_);
    screen_.pointer = p;
}

std::vector<std::string> RecordingEventSink::lines() const {
    std::lock_guard guard(mutex_);
    return lines_;
}

void RecordingEventSink::clearLines() {
    std::lock_guard guard(mutex_);
    lines_.clear();
}

void RecordingEventSink::record(const Json& object) {
    writeLine(dumpLine(object));
}

}  // namespace tarvel::injection
