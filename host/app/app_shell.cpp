#include "host/app/app_shell.hpp"

#include <QApplication>
#include <QIcon>
#include <QMenu>
#include <QMessageBox>
#include <QSystemTrayIcon>
#include <QTimer>

#include <utility>

#include "core/base/log.hpp"
#include "host/app/mapping_editor.hpp"
#include "host/app/pairing_window.hpp"
#include "host/server/web_listener.hpp"

// The icons live in this static library: its resources need registering.
static void registerIcons() {
    Q_INIT_RESOURCE(icons);
}

namespace tarvel::app {

AppShell::AppShell(Setup setup)
    : setup_(std::move(setup)), tray_(new QSystemTrayIcon(this)), menu_(new QMenu()) {
    mapping::PadMappingStore::Dependencies dependencies;
    dependencies.fileURL = setup_.mappingFile;
    dependencies.defaults = setup_.defaults;
    dependencies.runtime = setup_.runtime;
    dependencies.mainQueue = setup_.mainQueue;
    dependencies.backgroundQueue = setup_.background;
    dependencies.gamepadMappingChanged = [weak = std::weak_ptr<server::HostServer>(setup_.server)] {
        if (auto server = weak.lock()) {
            server->gamepadMappingChanged();
        }
    };
    store_ = mapping::PadMappingStore::create(std::move(dependencies));
    registerIcons();
    tray_->setContextMenu(menu_);
    // Rebuilt from a fresh snapshot every time it opens.
    connect(menu_, &QMenu::aboutToShow, this, &AppShell::rebuildMenu);
    connect(tray_, &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason why) {
        if (why == QSystemTrayIcon::Trigger) {
            rebuildMenu();
            menu_->popup(tray_->geometry().isValid() ? tray_->geometry().bottomLeft() : QCursor::pos());
        }
    });
    connect(qApp, &QCoreApplication::aboutToQuit, this, &AppShell::stopServer);
}

AppShell::~AppShell() {
    stopServer();
    delete menu_;
    delete editor_.data();
    delete pairing_.data();
}

PairingWindow* AppShell::pairingWindow() const noexcept {
    return pairing_.data();
}

void AppShell::start() {
    updateIcon();
    tray_->show();
    const QPointer<AppShell> self(this);
    setup_.server->setOnChange([self] {
        if (self) {
            self->updateIcon();
        }
    });
    setup_.server->setOnPairingCompleted([self, control = setup_.control] {
        if (control) {
            control->pairingCompleted();
        }
        if (self) {
            self->endPairingWindow();
        }
    });
    setup_.server->setOnPairingCodeEnded([control = setup_.control](server::PairingCodeEnd how) {
        if (control) {
            control->pairingCodeEnded(how);
        }
    });
    if (setup_.control) {
        // A `tarveld pair` replaced the window's code: the window goes rather
        // than show a dead one.
        setup_.control->setOnCodeTaken([self, queue = setup_.mainQueue] {
            queue->async([self] {
                if (self && self->pairing_ && self->pairing_->isVisible()) {
                    self->pairing_->dismiss();
                    self->windowCode_.clear();
                }
            });
        });
    }
    setup_.server->start();
    if (setup_.control) {
        // Without it the tray still serves phones; the line says why.
        if (auto listening = setup_.control->start(); !listening) {
            base::logLine(listening.error());
        }
    }
    if (setup_.environment("TVL_SHOW_GAMEPAD_MAPPING").value_or("") == "1") {
        QTimer::singleShot(0, this, &AppShell::openMappingEditor);
    }
    QTimer::singleShot(0, this, &AppShell::askAboutLogin);
}

void AppShell::stopServer() {
    if (stopped_) {
        return;
    }
    stopped_ = true;
    if (setup_.control) {
        setup_.control->setOnCodeTaken({});
        setup_.control->stop();
    }
    setup_.server->setOnChange({});
    setup_.server->setOnPairingCompleted({});
    setup_.server->setOnPairingCodeEnded({});
    setup_.server->stop();
}

