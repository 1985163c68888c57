#include <gtest/gtest.h>

#include <sys/stat.h>

#include <fstream>

#include "core/base/atomic_file.hpp"
#include "core/base/salvage.hpp"
#include "tests/fakes/log_capture.hpp"
#include "tests/fakes/temp_dir.hpp"

namespace tarvel::base {
namespace {

namespace fs = std::filesystem;
using testing::LogCapture;
using testing::TempDir;

std::vector<std::uint8_t> bytesOf(std::string_view text) {
    return {text.begin(), text.end()};
}

mode_t modeOf(const fs::path& path) {
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
    EXPECT_EQ(std::distance(fs::directory_iterator(dir.path()), fs::directory_iterator()), 1);

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

TEST(Salvage, anUncopyableFileIsLeftAloneAndStaysPendingUnderANameKeepingItsExtension) {
    EXPECT_EQ(corruptCopyPath("/d/paired_devices.json"), "/d/paired_devices.corrupt.json");
    EXPECT_EQ(corruptCopyPath("/d/device-id"), "/d/device-id.corrupt");
    TempDir dir;
    const auto file = dir / "hosts.json";
    std::ofstream(file) << "damaged";
    // A folder that is not empty can be neither removed nor replaced by the copy.
    fs::create_directories(dir / "hosts.corrupt.json" / "inner");
    LogCapture log;
    bool unreadable = true;
    EXPECT_FALSE(replaceKeepingUnreadable(file, bytesOf("[]"), 0600, unreadable));
    EXPECT_TRUE(unreadable);
    EXPECT_EQ(readWholeFile(file).value(), bytesOf("damaged"));
    EXPECT_TRUE(log.contains("hosts.json could not be read and no copy of it could be kept"));

    fs::remove(file);  // gone meanwhile: nothing left to keep
    ASSERT_TRUE(replaceKeepingUnreadable(file, bytesOf("[]"), 0600, unreadable));
    EXPECT_FALSE(unreadable);
    EXPECT_EQ(readWholeFile(file).value(), bytesOf("[]"));
}

}  // namespace
}  // namespace tarvel::base
