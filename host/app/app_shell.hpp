#pragma once

#include <QObject>
#include <QPointer>

#include <filesystem>
#include <memory>
#include <optional>
#include <string>

#include "core/base/environment.hpp"
#include "host/app/login_item.hpp"
#include "host/app/qt_main_queue.hpp"
#include "host/app/status_menu.hpp"
#include "host/mapping/pad_mapping_store.hpp"
#include "host/mapping/user_defaults.hpp"
#include "host/server/control_server.hpp"
#include "host/server/host_server.hpp"

class QMenu;
class QSystemTrayIcon;

namespace tarvel::app {

class MappingEditor;
class PairingWindow;

/// The tray application: the icon and its menu, the pairing window, the
/// mapping editor and the login item, around one host server. GUI thread.
class AppShell : public QObject {
    Q_OBJECT
  public:
    struct Setup {
        std::shared_ptr<server::HostServer> server;
        std::shared_ptr<QtMainQueue> mainQueue;
        std::shared_ptr<base::SerialQueue> background;  // mapping file writes
        std::shared_ptr<mapping::UserDefaults> defaults;
        std::shared_ptr<mapping::PadMappingRuntime> runtime;
        std::filesystem::path mappingFile;
        InjectionState injection;
        LoginItem loginItem;
        base::Environment environment = base::processEnvironment();
        /// The control socket around `server`, started and stopped with it; may be null.
        std::shared_ptr<control::ControlServer> control;
    };

    explicit AppShell(Setup setup);
    ~AppShell() override;

    /// Shows the icon, hooks the server's callbacks, starts the server, then
    /// opens what the environment asks for and the first-launch question.
    void start();
    /// Stops the server with nothing held. Idempotent; also run at quit.
    void stopServer();

    QSystemTrayIcon& trayIcon() noexcept { return *tray_; }
    /// The menu as it is filled when it opens.
    QMenu& menu() noexcept { return *menu_; }
    void rebuildMenu();
    void openPairingWindow();
    void openMappingEditor();
    PairingWindow* pairingWindow() const noexcept;

  private:
    void updateIcon();
    void endPairingWindow();
    void withdrawWindowCode();
    void askAboutLogin();
    void toggleLoginItem();

    Setup setup_;
    std::shared_ptr<mapping::PadMappingStore> store_;
    mapping::ObserverToken storeObserver_;
    QSystemTrayIcon* tray_;
    QMenu* menu_;
    QPointer<PairingWindow> pairing_;
    /// The code the pairing window shows; empty once withdrawn or replaced.
    std::string windowCode_;
    QPointer<MappingEditor> editor_;
    std::optional<bool> lastConnected_;
    bool stopped_ = false;
};

}  // namespace tarvel::app
