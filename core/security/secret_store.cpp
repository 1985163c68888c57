#include "core/security/secret_store.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <system_error>
#include <utility>

#include "core/base/atomic_file.hpp"
#include "core/wire/sodium.hpp"

namespace tarvel::security {

namespace fs = std::filesystem;

std::string SecretStoreError::description() const {
    switch (kind_) {
        case Kind::io:
            return "io(" + ioDescription_ + ")";
    }
    return "unknown";
}

std::ostream& operator<<(std::ostream& out, const SecretStoreError& error) {
    return out << error.description();
}

namespace {

constexpr std::string_view entrySuffix = ".secret";
constexpr mode_t directoryMode = 0700;  // owner only: nobody else may list or enter
constexpr mode_t fileMode = 0600;       // owner only: nobody else may read the key

SecretStoreError ioError(std::string_view operation, const fs::path& path, int error) {
    return SecretStoreError::io(std::string(operation) + " " + path.string() + ": " +
                                std::generic_category().message(error));
}

/// Closes the descriptor it holds when it goes out of scope.
class UniqueFD {
  public:
    explicit UniqueFD(int fd) noexcept : fd_(fd) {}
    UniqueFD(const UniqueFD&) = delete;
    UniqueFD& operator=(const UniqueFD&) = delete;
    ~UniqueFD() {
        if (fd_ >= 0) {
            ::close(fd_);
        }
    }

    int get() const noexcept { return fd_; }

    /// Closes now and reports the result, which for a written file can be
    /// the first sign of a failed write.
    int close() noexcept { return ::close(std::exchange(fd_, -1)); }

  private:
    int fd_;
};

}  // namespace

FileSecretStore::FileSecretStore(fs::path directory) : directory_(std::move(directory)) {}

tl::expected<fs::path, SecretStoreError> FileSecretStore::entryPath(
    std::string_view account) const {
    // An account name is a file name: a separator would let it escape the directory.
    if (account.empty() || account.find('/') != std::string_view::npos ||
        account.find('\0') != std::string_view::npos) {
        return tl::unexpected(SecretStoreError::io("invalid account name"));
    }
    return directory_ / (std::string(account) + std::string(entrySuffix));
}

tl::expected<std::optional<Bytes>, SecretStoreError> FileSecretStore::read(
    std::string_view account) {
    auto path = entryPath(account);
    if (!path) {
        return tl::unexpected(path.error());
    }
    UniqueFD fd(::open(path->c_str(), O_RDONLY | O_CLOEXEC));
    if (fd.get() < 0) {
        if (errno == ENOENT || errno == ENOTDIR) {
            return std::optional<Bytes>();
        }
        return tl::unexpected(ioError("open", *path, errno));
    }
    struct stat status {};
    if (::fstat(fd.get(), &status) != 0) {
        return tl::unexpected(ioError("stat", *path, errno));
    }
    Bytes data;
    // Sized up front so the secret is not left behind in buffers freed while growing.
    data.reserve(static_cast<std::size_t>(status.st_size));
    std::array<std::uint8_t, 4096> chunk{};
    for (;;) {
        const ssize_t count = ::read(fd.get(), chunk.data(), chunk.size());
        if (count < 0) {
            if (errno == EINTR) {
                continue;
            }
            const int error = errno;
            wire::secureZero(chunk);
            return tl::unexpected(ioError("read", *path, error));
        }
        if (count == 0) {
            break;
        }
        data.insert(data.end(), chunk.begin(), chunk.begin() + count);
    }
    wire::secureZero(chunk);  // a stack copy of the secret
    return std::optional<Bytes>(std::move(data));
}

tl::expected<void, SecretStoreError> FileSecretStore::write(ByteView data,
                                                            std::string_view account) {
    auto path = entryPath(account);
    if (!path) {
        return tl::unexpected(path.error());
    }
    if (auto made = base::createDirectories(directory_, directoryMode); !made) {
        return tl::unexpected(ioError("create directory", directory_, made.error().value()));
    }
    // The temporary file is private from its creation, so the entry never
    // exists, even for a moment, with permissions wider than 0600.
    if (auto written = base::writeFileAtomically(*path, data, fileMode); !written) {
        return tl::unexpected(ioError("write", *path, written.error().value()));
    }
    return {};
}

tl::expected<void, SecretStoreError> FileSecretStore::remove(std::string_view account) {
    auto path = entryPath(account);
    if (!path) {
        return tl::unexpected(path.error());
    }
    if (::unlink(path->c_str()) != 0 && errno != ENOENT && errno != ENOTDIR) {
        return tl::unexpected(ioError("remove", *path, errno));
    }
    return {};
}

}  // namespace tarvel::security
