#include "host/injection/input_injector.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <string>
#include <utility>
#include <variant>

#include "core/base/overloaded.hpp"
#include "core/input/keycode_table.hpp"
#include "host/injection/utf16.hpp"

namespace tarvel::injection {

namespace {

using input::KeycodeTable;
using wire::GesturePhase;
using wire::InputEvent;
using wire::KeyState;
using wire::ModifierMask;

constexpr std::array<ModifierMask, 4> modifierOrder{ModifierMask::shift, ModifierMask::control,
                                                    ModifierMask::option, ModifierMask::command};

struct ButtonRow {
    std::uint8_t bit;
    MouseEventType downType;
    MouseEventType upType;
    std::uint32_t number;
};

// In release order: left, right, middle.
constexpr std::array<ButtonRow, 3> buttonRows{{
    {0x01, MouseEventType::leftMouseDown, MouseEventType::leftMouseUp, 0},
    {0x02, MouseEventType::rightMouseDown, MouseEventType::rightMouseUp, 1},
    {0x04, MouseEventType::otherMouseDown, MouseEventType::otherMouseUp, 2},
}};

const ButtonRow* buttonRowForBit(std::uint8_t bit) noexcept {
    for (const auto& row : buttonRows) {
        if (row.bit == bit) {
            return &row;
        }
    }
    return nullptr;
}

constexpr std::uint16_t keyCodeTextCarrier = 0x00;

constexpr bool isArrowHID(std::uint16_t usage) noexcept {
    return usage >= 0x4F && usage <= 0x52;
}

/// Rounds half away from zero into an event's 32-bit integer field; nothing
/// when the value is not finite or does not fit.
std::optional<std::int32_t> roundedField(double value) noexcept {
    if (!std::isfinite(value)) {
        return std::nullopt;
    }
    const double rounded = std::round(value);
    if (rounded < static_cast<double>(std::numeric_limits<std::int32_t>::min()) ||
        rounded > static_cast<double>(std::numeric_limits<std::int32_t>::max())) {
        return std::nullopt;
    }
    return static_cast<std::int32_t>(rounded);
}

double seconds(base::MonotonicClock::duration d) noexcept {
    return std::chrono::duration<double>(d).count();
}

using base::Overloaded;

}  // namespace

std::uint64_t flagsFor(ModifierMask mask) noexcept {
    std::uint64_t flags = 0;
    if (mask.contains(ModifierMask::shift)) {
        flags |= EventFlags::shift;
    }
    if (mask.contains(ModifierMask::control)) {
        flags |= EventFlags::control;
    }
    if (mask.contains(ModifierMask::option)) {
        flags |= EventFlags::alternate;
    }
    if (mask.contains(ModifierMask::command)) {
        flags |= EventFlags::command;
    }
    return flags;
}

std::shared_ptr<InputInjector> InputInjector::create(
    std::shared_ptr<EventSink> sink, std::shared_ptr<mapping::PadMappingRuntime> runtime,
    std::shared_ptr<const base::Clock> clock, const KeystrokeProfile& profile) {
    return std::shared_ptr<InputInjector>(
        new InputInjector(std::move(sink), std::move(runtime), std::move(clock), profile));
}

InputInjector::InputInjector(std::shared_ptr<EventSink> sink,
                             std::shared_ptr<mapping::PadMappingRuntime> runtime,
                             std::shared_ptr<const base::Clock> clock,
                             const KeystrokeProfile& profile)
    : sink_(std::move(sink)),
      runtime_(std::move(runtime)),
      clock_(std::move(clock)),
      profile_(profile) {
    const auto now = clock_->now();
    state_.lastPacketTime = now;
    virtualPosTime_ = now;
    motionLast_ = now;
    // Mapping and generation come from one read, so they belong together.
    const auto snapshot = runtime_->read();
    translator_ = gamepad::PadTranslator(snapshot.compiled);
    translatorGeneration_ = snapshot.generation;
}

void InputInjector::setQueue(const std::shared_ptr<base::SerialQueue>& queue) {
    queue_ = queue;
    sink_->setQueue(queue);
}

void InputInjector::stampPacketTime() {
    state_.lastPacketTime = clock_->now();
}

void InputInjector::handle(const wire::InputPacket& packet) {
    const ModifierMask mask = state_.heldModifiers | packet.modifierMask;
    std::visit(Overloaded{
                   [&](const InputEvent::MouseMove& e) { mouseMove(e.dx, e.dy, mask); },
                   [&](const InputEvent::MouseButton& e) {
                       mouseButton(e.button, e.down, e.clickCount, mask);
                   },
                   [&](const InputEvent::Scroll& e) { scroll(e.sx, e.sy, packet.phase); },
                   [&](const InputEvent::Key& e) { key(e.hid, e.state, mask); },
                   [&](const InputEvent::PinchZoom& e) { pinch(e.scaleDelta, packet.phase); },
                   [&](const InputEvent::ThreeFingerSwipe& e) { swipe(e.direction); },
                   [&](const InputEvent::Shortcut& e) { shortcut(e.actionId); },
                   [&](const InputEvent::ModifierState& e) { setModifiers(e.mask); },
                   [&](const InputEvent::Media& e) { media(e.mediaId); },
                   [&](const InputEvent::GamepadSticks&) { padUpdate(packet.event); },
                   [&](const InputEvent::GamepadButtons&) { padUpdate(packet.event); },
                   [&](const InputEvent::ResetState&) { releaseAll(); },
               },
               packet.event.value());
}

// Pointer.

Point InputInjector::basePosition(base::MonotonicTime now) {
    if (virtualPos_ && now - virtualPosTime_ < virtualPositionLifetime) {
        return *virtualPos_;
    }
    return sink_->pointerLocation().value_or(Point{0, 0});
}

std::span<const Rect> InputInjector::displayRects(base::MonotonicTime now) {
    if (cachedRectCount_ == 0 || !rectsTime_ || now - *rectsTime_ >= displayCacheLifetime) {
        cachedRectCount_ = std::min(sink_->displayRects(cachedRects_), cachedRects_.size());
        rectsTime_ = now;
    }
    return {cachedRects_.data(), cachedRectCount_};
}

Point InputInjector::clamp(Point p, base::MonotonicTime now) {
    const auto rects = displayRects(now);
    if (rects.empty() ||
        std::any_of(rects.begin(), rects.end(), [p](const Rect& r) { return r.contains(p); })) {
        return p;
    }
    std::optional<Point> best;
    double bestDistance = 0;
    for (const Rect& r : rects) {
        // One pixel inside the far edges, which belong to the next display.
        const Point candidate{std::min(std::max(p.x, r.minX()), r.maxX() - 1),
                              std::min(std::max(p.y, r.minY()), r.maxY() - 1)};
        const double distance = std::hypot(candidate.x - p.x, candidate.y - p.y);
        if (!best || distance < bestDistance) {
            best = candidate;
            bestDistance = distance;
        }
    }
    return *best;
}

void InputInjector::mouseMove(double dx, double dy, ModifierMask mask) {
    // A value the event cannot carry would poison the virtual position.
    const auto deltaX = roundedField(dx);
    const auto deltaY = roundedField(dy);
    if (!deltaX || !deltaY) {
        return;
    }
    const auto now = clock_->now();
    if (!lastMoveTime_ || now - *lastMoveTime_ > userActivityInterval) {
        sink_->declareUserActivity();
    }
    lastMoveTime_ = now;

    const Point base = basePosition(now);
    const Point target = clamp(Point{base.x + dx, base.y + dy}, now);

    MouseEventType type = MouseEventType::mouseMoved;
    std::uint32_t button = 0;
    if ((state_.heldMouseButtons & 0x01) != 0) {
        type = MouseEventType::leftMouseDragged;
    } else if ((state_.heldMouseButtons & 0x02) != 0) {
        type = MouseEventType::rightMouseDragged;
        button = 1;
    } else if ((state_.heldMouseButtons & 0x04) != 0) {
        type = MouseEventType::otherMouseDragged;
        button = 2;
    }
    auto event = sink_->createMouseEvent(type, target, button);
    virtualPos_ = target;
    virtualPosTime_ = now;
    if (event) {
        event->deltaX = *deltaX;
        event->deltaY = *deltaY;
        event->flags = flagsFor(mask);
        sink_->post(*event);
    }
}

void InputInjector::wakeDisplayIfIdle() {
    const auto now = clock_->now();
    if (lastMoveTime_ && now - *lastMoveTime_ > userActivityInterval) {
        sink_->declareUserActivity();
    }
    lastMoveTime_ = now;
}

void InputInjector::postMouseButton(std::uint8_t bit, bool down, Point at,
                                       std::int32_t clickState, std::uint64_t flags) {
    const ButtonRow* row = buttonRowForBit(bit);
    auto event = sink_->createMouseEvent(down ? row->downType : row->upType, at, row->number);
    if (event) {
        event->clickState = clickState;
        event->flags = flags;
    }
    if (down) {
        state_.heldMouseButtons |= bit;
    } else {
        state_.heldMouseButtons = static_cast<std::uint8_t>(state_.heldMouseButtons & ~bit);
    }
    wakeDisplayIfIdle();
    if (event) {
        sink_->post(*event);
    }
}

void InputInjector::mouseButton(std::uint8_t button, bool down, std::uint8_t clickCount,
                                   ModifierMask mask) {
    if (button < 1 || button > 3) {
        return;
    }
    const auto bit = static_cast<std::uint8_t>(1U << (button - 1U));
    const std::int32_t clickState = std::clamp<std::int32_t>(clickCount, 1, 3);
    postMouseButton(bit, down, basePosition(clock_->now()), clickState, flagsFor(mask));
}

// Keys.

void InputInjector::key(std::uint16_t hid, KeyState keyState, ModifierMask mask) {
    const auto& table = KeycodeTable::shared();
    const bool down = keyState != KeyState::up;
    if (const auto bit = KeycodeTable::modifierBitForHID(hid)) {
        // Recorded even without a key code, so a right-hand modifier is still released later.
        if (down) {
            state_.heldHIDKeys.insert(hid);
        } else {
            state_.heldHIDKeys.remove(hid);
        }
        const auto code = table.macKeyCodeForHID(hid);
        if (!code) {
            return;
        }
        ModifierMask held = state_.heldModifiers;
        if (down) {
            held.insert(*bit);
        } else {
            held.remove(*bit);
        }
        if (auto event = sink_->createKeyboardEvent(*code, down)) {
            ModifierMask flagsMask = mask;
            flagsMask.remove(*bit);
            event->flags = flagsFor(flagsMask | held);
            sink_->post(*event);
        }
        state_.heldModifiers = held;
        return;
    }

    const auto code = table.macKeyCodeForHID(hid);
    if (!code) {
        return;
    }
    if (down) {
        state_.heldHIDKeys.insert(hid);
    } else {
        state_.heldHIDKeys.remove(hid);
    }
    if (auto event = sink_->createKeyboardEvent(*code, down)) {
        // The window system marks arrow keys as function-row keys.
        event->flags = flagsFor(mask) | (isArrowHID(hid) ? EventFlags::secondaryFn : 0);
        if (keyState == KeyState::repeat) {
            event->autorepeat = 1;
        }
        sink_->post(*event);
    }
}

void InputInjector::setModifiers(ModifierMask mask) {
    const ModifierMask old = state_.heldModifiers;
    if (mask == old) {
        return;
    }
    ModifierMask running = old;
    for (ModifierMask bit : modifierOrder) {
        if (old.contains(bit) == mask.contains(bit)) {
            continue;
        }
        const auto hid = KeycodeTable::hidForModifierBit(bit);
        const auto code = hid ? KeycodeTable::shared().macKeyCodeForHID(*hid) : std::nullopt;
        if (!code) {
            continue;
        }
        const bool down = mask.contains(bit);
        if (down) {
            running.insert(bit);
        } else {
            running.remove(bit);
        }
        if (auto event = sink_->createKeyboardEvent(*code, down)) {
            event->flags = flagsFor(running);
            sink_->post(*event);
        }
    }
    state_.heldModifiers = mask;
}

void InputInjector::keystroke(Chord chord) {
    const std::uint64_t flags = flagsFor(state_.heldModifiers) | chord.flags;
    for (bool down : {true, false}) {
        if (auto event = sink_->createKeyboardEvent(chord.keyCode, down)) {
            event->flags = flags;
            sink_->post(*event);
        }
    }
}

void InputInjector::postPaste() {
    keystroke(profile_.paste);
}

void InputInjector::swipe(std::uint8_t direction) {
    if (direction < 1 || direction > profile_.swipes.size()) {
        return;
    }
    keystroke(profile_.swipes[direction - 1U]);
}

void InputInjector::shortcut(std::uint8_t actionId) {
    if (actionId < 1 || actionId > profile_.shortcuts.size()) {
        return;
    }
    keystroke(profile_.shortcuts[actionId - 1U]);
}

void InputInjector::media(std::uint8_t mediaId) {
    // Volume up, down, mute, play/pause, next, previous, brightness up, down.
    constexpr std::array<std::uint32_t, 8> keyTypes{0, 1, 7, 16, 17, 18, 2, 3};
    if (mediaId < 1 || mediaId > keyTypes.size()) {
        return;
    }
    for (bool down : {true, false}) {
        if (auto event = sink_->createMediaKeyEvent(keyTypes[mediaId - 1U], down)) {
            sink_->post(*event);
        }
    }
}

void InputInjector::injectText(std::string_view text) {
    const std::u16string units = utf16FromUTF8(text);
    if (units.empty()) {
        return;
    }
    auto down = sink_->createKeyboardEvent(keyCodeTextCarrier, true);
    auto up = sink_->createKeyboardEvent(keyCodeTextCarrier, false);
    if (!down || !up) {
        return;
    }
    const std::u16string_view all = units;
    std::size_t start = 0;
    while (start < all.size()) {
        const std::size_t end = textChunkEnd(all, start, maxTextChunk);
        const auto chunk = all.substr(start, end - start);
        down->flags = 0;
        up->flags = 0;
        sink_->post(UnicodeKeyEvent{*down, chunk});
        sink_->post(UnicodeKeyEvent{*up, chunk});
        start = end;
    }
}

// Scrolling and gestures.

void InputInjector::scroll(float sx, float sy, GesturePhase phase) {
    const auto wheel1 = roundedField(sy);
    const auto wheel2 = roundedField(sx);
    if (!wheel1 || !wheel2) {
        return;
    }
    auto event = sink_->createScrollWheelEvent(*wheel1, *wheel2);
    ScrollEvent fields;
    fields.continuous = 1;
    switch (phase) {
        case GesturePhase::none:
        case GesturePhase::changed:
            fields.scrollPhase = ScrollPhase::changed;
            scrollActive_ = true;
            break;
        case GesturePhase::began:
            fields.scrollPhase = ScrollPhase::began;
            scrollActive_ = true;
            momentumActive_ = false;
            break;
        case GesturePhase::ended:
        case GesturePhase::cancelled:
            if (momentumActive_) {
                fields.momentumPhase = MomentumPhase::end;
            } else {
                fields.scrollPhase =
                    phase == GesturePhase::ended ? ScrollPhase::ended : ScrollPhase::cancelled;
            }
            scrollActive_ = false;
            momentumActive_ = false;
            break;
        case GesturePhase::momentum:
            fields.momentumPhase =
                momentumActive_ ? MomentumPhase::continuing : MomentumPhase::begin;
            momentumActive_ = true;
            break;
    }
    if (event) {
        event->continuous = fields.continuous;
        event->scrollPhase = fields.scrollPhase;
        event->momentumPhase = fields.momentumPhase;
        sink_->post(*event);
    }
}

void InputInjector::pinch(float delta, GesturePhase phase) {
    // NaN would stick in the accumulator for good; a huge value would spin the loop.
    if (!std::isfinite(delta) || std::fabs(delta) > maxPinchDelta) {
        return;
    }
    if (phase == GesturePhase::began) {
        zoomAccum_ = 0;
    }
    zoomAccum_ += delta;
    while (std::fabs(zoomAccum_) >= pinchStep) {
        if (zoomAccum_ > 0) {
            keystroke(profile_.zoomIn);
            zoomAccum_ -= pinchStep;
        } else {
            keystroke(profile_.zoomOut);
            zoomAccum_ += pinchStep;
        }
    }
    if (delta != 0) {
        if (auto event = sink_->createGestureEvent()) {
            event->zoom = delta;
            sink_->post(*event);
        }
    }
    if (phase == GesturePhase::ended || phase == GesturePhase::cancelled) {
        zoomAccum_ = 0;
    }
}

// Gamepad.

void InputInjector::padUpdate(const InputEvent& event) {
    const bool changed = pad_.apply(event, clock_->now());
    if (runtime_->generation() != translatorGeneration_) {
        padMappingChanged();
        return;
    }
    if (changed) {
        padApply(translator_.update(pad_.state()));
    }
}

void InputInjector::padMappingChanged() {
    const auto snapshot = runtime_->read();
    translatorGeneration_ = snapshot.generation;
    padApply(translator_.setMapping(snapshot.compiled, pad_.state()));
}

void InputInjector::padApply(const gamepad::PadFrameDiff& diff) {
    diff.forEachRelease(
        [this](std::uint16_t hid) { key(hid, KeyState::up, state_.heldModifiers); });
    for (bool down : {false, true}) {
        const std::uint8_t bits = down ? diff.mouseDown : diff.mouseUp;
        for (const auto& row : buttonRows) {
            if ((bits & row.bit) != 0) {
                postMouseButton(row.bit, down, basePosition(clock_->now()), 1,
                                flagsFor(state_.heldModifiers));
            }
        }
    }
    // Modifiers first, so a Shift+W binding reaches applications as shifted.
    diff.forEachPress(
        [this](std::uint16_t hid) { key(hid, KeyState::down, state_.heldModifiers); });
    updateMotionTimer();
}

void InputInjector::updateMotionTimer() {
    if (!translator_.output().needsTimer()) {
        motionTimer_.cancel();
        pointerAccum_ = {};
        scrollAccum_ = {};
        return;
    }
    auto queue = queue_.lock();
    if (motionTimer_.active() || !queue) {
        return;
    }
    motionLast_ = clock_->now();
    motionTimer_ = queue->repeating(motionInterval, motionInterval, [weak = weak_from_this()] {
        if (auto self = weak.lock()) {
            self->motionTick();
        }
    });
}

void InputInjector::motionTick() {
    const auto now = clock_->now();
    const double dt = std::clamp(seconds(now - motionLast_), 0.0, motionMaxStep);
    motionLast_ = now;
    const auto& out = translator_.output();

    pointerAccum_.x += out.pointerX * dt;
    pointerAccum_.y += out.pointerY * dt;
    const double px = std::trunc(pointerAccum_.x);
    const double py = std::trunc(pointerAccum_.y);
    if (px != 0 || py != 0) {
        pointerAccum_.x -= px;
        pointerAccum_.y -= py;
        mouseMove(px, py, state_.heldModifiers);
    }

    scrollAccum_.x += out.scrollX * dt;
    scrollAccum_.y += out.scrollY * dt;
    const double sx = std::trunc(scrollAccum_.x);
    const double sy = std::trunc(scrollAccum_.y);
    if (sx != 0 || sy != 0) {
        scrollAccum_.x -= sx;
        scrollAccum_.y -= sy;
        // Velocities are bounded by the compiled mapping, so one tick's whole
        // pixels always fit; the horizontal wheel runs the other way.
        if (auto event = sink_->createScrollWheelEvent(static_cast<std::int32_t>(sy),
                                                       static_cast<std::int32_t>(-sx))) {
            sink_->post(*event);
        }
    }
}

// Releasing.

void InputInjector::releaseAll() {
    pad_.reset();
    translator_.forget();
    updateMotionTimer();

    const Point base = basePosition(clock_->now());
    for (const auto& row : buttonRows) {
        if ((state_.heldMouseButtons & row.bit) != 0) {
            if (auto event = sink_->createMouseEvent(row.upType, base, row.number)) {
                event->clickState = 1;
                sink_->post(*event);
            }
        }
    }

    const auto& table = KeycodeTable::shared();
    ModifierMask modifiers = state_.heldModifiers;
    state_.heldHIDKeys.forEach([&](std::uint16_t hid) {
        if (const auto bit = KeycodeTable::modifierBitForHID(hid)) {
            modifiers.insert(*bit);
            return;
        }
        if (const auto code = table.macKeyCodeForHID(hid)) {
            if (auto event = sink_->createKeyboardEvent(*code, false)) {
                sink_->post(*event);
            }
        }
    });

    // Released as left-hand keys: right-hand ones were never posted.
    for (ModifierMask bit : modifierOrder) {
        if (!modifiers.contains(bit)) {
            continue;
        }
        const auto hid = KeycodeTable::hidForModifierBit(bit);
        const auto code = hid ? table.macKeyCodeForHID(*hid) : std::nullopt;
        if (!code) {
            continue;
        }
        modifiers.remove(bit);
        if (auto event = sink_->createKeyboardEvent(*code, false)) {
            event->flags = flagsFor(modifiers);
            sink_->post(*event);
        }
    }

    if (scrollActive_ || momentumActive_) {
        if (auto event = sink_->createScrollWheelEvent(0, 0)) {
            if (momentumActive_) {
                event->momentumPhase = MomentumPhase::end;
            } else {
                event->scrollPhase = ScrollPhase::ended;
            }
            sink_->post(*event);
        }
    }

    scrollActive_ = false;
    momentumActive_ = false;
    zoomAccum_ = 0;
    state_ = ActiveInputState{};
    state_.lastPacketTime = clock_->now();
}

void InputInjector::superviseTick() {
    const auto now = clock_->now();
    if (pad_.isStale(now)) {
        pad_.reset();
        padApply(translator_.releaseAll());
    }
    if (state_.holdsAnything() && now - state_.lastPacketTime > heldInputTimeout) {
        releaseAll();
    }
}

}  // namespace tarvel::injection
