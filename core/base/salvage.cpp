#include "core/base/salvage.hpp"

#include <string>

#include "core/base/atomic_file.hpp"
#include "core/base/log.hpp"

namespace tarvel::base {

namespace {

// The copy holds whatever the damaged file held: the owner's alone.
constexpr mode_t copyMode = 0600;

std::string nameOf(const std::filesystem::path& file) {
    return file.filename().string();
}

}  // namespace

std::filesystem::path corruptCopyPath(const std::filesystem::path& file) {
    return file.parent_path() / (file.stem().string() + ".corrupt" + file.extension().string());
}

tl::expected<void, std::error_code> keepCorruptCopy(const std::filesystem::path& file) {
    const auto copy = corruptCopyPath(file);
    std::error_code ec;
    // rename() cannot replace a folder; an empty one is in the way for nothing.
    if (std::filesystem::is_directory(std::filesystem::symlink_status(copy, ec))) {
        std::filesystem::remove(copy, ec);
    }
    return copyFileAtomically(file, copy, copyMode);
}

void logUnreadable(const std::filesystem::path& file, std::string_view reason,
                   std::string_view consequence) {
    logLine(nameOf(file) + " could not be read (" + std::string(reason) + "); " +
            std::string(consequence) + "; the file will be kept as " +
            nameOf(corruptCopyPath(file)));
}

tl::expected<void, std::error_code> replaceKeepingUnreadable(const std::filesystem::path& file,
                                                             std::span<const std::uint8_t> bytes,
                                                             mode_t mode, bool& unreadable) {
    if (unreadable) {
        if (auto copied = keepCorruptCopy(file); copied) {
            logLine(nameOf(file) + " could not be read; kept a copy as " +
                    nameOf(corruptCopyPath(file)));
        } else if (copied.error() != std::errc::no_such_file_or_directory) {
            // Overwriting now would lose the only copy of what the user had.
            logLine(nameOf(file) + " could not be read and no copy of it could be kept (" +
                    copied.error().message() + "); it is left as it is");
            return copied;
        }
        unreadable = false;
    }
    return writeFileAtomically(file, bytes, mode);
}

}  // namespace tarvel::base
