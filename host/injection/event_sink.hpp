#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string_view>

#include "core/base/serial_queue.hpp"

namespace tarvel::injection {

/// A point in global display coordinates: origin at the top left of the main
/// display, y growing downwards.
struct Point {
    double x = 0;
    double y = 0;

    friend constexpr bool operator==(const Point&, const Point&) = default;
};

/// A display's bounds in global display coordinates.
struct Rect {
    double x = 0;
    double y = 0;
    double width = 0;
    double height = 0;

    constexpr double minX() const noexcept { return x; }
    constexpr double minY() const noexcept { return y; }
    constexpr double maxX() const noexcept { return x + width; }
    constexpr double maxY() const noexcept { return y + height; }

    /// Half-open: the right and bottom edges are outside.
    constexpr bool contains(Point p) const noexcept {
        return p.x >= minX() && p.x < maxX() && p.y >= minY() && p.y < maxY();
    }

    friend constexpr bool operator==(const Rect&, const Rect&) = default;
};

/// Event flag bits of the window system's event model.
namespace EventFlags {
inline constexpr std::uint64_t shift = 0x20000;
inline constexpr std::uint64_t control = 0x40000;
inline constexpr std::uint64_t alternate = 0x80000;
inline constexpr std::uint64_t command = 0x100000;
inline constexpr std::uint64_t secondaryFn = 0x800000;
}  // namespace EventFlags

/// Mouse event types, by their numbers in the window system's event model.
enum class MouseEventType : std::uint32_t {
    leftMouseDown = 1,
    leftMouseUp = 2,
    rightMouseDown = 3,
    rightMouseUp = 4,
    mouseMoved = 5,
    leftMouseDragged = 6,
    rightMouseDragged = 7,
    otherMouseDown = 25,
    otherMouseUp = 26,
    otherMouseDragged = 27,
};

/// Scroll phase values (scroll phase field).
namespace ScrollPhase {
inline constexpr std::int32_t none = 0;
inline constexpr std::int32_t began = 1;
inline constexpr std::int32_t changed = 2;
inline constexpr std::int32_t ended = 4;
inline constexpr std::int32_t cancelled = 8;
}  // namespace ScrollPhase

/// Momentum phase values (scroll momentum phase field).
namespace MomentumPhase {
inline constexpr std::int32_t none = 0;
inline constexpr std::int32_t begin = 1;
inline constexpr std::int32_t continuing = 2;
inline constexpr std::int32_t end = 3;
}  // namespace MomentumPhase

/// A key event by virtual key code, with its flags and autorepeat field.
struct KeyboardEvent {
    std::uint16_t keyCode = 0;
    bool down = false;
    std::uint64_t flags = 0;
    std::int32_t autorepeat = 0;  // 1 for a key repeat

    friend constexpr bool operator==(const KeyboardEvent&, const KeyboardEvent&) = default;
};

/// A key event that types `text` (UTF-16 code units, at most 20) regardless of
/// the keyboard layout. The view is valid only during the post call.
struct UnicodeKeyEvent {
    KeyboardEvent key;
    std::u16string_view text;
};

/// A mouse event. `location` is where the pointer goes; `deltaX`/`deltaY` are
/// the relative motion fields; `button` is 0 left, 1 right, 2 other.
struct MouseEvent {
    MouseEventType type = MouseEventType::mouseMoved;
    Point location;
    std::uint32_t button = 0;
    std::int32_t clickState = 0;
    std::uint64_t flags = 0;
    std::int32_t deltaX = 0;
    std::int32_t deltaY = 0;

    friend constexpr bool operator==(const MouseEvent&, const MouseEvent&) = default;
};

/// A pixel-unit scroll event with two wheels: wheel 1 vertical, wheel 2
/// horizontal. Phase fields left at 0 are not set on the event.
struct ScrollEvent {
    std::int32_t wheel1 = 0;
    std::int32_t wheel2 = 0;
    std::int32_t continuous = 0;
    std::int32_t scrollPhase = ScrollPhase::none;
    std::int32_t momentumPhase = MomentumPhase::none;

    friend constexpr bool operator==(const ScrollEvent&, const ScrollEvent&) = default;
};

/// A magnification gesture (event type 29, gesture type 8) of `zoom`.
struct GestureEvent {
    static constexpr std::uint32_t eventType = 29;
    static constexpr std::int32_t zoomGestureType = 8;

