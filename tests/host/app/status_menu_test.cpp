#include "host/app/status_menu.hpp"

#include <gtest/gtest.h>

#include <QAction>
#include <QDateTime>
#include <QKeySequence>
#include <QLocale>
#include <QMenu>

#include <optional>
#include <string>
#include <vector>

namespace tarvel::app {
namespace {

using gamepad::GamepadPreset;

// The title as the menu shows it ("&&" is one literal "&").
std::string shown(const QAction* action) {
    return action->text().replace(QStringLiteral("&&"), QStringLiteral("&")).toStdString();
}

QAction* row(const QObject& menu, const char* name) {
    auto* action = menu.findChild<QAction*>(QString::fromLatin1(name));
    EXPECT_NE(action, nullptr) << name;
    return action;
}

std::vector<QAction*> rows(const QObject& menu, const char* name) {
    const auto found = menu.findChildren<QAction*>(QString::fromLatin1(name));
    return {found.begin(), found.end()};
}

// Object names of a menu's own rows in order, "|" for a separator.
std::vector<std::string> layout(const QMenu& menu) {
    std::vector<std::string> names;
    for (const QAction* action : menu.actions()) {
        names.push_back(action->isSeparator() ? "|" : action->objectName().toStdString());
    }
    return names;
}

std::vector<std::string> titles(const QMenu& menu) {
    std::vector<std::string> result;
    for (const QAction* action : menu.actions()) {
        result.push_back(action->isSeparator() ? "|" : shown(action));
    }
    return result;
}

pairing::PairedClientRecord client(std::string id, std::string name, std::string model,
                                   std::int64_t lastSeen) {
    pairing::PairedClientRecord record;
    record.clientId = std::move(id);
    record.deviceName = std::move(name);
    record.deviceModel = std::move(model);
    record.lastSeenUnix = lastSeen;
    return record;
}

StatusMenuState idleState() {
    StatusMenuState state;
    state.snapshot.hostName = "studio";
    state.snapshot.lanIP = "192.168.1.20";
    state.matchingPreset = GamepadPreset::shooter;
    state.injection.available = true;
    return state;
}

struct Calls {
    int pair = 0, mapping = 0, reset = 0, login = 0, quit = 0;
    std::vector<std::string> removed;
    std::vector<GamepadPreset> chosen;

