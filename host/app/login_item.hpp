#pragma once

#include <filesystem>
#include <string>
#include <string_view>

#include <tl/expected.hpp>

#include "core/base/environment.hpp"
#include "host/mapping/user_defaults.hpp"

namespace tarvel::app {

/// Starting Tarvel at login through an XDG autostart entry ("tarvel.desktop").
class LoginItem {
  public:
    static constexpr std::string_view entryFileName = "tarvel.desktop";

    /// `autostartDirectory`: where the entry lives (defaultDirectory() for the
    /// user's); `command`: the program's absolute path, written as Exec.
    LoginItem(std::filesystem::path autostartDirectory, std::string command);

    /// $XDG_CONFIG_HOME/autostart when that is an absolute path, else
    /// home/.config/autostart. Empty when no home can be found.
    static std::filesystem::path defaultDirectory(
        const base::Environment& environment = base::processEnvironment());

    /// The entry exists, can be read, and is neither hidden (Hidden=true)
    /// nor switched off (X-GNOME-Autostart-enabled=false).
    bool isEnabled() const;

    /// Writes the entry in one step, or removes it (an absent entry is fine).
    /// The error is one line naming the path and the reason.
    tl::expected<void, std::string> setEnabled(bool on);

    std::filesystem::path entryPath() const;

    /// The entry's text: a [Desktop Entry] group that runs `command` at login.
    /// Nothing when the command cannot be written on one line.
    static tl::expected<std::string, std::string> desktopEntry(std::string_view command);

  private:
    std::filesystem::path directory_;
    std::string command_;
};

/// Whether to ask now about starting at login: true at most once ever, when
/// "rc.loginItemPrompted" is not yet true, TVL_BENCH is not "1" and the item
/// is not already enabled. Records the question as asked at once (before the
/// caller shows it), so quitting while it shows does not ask again.
bool shouldAskAboutLogin(mapping::UserDefaults& defaults, const LoginItem& item,
                         const base::Environment& environment);

/// The first-launch question: message, informative text and its two buttons.
std::string loginPromptMessage();
std::string loginPromptDetail();
std::string loginPromptYes();
std::string loginPromptNo();

/// The alert shown when enabling fails: message, and informative text around
/// `error` as setEnabled returned it.
std::string loginFailureMessage();
std::string loginFailureDetail(std::string_view error);

}  // namespace tarvel::app
