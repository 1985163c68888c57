#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

#include "core/gamepad/gamepad_mapping.hpp"
#include "core/gamepad/pad_state.hpp"

namespace tarvel::gamepad {

/// Whether `control` counts as pressed in `state`: its button bit, a
/// trigger at 64 or more, or a hat direction that includes it.
bool isPressed(PadControl control, const PadState& state) noexcept;

/// A GamepadMapping resolved for the per-frame path: a flat list of actions
/// with key names already turned into usages, and two sticks. Fixed size, so
/// copying it (as the injector does under a lock) never allocates.
class CompiledPadMapping {
  public:
    /// Pixels per second of a mouse-mode stick at full deflection, before sensitivity.
    static constexpr double lookSpeed = 1400;
    /// Pixels per second of a scroll-mode stick at full deflection, before sensitivity.
    static constexpr double scrollSpeed = 1500;
    /// Pixels per second of a button bound to pointer motion, before its speed factor.
    static constexpr double buttonPointerSpeed = 600;
    /// Pixels per second of a button bound to scrolling, before its speed factor.
    static constexpr double buttonScrollSpeed = 600;

    /// What a control does while pressed.
    struct Action {
        enum class Kind : std::uint8_t { keys, mouse, pointer, scroll, none };

        Kind kind = Kind::none;
        input::HIDKeySet keys;          // keys: usages to hold
        std::uint8_t mouseButtons = 0;  // mouse: PadOutputFrame mouse bits
        double dx = 0;                  // pointer or scroll velocity, pixels per second
        double dy = 0;                  // (pointer y down)

        static Action holdKeys(const input::HIDKeySet& keys) noexcept {
            return {Kind::keys, keys, 0, 0, 0};
        }
        static Action holdMouse(std::uint8_t buttons) noexcept {
            return {Kind::mouse, {}, buttons, 0, 0};
        }
        static Action pointer(double dx, double dy) noexcept {
            return {Kind::pointer, {}, 0, dx, dy};
        }
        static Action scroll(double dx, double dy) noexcept {
            return {Kind::scroll, {}, 0, dx, dy};
        }

        friend bool operator==(const Action&, const Action&) = default;
    };

    struct ControlAction {
        PadControl control;
        Action action;

        friend bool operator==(const ControlAction&, const ControlAction&) = default;
    };

    /// A stick with its key names resolved; 0 means no key.
    struct Stick {
        StickMode mode = StickMode::off;
        std::uint16_t up = 0;
        std::uint16_t down = 0;
        std::uint16_t left = 0;
        std::uint16_t right = 0;
        double deadzone = 0;
        double sensitivity = 1;
        bool invertY = false;

        friend bool operator==(const Stick&, const Stick&) = default;
    };

    /// A mapping that does nothing.
    CompiledPadMapping() noexcept = default;

    /// Compiles the normalised `mapping`. Controls bound to nothing (or to
    /// a key combination with neither key nor modifier) get no action.
    explicit CompiledPadMapping(const GamepadMapping& mapping);

    /// The compiled shooter preset.
    static const CompiledPadMapping& defaults();

    /// The actions in control order.
    std::span<const ControlAction> actions() const noexcept { return {actions_.data(), count_}; }
    /// The compiled sticks.
    const Stick& left() const noexcept { return left_; }
    const Stick& right() const noexcept { return right_; }

    /// What `state` asks of the host: the actions of every pressed control
    /// added up, then both sticks. No allocation, no string handling.
    PadOutputFrame frame(const PadState& state) const noexcept;

    friend bool operator==(const CompiledPadMapping& l, const CompiledPadMapping& r) noexcept {
        return l.count_ == r.count_ && l.left_ == r.left_ && l.right_ == r.right_ &&
               std::equal(l.actions_.begin(), l.actions_.begin() + static_cast<long>(l.count_),
                          r.actions_.begin());
    }

  private:
    std::array<ControlAction, allPadControls.size()> actions_{};
    std::size_t count_ = 0;
    // Index into actions_ per control, valid where boundControls_ has its bit.
    std::array<std::uint8_t, allPadControls.size()> slots_{};
    std::uint32_t boundControls_ = 0;
    Stick left_;
    Stick right_;
};

/// Turns successive pad states into the key and button changes to apply.
/// A plain value, owned by the injector.
class PadTranslator {
  public:
    explicit PadTranslator(CompiledPadMapping mapping = CompiledPadMapping::defaults()) noexcept
        : mapping_(mapping) {}

    /// The change from the previous output to the frame of `state`, which
    /// becomes the output.
    PadFrameDiff update(const PadState& state) noexcept;

    /// Replaces the mapping, then as update(state): keys held under the old
    /// mapping and not under the new one are released by the same diff.
    PadFrameDiff setMapping(const CompiledPadMapping& mapping, const PadState& state) noexcept;

    /// Releases every key and button of the output, which becomes idle.
    PadFrameDiff releaseAll() noexcept;

    /// Makes the output idle without releasing anything, for when the
    /// caller has already let go of everything itself.
    void forget() noexcept { output_ = PadOutputFrame{}; }

    /// The mapping in force.
    const CompiledPadMapping& mapping() const noexcept { return mapping_; }
    /// The last frame produced; velocities are read from here.
    const PadOutputFrame& output() const noexcept { return output_; }

  private:
    CompiledPadMapping mapping_;
    PadOutputFrame output_;
};

}  // namespace tarvel::gamepad
