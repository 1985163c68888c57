#include "host/app/login_item.hpp"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>

namespace tarvel::app {
namespace {

namespace fs = std::filesystem;

class LoginItemTest : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string pattern = (fs::temp_directory_path() / "tarvel-login-XXXXXX").string();
        ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
        root_ = pattern;
    }
    void TearDown() override {
        std::error_code ignored;
        fs::remove_all(root_, ignored);
    }

    static std::string read(const fs::path& path) {
        std::ifstream in(path);
        std::stringstream text;
        text << in.rdbuf();
        return text.str();
    }
    static void write(const fs::path& path, const std::string& text) {
        fs::create_directories(path.parent_path());
        std::ofstream(path) << text;
    }
    static base::Environment environment(std::map<std::string, std::string> variables) {
        return [variables = std::move(variables)](std::string_view name)
                   -> std::optional<std::string> {
            auto found = variables.find(std::string(name));
            if (found == variables.end()) {
                return std::nullopt;
            }
            return found->second;
        };
    }
    /// The Exec line the entry gets for `command`.
    static std::string execLine(const std::string& command) {
        auto entry = LoginItem::desktopEntry(command);
        EXPECT_TRUE(entry.has_value());
        std::istringstream lines(entry.value_or(""));
        for (std::string line; std::getline(lines, line);) {
            if (line.starts_with("Exec=")) {
                return line;
            }
        }
        return {};
    }

    fs::path root_;
};

