#include "core/security/identity_store.hpp"

#include <cstdint>
#include <optional>
#include <string>

#include "core/wire/sodium.hpp"

namespace tarvel::security::IdentityStore {

namespace {

/// Well-formed UTF-8: no overlong forms, no surrogates, nothing above U+10FFFF.
bool isUTF8(ByteView bytes) {
    std::size_t i = 0;
    while (i < bytes.size()) {
        const std::uint8_t lead = bytes[i];
        std::size_t length = 0;
        std::uint8_t low = 0x80;  // allowed range of the second byte
        std::uint8_t high = 0xBF;
        if (lead < 0x80) {
            ++i;
            continue;
        } else if (lead >= 0xC2 && lead <= 0xDF) {
            length = 2;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            length = 3;
            if (lead == 0xE0) {
                low = 0xA0;  // overlong
            } else if (lead == 0xED) {
                high = 0x9F;  // surrogates
            }
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            length = 4;
            if (lead == 0xF0) {
                low = 0x90;  // overlong
            } else if (lead == 0xF4) {
                high = 0x8F;  // above U+10FFFF
            }
        } else {
            return false;
        }
        if (bytes.size() - i < length) {
            return false;
        }
        if (bytes[i + 1] < low || bytes[i + 1] > high) {
            return false;
        }
        for (std::size_t k = 2; k < length; ++k) {
            if (bytes[i + k] < 0x80 || bytes[i + k] > 0xBF) {
                return false;
            }
        }
        i += length;
    }
    return true;
}

/// The identity both entries describe, or nothing if either is unusable.
std::optional<LocalIdentity> rebuild(const Bytes& idBytes, const Bytes& seed) {
    if (!isUTF8(idBytes)) {
        return std::nullopt;
    }
    return LocalIdentity::fromSeed(std::string(idBytes.begin(), idBytes.end()), seed);
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
    if (storedId->has_value()) {
        auto storedSeed = secrets.read(seedAccount);
        if (!storedSeed) {
            return tl::unexpected(storedSeed.error());
        }
        if (storedSeed->has_value()) {
            Bytes& seed = **storedSeed;
            auto identity = rebuild(**storedId, seed);
            wire::secureZero(seed);  // the identity keeps its own copy
            if (identity) {
                return *identity;
            }
        }
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
