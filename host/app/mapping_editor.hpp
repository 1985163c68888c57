#pragma once

#include <QString>
#include <QWidget>

#include <filesystem>
#include <functional>
#include <memory>
#include <vector>

#include "core/gamepad/gamepad_mapping.hpp"
#include "host/mapping/pad_mapping_store.hpp"
#include "host/mapping/user_defaults.hpp"

class QComboBox;
class QLabel;
class QTimer;
class QVBoxLayout;

namespace tarvel::app {

class KeyRecorder;

/// The "Gamepad Mapping" window: shows the store's mapping and writes every
/// edit back to it at once; follows changes made elsewhere. GUI thread only.
class MappingEditor : public QWidget {
    Q_OBJECT
  public:
    /// The user default that keeps the window's geometry (base64).
    static constexpr const char* geometryKey = "TarvelGamepadMapping";

    /// `mappingFile`: its folder is what "Open Data Folder" opens. `defaults`
    /// keeps the window's geometry across runs.
    MappingEditor(std::shared_ptr<mapping::PadMappingStore> store,
                  std::filesystem::path mappingFile,
                  std::shared_ptr<mapping::UserDefaults> defaults, QWidget* parent = nullptr);
    ~MappingEditor() override;

    /// The recorder all key fields share.
    KeyRecorder& recorder() const { return *recorder_; }

  protected:
    void moveEvent(QMoveEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    void hideEvent(QHideEvent* event) override;
    void changeEvent(QEvent* event) override;

  private:
    // What decides which widgets the form holds; values are refreshed in place.
    struct Shape {
        std::vector<gamepad::PadBinding::Kind> kinds;
        gamepad::StickMode left = gamepad::StickMode::off;
        gamepad::StickMode right = gamepad::StickMode::off;
        friend bool operator==(const Shape&, const Shape&) = default;
    };
    using StickField = gamepad::StickBinding gamepad::GamepadMapping::*;

    void storeChanged();
    void refreshHeader();
    void rebuildForm();
    void refreshValues();
    Shape shapeOf(const gamepad::GamepadMapping& mapping) const;
    void edit(const std::function<void(gamepad::GamepadMapping&)>& change);

    QWidget* makeStickEditor(StickField field, const QString& title, const QString& badge,
                             const QString& idPrefix);
    QWidget* makeBindingRow(gamepad::PadControl control);
    QWidget* makeKindEditor(gamepad::PadControl control);
    QWidget* makeKeyField(const QString& id, bool allowModifiers,
                          std::function<gamepad::PadKeyCombo()> get,
                          std::function<void(const gamepad::PadKeyCombo&)> set);
    QWidget* makeSliderRow(const QString& objectName, const QString& label, const QString& help,
                           double lower, double upper, double step, bool percent,
                           std::function<double()> get, std::function<void(double)> set);

    void restoreWindowGeometry();
    void saveWindowGeometry();

    const std::shared_ptr<mapping::PadMappingStore> store_;
    const std::filesystem::path mappingFile_;
    const std::shared_ptr<mapping::UserDefaults> defaults_;
    KeyRecorder* recorder_;  // child
    QComboBox* preset_ = nullptr;
    QVBoxLayout* formLayout_ = nullptr;
    QWidget* form_ = nullptr;
    QLabel* saveError_ = nullptr;
    QTimer* geometrySave_ = nullptr;
    Shape shape_;
    std::vector<std::function<void()>> refreshers_;
    mapping::ObserverToken observer_;
};

}  // namespace tarvel::app
