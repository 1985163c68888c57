#include "host/mapping/user_defaults.hpp"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <thread>
#include <vector>

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

mode_t permissions(const fs::path& path) {
    struct stat info {};
    EXPECT_EQ(::stat(path.c_str(), &info), 0) << path;
    return info.st_mode & 0777;
}

TEST(UserDefaultsStorage, valuesSurviveAReopenAndKeepTheirTypes) {
    TempDir dir;
    const fs::path path = dir / "config" / "Tarvel" / "defaults.json";
    {
        UserDefaults defaults(path);
        EXPECT_EQ(defaults.string(UserDefaults::padOutputKey), std::nullopt);
        ASSERT_TRUE(defaults.setString(UserDefaults::padOutputKey, "arrows"));
        ASSERT_TRUE(defaults.setBool(UserDefaults::loginItemPromptedKey, true));
        ASSERT_TRUE(defaults.setBool(UserDefaults::latencyTraceKey, false));
    }
    EXPECT_EQ(permissions(path), 0600);
    EXPECT_EQ(permissions(path.parent_path()), 0700);
    UserDefaults reopened(path);
    EXPECT_EQ(reopened.string(UserDefaults::padOutputKey), "arrows");
    EXPECT_EQ(reopened.boolean(UserDefaults::loginItemPromptedKey), true);
    EXPECT_EQ(reopened.boolean(UserDefaults::latencyTraceKey), false);
    // A value of another type reads as absent.
    EXPECT_EQ(reopened.boolean(UserDefaults::padOutputKey), std::nullopt);
    EXPECT_EQ(reopened.string(UserDefaults::latencyTraceKey), std::nullopt);

    ASSERT_TRUE(reopened.remove(UserDefaults::padOutputKey));
    EXPECT_EQ(UserDefaults(path).string(UserDefaults::padOutputKey), std::nullopt);
    EXPECT_EQ(UserDefaults(path).boolean(UserDefaults::loginItemPromptedKey), true);
}

TEST(UserDefaultsStorage, unknownMembersAreKeptOnRewrite) {
    TempDir dir;
    const fs::path path = dir / "defaults.json";
    writeText(path, R"({"other": [1, 2], "rc.padOutput": "dualKeys"})");
    UserDefaults defaults(path);
    EXPECT_EQ(defaults.string(UserDefaults::padOutputKey), "dualKeys");
    ASSERT_TRUE(defaults.remove(UserDefaults::padOutputKey));
    const auto json = wire::JSON::parse(readText(path));
    EXPECT_EQ(json, wire::JSON::parse(R"({"other": [1, 2]})"));
}

TEST(UserDefaultsStorage, unchangedValuesAndAbsentKeysWriteNothing) {
    TempDir dir;
    const fs::path path = dir / "defaults.json";
    UserDefaults defaults(path);
    ASSERT_TRUE(defaults.remove("rc.absent"));
    EXPECT_FALSE(fs::exists(path));
    ASSERT_TRUE(defaults.setString("rc.key", "value"));
    ASSERT_TRUE(fs::remove(path));
    ASSERT_TRUE(defaults.setString("rc.key", "value"));
    EXPECT_FALSE(fs::exists(path));
    ASSERT_TRUE(defaults.setString("rc.key", "other"));
    EXPECT_TRUE(fs::exists(path));
}

TEST(UserDefaultsStorage, textThatIsNotUTF8IsRefused) {
    TempDir dir;
    UserDefaults defaults(dir / "defaults.json");
    ASSERT_TRUE(defaults.setString("rc.key", "kept"));
    const auto result = defaults.setString("rc.key", "\xff\xfe");
    ASSERT_FALSE(result);
    EXPECT_EQ(result.error(), std::errc::illegal_byte_sequence);
    EXPECT_EQ(defaults.string("rc.key"), "kept");
    EXPECT_EQ(UserDefaults(dir / "defaults.json").string("rc.key"), "kept");
}

TEST(UserDefaultsStorage, failedWriteKeepsTheValueInMemoryAndIsReported) {
    TempDir dir;
    writeText(dir / "blocker", "a regular file");
    LogCapture log;
    UserDefaults defaults(dir / "blocker" / "defaults.json");
    const auto result = defaults.setBool(UserDefaults::latencyTraceKey, true);
    ASSERT_FALSE(result);
    EXPECT_EQ(result.error(), std::errc::not_a_directory);
    EXPECT_EQ(defaults.boolean(UserDefaults::latencyTraceKey), true);
    EXPECT_TRUE(log.contains("Tarvel: failed to save defaults.json"));
}

TEST(UserDefaultsStorage, concurrentWritersLoseNothing) {
    TempDir dir;
    const fs::path path = dir / "defaults.json";
    UserDefaults defaults(path);
    std::vector<std::thread> writers;
    for (int t = 0; t < 4; ++t) {
        writers.emplace_back([&defaults, t] {
            for (int i = 0; i < 10; ++i) {
                (void)defaults.setBool("rc.t" + std::to_string(t) + "." + std::to_string(i), true);
            }
        });
    }
    for (auto& writer : writers) {
        writer.join();
    }
    UserDefaults reopened(path);
    for (int t = 0; t < 4; ++t) {
        for (int i = 0; i < 10; ++i) {
            EXPECT_EQ(reopened.boolean("rc.t" + std::to_string(t) + "." + std::to_string(i)), true);
        }
    }
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
        EXPECT_NE(log.lines().front().find(
                      "using no saved settings; the file will be kept as defaults.corrupt.json"),
                  std::string::npos);
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

TEST(UserDefaultsPath, isInTheConfigFolder) {
    const auto path = UserDefaults::defaultPath([](std::string_view name) {
        return name == "XDG_CONFIG_HOME" ? std::optional<std::string>("/cfg") : std::nullopt;
    });
    EXPECT_EQ(path, "/cfg/Tarvel/defaults.json");
}

}  // namespace
}  // namespace tarvel::mapping
