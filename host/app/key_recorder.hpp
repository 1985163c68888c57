#pragma once

#include <QObject>
#include <QString>

#include <cstdint>
#include <functional>
#include <optional>
#include <set>

#include "core/gamepad/pad_key_names.hpp"

class QEvent;
class QKeyEvent;

namespace tarvel::app {

/// Records one key, with the modifiers held when allowed, for one field of the
/// mapping editor at a time. While a field records it filters every event of
/// the application; otherwise it touches none. GUI thread only.
class KeyRecorder : public QObject {
    Q_OBJECT
  public:
    using Capture = std::function<void(const gamepad::PadKeyCombo&)>;

    explicit KeyRecorder(QObject* parent = nullptr);
    ~KeyRecorder() override;

    /// Cancels any recording, then records for `id`. `onCapture` gets the key
    /// after recording has ended; it may start another recording.
    void begin(QString id, bool allowModifiers, Capture onCapture);
    /// Stops recording; no capture is reported.
    void cancel();
    /// The field that records, or nothing.
    std::optional<QString> activeID() const { return activeID_; }

    /// Mouse press: cancels and passes it on, so the click acts as usual.
    /// Key press: Esc without modifiers cancels; a known key is captured; an
    /// unknown one beeps and recording goes on. A modifier pressed and
    /// released with no other key binds the first modifier pressed. Key
    /// events are consumed; everything else is passed on.
    bool eventFilter(QObject* watched, QEvent* event) override;

  signals:
    void activeChanged();

  private:
    bool handleKeyPress(const QKeyEvent& event);
    bool handleKeyRelease(const QKeyEvent& event);
    void capture(gamepad::PadKeyCombo combo);

    std::optional<QString> activeID_;
    bool allowModifiers_ = false;
    Capture onCapture_;
    bool filtering_ = false;
    std::optional<std::uint16_t> pendingModifierHID_;
    // Modifier usages pressed since recording began, so "all released" does
    // not depend on how the platform reports the state in a release event.
    std::set<std::uint16_t> heldModifiers_;
};

/// The HID usage of a key event: its native scan code less 8 is the Linux key
/// code, looked up in the keycode table. Right-hand modifiers give the
/// left-hand usages. Nothing when the key has no row.
std::optional<std::uint16_t> hidUsageOfKeyEvent(const QKeyEvent& event);

/// The modifiers a Qt modifier state names (Super is cmd).
gamepad::PadModifiers padModifiers(Qt::KeyboardModifiers modifiers);

}  // namespace tarvel::app
