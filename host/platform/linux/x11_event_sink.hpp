#pragma once

#include <X11/Xlib.h>

#include <array>
#include <bitset>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include <tl/expected.hpp>

#include "core/base/serial_queue.hpp"
#include "host/injection/event_sink.hpp"
#include "host/platform/linux/x11_connection.hpp"

namespace tarvel::platform {

/// Pixels of phone scrolling that make one wheel click: X toolkits scroll
/// about three lines, some 50 pixels, per click.
inline constexpr std::int64_t pixelsPerWheelClick = 50;
/// Wheel clicks one scroll event may produce at most per axis; a peer's huge
/// delta must not turn into an endless click loop.
inline constexpr std::int64_t maxWheelClicksPerEvent = 20;
/// Pause after remapping a spare keycode, so receivers that re-read the whole
/// keymap on every change (Qt) catch up before the keycode is reused.
inline constexpr std::chrono::microseconds spareRemapPause{1000};
/// A spare keycode is remapped again no sooner than this after its last
/// remap: receivers that lag this far behind still read the right character.
/// With 18 spares, text the keymap lacks types at 360 characters a second at
/// the least.
inline constexpr std::chrono::milliseconds spareReuseInterval{50};
/// Spare keycodes go back to no symbol this long after their last use; sooner,
/// and receivers still decoding the last characters would see no keysym.
inline constexpr std::chrono::milliseconds spareRestoreDelay{200};
/// How long monitor bounds are reused before asking the server again.
inline constexpr std::chrono::seconds monitorCacheLifetime{1};
/// How long the server's per-key autorepeat settings are reused; the user
/// changes them rarely (xset r).
inline constexpr std::chrono::seconds repeatMapLifetime{1};

/// Posts the injector's events to an X server through XTEST: keys by the X
/// keycode of the macOS key code's row, flags as held left-hand modifier keys,
/// absolute pointer motion, buttons, pixel scrolling as wheel clicks, and text
/// typed through the live keymap, borrowing spare keycodes for characters it
/// lacks.
///
/// Keys this sink holds have their server autorepeat turned off (the phone
/// repeats on its own, and a lost release must not go on repeating). A phone
/// repeat is posted as release and press of the held key, as the server's own
/// autorepeat does, because XTEST drops a press of a key that is already down.
///
/// What a crash would leave behind (keys and buttons pressed, autorepeat
/// turned off, spare keycodes borrowed) is recorded on the X server itself, in
/// a root window property of a slot this sink owns through a selection: the
/// record lives exactly as long as the server, and the selection goes when
/// the process does, however it ends. `open` undoes the records of slots
/// without an owner, except what the records of live sinks also claim: XTEST
/// keys are shared, so a key both ever pressed may be the live one's to hold.
/// A spare goes back only while it still types the keysym recorded for it.
/// The record changes when that state grows or a spare is remapped, never per
/// event.
///
/// Every call after `open` must come from one queue, the injector's. Losing
/// the X server makes every call a no-op (logged once by the connection).
class X11EventSink final : public injection::EventSink,
                           public std::enable_shared_from_this<X11EventSink> {
  public:
    /// Connects to `displayName` (empty: $DISPLAY), which needs the XTEST and
    /// XKEYBOARD extensions. First undoes what crashed sinks left on that
    /// server (logged in one line), then claims a slot for its own record.
    /// `legacyRepeatStateFile`, when not empty, is where earlier versions kept
    /// the keycodes whose autorepeat they turned off: a run that crashed before
    /// the upgrade is repaired from it and the file removed. Any thread.
    static tl::expected<std::shared_ptr<X11EventSink>, std::string> open(
        std::string_view displayName, std::filesystem::path legacyRepeatStateFile);

    /// Releases every button and key still held, restores autorepeat and the
    /// spare keycodes, and removes its record. Any thread, once no call is
    /// running.
    ~X11EventSink() override;
    X11EventSink(const X11EventSink&) = delete;
    X11EventSink& operator=(const X11EventSink&) = delete;

    /// The queue that restores spare keycodes after typing; held weakly.
    void setQueue(const std::shared_ptr<base::SerialQueue>& queue) override;

    /// A key by macOS key code, after pressing and releasing modifier keys to
    /// match the event's flags. Keys absent from the live keymap are skipped.
    void post(const injection::KeyboardEvent& event) override;
    /// Types the text of a key-down event; the matching key-up is ignored.
    /// Modifiers this sink holds are lifted while typing.
    void post(const injection::UnicodeKeyEvent& event) override;
    /// Moves the pointer to the event's location (whole pixels, rounded
    /// down), then presses or releases its button.
    void post(const injection::MouseEvent& event) override;
    /// Wheel clicks for the scrolled pixels; the remainder carries over
    /// within a gesture.
    void post(const injection::ScrollEvent& event) override;
    /// Nothing: zooming arrives as keystrokes.
    void post(const injection::GestureEvent& event) override;
    /// The XF86 media key of the event's key type.
    void post(const injection::MediaKeyEvent& event) override;

    std::optional<injection::Point> pointerLocation() override;
    /// The active RandR monitors, primary first, cached for a second.
    std::size_t displayRects(std::span<injection::Rect> out) override;
    /// Resets the screen saver and switches the display on (DPMS).
    void declareUserActivity() override;

    /// The X server went away; every call is a no-op from now on.
    bool lost() const noexcept { return connection_->lost(); }

  private:
    /// A key of the live keymap that types a keysym in the first group.
    struct KeySlot {
        KeyCode code = 0;
        std::uint8_t level = 0;   // 0 plain, 1 shifted
        bool onlyGroup = false;   // the key has one group, so any group selects it
    };
    struct Keymap;

    X11EventSink(std::unique_ptr<X11Connection> connection, int xkbEventBase, bool randrMonitors,
                 bool dpms);

    Display* display() const noexcept { return connection_->display(); }

    // Keymap.
    void drainEvents();
    void refreshKeymap();
    void rebuildKeymap();
    std::optional<KeySlot> slotFor(KeySym keysym) const;
    /// Whether the slot's level needs Shift under `mods` and `group`; none
    /// when neither reaches it.
    std::optional<bool> shiftToReach(const KeySlot& slot, unsigned mods, unsigned group) const;
    /// A spare keycode typing `keysym`: one mapped to it already, else (when
    /// `mayRemap`) the next in turn, remapped; and whether it was remapped.
    std::pair<KeyCode, bool> spareFor(KeySym keysym, bool mayRemap);
    void scheduleSpareRestore();
    void restoreSpares();

    // Keys held.
    void pressKey(KeyCode code);
    void releaseKey(KeyCode code);
    void reconcileFlags(std::uint64_t flags, int exceptModifier);
    void releaseFlagsWhenIdle();
    void tap(KeyCode code, bool withShift);
    /// Types one keysym; true when it took a spare keycode.
    bool typeKeysym(KeySym keysym, unsigned mods, unsigned group);

    // Autorepeat.
    /// True when it turned autorepeat off and so wrote the record.
    bool turnRepeatOff(KeyCode code);
    void restoreRepeat(KeyCode code);
    void honourRepeatStateFile(const std::filesystem::path& file);

    // What a successor must undo after a crash.
    /// Undoes the records of crashed sinks and claims a slot, under a server grab.
    void recoverAndClaimSlot();
    /// Writes this sink's record; rides with the next flush.
    void publish();
    void noteKey(KeyCode code);
    void noteButton(unsigned button);

    std::unique_ptr<X11Connection> connection_;
    const int xkbEventBase_;
    const bool randrMonitors_;
    const bool dpms_;
    std::weak_ptr<base::SerialQueue> queue_;

    std::unique_ptr<Keymap> keymap_;
    bool keymapDirty_ = false;
    std::unordered_map<KeySym, KeySlot> slots_;
    std::bitset<256> hasSymbols_;
    std::bitset<256> spare_;
    std::vector<KeyCode> spares_;
    std::size_t nextSpare_ = 0;
    std::array<KeySym, 256> remapped_{};  // what a spare keycode types now; 0 when restored
    base::TimerHandle spareRestore_;

    // Shift, Control, Alt, Super: the keys that carry the four event flags.
    std::array<KeyCode, 4> modifierKeys_{};
    std::array<KeyCode, 4> flagKeyDown_{};      // pressed for a flag, 0 when not
    std::array<int, 4> modifierKeysHeld_{};     // modifier keys held as keys, by flag
    std::bitset<256> heldAsKey_;
    std::array<std::int8_t, 256> heldModifier_{};  // flag of a key held as a key, or -1
    std::bitset<256> down_;                        // everything this sink holds down
    std::array<std::chrono::steady_clock::time_point, 256> remappedAt_{};
    std::array<KeyCode, 32> mediaDown_{};  // by media key type: the keycode pressed
    std::uint8_t buttonsDown_ = 0;                 // bit n: X button n + 1

    std::bitset<256> repeatOff_;       // autorepeat this sink turned off
    // The server's per-key autorepeat as last read: asking on every press would
    // cost a round trip on the key path.
    std::array<char, 32> repeatMap_{};
    std::optional<std::chrono::steady_clock::time_point> repeatMapTime_;

    // The record on the root window: keys and buttons ever pressed (a crash
    // can leave any of them down), keycodes whose autorepeat this sink ever
    // turned off (the user had it on), and the spare keycodes mapped now with
    // their keysyms.
    Atom slot_ = 0;  // the selection and root property; 0 without a slot
    Atom recordType_ = 0;
    std::bitset<256> everPressed_;
    std::uint8_t everButtons_ = 0;  // bit n: X button n + 1
    std::bitset<256> repeatRecorded_;
    std::vector<unsigned char> record_;

    std::array<std::int64_t, 2> scrollRemainder_{};  // vertical, horizontal pixels
    bool lastTypedCR_ = false;

    std::array<injection::Rect, maxDisplays> monitors_{};
    std::size_t monitorCount_ = 0;
    std::optional<std::chrono::steady_clock::time_point> monitorsTime_;
};

}  // namespace tarvel::platform
