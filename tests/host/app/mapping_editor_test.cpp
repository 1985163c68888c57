#include "host/app/mapping_editor.hpp"
#include <gtest/gtest.h>
#include <QAction>
#include <QApplication>
#include <QComboBox>
#include <QKeyEvent>
#include <QLabel>
#include <QMenu>
#include <QPushButton>
#include <QSlider>
#include <QTest>
#include <QToolButton>
#include <linux/input-event-codes.h>
#include <algorithm>
#include <fstream>
#include <tuple>
#include <vector>
#include "host/app/key_recorder.hpp"
#include "tests/core/gamepad/gamepad_printers.hpp"
#include "tests/fakes/manual_queue.hpp"
#include "tests/fakes/temp_dir.hpp"

namespace tarvel::app {
namespace {

using gamepad::GamepadMapping;
using gamepad::GamepadPreset;
using gamepad::PadBinding;
using gamepad::PadKeyCombo;
using gamepad::PadModifiers;
using C = gamepad::PadControl;

// What a key event carries on X11: the Linux key code plus 8.
QKeyEvent keyEvent(QEvent::Type type, int linuxKey, int qtKey, Qt::KeyboardModifiers modifiers = Qt::NoModifier) {
    return QKeyEvent(type, qtKey, modifiers, static_cast<quint32>(linuxKey + 8), 0, 0);
}

/// Sends a key event the way the application delivers it, so the recorder's filter sees it.
void press(QObject* target, int linuxKey, int qtKey,
           Qt::KeyboardModifiers modifiers = Qt::NoModifier, QEvent::Type type = QEvent::KeyPress) {
    QKeyEvent event = keyEvent(type, linuxKey, qtKey, modifiers);
    QApplication::sendEvent(target, &event);
}

void release(QObject* target, int linuxKey, int qtKey, Qt::KeyboardModifiers modifiers) {
    press(target, linuxKey, qtKey, modifiers, QEvent::KeyRelease);
}

TEST(HidUsageOfKeyEvent, readsTheScanCodeAndFoldsRightHandModifiersOntoTheLeft) {
    // The Qt key does not matter, only where the key sits.
    const std::vector<std::tuple<int, int, std::optional<std::uint16_t>>> rows = {
        {KEY_K, Qt::Key_K, 0x0E},           {KEY_Q, Qt::Key_A, 0x14},
        {KEY_LEFTSHIFT, Qt::Key_Shift, 0xE1}, {KEY_RIGHTSHIFT, Qt::Key_Shift, 0xE1},
        {KEY_RIGHTCTRL, Qt::Key_Control, 0xE0}, {KEY_RIGHTALT, Qt::Key_Alt, 0xE2},
        {KEY_RIGHTMETA, Qt::Key_Meta, 0xE3},  {KEY_F13, Qt::Key_F13, std::nullopt}};
    for (const auto& [linuxKey, qtKey, usage] : rows)
        EXPECT_EQ(hidUsageOfKeyEvent(keyEvent(QEvent::KeyPress, linuxKey, qtKey)), usage) << linuxKey;
    EXPECT_EQ(hidUsageOfKeyEvent(QKeyEvent(QEvent::KeyPress, Qt::Key_K, Qt::NoModifier, 0, 0, 0)),
              std::nullopt);
}

class KeyRecorderTest : public ::testing::Test {
  protected:
    void record(const char* id, bool allowModifiers) {
        recorder.begin(id, allowModifiers, [this](const PadKeyCombo& combo) { captured.push_back(combo); });
    }
    // Counts the key presses that reach it, that is, that the recorder let through.
    struct Target : QWidget {
        bool event(QEvent* event) override {
            seen += event->type() == QEvent::KeyPress ? 1 : 0;
            return QWidget::event(event);
        }
        int seen = 0;
    } target;
    KeyRecorder recorder;
    std::vector<PadKeyCombo> captured;
};

TEST_F(KeyRecorderTest, shortcutsKeepModifiersWhereAllowedAndEscapeAloneCancels) {
    int changes = 0;
    QObject::connect(&recorder, &KeyRecorder::activeChanged, [&] { ++changes; });
    record("a", true);
    press(&target, KEY_ESC, Qt::Key_Escape);
    EXPECT_EQ(recorder.activeID(), std::nullopt);
    EXPECT_EQ(changes, 2);
    record("a", true);
    press(&target, KEY_ESC, Qt::Key_Escape, Qt::ShiftModifier);
    record("a", true);
    press(&target, KEY_K, Qt::Key_K, Qt::ControlModifier | Qt::MetaModifier);
    record("leftStick.up", false);
    press(&target, KEY_K, Qt::Key_K, Qt::ControlModifier | Qt::AltModifier);
    EXPECT_EQ(captured, (std::vector<PadKeyCombo>{{"esc", PadModifiers::shift},
                                                  {"k", PadModifiers::ctrl | PadModifiers::cmd},
                                                  {"k", {}}}));
    EXPECT_EQ(target.seen, 0) << "recorded keys are consumed";
    press(&target, KEY_J, Qt::Key_J);  // not recording: events pass untouched
    EXPECT_EQ(target.seen, 1);
    EXPECT_EQ(captured.size(), 3u);
}

TEST_F(KeyRecorderTest, modifierPressedAndReleasedAloneBindsTheFirstOnePressed) {
    record("a", true);
    press(&target, KEY_LEFTCTRL, Qt::Key_Control);
    press(&target, KEY_RIGHTALT, Qt::Key_Alt, Qt::ControlModifier);
    release(&target, KEY_LEFTCTRL, Qt::Key_Control, Qt::ControlModifier | Qt::AltModifier);
    EXPECT_TRUE(captured.empty()) << "one modifier is still held";
    release(&target, KEY_RIGHTALT, Qt::Key_Alt, Qt::AltModifier);
    EXPECT_EQ(captured, (std::vector<PadKeyCombo>{{"lctrl", {}}}));
    // A key in between makes it a shortcut, not a lone modifier.
    record("a", true);
    press(&target, KEY_LEFTSHIFT, Qt::Key_Shift);
    press(&target, KEY_F13, Qt::Key_F13, Qt::ShiftModifier);  // unknown: still recording
    release(&target, KEY_LEFTSHIFT, Qt::Key_Shift, Qt::ShiftModifier);
    EXPECT_EQ(captured.size(), 1u);
    EXPECT_EQ(recorder.activeID(), "a");
}

// The editor over a store in a temporary folder; writes run only when a test
// advances the background queue.
class MappingEditorTest : public ::testing::Test {
  protected:
    std::shared_ptr<mapping::PadMappingStore> makeStore(const std::filesystem::path& file) {
        return mapping::PadMappingStore::create(
            {file, defaults, mapping::makePadMappingRuntime(file, *defaults), mainQueue, backgroundQueue, {}});
    }
    template <class T = QWidget>
    T* child(const QString& name) {
        auto* found = editor->findChild<T*>(name);
        EXPECT_NE(found, nullptr) << name.toStdString();
        return found;
    }
    /// Picks an entry as the user would.
    void choose(const QString& comboName, const QString& text) {
        auto* combo = child<QComboBox>(comboName);
        const int index = combo->findText(text);
        ASSERT_GE(index, 0) << text.toStdString();
        combo->setCurrentIndex(index);
        emit combo->activated(index);
    }
    bool offersCustom() { return child<QComboBox>("preset")->findText("Custom") >= 0; }
    PadBinding binding(C control) const { return store->mapping().binding(control); }
    QString keyText(const QString& id) { return child<QPushButton>("key-" + id)->text(); }
    testing::TempDir dir;
    std::filesystem::path file = dir / "data" / "gamepad_mapping.json";
    std::shared_ptr<mapping::UserDefaults> defaults =
        std::make_shared<mapping::UserDefaults>(dir / "defaults.json");
    std::shared_ptr<testing::FakeClock> clock = std::make_shared<testing::FakeClock>();
    std::shared_ptr<testing::ManualQueue> mainQueue = std::make_shared<testing::ManualQueue>(clock, "main");
    std::shared_ptr<testing::ManualQueue> backgroundQueue = std::make_shared<testing::ManualQueue>(clock, "bg");
    std::shared_ptr<mapping::PadMappingStore> store = makeStore(file);
    std::unique_ptr<MappingEditor> editor = std::make_unique<MappingEditor>(store, file, defaults);
};

TEST_F(MappingEditorTest, switchingKindStartsFromItsDefaultsAndTheSameKindKeepsTheBinding) {
    const GamepadMapping shooter = GamepadMapping::defaults();
    ASSERT_EQ(child<QComboBox>("kind-a")->currentText(), "Key");
    choose("kind-a", "Key");
    EXPECT_EQ(store->mapping(), shooter);
    choose("kind-a", "Scroll");
    EXPECT_EQ(binding(C::a), PadBinding::scroll(gamepad::PadDirection::down, 1.0));
    choose("direction-a", "Left");
    EXPECT_EQ(binding(C::a), PadBinding::scroll(gamepad::PadDirection::left, 1.0));
    choose("kind-a", "Move pointer");
    EXPECT_EQ(binding(C::a), PadBinding::mouseMove(gamepad::PadDirection::up, 1.0));
    child<QSlider>("speed-a")->setValue(child<QSlider>("speed-a")->maximum());
    EXPECT_EQ(binding(C::a), PadBinding::mouseMove(gamepad::PadDirection::up, 4.0));
    EXPECT_EQ(child<QLabel>("speed-a-value")->text(), "4.0×");
    choose("kind-a", "Mouse button");
    EXPECT_EQ(binding(C::a), PadBinding::mouseButton(gamepad::PadMouseButton::left));
    child<QPushButton>("button-a-middle")->click();
    EXPECT_EQ(binding(C::a), PadBinding::mouseButton(gamepad::PadMouseButton::middle));
    choose("kind-a", "Nothing");
    EXPECT_EQ(binding(C::a), PadBinding::none());
    choose("kind-a", "Key");
    EXPECT_EQ(binding(C::a), PadBinding::key(PadKeyCombo{}));
    EXPECT_EQ(keyText("a"), "Click to set");
    // Other rows were left alone.
    EXPECT_EQ(binding(C::b), shooter.binding(C::b));
}

TEST_F(MappingEditorTest, presetPickerShowsCustomOnlyForAnEditedMapping) {
    EXPECT_EQ(child<QComboBox>("preset")->currentText(), "Shooter (WASD + mouse look)");
    EXPECT_FALSE(offersCustom());
    choose("kind-a", "Nothing");
    EXPECT_EQ(child<QComboBox>("preset")->currentText(), "Custom");
    choose("preset", "Custom");
    EXPECT_EQ(binding(C::a), PadBinding::none());
    // Back to the preset's value by the key list: Custom goes away.
    choose("kind-a", "Key");
    QMenu* menu = child<QToolButton>("keymenu-a")->menu();
    const auto keys = menu->findChildren<QAction*>();
    const auto space = std::find_if(keys.begin(), keys.end(),
                                    [](QAction* key) { return key->text() == "Space"; });
    ASSERT_NE(space, keys.end());
    (*space)->trigger();
    EXPECT_EQ(store->mapping(), GamepadMapping::defaults());
    EXPECT_EQ(child<QComboBox>("preset")->currentText(), "Shooter (WASD + mouse look)");
    EXPECT_FALSE(offersCustom());
    choose("preset", "Arrow keys / emulator");
    EXPECT_EQ(store->mapping(), gamepad::presetMapping(GamepadPreset::emulator));
    EXPECT_EQ(keyText("a"), "X");
    child<QPushButton>("reset")->click();
    EXPECT_EQ(store->mapping(), GamepadMapping::defaults());
}

TEST_F(MappingEditorTest, keyFieldsRecordIntoTheStoreAndShowTheRecordingState) {
    child<QPushButton>("key-a")->click();
    EXPECT_EQ(keyText("a"), "Press a key…");
    press(child<QPushButton>("key-a"), KEY_K, Qt::Key_K, Qt::ControlModifier);
    EXPECT_EQ(binding(C::a), PadBinding::key("k", PadModifiers::ctrl));
    EXPECT_EQ(keyText("a"), "⌃K");
    EXPECT_EQ(child<QComboBox>("preset")->currentText(), "Custom");
    child<QPushButton>("key-leftStick.up")->click();
    press(child<QPushButton>("key-leftStick.up"), KEY_K, Qt::Key_K, Qt::ControlModifier);
    EXPECT_EQ(store->mapping().leftStick.up, "k");
    EXPECT_EQ(keyText("leftStick.up"), "K");
    child<QPushButton>("key-b")->click();
    press(child<QPushButton>("key-b"), KEY_ESC, Qt::Key_Escape);
    EXPECT_EQ(binding(C::b), PadBinding::key("c"));
    EXPECT_EQ(keyText("b"), "C");
    child<QPushButton>("key-x")->click();
    press(child<QPushButton>("key-x"), KEY_RIGHTSHIFT, Qt::Key_Shift);
    release(child<QPushButton>("key-x"), KEY_RIGHTSHIFT, Qt::Key_Shift, Qt::ShiftModifier);
    EXPECT_EQ(binding(C::x), PadBinding::key("lshift"));
    // An unknown key keeps recording; clicking another field moves the recording there.
    child<QPushButton>("key-y")->click();
    press(child<QPushButton>("key-y"), KEY_F13, Qt::Key_F13);
    EXPECT_EQ(keyText("y"), "Press a key…");
    editor->show();
    QTest::mouseClick(child<QPushButton>("key-b"), Qt::LeftButton);
    EXPECT_EQ(editor->recorder().activeID(), "b");
    EXPECT_EQ(keyText("y"), "Q");
    EXPECT_EQ(keyText("b"), "Press a key…");
    // The window keeps its geometry across runs.
    editor->resize(720, 640);
    editor->close();
    ASSERT_TRUE(defaults->string(MappingEditor::geometryKey).has_value());
    editor = std::make_unique<MappingEditor>(store, file, defaults);
    EXPECT_EQ(editor->size(), QSize(720, 640));
}

TEST_F(MappingEditorTest, followsChangesMadeElsewhereAndShowsASaveFailure) {
    child<QPushButton>("key-a")->click();
    store->setMapping(gamepad::presetMapping(GamepadPreset::mouse));
    EXPECT_EQ(child<QComboBox>("preset")->currentText(), "Mouse only (desktop)");
    EXPECT_EQ(child<QComboBox>("kind-a")->currentText(), "Mouse button");
    EXPECT_EQ(child<QPushButton>("key-lb")->text(), "⌘[");
    EXPECT_EQ(editor->findChild<QPushButton*>("key-leftStick.up"), nullptr) << "mouse mode";
    EXPECT_EQ(editor->recorder().activeID(), "a") << "the recording survives the rebuild";
    // A store whose folder cannot be made.
    { std::ofstream(dir / "blocker") << "a regular file"; }
    const auto blocked = dir / "blocker" / "gamepad_mapping.json";
    editor.reset();
    store = makeStore(blocked);
    editor = std::make_unique<MappingEditor>(store, blocked, defaults);
    EXPECT_TRUE(child<QLabel>("saveError")->isHidden());
    choose("kind-a", "Nothing");
    backgroundQueue->advance(mapping::PadMappingStore::saveDelay);
    mainQueue->runPending();
    ASSERT_TRUE(store->saveError().has_value());
    EXPECT_FALSE(child<QLabel>("saveError")->isHidden());
    EXPECT_EQ(child<QLabel>("saveError")->text(),
              "Could not save: " + QString::fromStdString(*store->saveError()));
}

}  // namespace
}  // namespace tarvel::app
