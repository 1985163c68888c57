#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include <QLocale>
#include <QString>

#include "core/gamepad/gamepad_mapping.hpp"
#include "host/server/host_server.hpp"

class QMenu;

namespace tarvel::app {

/// Whether synthetic input reaches the desktop, and if not why ("no X
/// display", "the X server has no XTEST extension", "a Wayland session: input
/// reaches X11 applications only" ...).
struct InjectionState {
    bool available = false;
    std::string problem;
};

/// Everything the status menu shows, read fresh each time it opens.
struct StatusMenuState {
    server::HostServer::Snapshot snapshot;
    /// gamepad::matchingPreset of the current mapping; nothing for a custom one.
    std::optional<gamepad::GamepadPreset> matchingPreset;
    bool loginItemEnabled = false;
    InjectionState injection;
};

/// What the menu's rows do. An empty function makes its row do nothing.
struct StatusMenuActions {
    std::function<void()> pairNewDevice, openMapping, resetToDefaults, toggleLoginItem, quit;
    std::function<void(const std::string& clientId)> removeClient;
    std::function<void(gamepad::GamepadPreset)> choosePreset;
};

/// Clears `menu` (and the submenus an earlier call made) and fills it with the
/// status menu's rows, in order. Rows carry object names: "hostRow",
/// "addressRow", "controlRow", "pairRow", "clientRow" (one per paired client,
/// its data the client id; submenu rows "lastSeenRow" and "removeClientRow"),
/// "noClientsRow", "gamepadOutputRow" (submenu rows "presetRow" with the
/// preset's raw value as data, "customMappingRow", "outputMappingRow",
/// "resetRow"), "mappingRow", "loginRow", "injectionRow", "quitRow".
/// The actions run on the GUI thread when a row is chosen. GUI thread only.
void buildStatusMenu(QMenu& menu, const StatusMenuState& state, const StatusMenuActions& actions);

/// The "Last seen" time: the locale's medium-style date and short time.
QString formatLastSeen(std::int64_t unixSeconds, const QLocale& locale);

}  // namespace tarvel::app
