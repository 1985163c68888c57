#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <regex>

#include "core/security/identity_store.hpp"
#include "core/security/local_identity.hpp"
#include "tests/fakes/log_capture.hpp"
#include "tests/fakes/memory_secret_store.hpp"
#include "tests/fakes/temp_dir.hpp"

namespace tarvel::security {
namespace {

using testing::LogCapture;
using testing::MemorySecretStore;
using Op = MemorySecretStore::Op;

Bytes seedOf(const LocalIdentity& identity) {
    return Bytes(identity.seed().begin(), identity.seed().end());
}

TEST(LocalIdentity, generateMakesFreshUUIDsAndKeysAndFromSeedRebuildsTheKeyEveryCopyKeeps) {
    // 8-4-4-4-12 lower-case hex groups, version nibble 4, variant bits 10.
    const std::regex uuid("[0-9a-f]{8}-[0-9a-f]{4}-4[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}");
    std::set<std::string> idsAndKeys;
    for (int i = 0; i < 32; ++i) {
        const auto identity = LocalIdentity::generate();
        EXPECT_TRUE(std::regex_match(identity.id(), uuid)) << identity.id();
        idsAndKeys.insert({identity.id(), identity.publicKeyHex()});
    }
    EXPECT_EQ(idsAndKeys.size(), 64u);
    for (std::size_t length : {0u, 31u, 33u}) {
        EXPECT_FALSE(LocalIdentity::fromSeed("id", Bytes(length, 7)).has_value()) << length;
    }
    std::optional<LocalIdentity> original = LocalIdentity::generate();
    const LocalIdentity copy = *original;
    const auto rebuilt = LocalIdentity::fromSeed("any text at all", seedOf(*original)).value();
    EXPECT_EQ(rebuilt.id(), "any text at all");
    EXPECT_EQ(rebuilt.publicKey(), original->publicKey());
    const auto signature = original->sign(wire::asBytes("m"));
    original.reset();  // wipes the original's secret, not the copy's
    // Ed25519 signing is deterministic: the same seed signs identically.
    EXPECT_EQ(rebuilt.sign(wire::asBytes("m")), signature);
    EXPECT_EQ(copy.sign(wire::asBytes("m")), signature);
}

void expectStored(const MemorySecretStore& store, const LocalIdentity& identity) {
    EXPECT_EQ(store.entries.at("device-id"), wire::toBytes(identity.id()));
    EXPECT_EQ(store.entries.at("ed25519-seed"), seedOf(identity));
}

TEST(IdentityStore, createsAMissingIdentityQuietlyAndKeepsAnUnusableOneAsideReported) {
    for (bool halfWritten : {false, true}) {
        SCOPED_TRACE(halfWritten ? "seed left by a cut-short first run" : "empty store");
        MemorySecretStore store;
        if (halfWritten) {
            store.entries["ed25519-seed"] = Bytes(32, 9);
        }
        LogCapture log;
        auto identity = IdentityStore::loadOrCreate(store);
        ASSERT_TRUE(identity) << identity.error();
        EXPECT_EQ(store.writes, (std::vector<std::string>{"ed25519-seed", "device-id"}));
        expectStored(store, *identity);
        EXPECT_EQ(store.entries.size(), 2u);  // no copies
        EXPECT_TRUE(log.lines().empty());
        EXPECT_EQ(IdentityStore::loadOrCreate(store), identity);  // and later runs only read
        EXPECT_EQ(store.writes.size(), 2u);
    }
    const auto good = LocalIdentity::generate();
    const struct {
        std::string reason;
        Bytes id;
        std::optional<Bytes> seed;
    } cases[] = {{"the key is 31 bytes, not 32", wire::toBytes(good.id()), Bytes(31, 1)},
                 {"the device id is not UTF-8", Bytes{0x61, 0xFF, 0x62}, seedOf(good)},
                 {"the key is missing", wire::toBytes(good.id()), std::nullopt}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.reason);
        MemorySecretStore store;
        store.entries["device-id"] = c.id;
        if (c.seed) {
            store.entries["ed25519-seed"] = *c.seed;
        }
        LogCapture log;
        auto identity = IdentityStore::loadOrCreate(store);
        ASSERT_TRUE(identity);
        EXPECT_NE(identity->publicKey(), good.publicKey());
        expectStored(store, *identity);
        EXPECT_EQ(store.entries.at("device-id.corrupt"), c.id);
        EXPECT_EQ(store.entries.count("ed25519-seed.corrupt"), c.seed ? 1u : 0u);
        ASSERT_EQ(log.lines().size(), 1u);
        const std::string line = log.lines().front();
        EXPECT_NE(line.find(c.reason), std::string::npos) << line;
        EXPECT_EQ(line.find(good.id()), std::string::npos) << "no stored value in the log";
    }
}

TEST(IdentityStore, storeFailuresArePassedOnAndAnIdentityThatCannotBeKeptAsideIsNotReplaced) {
    const auto error = SecretStoreError::io("disk full");
    MemorySecretStore reads, writes, aside;
    aside.entries = {{"device-id", wire::toBytes("old-id")}, {"ed25519-seed", Bytes(31, 1)}};
    aside.fail(Op::write, error, "ed25519-seed.corrupt");
    EXPECT_EQ(IdentityStore::loadOrCreate(aside), tl::unexpected(error));
    EXPECT_EQ(aside.entries.at("device-id"), wire::toBytes("old-id"));
    EXPECT_EQ(aside.entries.at("ed25519-seed"), Bytes(31, 1));
    reads.entries = {{"device-id", wire::toBytes("id")}, {"ed25519-seed", Bytes(32, 1)}};
    reads.fail(Op::read, error, "ed25519-seed");
    EXPECT_EQ(IdentityStore::loadOrCreate(reads), tl::unexpected(error));
    EXPECT_TRUE(reads.writes.empty());
    writes.fail(Op::write, error, "device-id");
    EXPECT_EQ(IdentityStore::loadOrCreate(writes), tl::unexpected(error));
    EXPECT_EQ(writes.entries.count("device-id"), 0u);
    EXPECT_EQ(writes.entries.size(), 1u);  // a new seed stays once written
}

TEST(IdentityStore, fileStoreKeepsIdentityAndADamagedSeedAsideInPrivateFiles) {
    const testing::TempDir root;
    const auto directory = root.path() / "identity";
    auto first = IdentityStore::loadOrCreate(*IdentityStore::defaultSecretStore(directory));
    ASSERT_TRUE(first) << first.error();
    EXPECT_EQ(IdentityStore::loadOrCreate(*IdentityStore::defaultSecretStore(directory)), first);
    std::ofstream(directory / "ed25519-seed.secret", std::ios::trunc) << "short";
    LogCapture log;
    auto replaced = IdentityStore::loadOrCreate(*IdentityStore::defaultSecretStore(directory));
    ASSERT_TRUE(replaced) << replaced.error();
    const auto copy = directory / "ed25519-seed.corrupt.secret";
    std::ifstream in(copy, std::ios::binary);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), "short");
    EXPECT_EQ(std::filesystem::status(copy).permissions(),
              std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
    EXPECT_TRUE(log.contains("made a new one, so every paired device must pair again"));
}

}  // namespace
}  // namespace tarvel::security
