#include "core/gamepad/compiled_pad_mapping.hpp"

#include <bit>
#include <cmath>

#include "core/gamepad/stick_math.hpp"

namespace tarvel::gamepad {

namespace {

// A trigger counts as pressed from a quarter of its travel: either high bit set.
constexpr std::uint8_t triggerPressedMask = 0xC0;
// Below this a keys-mode stick would flicker keys from sensor noise.
constexpr double minKeyThreshold = 0.05;

constexpr std::uint32_t bitOf(PadControl control) noexcept {
    return std::uint32_t{1} << static_cast<unsigned>(control);
}

// Bits of the d-pad controls for each hat value, from bit dpadUp on.
constexpr std::array<std::uint32_t, 9> hatControls = [] {
    std::array<std::uint32_t, 9> table{};
    for (std::uint8_t raw = 0; raw < table.size(); ++raw) {
        const PadHat hat(static_cast<PadHat::Value>(raw));
        table[raw] = (hat.up() ? 1U : 0U) | (hat.down() ? 2U : 0U) | (hat.left() ? 4U : 0U) |
                     (hat.right() ? 8U : 0U);
    }
    return table;
}();

constexpr std::uint32_t bitIf(bool condition, PadControl control) noexcept {
    return condition ? bitOf(control) : 0;
}

/// One bit per PadControl, set when the control is pressed in `state`.
/// Branch-free bit moves, since this runs for every pad packet.
std::uint32_t pressedControls(const PadState& state) noexcept {
    static_assert(static_cast<unsigned>(PadControl::dpadDown) ==
                      static_cast<unsigned>(PadControl::dpadUp) + 1 &&
                  static_cast<unsigned>(PadControl::dpadLeft) ==
                      static_cast<unsigned>(PadControl::dpadUp) + 2 &&
                  static_cast<unsigned>(PadControl::dpadRight) ==
                      static_cast<unsigned>(PadControl::dpadUp) + 3);
    const PadButtons b = state.buttons;
    // A hat forced out of range by a cast counts as neutral rather than reading past the table.
    const std::uint8_t hat = state.hat.rawValue() < hatControls.size() ? state.hat.rawValue() : 0;
    return bitIf(b.contains(PadButtons::a), PadControl::a) |
           bitIf(b.contains(PadButtons::b), PadControl::b) |
           bitIf(b.contains(PadButtons::x), PadControl::x) |
           bitIf(b.contains(PadButtons::y), PadControl::y) |
           bitIf(b.contains(PadButtons::leftBumper), PadControl::lb) |
           bitIf(b.contains(PadButtons::rightBumper), PadControl::rb) |
           bitIf((state.lt & triggerPressedMask) != 0, PadControl::lt) |
           bitIf((state.rt & triggerPressedMask) != 0, PadControl::rt) |
           bitIf(b.contains(PadButtons::back), PadControl::back) |
           bitIf(b.contains(PadButtons::start), PadControl::start) |
           bitIf(b.contains(PadButtons::leftStick), PadControl::l3) |
           bitIf(b.contains(PadButtons::rightStick), PadControl::r3) |
           (hatControls[hat] << static_cast<unsigned>(PadControl::dpadUp));
}

void holdKey(std::uint16_t usage, PadOutputFrame& frame) noexcept {
    if (usage >= 1 && usage <= 255) {
        frame.keys.insert(usage);
    }
}

// sign(v) * min(1, |v|)^1.5: fine control near the centre, full speed at the rim.
double shaped(double v) noexcept {
    const double m = std::min(1.0, std::fabs(v));
    const double curved = m * std::sqrt(m);
    return v < 0 ? -curved : curved;
}

void applyStick(const CompiledPadMapping::Stick& stick, std::int16_t axisX, std::int16_t axisY,
                PadOutputFrame& frame) noexcept {
    // A centred stick adds nothing in any mode; most frames have one.
    if (axisX == 0 && axisY == 0) {
        return;
    }
    double x = StickMath::unit(axisX);
    double y = StickMath::unit(axisY);
    switch (stick.mode) {
        case StickMode::keys: {
            const PadHat direction =
                StickMath::eightWay(x, y, std::max(minKeyThreshold, stick.deadzone));
            if (direction.up()) {
                holdKey(stick.up, frame);
            }
            if (direction.down()) {
                holdKey(stick.down, frame);
            }
            if (direction.left()) {
                holdKey(stick.left, frame);
            }
            if (direction.right()) {
                holdKey(stick.right, frame);
            }
            return;
        }
        case StickMode::mouse:
        case StickMode::scroll:
            break;
        case StickMode::off:
            return;
    }
    if (stick.deadzone > 0) {
        const double length = std::sqrt(x * x + y * y);
        if (!(length > stick.deadzone)) {
            return;
        }
        // Cut the dead zone out radially so output starts from 0 at its edge.
        const double scale =
            (std::min(1.0, length) - stick.deadzone) / (1 - stick.deadzone) / length;
        x *= scale;
        y *= scale;
    }
    const double ax = shaped(x) * stick.sensitivity;
    const double ay = shaped(y) * stick.sensitivity;
    if (stick.mode == StickMode::mouse) {
        // Screen y grows downwards, so pushing up moves the pointer up by default.
        frame.pointerX += ax * CompiledPadMapping::lookSpeed;
        frame.pointerY += (stick.invertY ? ay : -ay) * CompiledPadMapping::lookSpeed;
    } else {
        frame.scrollX += ax * CompiledPadMapping::scrollSpeed;
        frame.scrollY += (stick.invertY ? -ay : ay) * CompiledPadMapping::scrollSpeed;
    }
}

struct Unit {
    double x;
    double y;
};

// Screen terms: y grows downwards.
Unit pointerUnit(PadDirection direction) noexcept {
    switch (direction) {
        case PadDirection::up:
            return {0, -1};
        case PadDirection::down:
            return {0, 1};
        case PadDirection::left:
            return {-1, 0};
        case PadDirection::right:
            return {1, 0};
    }
    return {0, 0};
}

// Wheel terms: positive y scrolls up.
Unit scrollUnit(PadDirection direction) noexcept {
    switch (direction) {
        case PadDirection::up:
            return {0, 1};
        case PadDirection::down:
            return {0, -1};
        case PadDirection::left:
            return {-1, 0};
        case PadDirection::right:
            return {1, 0};
    }
    return {0, 0};
}

std::optional<CompiledPadMapping::Action> compile(const PadBinding& binding) {
    using Action = CompiledPadMapping::Action;
    if (const auto* key = binding.as<PadBinding::Key>()) {
        input::HIDKeySet keys;
        for (std::uint16_t usage : key->combo.mods.hids()) {
            keys.insert(usage);
        }
        if (auto usage = PadKeyNames::hid(key->combo.key); usage && *usage < 256) {
            keys.insert(*usage);
        }
        if (keys.isEmpty()) {
            return std::nullopt;
        }
        return Action::holdKeys(keys);
    }
    if (const auto* mouse = binding.as<PadBinding::MouseButton>()) {
        return Action::holdMouse(bit(mouse->button));
    }
    if (const auto* move = binding.as<PadBinding::MouseMove>()) {
        const Unit unit = pointerUnit(move->direction);
        const double speed = move->speed * CompiledPadMapping::buttonPointerSpeed;
        return Action::pointer(unit.x * speed, unit.y * speed);
    }
    if (const auto* scroll = binding.as<PadBinding::Scroll>()) {
        const Unit unit = scrollUnit(scroll->direction);
        const double speed = scroll->speed * CompiledPadMapping::buttonScrollSpeed;
        return Action::scroll(unit.x * speed, unit.y * speed);
    }
    return std::nullopt;
}

CompiledPadMapping::Stick compile(const StickBinding& stick) {
    auto usage = [](const std::string& name) -> std::uint16_t {
        return PadKeyNames::hid(name).value_or(0);
    };
    return {stick.mode,         usage(stick.up), usage(stick.down), usage(stick.left),
            usage(stick.right), stick.deadzone,  stick.sensitivity, stick.invertY};
}

}  // namespace

bool isPressed(PadControl control, const PadState& state) noexcept {
    return (pressedControls(state) & bitOf(control)) != 0;
}

CompiledPadMapping::CompiledPadMapping(const GamepadMapping& mapping) {
    const GamepadMapping normalized = mapping.normalized();
    for (PadControl control : allPadControls) {
        if (auto action = compile(normalized.binding(control))) {
            slots_[static_cast<std::size_t>(control)] = static_cast<std::uint8_t>(count_);
            boundControls_ |= bitOf(control);
            actions_[count_++] = ControlAction{control, *action};
        }
    }
    left_ = compile(normalized.leftStick);
    right_ = compile(normalized.rightStick);
}

const CompiledPadMapping& CompiledPadMapping::defaults() {
    static const CompiledPadMapping compiled(GamepadMapping::defaults());
    return compiled;
}

PadOutputFrame CompiledPadMapping::frame(const PadState& state) const noexcept {
    PadOutputFrame frame;
    // Visit only controls that are both pressed and bound, in control order.
    for (std::uint32_t todo = pressedControls(state) & boundControls_; todo != 0;
         todo &= todo - 1) {
        const Action& action = actions_[slots_[std::countr_zero(todo)]].action;
        switch (action.kind) {
            case Action::Kind::keys:
                frame.keys.formUnion(action.keys);
                break;
            case Action::Kind::mouse:
                frame.mouseButtons |= action.mouseButtons;
                break;
            case Action::Kind::pointer:
                frame.pointerX += action.dx;
                frame.pointerY += action.dy;
                break;
            case Action::Kind::scroll:
                frame.scrollX += action.dx;
                frame.scrollY += action.dy;
                break;
            case Action::Kind::none:
                break;
        }
    }
    applyStick(left_, state.lx, state.ly, frame);
    applyStick(right_, state.rx, state.ry, frame);
    return frame;
}

PadFrameDiff PadTranslator::update(const PadState& state) noexcept {
    const PadOutputFrame next = mapping_.frame(state);
    const PadFrameDiff diff(output_, next);
    output_ = next;
    return diff;
}

PadFrameDiff PadTranslator::setMapping(const CompiledPadMapping& mapping,
                                       const PadState& state) noexcept {
    mapping_ = mapping;
    return update(state);
}

PadFrameDiff PadTranslator::releaseAll() noexcept {
    const PadFrameDiff diff(output_, PadOutputFrame{});
    output_ = PadOutputFrame{};
    return diff;
}

}  // namespace tarvel::gamepad
