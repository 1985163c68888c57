#include "core/security/secret_store.hpp"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "tests/fakes/temp_dir.hpp"

namespace tarvel::security {
namespace {

namespace fs = std::filesystem;
using testing::TempDir;

mode_t permissions(const fs::path& path) {
    struct stat status {};
    EXPECT_EQ(::stat(path.c_str(), &status), 0) << path;
    return status.st_mode & 07777;
}

/// Sets the process umask for one test and restores it afterwards.
class ScopedUmask {
  public:
    explicit ScopedUmask(mode_t mask) : previous_(::umask(mask)) {}
    ~ScopedUmask() { ::umask(previous_); }

  private:
    mode_t previous_;
};

void expectIOFailure(const tl::expected<void, SecretStoreError>& result) {
    ASSERT_FALSE(result);
    EXPECT_EQ(result.error().kind(), SecretStoreError::Kind::io);
    EXPECT_FALSE(result.error().ioDescription().empty());
}

TEST(FileSecretStore, writeCreatesPrivateFoldersAndEntriesWhateverTheUmask) {
    // With no umask, default modes would give 0777/0666; with 0777, nothing at all.
    for (mode_t mask : {0000, 0777}) {
        const TempDir root;
        const ScopedUmask scoped(mask);
        const fs::path directory = root.path() / "data" / "identity";
        ASSERT_TRUE(FileSecretStore(directory).write(wire::asBytes("secret"), "device-id"));
        EXPECT_EQ(permissions(root.path() / "data"), 0700u);
        EXPECT_EQ(permissions(directory), 0700u);
        EXPECT_EQ(permissions(directory / "device-id.secret"), 0600u);
    }
}

TEST(FileSecretStore, readReturnsExactlyTheRawBytesWrittenIncludingEmptyEntries) {
    const TempDir root;
    FileSecretStore store(root.path() / "identity");
    const Bytes seed{0x00, 0x01, 0xFF, 0x00, 0x0A};
    const Bytes large(100000, 0x5A);
    ASSERT_TRUE(store.write(seed, "ed25519-seed"));
    ASSERT_TRUE(store.write(large, "large"));
    ASSERT_TRUE(store.write({}, "empty"));
    std::ifstream in(root.path() / "identity" / "ed25519-seed.secret", std::ios::binary);
    EXPECT_EQ(Bytes(std::istreambuf_iterator<char>(in), {}), seed);
    EXPECT_EQ(store.read("large").value(), large);
    EXPECT_EQ(store.read("empty").value(), Bytes{});  // an entry, not a missing one
    EXPECT_EQ(store.read("device-id").value(), std::nullopt);
    EXPECT_EQ(FileSecretStore(root.path() / "never" / "made").read("x").value(), std::nullopt);
}

TEST(FileSecretStore, replacingAnEntryOthersCouldReadLeavesItOwnerOnlyAndRemoveDeletesIt) {
    const TempDir root;
    const fs::path entryFile = root.path() / "device-id.secret";
    std::ofstream(entryFile) << "planted";
    ASSERT_EQ(::chmod(entryFile.c_str(), 0644), 0);
    FileSecretStore store(root.path());
    ASSERT_TRUE(store.write(wire::asBytes("new"), "device-id"));
    ASSERT_TRUE(store.write(wire::asBytes("seed"), "ed25519-seed"));
    EXPECT_EQ(permissions(entryFile), 0600u);

    EXPECT_TRUE(store.remove("device-id"));
    EXPECT_EQ(store.read("device-id").value(), std::nullopt);
    EXPECT_TRUE(store.read("ed25519-seed").value().has_value());
    EXPECT_TRUE(store.remove("device-id"));  // a missing entry is success
    EXPECT_TRUE(FileSecretStore(root.path() / "never" / "made").remove("device-id"));
}

TEST(FileSecretStore, fileSystemFailuresAreIOErrorsNeverMissingEntries) {
    const TempDir root;
    std::ofstream(root.path() / "plain") << "";
    expectIOFailure(FileSecretStore(root.path() / "plain").write(wire::asBytes("s"), "device-id"));
    expectIOFailure(
        FileSecretStore(root.path() / "plain" / "identity").write(wire::asBytes("s"), "device-id"));

    // A folder where the entry should be: it opens but cannot be read, and
    // neither unlink nor rename will replace it, even for root.
    ASSERT_EQ(::mkdir((root.path() / "device-id.secret").c_str(), 0700), 0);
    FileSecretStore store(root.path());
    EXPECT_FALSE(store.read("device-id"));
    expectIOFailure(store.remove("device-id"));
    expectIOFailure(store.write(wire::asBytes("s"), "device-id"));

    // A link to itself: open fails with ELOOP, which is not a missing entry.
    fs::create_symlink(root.path() / "ed25519-seed.secret", root.path() / "ed25519-seed.secret");
    EXPECT_FALSE(store.read("ed25519-seed"));
}

TEST(FileSecretStore, accountNameCannotLeaveTheDirectory) {
    const TempDir root;
    FileSecretStore store(root.path() / "identity");
    const std::vector<std::string_view> accounts{"../escaped", "a/b", "",
                                                 std::string_view("a\0b", 3)};
    for (std::string_view account : accounts) {
        expectIOFailure(store.write(wire::asBytes("s"), account));
        EXPECT_FALSE(store.read(account));
        EXPECT_FALSE(store.remove(account));
    }
    EXPECT_FALSE(fs::exists(root.path() / "escaped.secret"));
}

}  // namespace
}  // namespace tarvel::security
