#pragma once

#include <array>
#include <cstdint>

namespace tarvel::injection {

/// A key (by virtual key code) and the event flags added to the held
/// modifiers' flags when the injector taps it.
struct Chord {
    std::uint16_t keyCode = 0;
    std::uint64_t flags = 0;

    friend constexpr bool operator==(const Chord&, const Chord&) = default;
};

/// The chords the injector taps on its own behalf: shortcut actions, swipes,
/// pinch zoom and the clipboard's paste. Each desktop has its own conventions
/// for these; keys the phone sends as keys are never rewritten.
struct KeystrokeProfile {
    /// By action id 1 to 8: copy, paste, cut, undo, redo, select all, find, lock screen.
    std::array<Chord, 8> shortcuts;
    /// By direction 1 to 4: up, down, right, left.
    std::array<Chord, 4> swipes;
    Chord zoomIn;
    Chord zoomOut;
    Chord paste;

    /// Command shortcuts, Control-arrow spaces and overviews.
    static const KeystrokeProfile& mac();
    /// Control shortcuts, Super for the overview, Control-Alt-arrow workspaces
    /// and Super-L to lock, as common Linux desktops have them. Command stays
    /// Super on the wire, so these are spelled with the Control flag.
    static const KeystrokeProfile& linuxDesktop();

    friend bool operator==(const KeystrokeProfile&, const KeystrokeProfile&) = default;
};

}  // namespace tarvel::injection
