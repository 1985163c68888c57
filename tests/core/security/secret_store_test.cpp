#include "core/security/secret_store.hpp"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <filesystem>
#include <fstream>

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

bool isIOFailure(const tl::expected<void, SecretStoreError>& result) {
    return !result && result.error().kind() == SecretStoreError::Kind::io &&
           !result.error().ioDescription().empty();
}

TEST(FileSecretStore, writesPrivatelyWhateverTheUmaskReadsRawBytesAndReplacesOrRemoves) {
    // With no umask, default modes would give 0777/0666; with 0777, nothing at all.
    for (mode_t mask : {0000, 0777}) {
        const TempDir root;
        const fs::path directory = root.path() / "data" / "identity";
        const mode_t previous = ::umask(mask);
        const auto written = FileSecretStore(directory).write(wire::asBytes("s"), "device-id");
        ::umask(previous);
        ASSERT_TRUE(written);
        EXPECT_EQ(permissions(root.path() / "data"), 0700u);
        EXPECT_EQ(permissions(directory), 0700u);
        EXPECT_EQ(permissions(directory / "device-id.secret"), 0600u);
    }
    const TempDir root;
    FileSecretStore store(root.path());
    const Bytes seed{0x00, 0x01, 0xFF, 0x00, 0x0A}, large(100000, 0x5A);
    ASSERT_TRUE(store.write(seed, "ed25519-seed"));
    ASSERT_TRUE(store.write(large, "large"));
    ASSERT_TRUE(store.write({}, "empty"));
    std::ifstream in(root.path() / "ed25519-seed.secret", std::ios::binary);
    EXPECT_EQ(Bytes(std::istreambuf_iterator<char>(in), {}), seed);
    EXPECT_EQ(store.read("large").value(), large);
    EXPECT_EQ(store.read("empty").value(), Bytes{});  // an entry, not a missing one
    // An entry others could read is left owner-only once replaced.
    const fs::path entryFile = root.path() / "device-id.secret";
    std::ofstream(entryFile) << "planted";
    ASSERT_EQ(::chmod(entryFile.c_str(), 0644), 0);
    ASSERT_TRUE(store.write(wire::asBytes("new"), "device-id"));
    EXPECT_EQ(permissions(entryFile), 0600u);
    EXPECT_TRUE(store.remove("device-id"));
    EXPECT_EQ(store.read("device-id").value(), std::nullopt);
    EXPECT_TRUE(store.read("ed25519-seed").value().has_value());
    EXPECT_TRUE(store.remove("device-id"));  // a missing entry is success
    EXPECT_TRUE(FileSecretStore(root.path() / "never" / "made").remove("device-id"));
}

TEST(FileSecretStore, fileSystemFailuresAreIOErrorsNeverMissingEntriesAndAccountsStayInside) {
    const TempDir root;
    std::ofstream(root.path() / "plain") << "";
    EXPECT_TRUE(isIOFailure(
        FileSecretStore(root.path() / "plain" / "id").write(wire::asBytes("s"), "device-id")));
    // A folder where the entry should be opens but cannot be read, and neither
    // unlink nor rename replaces it, even for root.
    ASSERT_EQ(::mkdir((root.path() / "device-id.secret").c_str(), 0700), 0);
    FileSecretStore store(root.path());
    EXPECT_FALSE(store.read("device-id"));
    EXPECT_TRUE(isIOFailure(store.remove("device-id")));
    EXPECT_TRUE(isIOFailure(store.write(wire::asBytes("s"), "device-id")));
    FileSecretStore inner(root.path() / "identity");
    for (std::string_view account : std::initializer_list<std::string_view>{
             "../escaped", "a/b", "", std::string_view("a\0b", 3)}) {
        EXPECT_TRUE(isIOFailure(inner.write(wire::asBytes("s"), account))) << account;
        EXPECT_FALSE(inner.read(account));
        EXPECT_FALSE(inner.remove(account));
    }
    EXPECT_FALSE(fs::exists(root.path() / "escaped.secret"));
}

}  // namespace
}  // namespace tarvel::security
