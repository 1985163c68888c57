// The identity files as found on disk, read through the file secret store.
// Byte 0 says which of the two files exist; byte 1 where the input splits
// into the id file and the seed file. A usable pair loads as exactly that
// identity; anything else becomes a new identity that is stored, loads again
// unchanged, and leaves the old id file copied aside byte for byte.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "core/base/unicode.hpp"
#include "core/security/identity_store.hpp"
#include "core/security/secret_store.hpp"
#include "fuzz/fuzz_support.hpp"

namespace {

using namespace tarvel::security;
using tarvel::fuzz::check;

std::string entryFile(std::string_view account) {
    return std::string(account) + ".secret";
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2) {
        return 0;
    }
    tarvel::fuzz::quietLog();
    const bool hasId = (data[0] & 1) != 0;
    const bool hasSeed = (data[0] & 2) != 0;
    const std::size_t split = std::min<std::size_t>(data[1], size - 2);
    const Bytes id(data + 2, data + 2 + split);
    const Bytes seed(data + 2 + split, data + size);

    const auto dir = tarvel::fuzz::freshFolder("identity");
    if (hasId) {
        tarvel::fuzz::writeFile(dir / entryFile(IdentityStore::idAccount), id.data(), id.size());
    }
    if (hasSeed) {
        tarvel::fuzz::writeFile(dir / entryFile(IdentityStore::seedAccount), seed.data(),
                                seed.size());
    }

    FileSecretStore secrets(dir);
    // What the read path hands back is exactly what is in the files.
    const auto readId = secrets.read(IdentityStore::idAccount);
    check(readId.has_value() && (hasId ? *readId == std::optional<Bytes>(id) : !*readId));
    const auto readSeed = secrets.read(IdentityStore::seedAccount);
    check(readSeed.has_value() && (hasSeed ? *readSeed == std::optional<Bytes>(seed) : !*readSeed));

    const auto loaded = IdentityStore::loadOrCreate(secrets);
    check(loaded.has_value());
    const std::string_view idText(reinterpret_cast<const char*>(id.data()), id.size());
    const bool usable = hasId && hasSeed && seed.size() == LocalIdentity::seedSize &&
                        tarvel::base::isUTF8(idText);
    if (usable) {
        check(*loaded == *LocalIdentity::fromSeed(std::string(idText), seed));
    } else if (hasId) {
        const auto kept =
            secrets.read(std::string(IdentityStore::idAccount) +
                         std::string(IdentityStore::corruptSuffix));
        check(kept.has_value() && *kept == std::optional<Bytes>(id));
    }
    // Whatever was returned is what the next start finds.
    const auto again = IdentityStore::loadOrCreate(secrets);
    check(again.has_value() && *again == *loaded);
    return 0;
}