TEST_F(LoginItemTest, enablingWritesAnEntryAndDisablingRemovesIt) {
    LoginItem item(root_ / "config" / "autostart", "/opt/tarvel/bin/tarvel");
    EXPECT_EQ(item.entryPath(), root_ / "config" / "autostart" / "tarvel.desktop");
    EXPECT_FALSE(item.isEnabled());

    ASSERT_TRUE(item.setEnabled(true).has_value());
    EXPECT_TRUE(item.isEnabled());
    const std::string text = read(item.entryPath());
    EXPECT_TRUE(text.starts_with("[Desktop Entry]\n")) << text;
    for (const char* line : {"\nType=Application\n", "\nName=Tarvel\n", "\nComment=",
                             "\nExec=/opt/tarvel/bin/tarvel\n", "\nIcon=tarvel\n",
                             "\nTerminal=false\n", "\nX-GNOME-Autostart-enabled=true\n"}) {
        EXPECT_NE(text.find(line), std::string::npos) << line;
    }
    struct stat info {};
    ASSERT_EQ(::stat(item.entryPath().c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0644u);

    ASSERT_TRUE(item.setEnabled(true).has_value());  // again: replaced, still enabled
    EXPECT_TRUE(item.isEnabled());

    ASSERT_TRUE(item.setEnabled(false).has_value());
    EXPECT_FALSE(fs::exists(item.entryPath()));
    EXPECT_FALSE(item.isEnabled());
    EXPECT_TRUE(item.setEnabled(false).has_value());  // nothing left to remove
}

TEST_F(LoginItemTest, hiddenOrSwitchedOffEntriesCountAsDisabled) {
    LoginItem item(root_, "/usr/bin/tarvel");
    const std::string head = "[Desktop Entry]\nType=Application\nExec=/usr/bin/tarvel\n";
    write(item.entryPath(), head + "Hidden=true\n");
    EXPECT_FALSE(item.isEnabled());
    write(item.entryPath(), head + "X-GNOME-Autostart-enabled = false\n");
    EXPECT_FALSE(item.isEnabled());
    write(item.entryPath(), head + "Hidden=false\nX-GNOME-Autostart-enabled=true\n");
    EXPECT_TRUE(item.isEnabled());
    // Keys of another group say nothing about this entry.
    write(item.entryPath(), head + "[Desktop Action quit]\nHidden=true\n");
    EXPECT_TRUE(item.isEnabled());

    // Enabling replaces a hidden entry with a live one.
    write(item.entryPath(), head + "Hidden=true\n");
    ASSERT_TRUE(item.setEnabled(true).has_value());
    EXPECT_TRUE(item.isEnabled());
}

TEST_F(LoginItemTest, aDirectoryInPlaceOfTheEntryIsNotEnabled) {
    LoginItem item(root_, "/usr/bin/tarvel");
    fs::create_directories(item.entryPath());
    EXPECT_FALSE(item.isEnabled());
}

TEST_F(LoginItemTest, unwritableFolderGivesOneLineError) {
    write(root_ / "file", "not a folder");
    LoginItem item(root_ / "file" / "autostart", "/usr/bin/tarvel");
    auto result = item.setEnabled(true);
    ASSERT_FALSE(result.has_value());
    EXPECT_NE(result.error().find((root_ / "file").string()), std::string::npos) << result.error();
    EXPECT_EQ(result.error().find('\n'), std::string::npos);
    EXPECT_FALSE(item.isEnabled());

    const std::string informative = loginFailureDetail(result.error());
    EXPECT_TRUE(informative.starts_with("The autostart entry could not be written: " +
                                        result.error() + ". "));

    LoginItem homeless({}, "/usr/bin/tarvel");
    EXPECT_FALSE(homeless.setEnabled(true).has_value());
    EXPECT_FALSE(homeless.isEnabled());
}

TEST_F(LoginItemTest, execQuotesPathsWithReservedCharacters) {
    EXPECT_EQ(execLine("/home/ann/My Apps/tarvel"), "Exec=\"/home/ann/My Apps/tarvel\"");
    // The argument's escapes are themselves escaped as a string value, so
    // "$" becomes "\\$" and a backslash four of them.
    EXPECT_EQ(execLine("/opt/a$b/tarvel"), "Exec=\"/opt/a\\\\$b/tarvel\"");
    EXPECT_EQ(execLine("/opt/a\\b/tarvel"), "Exec=\"/opt/a\\\\\\\\b/tarvel\"");
    // % is not reserved but would start a field code.
    EXPECT_EQ(execLine("/opt/100%/tarvel"), "Exec=/opt/100%%/tarvel");
    EXPECT_FALSE(LoginItem::desktopEntry("/opt/a\nb/tarvel").has_value());
}

TEST_F(LoginItemTest, defaultDirectoryFollowsXdgConfigHome) {
    EXPECT_EQ(LoginItem::defaultDirectory(environment({{"XDG_CONFIG_HOME", "/x/conf"},
                                                       {"HOME", "/home/ann"}})),
              fs::path("/x/conf/autostart"));
    EXPECT_EQ(LoginItem::defaultDirectory(
                  environment({{"XDG_CONFIG_HOME", "relative"}, {"HOME", "/home/ann"}})),
              fs::path("/home/ann/.config/autostart"));
    EXPECT_EQ(LoginItem::defaultDirectory(environment({{"HOME", "/home/ann"},
                                                       {"TVL_DATA_DIR", "/elsewhere"}})),
              fs::path("/home/ann/.config/autostart"));
}

TEST_F(LoginItemTest, firstLaunchQuestionIsAskedOnceEver) {
    const fs::path defaultsPath = root_ / "defaults.json";
    LoginItem item(root_ / "autostart", "/usr/bin/tarvel");
    const auto plain = environment({});
    {
        mapping::UserDefaults defaults(defaultsPath);
        EXPECT_TRUE(shouldAskAboutLogin(defaults, item, environment({{"TVL_BENCH", "0"}})));
        EXPECT_EQ(defaults.boolean(mapping::UserDefaults::loginItemPromptedKey), true);
        EXPECT_FALSE(shouldAskAboutLogin(defaults, item, plain));
    }
    // Whatever the answer, a later launch does not ask again.
    mapping::UserDefaults reopened(defaultsPath);
    EXPECT_FALSE(shouldAskAboutLogin(reopened, item, plain));
}

TEST_F(LoginItemTest, benchRunsAndEnabledItemsAreNotAsked) {
    LoginItem item(root_ / "autostart", "/usr/bin/tarvel");
    mapping::UserDefaults defaults(root_ / "defaults.json");
    EXPECT_FALSE(shouldAskAboutLogin(defaults, item, environment({{"TVL_BENCH", "1"}})));
    // A bench run leaves the question for a real launch.
    EXPECT_EQ(defaults.boolean(mapping::UserDefaults::loginItemPromptedKey), std::nullopt);

    ASSERT_TRUE(item.setEnabled(true).has_value());
    EXPECT_FALSE(shouldAskAboutLogin(defaults, item, environment({})));
    ASSERT_TRUE(item.setEnabled(false).has_value());
    EXPECT_FALSE(shouldAskAboutLogin(defaults, item, environment({})));
}

}  // namespace
}  // namespace tarvel::app
