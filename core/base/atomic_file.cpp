#include "core/base/atomic_file.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>

namespace tarvel::base {

namespace {

std::error_code lastError() {
    return {errno, std::generic_category()};
}

/// Closes a descriptor on every path out of a function.
class FileDescriptor {
  public:
    explicit FileDescriptor(int fd) : fd_(fd) {}
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    ~FileDescriptor() {
        if (fd_ >= 0) {
            ::close(fd_);
        }
    }
    int get() const { return fd_; }
    /// Closes now and reports the result, since a failed close can mean lost data.
    int closeNow() {
        int result = ::close(fd_);
        fd_ = -1;
        return result;
    }

  private:
    int fd_;
};

}  // namespace

tl::expected<void, std::error_code> createDirectories(const std::filesystem::path& directory,
                                                      mode_t mode) {
    if (directory.empty()) {
        return tl::unexpected(std::make_error_code(std::errc::invalid_argument));
    }
    std::error_code ec;
    if (std::filesystem::is_directory(directory, ec)) {
        return {};
    }
    if (directory.has_parent_path() && directory.parent_path() != directory) {
        if (auto parent = createDirectories(directory.parent_path(), mode); !parent) {
            return parent;
        }
    }
    if (::mkdir(directory.c_str(), mode) != 0 && errno != EEXIST) {
        return tl::unexpected(lastError());
    }
    if (!std::filesystem::is_directory(directory, ec)) {
        return tl::unexpected(std::make_error_code(std::errc::not_a_directory));
    }
    // mkdir applies the umask; the caller's mode is what it asked for.
    if (::chmod(directory.c_str(), mode) != 0) {
        return tl::unexpected(lastError());
    }
    return {};
}

tl::expected<void, std::error_code> writeFileAtomically(const std::filesystem::path& path,
                                                        std::span<const std::uint8_t> bytes,
                                                        mode_t mode) {
    std::string pattern = path.string() + ".tmp.XXXXXX";
    // mkstemp creates the file 0600, so nobody else can read it while it fills.
    FileDescriptor fd(::mkostemp(pattern.data(), O_CLOEXEC));
    if (fd.get() < 0) {
        return tl::unexpected(lastError());
    }
    const std::filesystem::path temporary(pattern);
    auto fail = [&temporary](std::error_code ec) -> tl::expected<void, std::error_code> {
        ::unlink(temporary.c_str());
        return tl::unexpected(ec);
    };

    // Before any byte is written: the caller's mode holds from the start.
    if (::fchmod(fd.get(), mode) != 0) {
        return fail(lastError());
    }
    std::size_t written = 0;
    while (written < bytes.size()) {
        ssize_t n = ::write(fd.get(), bytes.data() + written, bytes.size() - written);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return fail(lastError());
        }
        written += static_cast<std::size_t>(n);
    }
    // On disk before it replaces the old file, so a crash leaves one or the other.
    if (::fsync(fd.get()) != 0) {
        return fail(lastError());
    }
    if (fd.closeNow() != 0) {
        return fail(lastError());
    }
    if (::rename(temporary.c_str(), path.c_str()) != 0) {
        return fail(lastError());
    }
    // Make the rename itself durable; failing to sync the folder loses nothing
    // already written, so it is not reported.
    const auto folder = path.has_parent_path() ? path.parent_path() : std::filesystem::path(".");
    FileDescriptor dir(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dir.get() >= 0) {
        ::fsync(dir.get());
    }
    return {};
}

tl::expected<std::optional<std::vector<std::uint8_t>>, std::error_code> readWholeFile(
    const std::filesystem::path& path) {
    FileDescriptor fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (fd.get() < 0) {
        // A folder on the way that is a file holds no such file either.
        if (errno == ENOENT || errno == ENOTDIR) {
            return std::optional<std::vector<std::uint8_t>>{};
        }
        return tl::unexpected(lastError());
    }
    std::vector<std::uint8_t> bytes;
    std::uint8_t chunk[16384];
    for (;;) {
        ssize_t n = ::read(fd.get(), chunk, sizeof chunk);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return tl::unexpected(lastError());
        }
        if (n == 0) {
            break;
        }
        bytes.insert(bytes.end(), chunk, chunk + n);
    }
    return std::optional<std::vector<std::uint8_t>>{std::move(bytes)};
}

tl::expected<void, std::error_code> copyFileAtomically(const std::filesystem::path& from,
                                                       const std::filesystem::path& to,
                                                       mode_t mode) {
    auto bytes = readWholeFile(from);
    if (!bytes) {
        return tl::unexpected(bytes.error());
    }
    if (!*bytes) {
        return tl::unexpected(std::make_error_code(std::errc::no_such_file_or_directory));
    }
    return writeFileAtomically(to, **bytes, mode);
}

}  // namespace tarvel::base
