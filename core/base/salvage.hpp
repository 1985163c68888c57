#pragma once

#include <sys/types.h>

#include <cstdint>
#include <filesystem>
#include <span>
#include <string_view>
#include <system_error>

#include <tl/expected.hpp>

namespace tarvel::base {

/// Where the copy of an unreadable file is kept, beside it: stem + ".corrupt"
/// + extension, so "paired_devices.json" gives "paired_devices.corrupt.json".
std::filesystem::path corruptCopyPath(const std::filesystem::path& file);

/// Copies `file` to corruptCopyPath(file), owner-only (0600), replacing an
/// older copy (or an empty folder in its place). `file` itself is not touched.
/// A missing file fails with no_such_file_or_directory.
tl::expected<void, std::error_code> keepCorruptCopy(const std::filesystem::path& file);

/// Logs, when a file is loaded and found unreadable: "<name> could not be
/// read (<reason>); <consequence>; the file will be kept as <copy name>".
void logUnreadable(const std::filesystem::path& file, std::string_view reason,
                   std::string_view consequence);

/// Replaces `file` with `bytes` through writeFileAtomically. When
/// `unreadable` is set (the file was found unreadable when loaded), the old
/// file is first copied aside with keepCorruptCopy, logged as "<name> could
/// not be read; kept a copy as <copy name>", and the flag is cleared; a file
/// that has gone meanwhile needs no copy. If the copy cannot be made, the old
/// file is left as it is, nothing is written, the flag stays set and the
/// copy's error is returned (and logged). The folder must exist.
tl::expected<void, std::error_code> replaceKeepingUnreadable(const std::filesystem::path& file,
                                                             std::span<const std::uint8_t> bytes,
                                                             mode_t mode, bool& unreadable);

}  // namespace tarvel::base
