#pragma once

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string_view>

#include "core/base/clock.hpp"
#include "core/base/serial_queue.hpp"
#include "core/gamepad/compiled_pad_mapping.hpp"
#include "core/gamepad/pad_state.hpp"
#include "core/input/hid_key_set.hpp"
#include "core/wire/input_packet.hpp"
#include "host/injection/event_sink.hpp"
#include "host/injection/keystroke_profile.hpp"
#include "host/mapping/pad_mapping_runtime.hpp"

namespace tarvel::injection {

/// How long a posted pointer position is trusted over the real one, which
/// the window system updates asynchronously.
inline constexpr std::chrono::milliseconds virtualPositionLifetime{100};
/// How long display bounds are cached, so clamping a burst of moves costs no query.
inline constexpr std::chrono::seconds displayCacheLifetime{1};
/// Pointer input after this long without any declares user activity again.
inline constexpr std::chrono::seconds userActivityInterval{30};
/// Stick motion tick: 125 Hz.
inline constexpr std::chrono::milliseconds motionInterval{8};
/// Longest time one motion tick may account for, so a stalled queue does not
/// throw the pointer across the screen (seconds).
inline constexpr double motionMaxStep = 0.05;
/// Held input with no packet for longer than this is released by the supervisor.
inline constexpr std::chrono::milliseconds heldInputTimeout{1500};
/// Pinch scale that makes one zoom keystroke.
inline constexpr float pinchStep = 0.08F;
/// Largest pinch delta accepted in one event: bounds the keystroke loop to
/// about 50 zoom keystrokes; real gestures report a few hundredths.
inline constexpr float maxPinchDelta = 4.0F;
/// UTF-16 code units the window system accepts on one key event.
inline constexpr std::size_t maxTextChunk = 20;

/// The event flags of the four wire modifier bits; other bits are ignored.
std::uint64_t flagsFor(wire::ModifierMask mask) noexcept;

/// What the injector holds down, so nothing stays stuck.
struct ActiveInputState {
    std::uint8_t heldMouseButtons = 0;  // 0x01 left, 0x02 right, 0x04 middle
    wire::ModifierMask heldModifiers;   // wire bits
    input::HIDKeySet heldHIDKeys;       // modifiers included
    base::MonotonicTime lastPacketTime;

    /// Some mouse button, modifier or key is held.
    bool holdsAnything() const noexcept {
        return heldMouseButtons != 0 || !heldModifiers.isEmpty() || !heldHIDKeys.isEmpty();
    }
};

/// Why the events keep macOS virtual key codes and event flags on every host:
/// the phone speaks in HID usages and the injector's rules (modifier flags,
/// shortcut chords, click counts, scroll phases) are written once against one
/// event model. Each EventSink translates that model to its window system
/// (X11 keycodes, keysyms, buttons), so the rules never fork per platform.
///
/// Turns decoded input events into synthetic events posted to an EventSink,
/// remembering what it holds so it can release everything in a fixed order.
/// Not thread-safe: every member function runs on the server's inject queue,
/// which is also where its stick-motion timer fires. Owned by a shared_ptr
/// (see create) because the timer holds it weakly.
class InputInjector : public std::enable_shared_from_this<InputInjector> {
  public:
    struct Vector {
        double x = 0;
        double y = 0;
    };

    /// An injector posting to `sink`, translating pad states with the mapping
    /// `runtime` holds now, timing with `clock`, tapping the chords of
    /// `profile` for shortcuts, swipes, zoom and paste. Any thread.
    static std::shared_ptr<InputInjector> create(
        std::shared_ptr<EventSink> sink, std::shared_ptr<mapping::PadMappingRuntime> runtime,
        std::shared_ptr<const base::Clock> clock,
        const KeystrokeProfile& profile = KeystrokeProfile::mac());

    InputInjector(const InputInjector&) = delete;
    InputInjector& operator=(const InputInjector&) = delete;

    /// The queue the motion timer runs on: the inject queue. Without it stick
    /// motion has no effect. Set once at server start, before any packet.
    /// Held weakly: jobs on that queue hold the injector, so a strong reference
    /// could make the queue's last owner one of its own tasks.
    void setQueue(const std::shared_ptr<base::SerialQueue>& queue);

    /// Stamps the time of the packet about to be handled; the server calls it
    /// before every handle. Inject queue.
    void stampPacketTime();

    /// Performs one input event with the packet's modifiers and phase.
    /// Non-finite or out-of-range move, scroll and pinch values are dropped
    /// without effect. Inject queue.
    void handle(const wire::InputPacket& packet);

