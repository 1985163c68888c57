#include "host/app/key_recorder.hpp"

#include <QApplication>
#include <QKeyEvent>
#include <QMouseEvent>

#include <linux/input-event-codes.h>

#include <utility>

#include "core/input/keycode_table.hpp"

namespace tarvel::app {

namespace {

using gamepad::PadKeyCombo;
using gamepad::PadModifiers;
using input::KeycodeTable;

// X11 and evdev-based platforms number keys as the Linux key code plus 8.
constexpr quint32 x11KeycodeOffset = 8;
constexpr std::uint16_t hidEscape = 0x29;

std::optional<std::uint16_t> rightHandModifier(std::uint32_t linuxKeyCode) {
    switch (linuxKeyCode) {
        case KEY_RIGHTSHIFT:
            return KeycodeTable::hidLeftShift;
        case KEY_RIGHTCTRL:
            return KeycodeTable::hidLeftControl;
        case KEY_RIGHTALT:
            return KeycodeTable::hidLeftOption;
        case KEY_RIGHTMETA:
            return KeycodeTable::hidLeftCommand;
        default:
            return std::nullopt;
    }
}

}  // namespace

std::optional<std::uint16_t> hidUsageOfKeyEvent(const QKeyEvent& event) {
    const quint32 scanCode = event.nativeScanCode();
    if (scanCode < x11KeycodeOffset) {
        return std::nullopt;
    }
    const quint32 linuxKeyCode = scanCode - x11KeycodeOffset;
    if (auto left = rightHandModifier(linuxKeyCode)) {
        return left;
    }
    if (linuxKeyCode >= KeycodeTable::linuxKeyCodeLimit) {
        return std::nullopt;
    }
    return KeycodeTable::shared().hidUsageForLinuxKeyCode(static_cast<std::uint16_t>(linuxKeyCode));
}

PadModifiers padModifiers(Qt::KeyboardModifiers modifiers) {
    PadModifiers mods;
    if (modifiers.testFlag(Qt::ShiftModifier)) {
        mods.insert(PadModifiers::shift);
    }
    if (modifiers.testFlag(Qt::ControlModifier)) {
        mods.insert(PadModifiers::ctrl);
    }
    if (modifiers.testFlag(Qt::AltModifier)) {
        mods.insert(PadModifiers::alt);
    }
    if (modifiers.testFlag(Qt::MetaModifier)) {
        mods.insert(PadModifiers::cmd);
    }
    return mods;
}

KeyRecorder::KeyRecorder(QObject* parent) : QObject(parent) {}

KeyRecorder::~KeyRecorder() {
    if (filtering_ && qApp != nullptr) {
        qApp->removeEventFilter(this);
    }
}

void KeyRecorder::begin(QString id, bool allowModifiers, Capture onCapture) {
    cancel();
    activeID_ = std::move(id);
    allowModifiers_ = allowModifiers;
    onCapture_ = std::move(onCapture);
    if (!filtering_ && qApp != nullptr) {
        qApp->installEventFilter(this);
        filtering_ = true;
    }
    emit activeChanged();
}

void KeyRecorder::cancel() {
    if (filtering_ && qApp != nullptr) {
        qApp->removeEventFilter(this);
    }
    filtering_ = false;
    const bool wasActive = activeID_.has_value();
    activeID_.reset();
    onCapture_ = nullptr;
    pendingModifierHID_.reset();
    heldModifiers_.clear();
    if (wasActive) {
        emit activeChanged();
    }
}

bool KeyRecorder::eventFilter(QObject* watched, QEvent* event) {
    if (!activeID_) {
        return QObject::eventFilter(watched, event);
    }
    switch (event->type()) {
        case QEvent::MouseButtonPress:
        case QEvent::MouseButtonDblClick:
            cancel();
            return false;
        case QEvent::ShortcutOverride:
            // Claimed, so no shortcut or mnemonic fires for a key being recorded.
            event->accept();
            return true;
        case QEvent::KeyPress:
            return handleKeyPress(static_cast<const QKeyEvent&>(*event));
        case QEvent::KeyRelease:
            return handleKeyRelease(static_cast<const QKeyEvent&>(*event));
        default:
            return false;
    }
}

bool KeyRecorder::handleKeyPress(const QKeyEvent& event) {
    const auto usage = hidUsageOfKeyEvent(event);
    if (usage && KeycodeTable::isModifierHID(*usage)) {
        heldModifiers_.insert(*usage);
        if (!pendingModifierHID_) {
            pendingModifierHID_ = usage;
        }
        return true;
    }
    pendingModifierHID_.reset();
    const PadModifiers mods = allowModifiers_ ? padModifiers(event.modifiers()) : PadModifiers{};
    if (usage == hidEscape && mods.isEmpty()) {
        cancel();
        return true;
    }
    const auto name = usage ? gamepad::PadKeyNames::nameForHID(*usage) : std::nullopt;
    const auto canonical = name ? gamepad::PadKeyNames::canonical(*name) : std::nullopt;
    if (!canonical || canonical->empty()) {
        QApplication::beep();
        return true;
    }
    capture(PadKeyCombo{std::string(*canonical), mods});
    return true;
}

bool KeyRecorder::handleKeyRelease(const QKeyEvent& event) {
    const auto usage = hidUsageOfKeyEvent(event);
    if (!usage || !KeycodeTable::isModifierHID(*usage)) {
        return false;
    }
    heldModifiers_.erase(*usage);
    if (pendingModifierHID_ && heldModifiers_.empty()) {
        const auto name = gamepad::PadKeyNames::nameForHID(*pendingModifierHID_);
        if (name) {
            capture(PadKeyCombo{std::string(*name), PadModifiers{}});
        }
    }
    return true;
}

void KeyRecorder::capture(PadKeyCombo combo) {
    Capture callback = std::move(onCapture_);
    cancel();
    if (callback) {
        callback(combo);
    }
}

}  // namespace tarvel::app
