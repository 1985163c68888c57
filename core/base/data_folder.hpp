#pragma once

#include <cstddef>
#include <filesystem>
#include <optional>
#include <string>
#include <system_error>

#include <tl/expected.hpp>

#include "core/base/environment.hpp"

namespace tarvel::base {

/// The user's home: $HOME when set and not empty, else the home of the
/// effective user in the password database; nothing when neither is known.
std::optional<std::filesystem::path> homeDirectory(const Environment& environment);

/// The host's data folder (paired devices, identity, mapping): $TVL_DATA_DIR
/// when set and not empty; else "Tarvel" in $XDG_DATA_HOME when that is an
/// absolute path; else home/.local/share/Tarvel. Never the temporary folder:
/// empty when no home can be found, which preparePrivateDirectory refuses.
/// Not created here.
std::filesystem::path dataDirectory(const Environment& environment = processEnvironment());

/// The folder of the user's settings: $TVL_DATA_DIR when set and not empty;
/// else "Tarvel" in $XDG_CONFIG_HOME when absolute; else home/.config/Tarvel.
/// Empty when no home can be found. Not created here.
std::filesystem::path configDirectory(const Environment& environment = processEnvironment());

/// The start-up check of a folder that holds private files. Creates it (and
/// missing parents) at 0700 when absent. Refuses a path that is not a
/// directory, is owned by another user or is writable by group or others,
/// and refuses any entry directly inside it or inside its "identity" folder
/// that is a symbolic link, is owned by another user or is writable by group
/// or others. The error is one line naming the path and the reason.
tl::expected<void, std::string> preparePrivateDirectory(const std::filesystem::path& directory);

/// Removes, directly inside `directory`, the regular files an interrupted
/// writeFileAtomically leaves behind ("<name>.tmp.XXXXXX"). For start-up,
/// before anything writes there. A missing folder is success. Returns how
/// many were removed.
tl::expected<std::size_t, std::error_code> removeLeftoverTemporaries(
    const std::filesystem::path& directory);

}  // namespace tarvel::base