    /// Types UTF-8 `text` as Unicode key events, whatever the keyboard layout,
    /// in chunks of at most 20 UTF-16 units that never split a surrogate pair.
    /// Ill-formed UTF-8 types U+FFFD. Held modifiers are neither used nor
    /// changed. Inject queue.
    void injectText(std::string_view text);

    /// Taps the profile's paste chord with the held modifiers' flags added:
    /// pastes what the clipboard holds. Inject queue.
    void postPaste();

    /// Releases everything held, in order: pad motion stopped, mouse buttons
    /// (left, right, middle), ordinary keys ascending, modifiers (shift,
    /// control, option, command), then any scroll in progress; then forgets
    /// all held state. Inject queue.
    void releaseAll();

    /// Rebuilds the pad translator from the runtime's current mapping and
    /// applies the difference for the current pad state. Inject queue.
    void padMappingChanged();

    /// The server's watchdog step: a stale pad is reset and what its mapping
    /// held released; then, if anything is held and no packet came for more
    /// than 1.5 s, everything is released. Inject queue.
    void superviseTick();

    /// Read-only views for the server and for tests. Inject queue.
    const ActiveInputState& state() const noexcept { return state_; }
    const gamepad::PadStateTracker& pad() const noexcept { return pad_; }
    const gamepad::PadTranslator& translator() const noexcept { return translator_; }
    std::int64_t translatorGeneration() const noexcept { return translatorGeneration_; }
    float zoomAccum() const noexcept { return zoomAccum_; }
    bool scrollActive() const noexcept { return scrollActive_; }
    bool momentumActive() const noexcept { return momentumActive_; }
    std::optional<Point> virtualPosition() const noexcept { return virtualPos_; }
    Vector pointerAccum() const noexcept { return pointerAccum_; }
    Vector scrollAccum() const noexcept { return scrollAccum_; }
    bool motionTimerActive() const noexcept { return motionTimer_.active(); }

  private:
    InputInjector(std::shared_ptr<EventSink> sink,
                  std::shared_ptr<mapping::PadMappingRuntime> runtime,
                  std::shared_ptr<const base::Clock> clock, const KeystrokeProfile& profile);

    void mouseMove(double dx, double dy, wire::ModifierMask mask);
    void mouseButton(std::uint8_t button, bool down, std::uint8_t clickCount,
                     wire::ModifierMask mask);
    void key(std::uint16_t hid, wire::KeyState keyState, wire::ModifierMask mask);
    void setModifiers(wire::ModifierMask mask);
    void scroll(float sx, float sy, wire::GesturePhase phase);
    void pinch(float delta, wire::GesturePhase phase);
    void swipe(std::uint8_t direction);
    void shortcut(std::uint8_t actionId);
    void media(std::uint8_t mediaId);
    void padUpdate(const wire::InputEvent& event);
    void padApply(const gamepad::PadFrameDiff& diff);
    void updateMotionTimer();
    void motionTick();

    Point basePosition(base::MonotonicTime now);
    Point clamp(Point p, base::MonotonicTime now);
    std::span<const Rect> displayRects(base::MonotonicTime now);
    void wakeDisplayIfIdle();
    void keystroke(Chord chord);
    void postMouseButton(std::uint8_t bit, bool down, Point at, std::int32_t clickState,
                         std::uint64_t flags);

    std::shared_ptr<EventSink> sink_;
    std::shared_ptr<mapping::PadMappingRuntime> runtime_;
    std::shared_ptr<const base::Clock> clock_;
    KeystrokeProfile profile_;
    std::weak_ptr<base::SerialQueue> queue_;

    ActiveInputState state_;
    float zoomAccum_ = 0;
    bool scrollActive_ = false;
    bool momentumActive_ = false;
    std::optional<base::MonotonicTime> lastMoveTime_;
    std::array<Rect, EventSink::maxDisplays> cachedRects_{};
    std::size_t cachedRectCount_ = 0;
    std::optional<base::MonotonicTime> rectsTime_;
    std::optional<Point> virtualPos_;
    base::MonotonicTime virtualPosTime_;
    gamepad::PadStateTracker pad_;
    gamepad::PadTranslator translator_;
    std::int64_t translatorGeneration_ = 0;
    base::MonotonicTime motionLast_;
    Vector pointerAccum_;
    Vector scrollAccum_;
    // Last, so it is cancelled before anything it could touch goes away.
    base::TimerHandle motionTimer_;
};

}  // namespace tarvel::injection
