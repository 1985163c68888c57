#include "host/app/login_item.hpp"

#include <sys/stat.h>

#include <cstdint>
#include <optional>
#include <span>
#include <system_error>
#include <utility>
#include <vector>

#include "core/base/atomic_file.hpp"
#include "core/base/data_folder.hpp"

namespace tarvel::app {

namespace {

// Autostart entries are ordinary desktop files: readable by all, like the
// ones desktop settings write.
constexpr mode_t entryMode = 0644;
constexpr mode_t newFolderMode = 0700;

constexpr std::string_view entryGroup = "[Desktop Entry]";

std::string_view trim(std::string_view text) {
    constexpr std::string_view blanks = " \t\r";
    const auto first = text.find_first_not_of(blanks);
    if (first == std::string_view::npos) {
        return {};
    }
    return text.substr(first, text.find_last_not_of(blanks) - first + 1);
}

// Characters that make an Exec argument of a desktop entry need quotes.
bool isReserved(char c) {
    constexpr std::string_view reserved = " \t\n\"'\\><~|&;$*?#()`";
    return reserved.find(c) != std::string_view::npos;
}

/// The command as one Exec argument, escaped for the Exec rules and then for
/// the string-value rules that a reader undoes first.
std::optional<std::string> execValue(std::string_view command) {
    std::string argument;
    bool quote = false;
    for (const char c : command) {
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) {
            return std::nullopt;
        }
        quote = quote || isReserved(c);
    }
    if (quote) {
        argument += '"';
    }
    for (const char c : command) {
        if (quote && (c == '"' || c == '`' || c == '$' || c == '\\')) {
            argument += '\\';
        }
        // A lone % would be read as a field code.
        argument += c == '%' ? std::string("%%") : std::string(1, c);
    }
    if (quote) {
        argument += '"';
    }
    std::string value;
    for (const char c : argument) {
        value += c;
        if (c == '\\') {
            value += '\\';
        }
    }
    return value;
}

std::string reason(const std::error_code& error) { return error.message(); }

}  // namespace

LoginItem::LoginItem(std::filesystem::path autostartDirectory, std::string command)
    : directory_(std::move(autostartDirectory)), command_(std::move(command)) {}

std::filesystem::path LoginItem::defaultDirectory(const base::Environment& environment) {
    // A relative XDG path is invalid by its own rules and is ignored.
    if (auto xdg = base::nonEmptyVariable(environment, "XDG_CONFIG_HOME");
        xdg && std::filesystem::path(*xdg).is_absolute()) {
        return std::filesystem::path(*xdg) / "autostart";
    }
    if (auto home = base::homeDirectory(environment)) {
        return *home / ".config" / "autostart";
    }
    return {};
}

std::filesystem::path LoginItem::entryPath() const { return directory_ / entryFileName; }

bool LoginItem::isEnabled() const {
    if (directory_.empty()) {
        return false;
    }
    auto bytes = base::readWholeFile(entryPath());
    if (!bytes || !*bytes) {
        return false;
    }
    const std::string_view content(reinterpret_cast<const char*>((*bytes)->data()),
                                   (*bytes)->size());
    bool inEntryGroup = false;
    std::size_t start = 0;
    while (start < content.size()) {
        auto end = content.find('\n', start);
        if (end == std::string_view::npos) {
            end = content.size();
        }
        const std::string_view line = trim(content.substr(start, end - start));
        start = end + 1;
        if (line.empty() || line.front() == '#') {
            continue;
        }
        if (line.front() == '[') {
            inEntryGroup = line == entryGroup;
            continue;
        }
        const auto equals = line.find('=');
        if (!inEntryGroup || equals == std::string_view::npos) {
            continue;
        }
        const std::string_view key = trim(line.substr(0, equals));
        const std::string_view value = trim(line.substr(equals + 1));
        if ((key == "Hidden" && value == "true") ||
            (key == "X-GNOME-Autostart-enabled" && value == "false")) {
            return false;
        }
    }
    return true;
}

tl::expected<std::string, std::string> LoginItem::desktopEntry(std::string_view command) {
    auto exec = execValue(command);
    if (!exec) {
        return tl::unexpected(std::string("the program's path contains a control character"));
    }
    return std::string(entryGroup) +
           "\n"
           "Type=Application\n"
           "Name=Tarvel\n"
           "Comment=Lets your paired phone or tablet control this computer\n"
           "Exec=" +
           *exec +
           "\n"
           "Icon=tarvel\n"
           "Terminal=false\n"
           "X-GNOME-Autostart-enabled=true\n";
}

tl::expected<void, std::string> LoginItem::setEnabled(bool on) {
    if (directory_.empty()) {
        return tl::unexpected(std::string("no home folder for the autostart entry"));
    }
    const auto path = entryPath();
    if (!on) {
        std::error_code error;
        std::filesystem::remove(path, error);
        if (error) {
            return tl::unexpected(path.string() + ": " + reason(error));
        }
        return {};
    }
    auto text = desktopEntry(command_);
    if (!text) {
        return tl::unexpected(std::move(text.error()));
    }
    if (auto made = base::createDirectories(directory_, newFolderMode); !made) {
        return tl::unexpected(directory_.string() + ": " + reason(made.error()));
    }
    const std::span<const std::uint8_t> bytes(reinterpret_cast<const std::uint8_t*>(text->data()),
                                              text->size());
    if (auto written = base::writeFileAtomically(path, bytes, entryMode); !written) {
        return tl::unexpected(path.string() + ": " + reason(written.error()));
    }
    return {};
}

bool shouldAskAboutLogin(mapping::UserDefaults& defaults, const LoginItem& item,
                         const base::Environment& environment) {
    if (environment("TVL_BENCH") == std::optional<std::string>("1")) {
        return false;
    }
    if (defaults.boolean(mapping::UserDefaults::loginItemPromptedKey).value_or(false)) {
        return false;
    }
    // Recorded before the question shows: whatever happens next, it is not
    // asked again. A failed write is logged by the store and still held for
    // this run.
    (void)defaults.setBool(mapping::UserDefaults::loginItemPromptedKey, true);
    return !item.isEnabled();
}

std::string loginPromptMessage() { return "Start Tarvel when you log in?"; }

std::string loginPromptDetail() {
    return "Tarvel runs in the system tray so your paired phone or tablet can control this "
           "computer. You can change this later from the menu.";
}

std::string loginPromptYes() { return "Yes"; }

std::string loginPromptNo() { return "No"; }

std::string loginFailureMessage() { return "Tarvel could not be set to start at login"; }

std::string loginFailureDetail(std::string_view error) {
    return "The autostart entry could not be written: " + std::string(error) +
           ". You can also add Tarvel to your desktop's startup applications yourself.";
}

}  // namespace tarvel::app
