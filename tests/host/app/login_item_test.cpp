#include "host/app/login_item.hpp"
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>
#include "tests/fakes/temp_dir.hpp"

namespace tarvel::app {
namespace {
namespace fs = std::filesystem;

base::Environment environment(std::map<std::string, std::string> variables) {
    return [variables](std::string_view name) -> std::optional<std::string> {
        const auto found = variables.find(std::string(name));
        return found == variables.end() ? std::nullopt : std::optional(found->second);
    };
}

TEST(LoginItem, enablingWritesAnEntryDisablingRemovesItAndHiddenEntriesAreOff) {
    const testing::TempDir root;
    LoginItem item(root / "autostart", "/opt/tarvel/bin/tarvel");
    EXPECT_EQ(item.entryPath(), root / "autostart" / "tarvel.desktop");
    EXPECT_FALSE(item.isEnabled());
    ASSERT_TRUE(item.setEnabled(true).has_value());
    ASSERT_TRUE(item.setEnabled(true).has_value());  // again: replaced, still enabled
    EXPECT_TRUE(item.isEnabled());
    std::stringstream text;
    text << std::ifstream(item.entryPath()).rdbuf();
    EXPECT_TRUE(text.str().starts_with("[Desktop Entry]\nType=Application\n")) << text.str();
    EXPECT_NE(text.str().find("\nExec=/opt/tarvel/bin/tarvel\n"), std::string::npos);
    struct stat info {};
    ASSERT_EQ(::stat(item.entryPath().c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0644u);
    ASSERT_TRUE(item.setEnabled(false).has_value());
    EXPECT_FALSE(fs::exists(item.entryPath()));
    EXPECT_TRUE(item.setEnabled(false).has_value());  // nothing left to remove
    // Keys of another group say nothing about this entry.
    const std::string head = "[Desktop Entry]\nType=Application\nExec=/usr/bin/tarvel\n";
    for (const auto& [tail, enabled] : std::vector<std::pair<std::string, bool>>{
             {"Hidden=false\nX-GNOME-Autostart-enabled=true\n", true},
             {"X-GNOME-Autostart-enabled = false\n", false},
             {"[Desktop Action quit]\nHidden=true\n", true},
             {"Hidden=true\n", false}}) {
        std::ofstream(item.entryPath()) << head + tail;
        EXPECT_EQ(item.isEnabled(), enabled) << tail;
    }
    ASSERT_TRUE(item.setEnabled(true).has_value());  // over the hidden one
    EXPECT_TRUE(item.isEnabled());
    fs::remove(item.entryPath());
    fs::create_directory(item.entryPath());
    EXPECT_FALSE(item.isEnabled());
    std::ofstream(root / "file") << "not a folder";
    LoginItem blocked(root / "file" / "autostart", "/usr/bin/tarvel");
    const auto result = blocked.setEnabled(true);
    ASSERT_FALSE(result.has_value());
    EXPECT_NE(result.error().find((root / "file").string()), std::string::npos) << result.error();
    EXPECT_EQ(result.error().find('\n'), std::string::npos);
    EXPECT_TRUE(loginFailureDetail(result.error())
                    .starts_with("The autostart entry could not be written: " + result.error()));
    EXPECT_FALSE(LoginItem({}, "/usr/bin/tarvel").setEnabled(true).has_value());
}

TEST(LoginItem, execQuotesReservedCharactersAndDirectoryFollowsAbsoluteXdgConfigHome) {
    for (const auto& [command, exec] : std::map<std::string, std::string>{
             {"/home/ann/My Apps/tarvel", "Exec=\"/home/ann/My Apps/tarvel\""},
             {"/opt/a$b/tarvel", "Exec=\"/opt/a\\\\$b/tarvel\""},  // escaped twice
             {"/opt/a\\b/tarvel", "Exec=\"/opt/a\\\\\\\\b/tarvel\""},
             {"/opt/100%/tarvel", "Exec=/opt/100%%/tarvel"}}) {  // not a field code
        const std::string entry = LoginItem::desktopEntry(command).value_or("");
        EXPECT_NE(entry.find("\n" + exec + "\n"), std::string::npos) << entry;
    }
    EXPECT_FALSE(LoginItem::desktopEntry("/opt/a\nb/tarvel").has_value());
    for (const auto& [config, expected] : std::map<std::string, std::string>{
             {"/x/conf", "/x/conf/autostart"}, {"relative", "/home/ann/.config/autostart"}}) {
        EXPECT_EQ(LoginItem::defaultDirectory(
                      environment({{"XDG_CONFIG_HOME", config}, {"HOME", "/home/ann"}})),
                  fs::path(expected));
    }
}

TEST(LoginItem, firstLaunchQuestionIsAskedOnceEverNotOnBenchRunsNorWhenEnabled) {
    const testing::TempDir root;
    LoginItem item(root / "autostart", "/usr/bin/tarvel");
    {
        mapping::UserDefaults defaults(root / "defaults.json");
        EXPECT_FALSE(shouldAskAboutLogin(defaults, item, environment({{"TVL_BENCH", "1"}})));
        EXPECT_EQ(defaults.boolean(mapping::UserDefaults::loginItemPromptedKey), std::nullopt);
        EXPECT_TRUE(shouldAskAboutLogin(defaults, item, environment({{"TVL_BENCH", "0"}})));
        EXPECT_FALSE(shouldAskAboutLogin(defaults, item, environment({})));
    }
    mapping::UserDefaults reopened(root / "defaults.json");
    EXPECT_FALSE(shouldAskAboutLogin(reopened, item, environment({})));
    mapping::UserDefaults fresh(root / "fresh.json");
    ASSERT_TRUE(item.setEnabled(true).has_value());
    EXPECT_FALSE(shouldAskAboutLogin(fresh, item, environment({})));
}

}  // namespace
}  // namespace tarvel::app
