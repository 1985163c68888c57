#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "core/security/secret_store.hpp"
#include "tests/fakes/memory_secret_store.hpp"
#include "tests/fakes/temp_dir.hpp"

namespace tarvel::security {
namespace {

namespace fs = std::filesystem;
using testing::MemorySecretStore;
using testing::TempDir;
using Op = MemorySecretStore::Op;

mode_t permissions(const fs::path& path) {
    struct stat status {};
    EXPECT_EQ(::stat(path.c_str(), &status), 0) << path;
    return status.st_mode & 07777;
}

ino_t inode(const fs::path& path) {
    struct stat status {};
    EXPECT_EQ(::stat(path.c_str(), &status), 0) << path;
    return status.st_ino;
}

/// Sets the process umask for one test and restores it afterwards.
class ScopedUmask {
  public:
    explicit ScopedUmask(mode_t mask) : previous_(::umask(mask)) {}
    ~ScopedUmask() { ::umask(previous_); }

  private:
    mode_t previous_;
};

using ReadResult = tl::expected<std::optional<Bytes>, SecretStoreError>;

ReadResult entry(Bytes bytes) {
    return std::optional<Bytes>(std::move(bytes));
}
ReadResult noEntry() {
    return std::optional<Bytes>();
}

void writeFile(const fs::path& path, std::string_view content) {
    std::ofstream(path, std::ios::binary) << content;
}

// SecretStoreError

TEST(SecretStoreError, equalityComparesKindAndPayload) {
    EXPECT_EQ(SecretStoreError::keychain(-25300), SecretStoreError::keychain(-25300));
    EXPECT_NE(SecretStoreError::keychain(-25300), SecretStoreError::keychain(-25293));
    EXPECT_EQ(SecretStoreError::io("a"), SecretStoreError::io("a"));
    EXPECT_NE(SecretStoreError::io("a"), SecretStoreError::io("b"));
    EXPECT_NE(SecretStoreError::io(""), SecretStoreError::corrupt());
    EXPECT_NE(SecretStoreError::keychain(0), SecretStoreError::corrupt());
}

TEST(SecretStoreError, descriptionCarriesThePayload) {
    EXPECT_EQ(SecretStoreError::keychain(-25293).description(), "keychain(-25293)");
    EXPECT_EQ(SecretStoreError::io("disk full").description(), "io(disk full)");
    EXPECT_EQ(SecretStoreError::corrupt().description(), "corrupt");
}

// FileSecretStore

TEST(FileSecretStore, writeCreatesMissingDirectoriesAt0700AndEntryAt0600) {
    const TempDir root;
    // With no umask a store that relied on default modes would create 0777/0666.
    const ScopedUmask open(0);
    const fs::path directory = root.path() / "data" / "Tarvel" / "identity";
    FileSecretStore store(directory);
    ASSERT_TRUE(store.write(wire::asBytes("secret"), "device-id"));
    EXPECT_EQ(permissions(root.path() / "data"), 0700u);
    EXPECT_EQ(permissions(root.path() / "data" / "Tarvel"), 0700u);
    EXPECT_EQ(permissions(directory), 0700u);
    EXPECT_EQ(permissions(directory / "device-id.secret"), 0600u);
}

TEST(FileSecretStore, directoryCreationIgnoresARestrictiveUmask) {
    const TempDir root;
    const ScopedUmask restrictive(0777);
    FileSecretStore store(root.path() / "identity");
    ASSERT_TRUE(store.write(wire::asBytes("secret"), "device-id"));
    EXPECT_EQ(permissions(root.path() / "identity"), 0700u);
    EXPECT_EQ(permissions(root.path() / "identity" / "device-id.secret"), 0600u);
}

TEST(FileSecretStore, entryFileHoldsExactlyTheRawBytes) {
    const TempDir root;
    FileSecretStore store(root.path());
    const Bytes seed{0x00, 0x01, 0xFF, 0x00, 0x0A};
    ASSERT_TRUE(store.write(seed, "ed25519-seed"));
    std::ifstream in(root.path() / "ed25519-seed.secret", std::ios::binary);
    const Bytes onDisk((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_EQ(onDisk, seed);
}

TEST(FileSecretStore, readReturnsWhatWasWrittenIncludingEmptyEntries) {
    const TempDir root;
    FileSecretStore store(root.path() / "identity");
    const Bytes large(100000, 0x5A);
    ASSERT_TRUE(store.write(large, "large"));
    ASSERT_TRUE(store.write({}, "empty"));
    EXPECT_EQ(store.read("large"), entry(large));
    // An empty entry is an entry, not a missing one.
    EXPECT_EQ(store.read("empty"), entry(Bytes{}));
}

TEST(FileSecretStore, missingEntryOrDirectoryReadsAsNothing) {
    const TempDir root;
    EXPECT_EQ(FileSecretStore(root.path()).read("device-id"), noEntry());
    EXPECT_EQ(FileSecretStore(root.path() / "never" / "made").read("device-id"), noEntry());
}

TEST(FileSecretStore, writeReplacesTheEntryByRenameNotInPlace) {
    const TempDir root;
    FileSecretStore store(root.path());
    const fs::path entryFile = root.path() / "device-id.secret";
    ASSERT_TRUE(store.write(wire::asBytes("old entry"), "device-id"));
    const ino_t before = inode(entryFile);
    // A reader holding the old file keeps seeing the whole old entry.
    const int reader = ::open(entryFile.c_str(), O_RDONLY);
    ASSERT_GE(reader, 0);

    ASSERT_TRUE(store.write(wire::asBytes("new"), "device-id"));
    EXPECT_NE(inode(entryFile), before);
    char buffer[32] = {};
    const ssize_t count = ::pread(reader, buffer, sizeof buffer, 0);
    ::close(reader);
    EXPECT_EQ(std::string(buffer, static_cast<std::size_t>(std::max<ssize_t>(count, 0))),
              "old entry");
    EXPECT_EQ(store.read("device-id"), entry(wire::toBytes("new")));
}

TEST(FileSecretStore, writeLeavesNoTemporaryFilesBehind) {
    const TempDir root;
    FileSecretStore store(root.path());
    for (int i = 0; i < 3; ++i) {
        ASSERT_TRUE(store.write(wire::asBytes("x"), "device-id"));
        ASSERT_TRUE(store.write(wire::asBytes("y"), "ed25519-seed"));
    }
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(root.path())) {
        names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"device-id.secret", "ed25519-seed.secret"}));
}

TEST(FileSecretStore, replacingAWorldReadableEntryLeavesItOwnerOnly) {
    const TempDir root;
    const fs::path entryFile = root.path() / "device-id.secret";
    writeFile(entryFile, "planted");
    ASSERT_EQ(::chmod(entryFile.c_str(), 0644), 0);
    FileSecretStore store(root.path());
    ASSERT_TRUE(store.write(wire::asBytes("secret"), "device-id"));
    EXPECT_EQ(permissions(entryFile), 0600u);
}

TEST(FileSecretStore, existingDirectoryIsUsedAsItIs) {
    const TempDir root;
    const fs::path directory = root.path() / "identity";
    ASSERT_EQ(::mkdir(directory.c_str(), 0750), 0);
    ASSERT_EQ(::chmod(directory.c_str(), 0750), 0);
    FileSecretStore store(directory);
    ASSERT_TRUE(store.write(wire::asBytes("secret"), "device-id"));
    EXPECT_EQ(permissions(directory), 0750u);
}

TEST(FileSecretStore, removeDeletesTheEntryAndMissingIsSuccess) {
    const TempDir root;
    FileSecretStore store(root.path());
    ASSERT_TRUE(store.write(wire::asBytes("secret"), "device-id"));
    ASSERT_TRUE(store.write(wire::asBytes("seed"), "ed25519-seed"));
    EXPECT_TRUE(store.remove("device-id"));
    EXPECT_FALSE(fs::exists(root.path() / "device-id.secret"));
    EXPECT_EQ(store.read("device-id"), noEntry());
    EXPECT_TRUE(store.read("ed25519-seed").value().has_value());
    EXPECT_TRUE(store.remove("device-id"));
    EXPECT_TRUE(FileSecretStore(root.path() / "never" / "made").remove("device-id"));
}

TEST(FileSecretStore, directoryUnderARegularFileFailsWithIO) {
    const TempDir root;
    writeFile(root.path() / "not-a-directory", "");
    FileSecretStore store(root.path() / "not-a-directory" / "identity");
    auto written = store.write(wire::asBytes("secret"), "device-id");
    ASSERT_FALSE(written);
    EXPECT_EQ(written.error().kind(), SecretStoreError::Kind::io);
    EXPECT_FALSE(written.error().ioDescription().empty());
}

TEST(FileSecretStore, directoryThatIsARegularFileFailsWithIO) {
    const TempDir root;
    writeFile(root.path() / "identity", "");
    auto written = FileSecretStore(root.path() / "identity").write(wire::asBytes("s"), "device-id");
    ASSERT_FALSE(written);
    EXPECT_EQ(written.error().kind(), SecretStoreError::Kind::io);
}

TEST(FileSecretStore, unreadableOrUnremovableEntryFailsWithIO) {
    const TempDir root;
    // A directory where the entry file should be: it opens but cannot be
    // read, and neither unlink nor rename will replace it, even for root.
    ASSERT_EQ(::mkdir((root.path() / "device-id.secret").c_str(), 0700), 0);
    FileSecretStore store(root.path());
    auto read = store.read("device-id");
    ASSERT_FALSE(read);
    EXPECT_EQ(read.error().kind(), SecretStoreError::Kind::io);
    auto removed = store.remove("device-id");
    ASSERT_FALSE(removed);
    EXPECT_EQ(removed.error().kind(), SecretStoreError::Kind::io);
    auto written = store.write(wire::asBytes("s"), "device-id");
    ASSERT_FALSE(written);
    EXPECT_EQ(written.error().kind(), SecretStoreError::Kind::io);
}

TEST(FileSecretStore, entryThatCannotBeOpenedFailsWithIONotNothing) {
    const TempDir root;
    const fs::path entryFile = root.path() / "device-id.secret";
    // A link to itself: open fails with ELOOP, which is not a missing entry.
    fs::create_symlink(entryFile, entryFile);
    auto read = FileSecretStore(root.path()).read("device-id");
    ASSERT_FALSE(read);
    EXPECT_EQ(read.error().kind(), SecretStoreError::Kind::io);
}

TEST(FileSecretStore, accountNameCannotLeaveTheDirectory) {
    const TempDir root;
    FileSecretStore store(root.path() / "identity");
    const std::vector<std::string_view> accounts{"../escaped", "a/b", "",
                                                 std::string_view("a\0b", 3)};
    for (std::string_view account : accounts) {
        auto written = store.write(wire::asBytes("s"), account);
        ASSERT_FALSE(written) << account;
        EXPECT_EQ(written.error().kind(), SecretStoreError::Kind::io);
        EXPECT_FALSE(store.read(account));
        EXPECT_FALSE(store.remove(account));
    }
    EXPECT_FALSE(fs::exists(root.path() / "escaped.secret"));
}

// FallbackSecretStore

struct FallbackFixture : ::testing::Test {
    std::shared_ptr<MemorySecretStore> primary = std::make_shared<MemorySecretStore>();
    std::shared_ptr<MemorySecretStore> secondary = std::make_shared<MemorySecretStore>();
    FallbackSecretStore store{primary, secondary};

