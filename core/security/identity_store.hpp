#pragma once

#include <filesystem>
#include <memory>
#include <string_view>

#include <tl/expected.hpp>

#include "core/security/local_identity.hpp"
#include "core/security/secret_store.hpp"

namespace tarvel::security {

/// Where and how the device's own identity is kept.
namespace IdentityStore {

/// Entry holding the UTF-8 bytes of the id, no terminator.
inline constexpr std::string_view idAccount = "device-id";
/// Entry holding the 32 raw seed bytes.
inline constexpr std::string_view seedAccount = "ed25519-seed";
/// Appended to an account name for the copy of an entry that made no
/// identity ("device-id.corrupt", "ed25519-seed.corrupt").
inline constexpr std::string_view corruptSuffix = ".corrupt";

/// The store for the device identity. On Linux this is the file store alone,
/// in 0600 files inside a 0700 directory: the desktop secret service gives no
/// per-application isolation and may block on an unlock prompt.
std::shared_ptr<SecretStore> defaultSecretStore(const std::filesystem::path& fileFallbackDirectory);

/// The stored identity, or a new one when an entry is missing or unusable (id
/// not UTF-8, seed missing or not 32 bytes). Before an unusable identity is
/// replaced, its entries are copied to the ".corrupt" accounts (nothing is
/// replaced if that fails) and one line is logged: paired devices must pair
/// again. No stored id (a first run) is replaced silently. A new identity is
/// stored seed first, then id, and is returned only when both writes
/// succeed. Store failures are passed on; the caller then runs with an
/// unsaved identity.
tl::expected<LocalIdentity, SecretStoreError> loadOrCreate(SecretStore& secrets);

}  // namespace IdentityStore

}  // namespace tarvel::security
