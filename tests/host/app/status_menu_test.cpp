#include "host/app/status_menu.hpp"
#include <gtest/gtest.h>
#include <QAction>
#include <QDateTime>
#include <QKeySequence>
#include <QLocale>
#include <QMenu>
#include <string>
#include <vector>

namespace tarvel::app {
namespace {

using gamepad::GamepadPreset;
using Strings = std::vector<std::string>;

// The title as the menu shows it ("&&" is one literal "&").
std::string shown(const QAction* action) {
    return action->text().replace(QStringLiteral("&&"), QStringLiteral("&")).toStdString();
}

QAction* row(const QObject& menu, const char* name) {
    auto* action = menu.findChild<QAction*>(QString::fromLatin1(name));
    EXPECT_NE(action, nullptr) << name;
    return action;
}

// A menu's own rows in order, as titles ("✓" when checked) or object names; "|" a separator.
Strings listing(const QMenu& menu, bool names = false) {
    Strings result;
    for (const QAction* action : menu.actions()) {
        result.push_back(action->isSeparator() ? "|"
                         : names               ? action->objectName().toStdString()
                                               : (action->isChecked() ? "✓" : "") + shown(action));
    }
    return result;
}

pairing::PairedClientRecord client(std::string id, std::string name, std::string model, std::int64_t seen) {
    return {std::move(id), std::move(name), std::move(model), "", 0, seen, ""};
}

StatusMenuState idleState() {
    StatusMenuState state;
    state.snapshot.hostName = "studio";
    state.snapshot.lanIP = "192.168.1.20";
    state.matchingPreset = GamepadPreset::shooter;
    state.injection = {true, ""};
    return state;
}

struct Calls {
    Strings log;
    std::vector<GamepadPreset> chosen;
    StatusMenuActions actions() {
        auto note = [this](const char* what) { return [this, what] { log.emplace_back(what); }; };
        return {note("pair"), note("mapping"), note("reset"), note("login"), note("quit"),
                [this](const std::string& id) { log.push_back("remove " + id); },
                [this](GamepadPreset preset) { chosen.push_back(preset); }};
    }
};

TEST(StatusMenu, withoutDevicesOrTailscaleShowsEveryRowInOrderAndQuitWorks) {
    QMenu menu;
    Calls calls;
    buildStatusMenu(menu, idleState(), calls.actions());
    EXPECT_EQ(listing(menu),
              (Strings{"Tarvel — studio", "LAN: 192.168.1.20 · Tailscale: Not connected",
                       "○ Ready for connection", "|", "Pair New Device…", "No Paired Devices", "|",
                       "Gamepad output", "Gamepad Mapping…", "|", "Start at Login", "Input: X11",
                       "|", "Quit Tarvel"}));
    for (const char* name : {"hostRow", "addressRow", "controlRow", "noClientsRow"})
        EXPECT_FALSE(row(menu, name)->isEnabled()) << name;
    EXPECT_EQ(row(menu, "quitRow")->shortcut(), QKeySequence(QStringLiteral("Ctrl+Q")));
    for (const char* name : {"pairRow", "mappingRow", "quitRow"}) row(menu, name)->trigger();
    EXPECT_EQ(calls.log, (Strings{"pair", "mapping", "quit"}));
    buildStatusMenu(menu, idleState(), StatusMenuActions{});
    for (QAction* action : menu.findChildren<QAction*>()) action->trigger();  // empty functions are not called
}

TEST(StatusMenu, listsClientsInStoreOrderWithOnlineMarkersLastSeenAndRemoval) {
    StatusMenuState state = idleState();
    state.snapshot.tailscaleIP = "100.101.102.103";
    state.snapshot.activeClientName = "Ann & Bo's phone";
    const auto seen = QDateTime(QDate(2024, 3, 3), QTime(14, 5)).toSecsSinceEpoch();
    state.snapshot.clients = {client("c-2", "Tablet", "iPad13,1", seen),
                              client("c-1", "Ann & Bo's phone", "iPhone15,2", seen + 60)};
    state.snapshot.onlineClientIds = {"c-1"};
    QMenu menu;
    Calls calls;
    buildStatusMenu(menu, idleState(), calls.actions());
    buildStatusMenu(menu, state, calls.actions());  // the earlier rows and submenus go
    const Strings all = listing(menu);
    EXPECT_EQ(Strings(all.begin() + 1, all.begin() + 8),
              (Strings{"LAN: 192.168.1.20 · Tailscale: 100.101.102.103",
                       "● Controlled by Ann & Bo's phone", "|", "Pair New Device…",
                       "○ Tablet (iPad13,1)", "● Ann & Bo's phone (iPhone15,2)", "|"}));
    EXPECT_EQ(menu.findChildren<QMenu*>(Qt::FindDirectChildrenOnly).size(), 3);
    const QAction* tablet = menu.actions()[5];
    const QAction* phone = menu.actions()[6];
    EXPECT_EQ(tablet->data().toString(), QStringLiteral("c-2"));
    ASSERT_NE(phone->menu(), nullptr);
    EXPECT_EQ(listing(*phone->menu(), true), (Strings{"lastSeenRow", "removeClientRow"}));
    const QAction* lastSeen = phone->menu()->actions()[0];
    EXPECT_FALSE(lastSeen->isEnabled());
    EXPECT_EQ(lastSeen->text(), QStringLiteral("Last seen: ") +
                                    formatLastSeen(seen + 60, QLocale::system()));
    QAction* remove = phone->menu()->actions()[1];
    EXPECT_EQ(shown(remove), "Remove \"Ann & Bo's phone\"");
    remove->trigger();
    tablet->menu()->actions()[1]->trigger();
    EXPECT_EQ(calls.log, (Strings{"remove c-1", "remove c-2"}));
    // The medium date without a weekday, and the short time.
    const QLocale us(QLocale::English, QLocale::UnitedStates);
    EXPECT_EQ(formatLastSeen(seen, us),
              QStringLiteral("Mar 3, 2024, ") + us.toString(QTime(14, 5), QLocale::ShortFormat));
}

TEST(StatusMenu, gamepadOutputLoginAndInputRowsFollowTheirState) {
    Calls calls;
    StatusMenuState state = idleState();
    state.matchingPreset = GamepadPreset::emulator;
    QMenu menu;
    buildStatusMenu(menu, state, calls.actions());
    const QMenu* output = row(menu, "gamepadOutputRow")->menu();
    ASSERT_NE(output, nullptr);
    EXPECT_EQ(listing(*output), (Strings{"Shooter (WASD + mouse look)", "✓Arrow keys / emulator",
                                         "Mouse only (desktop)", "Racing (triggers = W / S)", "|",
                                         "Gamepad Mapping…", "Reset to Defaults"}));
    output->actions()[3]->trigger();
    row(*output, "resetRow")->trigger();
    row(*output, "outputMappingRow")->trigger();
    EXPECT_EQ(calls.chosen, (std::vector<GamepadPreset>{GamepadPreset::racing}));
    EXPECT_EQ(calls.log, (Strings{"reset", "mapping"}));
    state.matchingPreset.reset();
    state.loginItemEnabled = true;
    state.injection = {false, "no X display"};
    buildStatusMenu(menu, state, calls.actions());
    QAction* login = row(menu, "loginRow");
    EXPECT_TRUE(login->isCheckable() && login->isChecked() && login->isEnabled());
    login->trigger();
    EXPECT_EQ(calls.log.back(), "login");
    EXPECT_EQ(shown(row(menu, "injectionRow")), "⚠️ Input unavailable: no X display");
    EXPECT_FALSE(row(menu, "injectionRow")->isEnabled());
    output = row(menu, "gamepadOutputRow")->menu();
    ASSERT_NE(output, nullptr);
    EXPECT_EQ(listing(*output), (Strings{"Shooter (WASD + mouse look)", "Arrow keys / emulator",
                                         "Mouse only (desktop)", "Racing (triggers = W / S)",
                                         "✓Custom mapping", "|", "Gamepad Mapping…",
                                         "Reset to Defaults"}));
    EXPECT_FALSE(row(*output, "customMappingRow")->isEnabled());
}

}  // namespace
}  // namespace tarvel::app
