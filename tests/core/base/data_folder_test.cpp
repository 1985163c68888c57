#include "core/base/data_folder.hpp"

#include <gtest/gtest.h>

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

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

Environment environment(std::map<std::string, std::string> values) {
    return [values = std::move(values)](std::string_view name) -> std::optional<std::string> {
        auto it = values.find(std::string(name));
        return it == values.end() ? std::nullopt : std::optional<std::string>(it->second);
    };
}

mode_t modeOf(const fs::path& path) {
    struct stat info {};
    EXPECT_EQ(::lstat(path.c_str(), &info), 0) << path;
    return info.st_mode & 07777;
}

void makeFile(const fs::path& path, mode_t mode) {
    std::ofstream(path) << "x";
    ASSERT_EQ(::chmod(path.c_str(), mode), 0);
}

std::string refusal(const fs::path& directory) {
    auto prepared = preparePrivateDirectory(directory);
    return prepared ? std::string() : prepared.error();
}

TEST(DataFolder, followsOverrideThenAbsoluteXDGThenHomeThenThePasswordDatabase) {
    std::map<std::string, std::string> all = {{"TVL_DATA_DIR", "/srv/t"},
                                              {"XDG_DATA_HOME", "/d"},
                                              {"XDG_CONFIG_HOME", "/c"},
                                              {"HOME", "/h"}};
    EXPECT_EQ(dataDirectory(environment(all)), "/srv/t");
    all["TVL_DATA_DIR"] = "";
    EXPECT_EQ(dataDirectory(environment(all)), "/d/Tarvel");
    EXPECT_EQ(configDirectory(environment(all)), "/c/Tarvel");
    const auto relativeXDG =
        environment({{"XDG_DATA_HOME", "d"}, {"XDG_CONFIG_HOME", "c"}, {"HOME", "/h"}});
    EXPECT_EQ(dataDirectory(relativeXDG), "/h/.local/share/Tarvel");
    EXPECT_EQ(configDirectory(relativeXDG), "/h/.config/Tarvel");
    // Without HOME, never the temporary folder.
    const passwd* entry = ::getpwuid(::geteuid());
    const fs::path home = entry != nullptr && entry->pw_dir != nullptr ? entry->pw_dir : "";
    EXPECT_EQ(dataDirectory(environment({{"HOME", ""}})),
              home.empty() ? fs::path() : home / ".local/share/Tarvel");
    EXPECT_EQ(configDirectory(environment({})),
              home.empty() ? fs::path() : home / ".config/Tarvel");
}

TEST(PrivateDirectory, createsAMissingFolderOwnerOnlyAndRefusesWhatOthersCouldWriteOrRedirect) {
    TempDir dir;
    const auto folder = dir / "a" / "Tarvel";
    ASSERT_EQ(refusal(folder), "");
    EXPECT_EQ(modeOf(dir / "a"), 0700u);
    EXPECT_EQ(modeOf(folder), 0700u);
    makeFile(folder / "paired_devices.json", 0644);  // readable by others is allowed
    fs::create_directory(folder / "identity");
    EXPECT_EQ(refusal(folder), "");
    makeFile(dir / "plain", 0600);
    EXPECT_NE(refusal(dir / "plain").find("is not a directory"), std::string::npos);
    ASSERT_EQ(::chmod(folder.c_str(), 0777), 0);
    EXPECT_EQ(refusal(folder), folder.string() +
                                   " is writable by group or others (mode 0777); "
                                   "run chmod go-w on it");
    ASSERT_EQ(::chmod(folder.c_str(), 0700), 0);
    makeFile(folder / "identity" / "device-id.secret", 0620);
    EXPECT_NE(refusal(folder).find("device-id.secret is writable"), std::string::npos);
    ASSERT_EQ(::chmod((folder / "identity" / "device-id.secret").c_str(), 0600), 0);
    fs::create_symlink("/etc/passwd", folder / "identity" / "ed25519-seed.secret");
    EXPECT_NE(refusal(folder).find("ed25519-seed.secret is a symbolic link"), std::string::npos);
    fs::remove(folder / "identity" / "ed25519-seed.secret");
    EXPECT_EQ(refusal(folder), "");
}

TEST(PrivateDirectory, refusesFolderOrEntryOwnedByAnotherUser) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "giving a file to another user needs root (chown)";
    }
    TempDir dir;
    const auto folder = dir / "Tarvel";
    ASSERT_EQ(refusal(folder), "");
    makeFile(folder / "gamepad_mapping.json", 0600);
    ASSERT_EQ(::chown((folder / "gamepad_mapping.json").c_str(), 65534, 65534), 0);
    EXPECT_NE(refusal(folder).find("gamepad_mapping.json is owned by user 65534"),
              std::string::npos);
    fs::remove(folder / "gamepad_mapping.json");
    ASSERT_EQ(::chown(folder.c_str(), 65534, 65534), 0);
    EXPECT_NE(refusal(folder).find(folder.string() + " is owned by user 65534"), std::string::npos);
}

TEST(LeftoverTemporaries, removesOnlyWhatAnInterruptedWriteLeaves) {
    TempDir dir;
    for (const char* name :
         {"paired_devices.json.tmp.a1B2c3", "hosts.json.tmp.ZZZZZZ", "paired_devices.json",
          "notes.tmp.abc", "x.tmp.abcdefg", ".tmp.abcdef", "x.tmp.abc-ef"}) {
        makeFile(dir / name, 0600);
    }
    fs::create_directory(dir / "folder.tmp.abcdef");
    EXPECT_EQ(removeLeftoverTemporaries(dir.path()), std::size_t{2});
    EXPECT_FALSE(fs::exists(dir / "paired_devices.json.tmp.a1B2c3"));
    EXPECT_FALSE(fs::exists(dir / "hosts.json.tmp.ZZZZZZ"));
    EXPECT_EQ(std::distance(fs::directory_iterator(dir.path()), fs::directory_iterator()), 6);
    EXPECT_EQ(removeLeftoverTemporaries(dir / "absent"), std::size_t{0});
}

TEST(AtomicFileAndSalvage, replacesWholeFilesAndKeepsAnUncopyableDamagedFilePendingInPlace) {
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
    EXPECT_EQ(corruptCopyPath("/d/paired_devices.json"), "/d/paired_devices.corrupt.json");
    EXPECT_EQ(corruptCopyPath("/d/device-id"), "/d/device-id.corrupt");
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