    double zoom = 0;

    friend constexpr bool operator==(const GestureEvent&, const GestureEvent&) = default;
};

/// A media key press or release, posted as a system-defined event of subtype
/// 8 whose data1 is (keyType << 16) | 0xA00 (down) or 0xB00 (up).
struct MediaKeyEvent {
    std::uint32_t keyType = 0;  // 0 volume up, 1 down, 7 mute, 16 play, 17 next, 18 previous, ...
    bool down = false;

    friend constexpr bool operator==(const MediaKeyEvent&, const MediaKeyEvent&) = default;
};

/// Where the injector's events go: the window system, or a stand-in. Each
/// `create...` builds an event value, or returns nothing when the window
/// system cannot make one (the injector then skips the post but keeps its own
/// state changes). Events are posted at the HID level. Called only on the
/// injector's queue; implementations must not allocate on the move and key
/// paths.
class EventSink {
  public:
    /// Displays beyond this many are ignored.
    static constexpr std::size_t maxDisplays = 16;

    virtual ~EventSink() = default;

    /// The queue every call arrives on (the injector's), for work the sink
    /// must do later on its own, such as undoing a temporary keymap change.
    /// Hold it weakly. Called once, before any event.
    virtual void setQueue(const std::shared_ptr<base::SerialQueue>& /*queue*/) {}

    /// A key event for a virtual key code, flags and autorepeat 0.
    virtual std::optional<KeyboardEvent> createKeyboardEvent(std::uint16_t keyCode, bool down) {
        return KeyboardEvent{keyCode, down, 0, 0};
    }
    /// A mouse event of `type` at `location` for button number `button`, other fields 0.
    virtual std::optional<MouseEvent> createMouseEvent(MouseEventType type, Point location,
                                                       std::uint32_t button) {
        return MouseEvent{type, location, button, 0, 0, 0, 0};
    }
    /// A pixel-unit scroll event with two wheels (and a third at 0), no phase fields.
    virtual std::optional<ScrollEvent> createScrollWheelEvent(std::int32_t wheel1,
                                                              std::int32_t wheel2) {
        return ScrollEvent{wheel1, wheel2, 0, ScrollPhase::none, MomentumPhase::none};
    }
    /// A blank zoom gesture event.
    virtual std::optional<GestureEvent> createGestureEvent() { return GestureEvent{}; }
    /// A media key event.
    virtual std::optional<MediaKeyEvent> createMediaKeyEvent(std::uint32_t keyType, bool down) {
        return MediaKeyEvent{keyType, down};
    }

    virtual void post(const KeyboardEvent& event) = 0;
    virtual void post(const UnicodeKeyEvent& event) = 0;
    virtual void post(const MouseEvent& event) = 0;
    virtual void post(const ScrollEvent& event) = 0;
    virtual void post(const GestureEvent& event) = 0;
    virtual void post(const MediaKeyEvent& event) = 0;

    /// The real pointer position, or nothing when it cannot be read.
    virtual std::optional<Point> pointerLocation() = 0;

    /// Fills `out` with the bounds of the active displays in display-list
    /// order (the main display alone when none is reported active) and
    /// returns how many were written, at most out.size().
    virtual std::size_t displayRects(std::span<Rect> out) = 0;

    /// Tells the system a local user is active, so a sleeping display wakes.
    virtual void declareUserActivity() = 0;
};

/// A sink that makes every event and discards it: one 1920 x 1080 display, the
/// pointer fixed at its centre. For measuring the injector alone.
class NullEventSink final : public EventSink {
  public:
    void post(const KeyboardEvent&) override {}
    void post(const UnicodeKeyEvent&) override {}
    void post(const MouseEvent&) override {}
    void post(const ScrollEvent&) override {}
    void post(const GestureEvent&) override {}
    void post(const MediaKeyEvent&) override {}
    std::optional<Point> pointerLocation() override { return Point{960, 540}; }
    std::size_t displayRects(std::span<Rect> out) override {
        if (out.empty()) {
            return 0;
        }
        out[0] = Rect{0, 0, 1920, 1080};
        return 1;
    }
    void declareUserActivity() override {}
};

}  // namespace tarvel::injection
