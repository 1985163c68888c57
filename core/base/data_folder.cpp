#include "core/base/data_folder.hpp"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string_view>
#include <vector>

#include "core/base/atomic_file.hpp"

namespace tarvel::base {

namespace {

constexpr std::string_view folderName = "Tarvel";
// The data folder holds the identity's secret key: nobody else may enter it.
constexpr mode_t privateMode = 0700;
constexpr mode_t groupOrOtherWrite = S_IWGRP | S_IWOTH;
// writeFileAtomically's mkostemp pattern: ".tmp." and six random characters.
constexpr std::string_view temporaryMarker = ".tmp.";
constexpr std::size_t temporarySuffixLength = 6;

std::optional<std::filesystem::path> passwordDatabaseHome() {
    long size = ::sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> buffer(size > 0 ? static_cast<std::size_t>(size) : 16384);
    for (int attempt = 0; attempt < 8; ++attempt) {
        passwd entry{};
        passwd* found = nullptr;
        const int error = ::getpwuid_r(::geteuid(), &entry, buffer.data(), buffer.size(), &found);
        if (error == ERANGE) {
            buffer.resize(buffer.size() * 2);
            continue;
        }
        if (error != 0 || found == nullptr || found->pw_dir == nullptr || *found->pw_dir == '\0') {
            return std::nullopt;
        }
        return std::filesystem::path(found->pw_dir);
    }
    return std::nullopt;
}

std::filesystem::path folderIn(const Environment& environment, std::string_view xdgVariable,
                               const std::filesystem::path& underHome) {
    if (auto override = nonEmptyVariable(environment, "TVL_DATA_DIR")) {
        return std::filesystem::path(*override);
    }
    // A relative XDG path is invalid by its own rules; it is ignored.
    if (auto xdg = nonEmptyVariable(environment, xdgVariable);
        xdg && std::filesystem::path(*xdg).is_absolute()) {
        return std::filesystem::path(*xdg) / folderName;
    }
    if (auto home = homeDirectory(environment)) {
        return *home / underHome / folderName;
    }
    return {};
}

std::string octal(mode_t mode) {
    char text[8];
    std::snprintf(text, sizeof text, "%04o", static_cast<unsigned>(mode & 07777));
    return text;
}

/// Why `path` may not hold private files, or nothing when it may.
std::optional<std::string> unsafeOwnerOrMode(const std::filesystem::path& path,
                                             const struct stat& info) {
    if (info.st_uid != ::geteuid()) {
        return path.string() + " is owned by user " + std::to_string(info.st_uid) +
               ", not by this user (" + std::to_string(::geteuid()) + ")";
    }
    if ((info.st_mode & groupOrOtherWrite) != 0) {
        return path.string() + " is writable by group or others (mode " + octal(info.st_mode) +
               "); run chmod go-w on it";
    }
    return std::nullopt;
}

/// Checks every entry directly inside `folder`.
std::optional<std::string> unsafeEntry(const std::filesystem::path& folder) {
    std::error_code ec;
    std::filesystem::directory_iterator it(folder, ec);
    if (ec) {
        return "cannot list " + folder.string() + ": " + ec.message();
    }
    for (const std::filesystem::directory_iterator end; it != end; it.increment(ec)) {
        const auto path = it->path();
        struct stat info {};
        // lstat: a link is judged as the link, never by what it points at.
        if (::lstat(path.c_str(), &info) != 0) {
            if (errno == ENOENT) {
                continue;  // gone since it was listed
            }
            return "cannot examine " + path.string() + ": " + std::strerror(errno);
        }
        if (S_ISLNK(info.st_mode)) {
            // Anyone who could plant a link could point our writes anywhere.
            return path.string() + " is a symbolic link; remove it";
        }
        if (auto reason = unsafeOwnerOrMode(path, info)) {
            return reason;
        }
    }
    if (ec) {
        return "cannot list " + folder.string() + ": " + ec.message();
    }
    return std::nullopt;
}

bool isLeftoverTemporary(std::string_view name) {
    if (name.size() <= temporaryMarker.size() + temporarySuffixLength) {
        return false;  // nothing left for the file's own name
    }
    const auto marker = name.size() - temporarySuffixLength - temporaryMarker.size();
    if (name.substr(marker, temporaryMarker.size()) != temporaryMarker) {
        return false;
    }
    for (char c : name.substr(name.size() - temporarySuffixLength)) {
        if (std::isalnum(static_cast<unsigned char>(c)) == 0) {
            return false;
        }
    }
    return true;
}

}  // namespace

std::optional<std::filesystem::path> homeDirectory(const Environment& environment) {
    if (auto home = nonEmptyVariable(environment, "HOME")) {
        return std::filesystem::path(*home);
    }
    return passwordDatabaseHome();
}

std::filesystem::path dataDirectory(const Environment& environment) {
    return folderIn(environment, "XDG_DATA_HOME", std::filesystem::path(".local") / "share");
}

std::filesystem::path configDirectory(const Environment& environment) {
    return folderIn(environment, "XDG_CONFIG_HOME", ".config");
}

tl::expected<void, std::string> preparePrivateDirectory(const std::filesystem::path& directory) {
    if (directory.empty()) {
        return tl::unexpected(std::string(
            "no data folder: set TVL_DATA_DIR or HOME (this user has no home in the password "
            "database)"));
    }
    struct stat info {};
    // stat, not lstat: the user may keep the folder elsewhere through a link;
    // where it leads is what gets judged.
    if (::stat(directory.c_str(), &info) != 0) {
        if (errno != ENOENT) {
            return tl::unexpected("cannot examine " + directory.string() + ": " +
                                  std::strerror(errno));
        }
        if (auto created = createDirectories(directory, privateMode); !created) {
            return tl::unexpected("cannot create " + directory.string() + ": " +
                                  created.error().message());
        }
        if (::stat(directory.c_str(), &info) != 0) {
            return tl::unexpected("cannot examine " + directory.string() + ": " +
                                  std::strerror(errno));
        }
    }
    if (!S_ISDIR(info.st_mode)) {
        return tl::unexpected(directory.string() + " is not a directory");
    }
    if (auto reason = unsafeOwnerOrMode(directory, info)) {
        return tl::unexpected(*reason);
    }
    if (auto reason = unsafeEntry(directory)) {
        return tl::unexpected(*reason);
    }
    // The identity folder was checked as an entry above; what it holds is the key.
    const auto identity = directory / "identity";
    if (::lstat(identity.c_str(), &info) == 0 && S_ISDIR(info.st_mode)) {
        if (auto reason = unsafeEntry(identity)) {
            return tl::unexpected(*reason);
        }
    }
    return {};
}

tl::expected<std::size_t, std::error_code> removeLeftoverTemporaries(
    const std::filesystem::path& directory) {
    std::error_code ec;
    std::filesystem::directory_iterator it(directory, ec);
    if (ec) {
        if (ec == std::errc::no_such_file_or_directory) {
            return std::size_t{0};
        }
        return tl::unexpected(ec);
    }
    std::size_t removed = 0;
    for (const std::filesystem::directory_iterator end; it != end; it.increment(ec)) {
        const auto& path = it->path();
        if (!isLeftoverTemporary(path.filename().native())) {
            continue;
        }
        struct stat info {};
        if (::lstat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) {
            continue;  // only files are ever left; anything else is not ours to judge
        }
        if (::unlink(path.c_str()) != 0) {
            if (errno == ENOENT) {
                continue;
            }
            return tl::unexpected(std::error_code(errno, std::generic_category()));
        }
        ++removed;
    }
    if (ec) {
        return tl::unexpected(ec);
    }
    return removed;
}

}  // namespace tarvel::base
