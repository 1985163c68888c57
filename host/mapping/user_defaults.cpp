#include "host/mapping/user_defaults.hpp"

#include <exception>
#include <utility>

#include "core/base/atomic_file.hpp"
#include "core/base/data_folder.hpp"
#include "core/base/environment.hpp"
#include "core/base/log.hpp"
#include "core/base/salvage.hpp"
#include "core/wire/bytes.hpp"

namespace tarvel::mapping {

namespace {

using wire::JSON;

// Shared with the data folder when TVL_DATA_DIR points both at one place.
constexpr mode_t directoryMode = 0700;
constexpr mode_t fileMode = 0600;

// The file's text, or nothing when a value cannot be encoded (not UTF-8).
std::optional<std::string> encode(const JSON& values) {
    try {
        std::string text = values.dump(2, ' ', false, JSON::error_handler_t::strict);
        text.push_back('\n');
        return text;
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

}  // namespace

UserDefaults::UserDefaults(std::filesystem::path path)
    : path_(std::move(path)), values_(JSON::object()) {
    auto bytes = base::readWholeFile(path_);
    if (bytes && !*bytes) {
        return;  // never written yet
    }
    std::string reason;
    if (!bytes) {
        reason = bytes.error().message();
    } else {
        JSON json = JSON::parse((*bytes)->begin(), (*bytes)->end(), nullptr, false);
        if (!json.is_discarded() && json.is_object()) {
            values_ = std::move(json);
            return;
        }
        reason = json.is_discarded() ? "not JSON" : "not a JSON object";
    }
    base::logUnreadable(path_, reason, "using no saved settings");
    unreadable_ = true;
}

std::filesystem::path UserDefaults::defaultPath(const base::Environment& environment) {
    const auto folder = base::configDirectory(environment);
    if (folder.empty()) {
        return {};
    }
    return folder / fileName;
}

std::optional<std::string> UserDefaults::string(std::string_view key) const {
    std::lock_guard guard(lock_);
    auto it = values_.find(key);
    if (it == values_.end() || !it->is_string()) {
        return std::nullopt;
    }
    return it->get<std::string>();
}

std::optional<bool> UserDefaults::boolean(std::string_view key) const {
    std::lock_guard guard(lock_);
    auto it = values_.find(key);
    if (it == values_.end() || !it->is_boolean()) {
        return std::nullopt;
    }
    return it->get<bool>();
}

tl::expected<void, std::error_code> UserDefaults::setString(std::string_view key,
                                                            std::string_view value) {
    return store(key, JSON(std::string(value)));
}

tl::expected<void, std::error_code> UserDefaults::setBool(std::string_view key, bool value) {
    return store(key, JSON(value));
}

tl::expected<void, std::error_code> UserDefaults::remove(std::string_view key) {
    std::lock_guard guard(lock_);
    auto it = values_.find(key);
    if (it == values_.end()) {
        return {};
    }
    JSON updated = values_;
    updated.erase(std::string(key));
    auto text = encode(updated);
    if (!text) {
        // Only a value that was already in the file can be here; it decoded, so it encodes.
        return tl::unexpected(std::make_error_code(std::errc::illegal_byte_sequence));
    }
    values_ = std::move(updated);
    return persistLocked(*text);
}

tl::expected<void, std::error_code> UserDefaults::store(std::string_view key, JSON value) {
    std::lock_guard guard(lock_);
    if (auto it = values_.find(key); it != values_.end() && *it == value) {
        return {};
    }
    JSON updated = values_;
    updated[std::string(key)] = std::move(value);
    auto text = encode(updated);
    if (!text) {
        return tl::unexpected(std::make_error_code(std::errc::illegal_byte_sequence));
    }
    values_ = std::move(updated);
    return persistLocked(*text);
}

tl::expected<void, std::error_code> UserDefaults::persistLocked(const std::string& text) {
    const std::string name = path_.filename().string();
    auto fail = [&name](std::error_code error) -> tl::expected<void, std::error_code> {
        base::logLine("failed to save " + name + ": " + error.message());
        return tl::unexpected(error);
    };
    if (path_.empty()) {
        return fail(std::make_error_code(std::errc::no_such_file_or_directory));
    }
    if (const auto folder = path_.parent_path(); !folder.empty()) {
        if (auto created = base::createDirectories(folder, directoryMode); !created) {
            return fail(created.error());
        }
    }
    if (auto written =
            base::replaceKeepingUnreadable(path_, wire::asBytes(text), fileMode, unreadable_);
        !written) {
        return fail(written.error());
    }
    return {};
}

}  // namespace tarvel::mapping
