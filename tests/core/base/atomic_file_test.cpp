#include <gtest/gtest.h>

#include <sys/stat.h>

#include <fstream>

#include "core/base/atomic_file.hpp"
#include "tests/fakes/temp_dir.hpp"

namespace tarvel::base {
namespace {

using testing::TempDir;

std::vector<std::uint8_t> bytesOf(const std::string& text) {
    return {text.begin(), text.end()};
}

mode_t modeOf(const std::filesystem::path& path) {
    struct stat info {};
    EXPECT_EQ(::stat(path.c_str(), &info), 0) << path;
    return info.st_mode & 07777;
}

TEST(AtomicFile, replacesWholeFileWithRequestedModeAndLeavesNoTemporary) {
    TempDir dir;
    const auto path = dir / "f.json";
    ASSERT_TRUE(writeFileAtomically(path, bytesOf("first version, longer"), 0644));
    ASSERT_TRUE(writeFileAtomically(path, bytesOf("second"), 0600));
    EXPECT_EQ(readWholeFile(path).value(), bytesOf("second"));
    EXPECT_EQ(modeOf(path), 0600u);
    std::size_t entries = 0;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator(dir.path())) {
        ++entries;
    }
    EXPECT_EQ(entries, 1u);
}

TEST(AtomicFile, missingFileReadsAsNothingAndMissingFolderFailsToWrite) {
    TempDir dir;
    EXPECT_EQ(readWholeFile(dir / "absent").value(), std::nullopt);
    auto result = writeFileAtomically(dir / "no" / "f", bytesOf("x"), 0600);
    ASSERT_FALSE(result);
    EXPECT_EQ(result.error(), std::errc::no_such_file_or_directory);
}

TEST(AtomicFile, createsNestedFoldersPrivatelyAndAcceptsExistingOnes) {
    TempDir dir;
    const auto nested = dir / "a" / "b" / "c";
    ASSERT_TRUE(createDirectories(nested, 0700));
    EXPECT_EQ(modeOf(nested), 0700u);
    EXPECT_EQ(modeOf(dir / "a"), 0700u);
    ASSERT_TRUE(createDirectories(nested, 0700));

    std::ofstream(dir / "file") << "x";
    EXPECT_FALSE(createDirectories(dir / "file" / "sub", 0700));
}

}  // namespace
}  // namespace tarvel::base