    StatusMenuActions actions() {
        StatusMenuActions result;
        result.pairNewDevice = [this] { ++pair; };
        result.openMapping = [this] { ++mapping; };
        result.resetToDefaults = [this] { ++reset; };
        result.toggleLoginItem = [this] { ++login; };
        result.quit = [this] { ++quit; };
        result.removeClient = [this](const std::string& id) { removed.push_back(id); };
        result.choosePreset = [this](GamepadPreset preset) { chosen.push_back(preset); };
        return result;
    }
};

TEST(StatusMenu, withoutDevicesShowsPlaceholderAndEveryRowInOrder) {
    QMenu menu;
    Calls calls;
    buildStatusMenu(menu, idleState(), calls.actions());

    EXPECT_EQ(layout(menu),
              (std::vector<std::string>{"hostRow", "addressRow", "controlRow", "|", "pairRow",
                                        "noClientsRow", "|", "gamepadOutputRow", "mappingRow", "|",
                                        "loginRow", "injectionRow", "|", "quitRow"}));
    EXPECT_EQ(titles(menu),
              (std::vector<std::string>{"Tarvel — studio",
                                        "LAN: 192.168.1.20 · Tailscale: Not connected",
                                        "○ Ready for connection", "|", "Pair New Device…",
                                        "No Paired Devices", "|", "Gamepad output",
                                        "Gamepad Mapping…", "|", "Start at Login", "Input: X11",
                                        "|", "Quit Tarvel"}));
    for (const char* name : {"hostRow", "addressRow", "controlRow", "noClientsRow"}) {
        EXPECT_FALSE(row(menu, name)->isEnabled()) << name;
    }
    EXPECT_TRUE(row(menu, "pairRow")->isEnabled());
    EXPECT_TRUE(rows(menu, "clientRow").empty());

    row(menu, "pairRow")->trigger();
    row(menu, "mappingRow")->trigger();
    EXPECT_EQ(calls.pair, 1);
    EXPECT_EQ(calls.mapping, 1);
}

TEST(StatusMenu, listsClientsInStoreOrderWithOnlineMarkersAndRemoval) {
    StatusMenuState state = idleState();
    state.snapshot.tailscaleIP = "100.101.102.103";
    state.snapshot.activeClientName = "Ann & Bo's phone";
    const auto seen = QDateTime(QDate(2024, 3, 3), QTime(14, 5)).toSecsSinceEpoch();
    state.snapshot.clients = {client("c-2", "Tablet", "iPad13,1", seen),
                              client("c-1", "Ann & Bo's phone", "iPhone15,2", seen + 60)};
    state.snapshot.onlineClientIds = {"c-1"};
    QMenu menu;
    Calls calls;
    buildStatusMenu(menu, state, calls.actions());

    EXPECT_EQ(shown(row(menu, "addressRow")), "LAN: 192.168.1.20 · Tailscale: 100.101.102.103");
    EXPECT_EQ(shown(row(menu, "controlRow")), "● Controlled by Ann & Bo's phone");
    EXPECT_EQ(menu.findChild<QAction*>(QStringLiteral("noClientsRow")), nullptr);

    const auto layoutNames = layout(menu);
    ASSERT_GE(layoutNames.size(), 7u);
    EXPECT_EQ(layoutNames[4], "pairRow");
    EXPECT_EQ(layoutNames[5], "clientRow");
    EXPECT_EQ(layoutNames[6], "clientRow");
    EXPECT_EQ(layoutNames[7], "|");
    const QAction* tablet = menu.actions()[5];
    const QAction* phone = menu.actions()[6];
    EXPECT_EQ(shown(tablet), "○ Tablet (iPad13,1)");
    EXPECT_EQ(shown(phone), "● Ann & Bo's phone (iPhone15,2)");
    EXPECT_EQ(tablet->data().toString(), QStringLiteral("c-2"));
    EXPECT_TRUE(tablet->isEnabled());

    ASSERT_NE(phone->menu(), nullptr);
    const QMenu& phoneMenu = *phone->menu();
    ASSERT_EQ(phoneMenu.actions().size(), 2);
    const QAction* lastSeen = phoneMenu.actions()[0];
    EXPECT_EQ(lastSeen->objectName(), QStringLiteral("lastSeenRow"));
    EXPECT_FALSE(lastSeen->isEnabled());
    EXPECT_EQ(lastSeen->text(), QStringLiteral("Last seen: ") +
                                    formatLastSeen(seen + 60, QLocale::system()));
    QAction* remove = phoneMenu.actions()[1];
    EXPECT_EQ(shown(remove), "Remove \"Ann & Bo's phone\"");
    EXPECT_TRUE(remove->isEnabled());

    remove->trigger();
    tablet->menu()->actions()[1]->trigger();
    EXPECT_EQ(calls.removed, (std::vector<std::string>{"c-1", "c-2"}));
}

TEST(StatusMenu, lastSeenUsesMediumDateWithoutWeekdayAndShortTime) {
    const auto sunday = QDateTime(QDate(2024, 3, 3), QTime(14, 5)).toSecsSinceEpoch();
    const QLocale american(QLocale::English, QLocale::UnitedStates);
    const QString english = formatLastSeen(sunday, american);
    EXPECT_TRUE(english.startsWith(QStringLiteral("Mar 3, 2024, "))) << english.toStdString();
    EXPECT_TRUE(english.endsWith(american.toString(QTime(14, 5), QLocale::ShortFormat)))
        << english.toStdString();

    const QLocale german(QLocale::German, QLocale::Germany);
    const QString deutsch = formatLastSeen(sunday, german);
    EXPECT_TRUE(deutsch.startsWith(QStringLiteral("3. M"))) << deutsch.toStdString();
    EXPECT_TRUE(deutsch.contains(QStringLiteral("2024, 14:05"))) << deutsch.toStdString();
    EXPECT_FALSE(english.contains(QStringLiteral("March"))) << english.toStdString();
    for (const QLocale& locale : {american, german}) {
        const QString text = formatLastSeen(sunday, locale);
        EXPECT_FALSE(text.contains(locale.dayName(7, QLocale::LongFormat))) << text.toStdString();
    }
}

TEST(StatusMenu, gamepadOutputChecksTheMatchingPresetOrCustomMapping) {
    Calls calls;
    StatusMenuState state = idleState();
    state.matchingPreset = GamepadPreset::emulator;
    QMenu menu;
    buildStatusMenu(menu, state, calls.actions());

    const QMenu* output = row(menu, "gamepadOutputRow")->menu();
    ASSERT_NE(output, nullptr);
    EXPECT_EQ(layout(*output),
              (std::vector<std::string>{"presetRow", "presetRow", "presetRow", "presetRow", "|",
                                        "outputMappingRow", "resetRow"}));
    std::vector<std::string> checked;
    for (const QAction* preset : rows(*output, "presetRow")) {
        EXPECT_TRUE(preset->isCheckable());
        EXPECT_TRUE(preset->isEnabled());
        if (preset->isChecked()) {
            checked.push_back(shown(preset));
        }
    }
    EXPECT_EQ(checked, (std::vector<std::string>{"Arrow keys / emulator"}));
    EXPECT_EQ(menu.findChild<QAction*>(QStringLiteral("customMappingRow")), nullptr);

    output->actions()[3]->trigger();
    row(*output, "resetRow")->trigger();
    row(*output, "outputMappingRow")->trigger();
    EXPECT_EQ(calls.chosen, (std::vector<GamepadPreset>{GamepadPreset::racing}));
    EXPECT_EQ(calls.reset, 1);
    EXPECT_EQ(calls.mapping, 1);

    state.matchingPreset.reset();
    buildStatusMenu(menu, state, calls.actions());
    output = row(menu, "gamepadOutputRow")->menu();
    ASSERT_NE(output, nullptr);
    for (const QAction* preset : rows(*output, "presetRow")) {
        EXPECT_FALSE(preset->isChecked()) << shown(preset);
    }
    const QAction* custom = row(*output, "customMappingRow");
    ASSERT_NE(custom, nullptr);
    EXPECT_EQ(shown(custom), "Custom mapping");
    EXPECT_TRUE(custom->isChecked());
    EXPECT_FALSE(custom->isEnabled());
    EXPECT_EQ(output->actions()[4], custom);
}

TEST(StatusMenu, rebuildingReplacesEveryRowAndSubmenu) {
    Calls calls;
    StatusMenuState state = idleState();
    state.snapshot.clients = {client("c-1", "Phone", "Pixel 8", 0)};
    QMenu menu;
    buildStatusMenu(menu, state, calls.actions());
    state.snapshot.clients.push_back(client("c-2", "Tablet", "Tab S9", 0));
    buildStatusMenu(menu, state, calls.actions());

    EXPECT_EQ(rows(menu, "clientRow").size(), 2u);
    EXPECT_EQ(rows(menu, "removeClientRow").size(), 2u);
    EXPECT_EQ(rows(menu, "presetRow").size(), 4u);
    EXPECT_EQ(rows(menu, "quitRow").size(), 1u);
    EXPECT_EQ(menu.findChildren<QMenu*>(Qt::FindDirectChildrenOnly).size(), 3);

    row(menu, "quitRow")->trigger();
    EXPECT_EQ(calls.quit, 1);
}

TEST(StatusMenu, loginAndInputRowsFollowTheirState) {
    Calls calls;
    StatusMenuState state = idleState();
    state.loginItemEnabled = true;
    state.injection = {false, "no X display"};
    QMenu menu;
    buildStatusMenu(menu, state, calls.actions());

    QAction* login = row(menu, "loginRow");
    EXPECT_TRUE(login->isCheckable());
    EXPECT_TRUE(login->isChecked());
    EXPECT_TRUE(login->isEnabled());
    login->trigger();
    EXPECT_EQ(calls.login, 1);
    const QAction* injection = row(menu, "injectionRow");
    EXPECT_EQ(shown(injection), "⚠️ Input unavailable: no X display");
    EXPECT_FALSE(injection->isEnabled());

    state.loginItemEnabled = false;
    state.injection = {true, ""};
    buildStatusMenu(menu, state, calls.actions());
    EXPECT_FALSE(row(menu, "loginRow")->isChecked());
    EXPECT_EQ(shown(row(menu, "injectionRow")), "Input: X11");
    EXPECT_FALSE(row(menu, "injectionRow")->isEnabled());
}

TEST(StatusMenu, quitRowHasControlQAndRowsWithoutActionsDoNothing) {
    QMenu menu;
    buildStatusMenu(menu, idleState(), StatusMenuActions{});
    const QAction* quit = row(menu, "quitRow");
    EXPECT_EQ(quit->shortcut(), QKeySequence(QStringLiteral("Ctrl+Q")));
    for (QAction* action : menu.findChildren<QAction*>()) {
        action->trigger();  // must not call an empty function
    }
}

}  // namespace
}  // namespace tarvel::app
