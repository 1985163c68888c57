#include "core/security/identity_store.hpp"

#include <optional>
#include <string>

#include "core/base/log.hpp"
#include "core/base/unicode.hpp"
#include "core/wire/sodium.hpp"

namespace tarvel::security::IdentityStore {

namespace {

std::string copyAccount(std::string_view account) {
    return std::string(account) + std::string(corruptSuffix);
}

std::string_view asText(const Bytes& bytes) {
    return {reinterpret_cast<const char*>(bytes.data()), bytes.size()};
}

/// Why the stored entries make no identity; never quotes the entries.
std::string unusableBecause(const Bytes& idBytes, const std::optional<Bytes>& seed) {
    if (!base::isUTF8(asText(idBytes))) {
        return "the device id is not UTF-8";
    }
    if (!seed) {
        return "the key is missing";
    }
    if (seed->size() != LocalIdentity::seedSize) {
        return "the key is " + std::to_string(seed->size()) + " bytes, not " +
               std::to_string(LocalIdentity::seedSize);
    }
    return "the key is not valid";
}

}  // namespace

std::shared_ptr<SecretStore> defaultSecretStore(
    const std::filesystem::path& fileFallbackDirectory) {
    return std::make_shared<FileSecretStore>(fileFallbackDirectory);
}

tl::expected<LocalIdentity, SecretStoreError> loadOrCreate(SecretStore& secrets) {
    auto storedId = secrets.read(idAccount);
    if (!storedId) {
        return tl::unexpected(storedId.error());
    }
    // A seed without an id is a first run cut short between its two writes:
    // that identity was never used, so it is replaced without a word.
    if (storedId->has_value()) {
        const Bytes& idBytes = **storedId;
        auto storedSeed = secrets.read(seedAccount);
        if (!storedSeed) {
            return tl::unexpected(storedSeed.error());
        }
        std::optional<Bytes>& seed = *storedSeed;
        if (seed && base::isUTF8(asText(idBytes))) {
            auto identity = LocalIdentity::fromSeed(std::string(asText(idBytes)), *seed);
            if (identity) {
                wire::secureZero(*seed);  // the identity keeps its own copy
                return *identity;
            }
        }
        const std::string reason = unusableBecause(idBytes, seed);
        // Kept before anything is overwritten: the old key may still be
        // recovered by hand, and paired phones know only that one.
        auto kept = secrets.write(idBytes, copyAccount(idAccount));
        if (kept && seed) {
            kept = secrets.write(*seed, copyAccount(seedAccount));
        }
        if (seed) {
            wire::secureZero(*seed);
        }
        if (!kept) {
            return tl::unexpected(kept.error());
        }
        base::logLine("the stored identity could not be used (" + reason +
                      "); made a new one, so every paired device must pair again; the old "
                      "entries are kept as " +
                      copyAccount(idAccount) + (seed ? " and " + copyAccount(seedAccount) : ""));
    }

    LocalIdentity identity = LocalIdentity::generate();
    // The id is read first and written last, so it marks a complete entry
    // pair: a first run cut short between the writes leaves no id, and the
    // next start begins afresh instead of loading half an identity.
    if (auto written = secrets.write(identity.seed(), seedAccount); !written) {
        return tl::unexpected(written.error());
    }
    if (auto written = secrets.write(wire::asBytes(identity.id()), idAccount); !written) {
        return tl::unexpected(written.error());
    }
    return identity;
}

}  // namespace tarvel::security::IdentityStore
