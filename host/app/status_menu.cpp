#include "host/app/status_menu.hpp"

#include <QAction>
#include <QDateTime>
#include <QKeySequence>
#include <QMenu>
#include <QRegularExpression>

#include <string_view>

namespace tarvel::app {

namespace {

QString text(std::string_view utf8) {
    return QString::fromUtf8(utf8.data(), static_cast<qsizetype>(utf8.size()));
}

// A single "&" in a menu title marks a mnemonic and disappears; names come
// from the user's devices and may contain one.
QString literal(std::string_view utf8) { return text(utf8).replace(u'&', QStringLiteral("&&")); }

QAction* addRow(QMenu& menu, const QString& title, const char* objectName, bool enabled = true) {
    QAction* action = menu.addAction(title);
    action->setObjectName(QString::fromLatin1(objectName));
    action->setEnabled(enabled);
    return action;
}

void onTrigger(QAction* action, std::function<void()> handler) {
    if (!handler) {
        return;
    }
    QObject::connect(action, &QAction::triggered, action,
                     [handler = std::move(handler)] { handler(); });
}

void addClientRows(QMenu& menu, const StatusMenuState& state, const StatusMenuActions& actions) {
    const auto& snapshot = state.snapshot;
    if (snapshot.clients.empty()) {
        addRow(menu, QStringLiteral("No Paired Devices"), "noClientsRow", false);
        return;
    }
    const QLocale locale = QLocale::system();
    for (const auto& client : snapshot.clients) {
        const bool online = snapshot.onlineClientIds.contains(client.clientId);
        const QString title = (online ? QStringLiteral("●") : QStringLiteral("○")) +
                              QLatin1Char(' ') + literal(client.deviceName) +
                              QStringLiteral(" (") + literal(client.deviceModel) +
                              QLatin1Char(')');
        auto* submenu = new QMenu(title, &menu);
        QAction* row = menu.addMenu(submenu);
        row->setObjectName(QStringLiteral("clientRow"));
        row->setData(text(client.clientId));

        addRow(*submenu,
               QStringLiteral("Last seen: ") + formatLastSeen(client.lastSeenUnix, locale),
               "lastSeenRow", false);
        QAction* remove =
            addRow(*submenu, QStringLiteral("Remove \"") + literal(client.deviceName) + u'"',
                   "removeClientRow");
        if (actions.removeClient) {
            onTrigger(remove, [removeClient = actions.removeClient, id = client.clientId] {
                removeClient(id);
            });
        }
    }
}

void addGamepadOutput(QMenu& menu, const StatusMenuState& state,
                      const StatusMenuActions& actions) {
    auto* submenu = new QMenu(QStringLiteral("Gamepad output"), &menu);
    menu.addMenu(submenu)->setObjectName(QStringLiteral("gamepadOutputRow"));

    for (const gamepad::GamepadPreset preset : gamepad::allGamepadPresets) {
        QAction* row = addRow(*submenu, text(gamepad::displayName(preset)), "presetRow");
        row->setData(text(gamepad::rawValue(preset)));
        row->setCheckable(true);
        row->setChecked(state.matchingPreset == preset);
        if (actions.choosePreset) {
            onTrigger(row, [choosePreset = actions.choosePreset, preset] { choosePreset(preset); });
        }
    }
    if (!state.matchingPreset) {
        QAction* custom =
            addRow(*submenu, QStringLiteral("Custom mapping"), "customMappingRow", false);
        custom->setCheckable(true);
        custom->setChecked(true);
    }
    submenu->addSeparator();
    onTrigger(addRow(*submenu, QStringLiteral("Gamepad Mapping…"), "outputMappingRow"),
              actions.openMapping);
    onTrigger(addRow(*submenu, QStringLiteral("Reset to Defaults"), "resetRow"),
              actions.resetToDefaults);
}

}  // namespace

QString formatLastSeen(std::int64_t unixSeconds, const QLocale& locale) {
    // Qt has no medium date style. It is made from the locale's long date
    // format without the weekday and with abbreviated month names, which
    // gives "Mar 3, 2024" in American English and "3. März 2024" in German;
    // the time is the locale's short format.
    QString dateFormat = locale.dateFormat(QLocale::LongFormat);
    static const QRegularExpression weekday(
        QStringLiteral("dddd[\\s,،、]*|[\\s,،、]*dddd"));
    dateFormat.remove(weekday);
    dateFormat.replace(QStringLiteral("MMMM"), QStringLiteral("MMM"));
    dateFormat = dateFormat.trimmed();

    const QDateTime when = QDateTime::fromSecsSinceEpoch(unixSeconds);
    return locale.toString(when.date(), dateFormat) + QStringLiteral(", ") +
           locale.toString(when.time(), QLocale::ShortFormat);
}

void buildStatusMenu(QMenu& menu, const StatusMenuState& state, const StatusMenuActions& actions) {
    menu.clear();
    // clear() keeps the submenus of the last build; detach them now so only
    // the new ones are found, and delete them once no signal of theirs runs.
    for (QMenu* old : menu.findChildren<QMenu*>(Qt::FindDirectChildrenOnly)) {
        old->setParent(nullptr);
        old->deleteLater();
    }

    const auto& snapshot = state.snapshot;
    addRow(menu, QStringLiteral("Tarvel — ") + literal(snapshot.hostName), "hostRow", false);
    addRow(menu,
           QStringLiteral("LAN: ") + literal(snapshot.lanIP) + QStringLiteral(" · Tailscale: ") +
               (snapshot.tailscaleIP ? literal(*snapshot.tailscaleIP)
                                     : QStringLiteral("Not connected")),
           "addressRow", false);
    addRow(menu,
           snapshot.activeClientName
               ? QStringLiteral("● Controlled by ") + literal(*snapshot.activeClientName)
               : QStringLiteral("○ Ready for connection"),
           "controlRow", false);
    menu.addSeparator();

    onTrigger(addRow(menu, QStringLiteral("Pair New Device…"), "pairRow"), actions.pairNewDevice);
    addClientRows(menu, state, actions);
    menu.addSeparator();

    addGamepadOutput(menu, state, actions);
    onTrigger(addRow(menu, QStringLiteral("Gamepad Mapping…"), "mappingRow"), actions.openMapping);
    menu.addSeparator();

    QAction* login = addRow(menu, QStringLiteral("Start at Login"), "loginRow");
    login->setCheckable(true);
    login->setChecked(state.loginItemEnabled);
    onTrigger(login, actions.toggleLoginItem);
    addRow(menu,
           state.injection.available
               ? QStringLiteral("Input: X11")
               : QStringLiteral("⚠️ Input unavailable: ") + literal(state.injection.problem),
           "injectionRow", false);
    menu.addSeparator();

    QAction* quit = addRow(menu, QStringLiteral("Quit Tarvel"), "quitRow");
    quit->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_Q));
    onTrigger(quit, actions.quit);
}

}  // namespace tarvel::app