void AppShell::updateIcon() {
    if (stopped_) {
        return;
    }
    const bool connected = setup_.server->isConnected();
    if (lastConnected_ == connected) {
        return;
    }
    lastConnected_ = connected;
    tray_->setIcon(QIcon(connected ? ":/icons/tarvel-connected.svg" : ":/icons/tarvel.svg"));
    tray_->setToolTip(connected ? "Tarvel: connected" : "Tarvel");
}

void AppShell::rebuildMenu() {
    StatusMenuState state;
    state.snapshot = setup_.server->snapshot();
    state.matchingPreset = gamepad::matchingPreset(store_->mapping());
    state.loginItemEnabled = setup_.loginItem.isEnabled();
    state.injection = setup_.injection;
    StatusMenuActions actions;
    actions.pairNewDevice = [this] { openPairingWindow(); };
    actions.openMapping = [this] { openMappingEditor(); };
    actions.resetToDefaults = [this] {
        store_->setMapping(gamepad::presetMapping(gamepad::GamepadPreset::shooter));
    };
    actions.toggleLoginItem = [this] { toggleLoginItem(); };
    actions.quit = [] { QCoreApplication::quit(); };
    actions.removeClient = [this](const std::string& id) { setup_.server->removePairedClient(id); };
    actions.choosePreset = [this](gamepad::GamepadPreset preset) {
        store_->setMapping(gamepad::presetMapping(preset));
    };
    buildStatusMenu(*menu_, state, actions);
}

void AppShell::openPairingWindow() {
    if (!pairing_) {
        pairing_ = new PairingWindow();
        connect(pairing_, &PairingWindow::closedByUser, this, [this] { withdrawWindowCode(); });
    } else if (pairing_->isVisible()) {
        // A new attempt withdraws the code on display.
        pairing_->dismiss();
        withdrawWindowCode();
    }
    const auto info = setup_.server->beginPairing();
    windowCode_ = info.code;
    if (setup_.control) {
        setup_.control->pairingCodeReplaced();
    }
    const auto snapshot = setup_.server->snapshot();
    const QRect icon = tray_->geometry();
    const auto web = setup_.server->webRemoteLink(info);
    pairing_->present(info.code, info.payload.urlString(), info.lan.value_or(snapshot.lanIP), info.ts,
                      icon.isValid() && !icon.isEmpty() ? std::optional(icon) : std::nullopt, web);
}

void AppShell::endPairingWindow() {
    if (pairing_ && pairing_->isVisible()) {
        pairing_->dismiss();
        withdrawWindowCode();
    }
}

void AppShell::withdrawWindowCode() {
    // Only the window's own code: a command may have issued a newer one.
    if (!windowCode_.empty()) {
        setup_.server->endPairing(std::exchange(windowCode_, {}));
    }
}

void AppShell::openMappingEditor() {
    if (!editor_) {
        editor_ = new MappingEditor(store_, setup_.mappingFile, setup_.defaults);
    }
    editor_->show();
    editor_->raise();
    editor_->activateWindow();
}

void AppShell::toggleLoginItem() {
    const bool on = !setup_.loginItem.isEnabled();
    if (auto changed = setup_.loginItem.setEnabled(on); !changed) {
        base::logLine("login item change failed: " + changed.error());
        if (on) {
            QMessageBox box(QMessageBox::Warning, "Tarvel", QString::fromStdString(loginFailureMessage()),
                            QMessageBox::Ok);
            box.setInformativeText(QString::fromStdString(loginFailureDetail(changed.error())));
            box.exec();
        }
    }
}

void AppShell::askAboutLogin() {
    if (!shouldAskAboutLogin(*setup_.defaults, setup_.loginItem, setup_.environment)) {
        return;
    }
    QMessageBox box(QMessageBox::Question, "Tarvel", QString::fromStdString(loginPromptMessage()),
                    QMessageBox::Yes | QMessageBox::No);
    box.setInformativeText(QString::fromStdString(loginPromptDetail()));
    if (box.exec() == QMessageBox::Yes) {
        toggleLoginItem();
    }
}

}  // namespace tarvel::app
