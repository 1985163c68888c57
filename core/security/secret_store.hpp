#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>

#include <tl/expected.hpp>

#include "core/wire/bytes.hpp"

namespace tarvel::security {

using wire::Bytes;
using wire::ByteView;

/// Why a secret store operation failed. Equal means same kind and same payload.
class SecretStoreError {
  public:
    enum class Kind : std::uint8_t {
        io,  // a file-system call failed
    };

    static SecretStoreError io(std::string description) {
        return {Kind::io, std::move(description)};
    }

    Kind kind() const noexcept { return kind_; }
    /// The file-system error text.
    const std::string& ioDescription() const noexcept { return ioDescription_; }

    /// For log lines, e.g. "io(write /x/y.secret: No space left on device)".
    std::string description() const;

    friend bool operator==(const SecretStoreError&, const SecretStoreError&) = default;

  private:
    SecretStoreError(Kind kind, std::string ioDescription)
        : kind_(kind), ioDescription_(std::move(ioDescription)) {}

    Kind kind_;
    std::string ioDescription_;
};

std::ostream& operator<<(std::ostream& out, const SecretStoreError& error);

/// Secret bytes kept by account name. Implementations are shared by reference
/// and have no internal locking: one thread uses a store at a time.
class SecretStore {
  public:
    SecretStore() = default;
    SecretStore(const SecretStore&) = delete;
    SecretStore& operator=(const SecretStore&) = delete;
    virtual ~SecretStore() = default;

    /// The stored bytes, nothing when the account has no entry, or an error.
    virtual tl::expected<std::optional<Bytes>, SecretStoreError> read(std::string_view account) = 0;

    /// Creates or replaces the account's entry.
    virtual tl::expected<void, SecretStoreError> write(ByteView data, std::string_view account) = 0;

    /// Removes the account's entry; a missing entry is success.
    virtual tl::expected<void, SecretStoreError> remove(std::string_view account) = 0;
};

/// One file per account, named account + ".secret", in a directory only the
/// owner may enter (0700); each file is readable by the owner only (0600).
class FileSecretStore final : public SecretStore {
  public:
    /// The directory is created on the first write, not here.
    explicit FileSecretStore(std::filesystem::path directory);

    const std::filesystem::path& directory() const noexcept { return directory_; }

    /// Nothing when the file does not exist; io for any other failure.
    tl::expected<std::optional<Bytes>, SecretStoreError> read(std::string_view account) override;

    /// Creates the directory (and its parents) at 0700 when missing, then
    /// replaces the file atomically: a reader sees the old or the new entry,
    /// never a part of one, and the bytes are never readable by others.
    tl::expected<void, SecretStoreError> write(ByteView data, std::string_view account) override;

    /// Removes the file; a missing file is success.
    tl::expected<void, SecretStoreError> remove(std::string_view account) override;

  private:
    tl::expected<std::filesystem::path, SecretStoreError> entryPath(std::string_view account) const;

    std::filesystem::path directory_;
};

}  // namespace tarvel::security
