#include "host/mapping/user_defaults.hpp"
#include <gtest/gtest.h>
#include "tests/fakes/log_capture.hpp"
#include "tests/fakes/temp_dir.hpp"
#include "tests/host/mapping/file_text.hpp"

namespace tarvel::mapping {
namespace {

using test::readText;
using test::writeText;
using testing::LogCapture;
using testing::TempDir;
namespace fs = std::filesystem;

TEST(UserDefaultsStorage, valuesSurviveAReopenKeepTheirTypesAndUnknownMembers) {
    TempDir dir;
    const fs::path path = dir / "config" / "Tarvel" / "defaults.json";
    fs::create_directories(path.parent_path());
    writeText(path, R"({"other": [1, 2]})");
    UserDefaults defaults(path);
    ASSERT_TRUE(defaults.setString(UserDefaults::padOutputKey, "arrows") &&
                defaults.setBool(UserDefaults::loginItemPromptedKey, true) &&
                defaults.setBool(UserDefaults::latencyTraceKey, false));
    EXPECT_EQ(fs::status(path).permissions(), fs::perms::owner_read | fs::perms::owner_write);
    UserDefaults reopened(path);
    EXPECT_EQ(reopened.string(UserDefaults::padOutputKey), "arrows");
    EXPECT_EQ(reopened.boolean(UserDefaults::latencyTraceKey), false);
    // A value of another type reads as absent.
    EXPECT_EQ(reopened.boolean(UserDefaults::padOutputKey), std::nullopt);
    EXPECT_EQ(reopened.string(UserDefaults::latencyTraceKey), std::nullopt);
    ASSERT_TRUE(reopened.remove(UserDefaults::padOutputKey) &&
                reopened.remove(UserDefaults::latencyTraceKey));
    EXPECT_EQ(wire::JSON::parse(readText(path)),
              wire::JSON::parse(R"({"other": [1, 2], "rc.loginItemPrompted": true})"));
}

TEST(UserDefaultsStorage, privateFolderNoWriteWithoutAChangeAndRefusedOrFailedWritesReported) {
    TempDir dir;
    const fs::path path = dir / "config" / "defaults.json";
    UserDefaults defaults(path);
    ASSERT_TRUE(defaults.remove("rc.absent"));
    EXPECT_FALSE(fs::exists(path));
    ASSERT_TRUE(defaults.setString("rc.key", "kept"));
    EXPECT_EQ(fs::status(path.parent_path()).permissions(), fs::perms::owner_all);
    EXPECT_EQ(defaults.setString("rc.key", "\xff\xfe"),
              tl::unexpected(std::make_error_code(std::errc::illegal_byte_sequence)));
    EXPECT_EQ(UserDefaults(path).string("rc.key"), "kept");
    ASSERT_TRUE(fs::remove(path));
    ASSERT_TRUE(defaults.setString("rc.key", "kept"));  // unchanged: nothing is written
    EXPECT_FALSE(fs::exists(path));
    // A failed write keeps the value in memory.
    writeText(dir / "blocker", "a regular file");
    LogCapture log;
    UserDefaults blocked(dir / "blocker" / "defaults.json");
    EXPECT_EQ(blocked.setBool(UserDefaults::latencyTraceKey, true),
              tl::unexpected(std::make_error_code(std::errc::not_a_directory)));
    EXPECT_EQ(blocked.boolean(UserDefaults::latencyTraceKey), true);
    EXPECT_TRUE(log.contains("Tarvel: failed to save defaults.json"));
}

TEST(UserDefaultsDamage, damagedFileIsReportedReadsEmptyAndIsKeptAsideBeforeTheFirstWrite) {
    for (const std::string damaged : {"not json", "[\"rc.padOutput\"]", ""}) {
        SCOPED_TRACE(damaged);
        TempDir dir;
        const fs::path path = dir / "defaults.json";
        writeText(path, damaged);
        LogCapture log;
        UserDefaults defaults(path);
        EXPECT_EQ(defaults.string(UserDefaults::padOutputKey), std::nullopt);
        ASSERT_EQ(log.lines().size(), 1u);
        EXPECT_EQ(log.lines().front().rfind("Tarvel: defaults.json could not be read (", 0), 0u);
        EXPECT_FALSE(fs::exists(dir / "defaults.corrupt.json"));
        ASSERT_TRUE(defaults.setBool(UserDefaults::loginItemPromptedKey, true));
        ASSERT_TRUE(defaults.setBool(UserDefaults::latencyTraceKey, true));
        EXPECT_EQ(readText(dir / "defaults.corrupt.json"), damaged);
        EXPECT_EQ(UserDefaults(path).boolean(UserDefaults::loginItemPromptedKey), true);
        EXPECT_EQ(log.lines().back(),
                  "Tarvel: defaults.json could not be read; kept a copy as defaults.corrupt.json");
        EXPECT_EQ(log.lines().size(), 2u);
    }
}

}  // namespace
}  // namespace tarvel::mapping
