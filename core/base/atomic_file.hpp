#pragma once

#include <sys/types.h>

#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <system_error>
#include <vector>

#include <tl/expected.hpp>

namespace tarvel::base {

/// Creates `directory` and any missing parents; new folders get `mode`.
/// An existing directory is fine and keeps its permissions.
tl::expected<void, std::error_code> createDirectories(const std::filesystem::path& directory,
                                                      mode_t mode);

/// Replaces `path` in one step: the bytes go to a temporary file in the same
/// folder, which gets `mode`, is flushed to disk, then renamed over `path`.
/// A reader sees the old file or the new one, never a part. The folder must exist.
tl::expected<void, std::error_code> writeFileAtomically(const std::filesystem::path& path,
                                                        std::span<const std::uint8_t> bytes,
                                                        mode_t mode);

/// The whole file, or nothing when it does not exist (or a folder on its
/// path is not a folder).
tl::expected<std::optional<std::vector<std::uint8_t>>, std::error_code> readWholeFile(
    const std::filesystem::path& path);

/// Copies `from` to `to`, replacing `to`, through writeFileAtomically.
tl::expected<void, std::error_code> copyFileAtomically(const std::filesystem::path& from,
                                                       const std::filesystem::path& to,
                                                       mode_t mode);

}  // namespace tarvel::base
