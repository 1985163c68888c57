#include <gtest/gtest.h>

#include <filesystem>
#include <set>
#include <string>

#include "core/security/handshake_kdf.hpp"
#include "core/security/hex.hpp"
#include "core/security/identity_store.hpp"
#include "core/security/local_identity.hpp"
#include "tests/fakes/memory_secret_store.hpp"
#include "tests/fakes/temp_dir.hpp"

namespace tarvel::security {
namespace {

using testing::MemorySecretStore;
using Op = MemorySecretStore::Op;

Bytes seedOf(const LocalIdentity& identity) {
    return Bytes(identity.seed().begin(), identity.seed().end());
}

bool isLowerHex(std::string_view text) {
    return text.find_first_not_of("0123456789abcdef") == std::string_view::npos;
}

/// 8-4-4-4-12 lower-case hex groups, version nibble 4, variant bits 10.
bool isLowerCaseV4UUID(std::string_view text) {
    if (text.size() != 36 || text[8] != '-' || text[13] != '-' || text[18] != '-' ||
        text[23] != '-') {
        return false;
    }
    for (std::size_t start : {0u, 9u, 14u, 19u, 24u}) {
        const std::size_t end = text.find('-', start);
        if (!isLowerHex(text.substr(start, end == std::string_view::npos ? end : end - start))) {
            return false;
        }
    }
    return text[14] == '4' && std::string_view("89ab").find(text[19]) != std::string_view::npos;
}

// LocalIdentity

TEST(LocalIdentity, uuidShapeCheckRejectsNearMisses) {
    EXPECT_TRUE(isLowerCaseV4UUID("0f8fad5b-d9cb-469f-a165-70867728950e"));
    EXPECT_FALSE(isLowerCaseV4UUID("0F8FAD5B-D9CB-469F-A165-70867728950E"));
    EXPECT_FALSE(isLowerCaseV4UUID("0f8fad5b-d9cb-169f-a165-70867728950e"));
    EXPECT_FALSE(isLowerCaseV4UUID("0f8fad5b-d9cb-469f-c165-70867728950e"));
    EXPECT_FALSE(isLowerCaseV4UUID("0f8fad5bd-9cb-469f-a165-70867728950e"));
}

TEST(LocalIdentity, generateMakesLowerCaseVersion4UUID) {
    std::set<std::string> ids;
    for (int i = 0; i < 64; ++i) {
        const auto identity = LocalIdentity::generate();
        EXPECT_TRUE(isLowerCaseV4UUID(identity.id())) << identity.id();
        ids.insert(identity.id());
    }
    EXPECT_EQ(ids.size(), 64u);
}

TEST(LocalIdentity, generateMakesAFreshKeyEachTime) {
    const auto a = LocalIdentity::generate();
    const auto b = LocalIdentity::generate();
    EXPECT_NE(a.publicKey(), b.publicKey());
    EXPECT_NE(seedOf(a), seedOf(b));
}

TEST(LocalIdentity, fromSeedRejectsAnyLengthButThirtyTwo) {
    for (std::size_t length : {0u, 1u, 31u, 33u, 64u}) {
        EXPECT_FALSE(LocalIdentity::fromSeed("id", Bytes(length, 7)).has_value()) << length;
    }
    EXPECT_TRUE(LocalIdentity::fromSeed("id", Bytes(32, 7)).has_value());
}

TEST(LocalIdentity, fromSeedRebuildsTheSameKeyAndKeepsTheId) {
    const auto original = LocalIdentity::generate();
    const auto rebuilt = LocalIdentity::fromSeed("any text at all", seedOf(original));
    ASSERT_TRUE(rebuilt);
    EXPECT_EQ(rebuilt->id(), "any text at all");
    EXPECT_EQ(rebuilt->publicKey(), original.publicKey());
    // Ed25519 signing is deterministic: the same seed signs identically.
    EXPECT_EQ(rebuilt->sign(wire::asBytes("m")), original.sign(wire::asBytes("m")));
}

TEST(LocalIdentity, publicKeyHexIsSixtyFourLowerCaseCharactersOfTheKey) {
    const auto identity = LocalIdentity::generate();
    EXPECT_EQ(identity.publicKeyHex().size(), 64u);
    EXPECT_TRUE(isLowerHex(identity.publicKeyHex()));
    EXPECT_EQ(Hex::decode(identity.publicKeyHex()),
              Bytes(identity.publicKey().begin(), identity.publicKey().end()));
}

TEST(LocalIdentity, signatureVerifiesOnlyForItsMessageAndKey) {
    const auto identity = LocalIdentity::generate();
    const auto other = LocalIdentity::generate();
    const Bytes message = wire::toBytes("transcript bytes");
    const auto signature = identity.sign(message);
    EXPECT_TRUE(HandshakeKDF::verify(signature, message, identity.publicKey()));
    EXPECT_FALSE(
        HandshakeKDF::verify(signature, wire::asBytes("transcript byteS"), identity.publicKey()));
    EXPECT_FALSE(HandshakeKDF::verify(signature, message, other.publicKey()));
}

TEST(LocalIdentity, copyOutlivesTheOriginal) {
    std::optional<LocalIdentity> original = LocalIdentity::generate();
    const LocalIdentity copy = *original;
    const auto publicKey = original->publicKey();
    const auto signature = original->sign(wire::asBytes("m"));
    original.reset();  // wipes the original's secret, not the copy's
    EXPECT_EQ(copy.publicKey(), publicKey);
    EXPECT_EQ(copy.sign(wire::asBytes("m")), signature);
}

// X25519PrivateKey

TEST(X25519PrivateKey, fromBytesNeedsThirtyTwoBytes) {
    EXPECT_FALSE(X25519PrivateKey::fromBytes(Bytes(31, 1)).has_value());
    EXPECT_FALSE(X25519PrivateKey::fromBytes(Bytes(33, 1)).has_value());
    EXPECT_TRUE(X25519PrivateKey::fromBytes(Bytes(32, 1)).has_value());
}

TEST(X25519PrivateKey, generateMakesAFreshKeyEachTime) {
    EXPECT_NE(X25519PrivateKey::generate().publicKey(), X25519PrivateKey::generate().publicKey());
}

// IdentityStore

void storeIdentity(MemorySecretStore& store, const LocalIdentity& identity) {
    store.entries[std::string(IdentityStore::idAccount)] = wire::toBytes(identity.id());
    store.entries[std::string(IdentityStore::seedAccount)] = seedOf(identity);
}

void expectStored(const MemorySecretStore& store, const LocalIdentity& identity) {
    EXPECT_EQ(store.entries.at("device-id"), wire::toBytes(identity.id()));
    EXPECT_EQ(store.entries.at("ed25519-seed"), seedOf(identity));
}

TEST(IdentityStore, accountNamesAreFixed) {
    EXPECT_EQ(IdentityStore::idAccount, "device-id");
    EXPECT_EQ(IdentityStore::seedAccount, "ed25519-seed");
}

TEST(IdentityStore, emptyStoreCreatesIdentityWritingSeedBeforeId) {
    MemorySecretStore store;
    auto identity = IdentityStore::loadOrCreate(store);
    ASSERT_TRUE(identity) << identity.error();
    EXPECT_EQ(store.writes(), (std::vector<std::string>{"ed25519-seed", "device-id"}));
    expectStored(store, *identity);
    // With no id there is nothing to pair a seed with: the seed is not read.
    EXPECT_EQ(store.calls.front(), (MemorySecretStore::Call{Op::read, "device-id"}));
    EXPECT_EQ(store.calls.size(), 3u);
}

TEST(IdentityStore, validEntriesLoadTheSameIdentityEveryTimeWithoutWriting) {
    MemorySecretStore store;
    const auto stored = LocalIdentity::generate();
    storeIdentity(store, stored);
    for (int i = 0; i < 3; ++i) {
        auto loaded = IdentityStore::loadOrCreate(store);
        ASSERT_TRUE(loaded) << loaded.error();
        EXPECT_EQ(loaded->id(), stored.id());
        EXPECT_EQ(loaded->publicKey(), stored.publicKey());
    }
    EXPECT_TRUE(store.writes().empty());
}

TEST(IdentityStore, idTextIsTakenAsStoredWhenUTF8) {
    MemorySecretStore store;
    const auto stored = *LocalIdentity::fromSeed("Gerät \xF0\x9F\x94\x91 not-a-uuid", Bytes(32, 3));
    storeIdentity(store, stored);
    auto loaded = IdentityStore::loadOrCreate(store);
    ASSERT_TRUE(loaded);
    EXPECT_EQ(*loaded, stored);
}

TEST(IdentityStore, missingSeedGivesNewIdentityStoredSeedFirst) {
    MemorySecretStore store;
    store.entries["device-id"] = wire::toBytes("old-id");
    auto identity = IdentityStore::loadOrCreate(store);
    ASSERT_TRUE(identity);
    EXPECT_NE(identity->id(), "old-id");
    EXPECT_EQ(store.writes(), (std::vector<std::string>{"ed25519-seed", "device-id"}));
    expectStored(store, *identity);
}

TEST(IdentityStore, seedWithoutIdIsReplaced) {
    MemorySecretStore store;
    store.entries["ed25519-seed"] = Bytes(32, 9);
    auto identity = IdentityStore::loadOrCreate(store);
    ASSERT_TRUE(identity);
    EXPECT_NE(seedOf(*identity), Bytes(32, 9));
    expectStored(store, *identity);
}

TEST(IdentityStore, unusableEntriesCauseRegenerationNotFailure) {
    const auto good = LocalIdentity::generate();
    struct Case {
        const char* name;
        Bytes id;
        Bytes seed;
    };
    const std::vector<Case> cases{
        {"31-byte seed", wire::toBytes(good.id()), Bytes(31, 1)},
        {"33-byte seed", wire::toBytes(good.id()), Bytes(33, 1)},
        {"empty seed", wire::toBytes(good.id()), Bytes{}},
        {"invalid byte in id", Bytes{0x61, 0xFF, 0x62}, seedOf(good)},
        {"truncated sequence in id", Bytes{0x61, 0xC3}, seedOf(good)},
        {"overlong slash in id", Bytes{0xC0, 0xAF}, seedOf(good)},
        {"three-byte overlong in id", Bytes{0xE0, 0x80, 0xAF}, seedOf(good)},
        {"four-byte overlong in id", Bytes{0xF0, 0x80, 0x80, 0xAF}, seedOf(good)},
        {"surrogate in id", Bytes{0xED, 0xA0, 0x80}, seedOf(good)},
        {"beyond U+10FFFF in id", Bytes{0xF4, 0x90, 0x80, 0x80}, seedOf(good)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        MemorySecretStore store;
        store.entries["device-id"] = c.id;
        store.entries["ed25519-seed"] = c.seed;
        auto identity = IdentityStore::loadOrCreate(store);
        ASSERT_TRUE(identity);
        EXPECT_NE(identity->publicKey(), good.publicKey());
        EXPECT_EQ(store.writes(), (std::vector<std::string>{"ed25519-seed", "device-id"}));
        expectStored(store, *identity);
    }
}

TEST(IdentityStore, readFailuresArePassedOnWithoutWriting) {
    const auto error = SecretStoreError::keychain(-25293);
    for (const auto account : {IdentityStore::idAccount, IdentityStore::seedAccount}) {
        SCOPED_TRACE(account);
        MemorySecretStore store;
        storeIdentity(store, LocalIdentity::generate());
        store.fail(Op::read, error, std::string(account));
        auto identity = IdentityStore::loadOrCreate(store);
        ASSERT_FALSE(identity);
        EXPECT_EQ(identity.error(), error);
        EXPECT_TRUE(store.writes().empty());
    }
}

TEST(IdentityStore, failedSeedWriteStopsBeforeTheId) {
    MemorySecretStore store;
    const auto error = SecretStoreError::io("disk full");
    store.fail(Op::write, error, "ed25519-seed");
    auto identity = IdentityStore::loadOrCreate(store);
    ASSERT_FALSE(identity);
    EXPECT_EQ(identity.error(), error);
    EXPECT_EQ(store.writes(), (std::vector<std::string>{"ed25519-seed"}));
    EXPECT_TRUE(store.entries.empty());
}

TEST(IdentityStore, failedIdWriteFailsAndLeavesTheNewSeedStored) {
    MemorySecretStore store;
    const auto error = SecretStoreError::io("disk full");
    store.fail(Op::write, error, "device-id");
    auto identity = IdentityStore::loadOrCreate(store);
    ASSERT_FALSE(identity);
    EXPECT_EQ(identity.error(), error);
    EXPECT_EQ(store.entries.count("ed25519-seed"), 1u);
    EXPECT_EQ(store.entries.at("ed25519-seed").size(), 32u);
    EXPECT_EQ(store.entries.count("device-id"), 0u);
}

TEST(IdentityStore, defaultStoreKeepsIdentityInFilesAcrossLoads) {
    const testing::TempDir root;
    const auto directory = root.path() / "identity";
    auto first = IdentityStore::loadOrCreate(*IdentityStore::defaultSecretStore(directory));
    ASSERT_TRUE(first) << first.error();
    EXPECT_TRUE(std::filesystem::is_regular_file(directory / "device-id.secret"));
    EXPECT_EQ(std::filesystem::file_size(directory / "ed25519-seed.secret"), 32u);

    auto again = IdentityStore::loadOrCreate(*IdentityStore::defaultSecretStore(directory));
    ASSERT_TRUE(again) << again.error();
    EXPECT_EQ(*again, *first);
}

}  // namespace
}  // namespace tarvel::security
