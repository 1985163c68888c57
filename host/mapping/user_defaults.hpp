#pragma once

#include <filesystem>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>

#include <tl/expected.hpp>

#include "core/base/environment.hpp"
#include "core/wire/json_codec.hpp"

namespace tarvel::mapping {

/// The host's few per-user settings, kept as one JSON object in a small
/// file that is rewritten in one step on every change. Values of other
/// types found in the file are kept as they are. Safe from any thread.
class UserDefaults {
  public:
    static constexpr std::string_view fileName = "defaults.json";

    /// The legacy gamepad output scheme (a string), read once and removed.
    static constexpr std::string_view padOutputKey = "rc.padOutput";
    /// Whether the user was already asked about starting at login (a boolean).
    static constexpr std::string_view loginItemPromptedKey = "rc.loginItemPrompted";
    /// Whether latency tracing is on (a boolean).
    static constexpr std::string_view latencyTraceKey = "rc.latencyTrace";

    /// Reads the file at `path` now. A missing file is empty; a file that
    /// cannot be read or is not a JSON object is logged, treated as empty and
    /// copied aside ("defaults.corrupt.json") before the first write replaces it.
    explicit UserDefaults(std::filesystem::path path);

    UserDefaults(const UserDefaults&) = delete;
    UserDefaults& operator=(const UserDefaults&) = delete;

    /// fileName in base::configDirectory: $TVL_DATA_DIR when that is set and
    /// not empty, else $XDG_CONFIG_HOME/Tarvel when that is an absolute path,
    /// else home/.config/Tarvel. Empty when no home can be found: such a
    /// store keeps its values in memory and fails every write.
    static std::filesystem::path defaultPath(
        const base::Environment& environment = base::processEnvironment());

    const std::filesystem::path& path() const noexcept { return path_; }

    /// The string stored under `key`; nothing when absent or not a string.
    std::optional<std::string> string(std::string_view key) const;
    /// The boolean stored under `key`; nothing when absent or not a boolean.
    std::optional<bool> boolean(std::string_view key) const;

    /// Store a value and rewrite the file (file 0600, folder 0700). Setting
    /// the value already held writes nothing. When the write fails the value
    /// is still held in memory, the failure is logged and returned. A string
    /// that is not UTF-8 is refused (illegal_byte_sequence) and changes nothing.
    tl::expected<void, std::error_code> setString(std::string_view key, std::string_view value);
    tl::expected<void, std::error_code> setBool(std::string_view key, bool value);
    /// Removes `key` and rewrites the file; an absent key writes nothing.
    tl::expected<void, std::error_code> remove(std::string_view key);

  private:
    tl::expected<void, std::error_code> store(std::string_view key, wire::JSON value);
    tl::expected<void, std::error_code> persistLocked(const std::string& text);

    const std::filesystem::path path_;
    mutable std::mutex lock_;
    wire::JSON values_;  // always an object
    // The file on disk could not be read and has not been copied aside yet.
    bool unreadable_ = false;
};

}  // namespace tarvel::mapping