    const SecretStoreError denied = SecretStoreError::keychain(-25293);
    const SecretStoreError diskFull = SecretStoreError::io("disk full");
};

using FallbackSecretStoreTest = FallbackFixture;

TEST_F(FallbackSecretStoreTest, readReturnsPrimaryEntryWithoutAskingSecondary) {
    primary->entries["a"] = {1};
    secondary->entries["a"] = {2};
    EXPECT_EQ(store.read("a"), entry(Bytes{1}));
    EXPECT_TRUE(secondary->calls.empty());
}

TEST_F(FallbackSecretStoreTest, readFallsBackWhenPrimaryHasNothing) {
    secondary->entries["a"] = {2};
    EXPECT_EQ(store.read("a"), entry(Bytes{2}));
    EXPECT_EQ(store.read("b"), noEntry());
}

TEST_F(FallbackSecretStoreTest, readDiscardsPrimaryFailure) {
    primary->entries["a"] = {1};
    primary->fail(Op::read, denied);
    secondary->entries["a"] = {2};
    EXPECT_EQ(store.read("a"), entry(Bytes{2}));
    EXPECT_EQ(store.read("b"), noEntry());
}

TEST_F(FallbackSecretStoreTest, readPassesOnSecondaryFailure) {
    primary->fail(Op::read, denied);
    secondary->fail(Op::read, diskFull);
    EXPECT_EQ(store.read("a"), tl::unexpected(diskFull));
    // A primary with nothing does not hide the secondary's failure either.
    auto emptyPrimary = std::make_shared<MemorySecretStore>();
    EXPECT_EQ(FallbackSecretStore(emptyPrimary, secondary).read("a"), tl::unexpected(diskFull));
}

TEST_F(FallbackSecretStoreTest, writeGoesToPrimaryOnly) {
    ASSERT_TRUE(store.write(Bytes{7}, "a"));
    EXPECT_EQ(primary->entries.at("a"), Bytes{7});
    EXPECT_TRUE(secondary->calls.empty());
}

TEST_F(FallbackSecretStoreTest, writeFallsBackWhenPrimaryFails) {
    primary->fail(Op::write, denied);
    ASSERT_TRUE(store.write(Bytes{7}, "a"));
    EXPECT_EQ(secondary->entries.at("a"), Bytes{7});
}

TEST_F(FallbackSecretStoreTest, writePassesOnSecondaryFailureOnly) {
    primary->fail(Op::write, denied);
    secondary->fail(Op::write, diskFull);
    EXPECT_EQ(store.write(Bytes{7}, "a"), tl::unexpected(diskFull));
}

TEST_F(FallbackSecretStoreTest, removeAsksBothEvenWhenPrimaryFails) {
    primary->entries["a"] = {1};
    secondary->entries["a"] = {2};
    primary->fail(Op::remove, denied);
    EXPECT_TRUE(store.remove("a"));
    EXPECT_EQ(secondary->entries.count("a"), 0u);
    EXPECT_EQ(primary->calls, (std::vector<MemorySecretStore::Call>{{Op::remove, "a"}}));
}

TEST_F(FallbackSecretStoreTest, removeRemovesFromBothAndPassesOnSecondaryFailure) {
    primary->entries["a"] = {1};
    secondary->entries["a"] = {2};
    EXPECT_TRUE(store.remove("a"));
    EXPECT_TRUE(primary->entries.empty());
    EXPECT_TRUE(secondary->entries.empty());

    secondary->fail(Op::remove, diskFull);
    EXPECT_EQ(store.remove("a"), tl::unexpected(diskFull));
    EXPECT_EQ(primary->calls.back(), (MemorySecretStore::Call{Op::remove, "a"}));
}

TEST(FallbackSecretStore, worksOverTheFileStore) {
    const TempDir root;
    auto primary = std::make_shared<MemorySecretStore>();
    primary->fail(Op::read, SecretStoreError::keychain(-25308));
    primary->fail(Op::write, SecretStoreError::keychain(-25308));
    auto files = std::make_shared<FileSecretStore>(root.path() / "identity");
    FallbackSecretStore store(primary, files);
    ASSERT_TRUE(store.write(wire::asBytes("seed"), "ed25519-seed"));
    EXPECT_EQ(files->read("ed25519-seed"), entry(wire::toBytes("seed")));
    EXPECT_EQ(store.read("ed25519-seed"), entry(wire::toBytes("seed")));
}

}  // namespace
}  // namespace tarvel::security
