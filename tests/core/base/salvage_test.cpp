#include "core/base/salvage.hpp"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "core/base/atomic_file.hpp"
#include "tests/fakes/log_capture.hpp"
#include "tests/fakes/temp_dir.hpp"

namespace tarvel::base {
namespace {

namespace fs = std::filesystem;
using testing::LogCapture;
using testing::TempDir;

std::string readText(const fs::path& path) {
    std::stringstream text;
    text << std::ifstream(path).rdbuf();
    return text.str();
}

std::vector<std::uint8_t> bytesOf(std::string_view text) {
    return {text.begin(), text.end()};
}

TEST(Salvage, copyNameKeepsTheExtensionLast) {
    EXPECT_EQ(corruptCopyPath("/d/paired_devices.json"), "/d/paired_devices.corrupt.json");
    EXPECT_EQ(corruptCopyPath("hosts.json"), "hosts.corrupt.json");
    EXPECT_EQ(corruptCopyPath("/d/device-id"), "/d/device-id.corrupt");
}

TEST(Salvage, fileThatCannotBeCopiedIsLeftAloneAndStaysPending) {
    TempDir dir;
    const auto file = dir / "hosts.json";
    std::ofstream(file) << "damaged";
    // A folder that is not empty can be neither removed nor replaced by the copy.
    fs::create_directories(dir / "hosts.corrupt.json" / "inner");
    LogCapture log;
    bool unreadable = true;
    EXPECT_FALSE(replaceKeepingUnreadable(file, bytesOf("[]"), 0600, unreadable));
    EXPECT_TRUE(unreadable);
    EXPECT_EQ(readText(file), "damaged");
    EXPECT_TRUE(log.contains("hosts.json could not be read and no copy of it could be kept"));

    fs::remove(file);  // gone meanwhile: nothing left to keep
    ASSERT_TRUE(replaceKeepingUnreadable(file, bytesOf("[]"), 0600, unreadable));
    EXPECT_FALSE(unreadable);
    EXPECT_EQ(readText(file), "[]");
}

}  // namespace
}  // namespace tarvel::base
