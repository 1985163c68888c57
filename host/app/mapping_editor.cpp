#include "host/app/mapping_editor.hpp"

#include <QButtonGroup>
#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QFrame>
#include <QGuiApplication>
#include <QIcon>
#include <QColor>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QMenu>
#include <QProcess>
#include <QPushButton>
#include <QScreen>
#include <QScrollArea>
#include <QSignalBlocker>
#include <QSlider>
#include <QTimer>
#include <QToolButton>
#include <QVBoxLayout>

#include <array>
#include <cctype>
#include <chrono>
#include <cmath>
#include <string_view>
#include <utility>

#include "host/app/key_recorder.hpp"

namespace tarvel::app {

namespace {

using gamepad::GamepadMapping;
using gamepad::PadBinding;
using gamepad::PadControl;
using gamepad::PadKeyCombo;
using gamepad::StickBinding;
using gamepad::StickMode;
using Kind = PadBinding::Kind;

constexpr int windowWidth = 680;
constexpr int windowHeight = 760;
constexpr int minWindowWidth = 600;
constexpr int minWindowHeight = 480;
constexpr int nameColumnWidth = 170;
constexpr int sliderLabelWidth = 120;
constexpr int sliderValueWidth = 44;
constexpr int stickKeyFieldWidth = 180;
constexpr auto geometrySaveDelay = std::chrono::milliseconds(500);  // one write per drag

const QString customTag = QStringLiteral("custom");

QString qs(std::string_view text) {
    return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

struct Group {
    const char* title;
    std::array<PadControl, 4> controls;
};

constexpr std::array<Group, 4> groups{{
    {"Face buttons", {PadControl::a, PadControl::b, PadControl::x, PadControl::y}},
    {"Shoulders and triggers", {PadControl::lb, PadControl::rb, PadControl::lt, PadControl::rt}},
    {"Menu buttons and stick clicks",
     {PadControl::back, PadControl::start, PadControl::l3, PadControl::r3}},
    {"D-pad",
     {PadControl::dpadUp, PadControl::dpadDown, PadControl::dpadLeft, PadControl::dpadRight}},
}};

const char* tint(PadControl control) {
    switch (control) {
        case PadControl::a:
            return "#34c759";  // green
        case PadControl::b:
            return "#ff3b30";  // red
        case PadControl::x:
            return "#007aff";  // blue
        case PadControl::y:
            return "#ff9500";  // orange
        case PadControl::lb:
        case PadControl::rb:
        case PadControl::lt:
        case PadControl::rt:
            return "#af52de";  // purple
        case PadControl::back:
        case PadControl::start:
            return "#8e8e93";  // gray
        case PadControl::l3:
        case PadControl::r3:
            return "#5856d6";  // indigo
        case PadControl::dpadUp:
        case PadControl::dpadDown:
        case PadControl::dpadLeft:
        case PadControl::dpadRight:
            return "#30b0c7";  // teal
    }
    return "#8e8e93";
}
constexpr const char* stickTint = "#5856d6";  // indigo

QLabel* makeBadge(const QString& text, const char* color) {
    auto* badge = new QLabel(text);
    badge->setObjectName(QStringLiteral("badge"));
    badge->setAlignment(Qt::AlignCenter);
    badge->setMinimumSize(28, 22);
    badge->setStyleSheet(
        QStringLiteral("QLabel { color: white; font-weight: bold; border-radius: 6px; "
                       "padding: 0 4px; background: qlineargradient(x1:0, y1:0, x2:0, y2:1, "
                       "stop:0 %1, stop:1 %2); }")
            .arg(QColor(color).lighter(115).name(), QColor(color).name()));
    return badge;
}

bool isLetter(std::string_view name) {
    return name.size() == 1 && std::isalpha(static_cast<unsigned char>(name[0]));
}
bool isDigit(std::string_view name) {
    return name.size() == 1 && std::isdigit(static_cast<unsigned char>(name[0]));
}
bool isSpecial(std::string_view name) {
    return name == "space" || name == "enter" || name == "esc" || name == "tab" ||
           name == "backspace" || name == "delete";
}
bool isArrow(std::string_view name) {
    return name == "up" || name == "down" || name == "left" || name == "right";
}
bool isFunctionKey(std::string_view name) { return name.size() > 1 && name[0] == 'f'; }

/// The ⌄ menu's submenus, each with its keys in the order of the names table.
QMenu* makeKeyMenu(QWidget* parent, const std::function<void(std::string_view)>& pick) {
    auto* menu = new QMenu(parent);
    menu->addAction(QStringLiteral("None"), parent, [pick] { pick(""); });
    const std::array<std::pair<const char*, bool (*)(std::string_view)>, 7> sections{{
        {"Letters", isLetter},
        {"Digits", isDigit},
        {"Special", isSpecial},
        {"Arrows", isArrow},
        {"Modifiers", gamepad::PadKeyNames::isModifier},
        {"Function keys", isFunctionKey},
        {"Punctuation", nullptr},
    }};
    for (const auto& [title, test] : sections) {
        QMenu* sub = menu->addMenu(QString::fromUtf8(title));
        for (const auto& entry : gamepad::PadKeyNames::all) {
            bool belongs = false;
            if (test != nullptr) {
                belongs = test(entry.name);
            } else {
                belongs = true;
                for (const auto& [other, otherTest] : sections) {
                    if (otherTest != nullptr && otherTest(entry.name)) {
                        belongs = false;
                    }
                }
            }
            if (belongs) {
                const std::string_view name = entry.name;
                sub->addAction(qs(entry.display), parent, [pick, name] { pick(name); });
            }
        }
    }
    return menu;
}

/// Exclusive checkable buttons standing in for a segmented picker.
QWidget* makeSegments(const QString& objectName, const QStringList& labels, int checked,
                      const std::function<void(int)>& choose, QButtonGroup** groupOut) {
    auto* box = new QWidget;
    box->setObjectName(objectName);
    auto* layout = new QHBoxLayout(box);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    auto* group = new QButtonGroup(box);
    group->setExclusive(true);
    for (int i = 0; i < labels.size(); ++i) {
        auto* button = new QPushButton(labels[i]);
        button->setObjectName(objectName + QLatin1Char('-') + labels[i].toLower());
        button->setCheckable(true);
        button->setChecked(i == checked);
        group->addButton(button, i);
        layout->addWidget(button);
    }
    QObject::connect(group, &QButtonGroup::idClicked, box, choose);
    *groupOut = group;
    return box;
}

int indexOf(StickMode mode) {
    for (std::size_t i = 0; i < gamepad::allStickModes.size(); ++i) {
        if (gamepad::allStickModes[i] == mode) {
            return static_cast<int>(i);
        }
    }
    return 0;
}

int indexOf(Kind kind) {
    for (std::size_t i = 0; i < gamepad::allPadBindingKinds.size(); ++i) {
        if (gamepad::allPadBindingKinds[i] == kind) {
            return static_cast<int>(i);
        }
    }
    return 0;
}

/// The binding a row switches to: the current one when the kind is the same,
/// else the kind's starting value.
PadBinding withKind(const PadBinding& current, Kind kind) {
    if (current.kind() == kind) {
        return current;
    }
    switch (kind) {
        case Kind::key:
            return PadBinding::key(PadKeyCombo{});
        case Kind::mouse:
            return PadBinding::mouseButton(gamepad::PadMouseButton::left);
        case Kind::move:
            return PadBinding::mouseMove(gamepad::PadDirection::up, 1.0);
        case Kind::scroll:
            return PadBinding::scroll(gamepad::PadDirection::down, 1.0);
        case Kind::none:
            return PadBinding::none();
    }
    return PadBinding::none();
}

}  // namespace

MappingEditor::MappingEditor(std::shared_ptr<mapping::PadMappingStore> store,
                             std::filesystem::path mappingFile,
                             std::shared_ptr<mapping::UserDefaults> defaults, QWidget* parent)
    : QWidget(parent, Qt::Window),
      store_(std::move(store)),
      mappingFile_(std::move(mappingFile)),
      defaults_(std::move(defaults)),
      recorder_(new KeyRecorder(this)) {
    setWindowTitle(QStringLiteral("Gamepad Mapping"));
    setMinimumSize(minWindowWidth, minWindowHeight);

    auto* root = new QVBoxLayout(this);

    // Header.
    auto* header = new QHBoxLayout;
    auto* icon = new QLabel;
    icon->setPixmap(QIcon::fromTheme(QStringLiteral("input-gaming")).pixmap(32, 32));
    header->addWidget(icon);
    auto* titles = new QVBoxLayout;
    auto* title = new QLabel(QStringLiteral("Gamepad Mapping"));
    QFont titleFont = title->font();
    titleFont.setBold(true);
    titleFont.setPointSizeF(titleFont.pointSizeF() * 1.4);
    title->setFont(titleFont);
    titles->addWidget(title);
    auto* subtitle = new QLabel(QStringLiteral(
        "What the phone's gamepad mode presses on this computer. Changes apply immediately."));
    subtitle->setWordWrap(true);
    titles->addWidget(subtitle);
    header->addLayout(titles, 1);
    preset_ = new QComboBox;
    preset_->setObjectName(QStringLiteral("preset"));
    connect(preset_, &QComboBox::activated, this, [this](int index) {
        const QString tag = preset_->itemData(index).toString();
        if (tag == customTag) {
            return;
        }
        if (auto preset = gamepad::gamepadPreset(tag.toStdString())) {
            store_->setMapping(gamepad::presetMapping(*preset));
        }
    });
    header->addWidget(preset_);
    auto* reset = new QPushButton(QStringLiteral("Reset to Defaults"));
    reset->setObjectName(QStringLiteral("reset"));
    connect(reset, &QPushButton::clicked, this, [this] {
        store_->setMapping(gamepad::presetMapping(gamepad::defaultGamepadPreset));
    });
    header->addWidget(reset);
    root->addLayout(header);

    auto* divider = new QFrame;
    divider->setFrameShape(QFrame::HLine);
    root->addWidget(divider);

    // The form, rebuilt when its shape changes.
    auto* scroll = new QScrollArea;
    scroll->setWidgetResizable(true);
    auto* content = new QWidget;
    formLayout_ = new QVBoxLayout(content);
    scroll->setWidget(content);
    root->addWidget(scroll, 1);

    // Footer.
    auto* help = new QLabel(QStringLiteral(
        "Click a key field, then press the key (with Shift, Control, Alt or Super if you want a "
        "shortcut). Esc cancels; use the ⌄ menu to pick Esc or any other key from a list."));
    help->setObjectName(QStringLiteral("footer"));
    help->setWordWrap(true);
    root->addWidget(help);
    saveError_ = new QLabel;
    saveError_->setObjectName(QStringLiteral("saveError"));
    saveError_->setWordWrap(true);
    saveError_->setStyleSheet(QStringLiteral("color: #d70015;"));
    root->addWidget(saveError_);
    auto* openFolder = new QPushButton(QStringLiteral("Open Data Folder"));
    openFolder->setObjectName(QStringLiteral("openFolder"));
    connect(openFolder, &QPushButton::clicked, this, [this] {
        QProcess::startDetached(QStringLiteral("xdg-open"),
                                {QString::fromStdString(mappingFile_.parent_path().string())});
    });
    auto* footerRow = new QHBoxLayout;
    footerRow->addStretch(1);
    footerRow->addWidget(openFolder);
    root->addLayout(footerRow);

    geometrySave_ = new QTimer(this);
    geometrySave_->setSingleShot(true);
    geometrySave_->setInterval(geometrySaveDelay);
    connect(geometrySave_, &QTimer::timeout, this, [this] { saveWindowGeometry(); });

    connect(recorder_, &KeyRecorder::activeChanged, this, [this] { refreshValues(); });
    observer_ = store_->addObserver([this] { storeChanged(); });

    rebuildForm();
    refreshHeader();
    restoreWindowGeometry();
}

MappingEditor::~MappingEditor() {
    observer_.reset();
    recorder_->cancel();
}

void MappingEditor::storeChanged() {
    refreshHeader();
    if (shapeOf(store_->mapping()) != shape_) {
        rebuildForm();
    } else {
        refreshValues();
    }
}

void MappingEditor::refreshHeader() {
    const QSignalBlocker block(preset_);
    preset_->clear();
    for (const auto preset : gamepad::allGamepadPresets) {
        preset_->addItem(qs(gamepad::displayName(preset)), qs(gamepad::rawValue(preset)));
    }
    if (const auto match = gamepad::matchingPreset(store_->mapping())) {
        preset_->setCurrentIndex(preset_->findData(qs(gamepad::rawValue(*match))));
    } else {
        preset_->insertSeparator(preset_->count());
        preset_->addItem(QStringLiteral("Custom"), customTag);
        preset_->setCurrentIndex(preset_->count() - 1);
    }
    const auto& error = store_->saveError();
    saveError_->setVisible(error.has_value());
    saveError_->setText(error ? QStringLiteral("Could not save: ") + QString::fromStdString(*error)
                              : QString());
}

MappingEditor::Shape MappingEditor::shapeOf(const GamepadMapping& mapping) const {
    Shape shape;
    for (const auto control : gamepad::allPadControls) {
        shape.kinds.push_back(mapping.binding(control).kind());
    }
    shape.left = mapping.leftStick.mode;
    shape.right = mapping.rightStick.mode;
    return shape;
}

void MappingEditor::edit(const std::function<void(GamepadMapping&)>& change) {
    GamepadMapping mapping = store_->mapping();
    change(mapping);
    store_->setMapping(std::move(mapping));
}

void MappingEditor::rebuildForm() {
    if (form_ != nullptr) {
        // The old form may hold the widget whose signal led here: detach it
        // now so lookups see only the new one, delete it once control returns.
        form_->hide();
        form_->setParent(nullptr);
        form_->deleteLater();
    }
    refreshers_.clear();
    shape_ = shapeOf(store_->mapping());

    form_ = new QWidget;
    auto* layout = new QVBoxLayout(form_);
    layout->setContentsMargins(0, 0, 0, 0);

    auto* sticks = new QGroupBox(QStringLiteral("Sticks"));
    auto* sticksLayout = new QVBoxLayout(sticks);
    sticksLayout->addWidget(makeStickEditor(&GamepadMapping::leftStick, QStringLiteral("Left stick"),
                                            QStringLiteral("LS"), QStringLiteral("leftStick")));
    sticksLayout->addWidget(makeStickEditor(&GamepadMapping::rightStick,
                                            QStringLiteral("Right stick"), QStringLiteral("RS"),
                                            QStringLiteral("rightStick")));
    layout->addWidget(sticks);

    for (const auto& group : groups) {
        auto* box = new QGroupBox(QString::fromUtf8(group.title));
        auto* boxLayout = new QVBoxLayout(box);
        for (const auto control : group.controls) {
            boxLayout->addWidget(makeBindingRow(control));
        }
        layout->addWidget(box);
    }
    layout->addStretch(1);
    formLayout_->addWidget(form_);
    refreshValues();
}

void MappingEditor::refreshValues() {
    for (const auto& refresh : refreshers_) {
        refresh();
    }
}

QWidget* MappingEditor::makeBindingRow(PadControl control) {
    const QString json = qs(gamepad::rawValue(control));
    auto* row = new QWidget;
    row->setObjectName(QStringLiteral("row-") + json);
    auto* layout = new QHBoxLayout(row);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(makeBadge(qs(gamepad::badge(control)), tint(control)));
    auto* name = new QLabel(qs(gamepad::displayName(control)));
    name->setMinimumWidth(nameColumnWidth);
    layout->addWidget(name);
    layout->addStretch(1);

    auto* kind = new QComboBox;
    kind->setObjectName(QStringLiteral("kind-") + json);
    for (const auto k : gamepad::allPadBindingKinds) {
        kind->addItem(qs(gamepad::displayName(k)), qs(gamepad::rawValue(k)));
    }
    kind->setCurrentIndex(indexOf(store_->mapping().binding(control).kind()));
    connect(kind, &QComboBox::activated, this, [this, control](int index) {
        const Kind chosen = gamepad::allPadBindingKinds[static_cast<std::size_t>(index)];
        edit([&](GamepadMapping& m) { m.bindings[control] = withKind(m.binding(control), chosen); });
    });
    layout->addWidget(kind);
    layout->addWidget(makeKindEditor(control));
    return row;
}

QWidget* MappingEditor::makeKindEditor(PadControl control) {
    const QString json = qs(gamepad::rawValue(control));
    const PadBinding binding = store_->mapping().binding(control);
    switch (binding.kind()) {
        case Kind::key:
            return makeKeyField(
                json, true,
                [this, control] {
                    const PadBinding b = store_->mapping().binding(control);
                    const auto* key = b.as<PadBinding::Key>();
                    return key ? key->combo : PadKeyCombo{};
                },
                [this, control](const PadKeyCombo& combo) {
                    edit([&](GamepadMapping& m) { m.bindings[control] = PadBinding::key(combo); });
                });
        case Kind::mouse: {
            QButtonGroup* group = nullptr;
            auto* segments = makeSegments(
                QStringLiteral("button-") + json,
                {QStringLiteral("Left"), QStringLiteral("Right"), QStringLiteral("Middle")}, 0,
                [this, control](int id) {
                    edit([&](GamepadMapping& m) {
                        m.bindings[control] = PadBinding::mouseButton(
                            gamepad::allPadMouseButtons[static_cast<std::size_t>(id)]);
                    });
                },
                &group);
            refreshers_.push_back([this, control, group] {
                const PadBinding b = store_->mapping().binding(control);
                if (const auto* mouse = b.as<PadBinding::MouseButton>()) {
                    group->button(static_cast<int>(mouse->button))->setChecked(true);
                }
            });
            return segments;
        }
        case Kind::move:
        case Kind::scroll: {
            auto* box = new QWidget;
            auto* layout = new QHBoxLayout(box);
            layout->setContentsMargins(0, 0, 0, 0);
            auto* direction = new QComboBox;
            direction->setObjectName(QStringLiteral("direction-") + json);
            for (const auto d : gamepad::allPadDirections) {
                QString label = qs(gamepad::rawValue(d));
                label[0] = label[0].toUpper();
                direction->addItem(label, qs(gamepad::rawValue(d)));
            }
            // Reads and writes the payload of either case, which share a shape.
            auto current = [this, control]() -> std::pair<gamepad::PadDirection, double> {
                const PadBinding b = store_->mapping().binding(control);
                if (const auto* move = b.as<PadBinding::MouseMove>()) {
                    return {move->direction, move->speed};
                }
                if (const auto* scroll = b.as<PadBinding::Scroll>()) {
                    return {scroll->direction, scroll->speed};
                }
                return {gamepad::PadDirection::up, 1.0};
            };
            auto write = [this, control](gamepad::PadDirection d, double speed) {
                edit([&](GamepadMapping& m) {
                    m.bindings[control] = m.binding(control).kind() == Kind::scroll
                                              ? PadBinding::scroll(d, speed)
                                              : PadBinding::mouseMove(d, speed);
                });
            };
            connect(direction, &QComboBox::activated, this, [current, write](int index) {
                write(gamepad::allPadDirections[static_cast<std::size_t>(index)], current().second);
            });
            refreshers_.push_back([direction, current] {
                const QSignalBlocker block(direction);
                direction->setCurrentIndex(static_cast<int>(current().first));
            });
            layout->addWidget(direction);
            layout->addWidget(makeSliderRow(
                QStringLiteral("speed-") + json, QStringLiteral("Speed"), QString(), 0.2, 4.0, 0.1,
                false, [current] { return current().second; },
                [current, write](double speed) { write(current().first, speed); }));
            return box;
        }
        case Kind::none: {
            auto* label = new QLabel(QStringLiteral("Does nothing"));
            label->setEnabled(false);  // the tertiary look
            return label;
        }
    }
    return new QWidget;
}

QWidget* MappingEditor::makeStickEditor(StickField field, const QString& title,
                                        const QString& badge, const QString& idPrefix) {
    auto* editor = new QWidget;
    editor->setObjectName(idPrefix);
    auto* layout = new QVBoxLayout(editor);
    layout->setContentsMargins(0, 0, 0, 0);
    auto* top = new QHBoxLayout;
    top->addWidget(makeBadge(badge, stickTint));
    top->addWidget(new QLabel(title));
    top->addStretch(1);
    QStringList modes;
    for (const auto mode : gamepad::allStickModes) {
        modes << qs(gamepad::displayName(mode));
    }
    const StickBinding stick = store_->mapping().*field;
    QButtonGroup* group = nullptr;
    top->addWidget(makeSegments(
        QStringLiteral("mode-") + idPrefix, modes, indexOf(stick.mode),
        [this, field](int id) {
            edit([&](GamepadMapping& m) {
                (m.*field).mode = gamepad::allStickModes[static_cast<std::size_t>(id)];
            });
        },
        &group));
    layout->addLayout(top);

    auto getStick = [this, field]() -> const StickBinding& { return store_->mapping().*field; };
    auto editStick = [this, field](const std::function<void(StickBinding&)>& change) {
        edit([&](GamepadMapping& m) { change(m.*field); });
    };

    switch (stick.mode) {
        case StickMode::mouse:
        case StickMode::scroll: {
            const bool mouse = stick.mode == StickMode::mouse;
            layout->addWidget(makeSliderRow(
                idPrefix + QStringLiteral("-sensitivity"), QStringLiteral("Sensitivity"),
                mouse ? QStringLiteral("Pointer speed at full deflection.")
                      : QStringLiteral("Scroll speed at full deflection."),
                StickBinding::sensitivityRange.lower, StickBinding::sensitivityRange.upper, 0.1,
                false, [getStick] { return getStick().sensitivity; },
                [editStick](double v) { editStick([v](StickBinding& s) { s.sensitivity = v; }); }));
            layout->addWidget(makeSliderRow(
                idPrefix + QStringLiteral("-deadzone"), QStringLiteral("Dead zone"),
                QStringLiteral("Ignore small stick movement (drift)."), 0.0, 0.5, 0.01, true,
                [getStick] { return getStick().deadzone; },
                [editStick](double v) { editStick([v](StickBinding& s) { s.deadzone = v; }); }));
            auto* invert = new QCheckBox(
                mouse ? QStringLiteral("Invert vertical (push up moves the pointer down)")
                      : QStringLiteral("Invert vertical scroll"));
            invert->setObjectName(idPrefix + QStringLiteral("-invertY"));
            connect(invert, &QCheckBox::clicked, this, [editStick](bool on) {
                editStick([on](StickBinding& s) { s.invertY = on; });
            });
            refreshers_.push_back([invert, getStick] {
                const QSignalBlocker block(invert);
                invert->setChecked(getStick().invertY);
            });
            layout->addWidget(invert);
            break;
        }
        case StickMode::keys: {
            auto* grid = new QGridLayout;
            const std::array<std::pair<const char*, std::string StickBinding::*>, 4> directions{{
                {"Up", &StickBinding::up},
                {"Down", &StickBinding::down},
                {"Left", &StickBinding::left},
                {"Right", &StickBinding::right},
            }};
            for (std::size_t i = 0; i < directions.size(); ++i) {
                const auto [label, member] = directions[i];
                auto* cell = new QHBoxLayout;
                cell->addWidget(new QLabel(QString::fromUtf8(label)));
                QWidget* keyField = makeKeyField(
                    idPrefix + QLatin1Char('.') + QString::fromUtf8(label).toLower(), false,
                    [getStick, member] { return PadKeyCombo{getStick().*member, {}}; },
                    [editStick, member](const PadKeyCombo& combo) {
                        editStick([&](StickBinding& s) { s.*member = combo.key; });
                    });
                keyField->setFixedWidth(stickKeyFieldWidth);
                cell->addWidget(keyField);
                cell->addStretch(1);
                grid->addLayout(cell, static_cast<int>(i / 2), static_cast<int>(i % 2));
            }
            layout->addLayout(grid);
            layout->addWidget(makeSliderRow(
                idPrefix + QStringLiteral("-threshold"), QStringLiteral("Press threshold"),
                QStringLiteral("How far the stick must be pushed before the key goes down."), 0.1,
                0.9, 0.01, true, [getStick] { return getStick().deadzone; },
                [editStick](double v) { editStick([v](StickBinding& s) { s.deadzone = v; }); }));
            break;
        }
        case StickMode::off: {
            auto* label = new QLabel(QStringLiteral("This stick does nothing."));
            label->setEnabled(false);
            layout->addWidget(label);
            break;
        }
    }
    return editor;
}

QWidget* MappingEditor::makeKeyField(const QString& id, bool allowModifiers,
                                     std::function<PadKeyCombo()> get,
                                     std::function<void(const PadKeyCombo&)> set) {
    auto* box = new QWidget;
    auto* layout = new QHBoxLayout(box);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(2);
    auto* button = new QPushButton;
    button->setObjectName(QStringLiteral("key-") + id);
    connect(button, &QPushButton::clicked, this, [this, id, allowModifiers, set] {
        recorder_->cancel();
        recorder_->begin(id, allowModifiers, set);
    });
    layout->addWidget(button, 1);

    auto* pickButton = new QToolButton;
    pickButton->setObjectName(QStringLiteral("keymenu-") + id);
    pickButton->setText(QStringLiteral("⌄"));
    pickButton->setToolTip(QStringLiteral("Pick a key from a list"));
    pickButton->setAutoRaise(true);
    pickButton->setPopupMode(QToolButton::InstantPopup);
    pickButton->setMenu(makeKeyMenu(pickButton, [get, set](std::string_view name) {
        // A key keeps the field's modifiers; "None" empties the whole combination.
        PadKeyCombo combo = name.empty() ? PadKeyCombo{} : get();
        combo.key = std::string(name);
        set(combo);
    }));
    layout->addWidget(pickButton);

    refreshers_.push_back([this, id, button, get] {
        const PadKeyCombo combo = get();
        if (recorder_->activeID() == id) {
            button->setIcon(QIcon::fromTheme(QStringLiteral("media-record")));
            button->setText(QStringLiteral("Press a key…"));
            button->setToolTip(QStringLiteral("Press the key to bind. Esc cancels."));
            return;
        }
        button->setIcon(QIcon::fromTheme(QStringLiteral("input-keyboard")));
        button->setText(combo.key.empty() && combo.mods.isEmpty()
                            ? QStringLiteral("Click to set")
                            : QString::fromStdString(combo.display()));
        button->setToolTip(QStringLiteral("Click, then press a key"));
    });
    return box;
}

QWidget* MappingEditor::makeSliderRow(const QString& objectName, const QString& label,
                                      const QString& help, double lower, double upper, double step,
                                      bool percent, std::function<double()> get,
                                      std::function<void(double)> set) {
    auto* row = new QWidget;
    row->setToolTip(help);
    auto* layout = new QHBoxLayout(row);
    layout->setContentsMargins(0, 0, 0, 0);
    auto* name = new QLabel(label);
    name->setFixedWidth(sliderLabelWidth);
    layout->addWidget(name);
    auto* slider = new QSlider(Qt::Horizontal);
    slider->setObjectName(objectName);
    const int steps = static_cast<int>(std::lround((upper - lower) / step));
    slider->setRange(0, steps);
    layout->addWidget(slider, 1);
    auto* value = new QLabel;
    value->setObjectName(objectName + QStringLiteral("-value"));
    value->setFixedWidth(sliderValueWidth);
    layout->addWidget(value);

    connect(slider, &QSlider::valueChanged, this, [lower, step, set](int position) {
        set(lower + position * step);
    });
    refreshers_.push_back([slider, value, get, lower, step, percent] {
        const double v = get();
        const QSignalBlocker block(slider);
        slider->setValue(static_cast<int>(std::lround((v - lower) / step)));
        value->setText(percent ? QString::asprintf("%.0f%%", v * 100)
                               : QString::asprintf("%.1f×", v));
    });
    return row;
}

void MappingEditor::restoreWindowGeometry() {
    const auto saved = defaults_ ? defaults_->string(geometryKey) : std::nullopt;
    if (saved && restoreGeometry(QByteArray::fromBase64(QByteArray::fromStdString(*saved)))) {
        return;
    }
    resize(windowWidth, windowHeight);
    if (const QScreen* screen = QGuiApplication::primaryScreen()) {
        QRect frame(QPoint(), size());
        frame.moveCenter(screen->availableGeometry().center());
        move(frame.topLeft());
    }
}

void MappingEditor::saveWindowGeometry() {
    if (defaults_) {
        (void)defaults_->setString(geometryKey, saveGeometry().toBase64().toStdString());
    }
}

void MappingEditor::moveEvent(QMoveEvent* event) {
    QWidget::moveEvent(event);
    if (isVisible()) {
        geometrySave_->start();
    }
}

void MappingEditor::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    if (isVisible()) {
        geometrySave_->start();
    }
}

void MappingEditor::hideEvent(QHideEvent* event) {
    // The recorder watches the whole application: once the window is gone,
    // keys typed elsewhere must not land in the mapping.
    recorder_->cancel();
    QWidget::hideEvent(event);
}

void MappingEditor::changeEvent(QEvent* event) {
    if (event->type() == QEvent::ActivationChange && !isActiveWindow()) {
        recorder_->cancel();
    }
    QWidget::changeEvent(event);
}

void MappingEditor::closeEvent(QCloseEvent* event) {
    recorder_->cancel();
    geometrySave_->stop();
    saveWindowGeometry();
    QWidget::closeEvent(event);
}

}  // namespace tarvel::app
