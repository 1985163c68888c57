#include <gtest/gtest.h>
#include <array>
#include <filesystem>
#include <fstream>
#include "host/platform/host_facts.hpp"
#include "tests/fakes/temp_dir.hpp"

namespace tarvel::platform {
namespace {
namespace fs = std::filesystem;

void writeFile(const fs::path& path, const std::string& contents) {
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary | std::ios::trunc) << contents;
}

TEST(ShellAssignment, readsValuesAsSystemdDoes) {
    const std::pair<std::string, std::optional<std::string>> rows[] = {
        // Double quotes: only \" \\ \$ \` are escapes.
        {R"(K="Ann\"s \\ \$HOME \`x\` box \n")", R"(Ann"s \ $HOME `x` box \n)"},
        {R"(K='Ann\"s  box ')", R"(Ann\"s  box )"},  // single quotes: literal
        // Bare: backslashes escape, trailing blanks go, a line may continue.
        {"K=  Work\\ Station\\  \t \nX=1", "Work Station "},
        {"K=Long\\\nName\n", "LongName"},
        {"K=\"Ann's \"'big'\\ box\"\ntwo\"\nL=x", "Ann's big box\ntwo"},  // parts join
        // The last assignment wins, but one with an open quote is ignored.
        {"K=zero\nK=one\nK=\"two\nOTHER=x\n", "one"},
        {"K='open", std::nullopt},
        {"# K=Commented\n\n   ; K=Also\nnot an assignment\n  K = \"Ann's Box\"\r\nKEY=x\n",
         "Ann's Box"},
    };
    for (const auto& [text, expected] : rows) {
        EXPECT_EQ(shellAssignment(text, "K"), expected) << text;
    }
    EXPECT_EQ(shellAssignment("K=\"two\nlines\"\nL=x", "L"), "x");
}

TEST(LinuxHostFacts, hostNameIsThePrettyNameElseTheKernelNameElseTheFallbackReadEachTime) {
    testing::TempDir root;
    std::optional<std::string> kernel = "kernel-name";
    LinuxHostFacts facts(root.path(), [&kernel] { return kernel; });
    EXPECT_EQ(facts.hostName(), "kernel-name");  // no machine-info at all
    writeFile(root / "etc" / "machine-info", "# by the desktop\nPRETTY_HOSTNAME=\"Ann\\\"s\"\n");
    EXPECT_EQ(facts.hostName(), "Ann\"s");
    writeFile(root / "etc" / "machine-info", "PRETTY_HOSTNAME=\"  \"\nICON_NAME=x\n");
    EXPECT_EQ(facts.hostName(), "kernel-name");
    kernel = std::nullopt;
    EXPECT_EQ(facts.hostName(), fallbackHostName);
    EXPECT_EQ(LinuxHostFacts(root.path(), nullptr).hostName(), fallbackHostName);
    EXPECT_EQ(facts.deviceKind(), "desktop");  // no power_supply folder at all
}

TEST(LinuxHostFacts, onlyABatteryThatPowersTheSystemMakesALaptop) {
    // Linked in as sysfs has them: name, type and scope (empty: no file), each with a newline.
    using Supply = std::array<std::string, 3>;
    const std::pair<std::vector<Supply>, std::string> rows[] = {
        {{{"AC", "Mains", ""}, {"BAT0", "Battery", ""}}, "laptop"},
        {{{"BAT1", "Battery", "Unknown"}}, "laptop"},
        {{{"AC", "Mains", ""}, {"hidpp_battery_0", "Battery", "Device"}}, "desktop"},
        {{{"hidpp_battery_0", "Battery", "Device"}, {"BAT0", "Battery", "System"}}, "laptop"},
    };
    for (const auto& [supplies, kind] : rows) {
        testing::TempDir root;
        const auto folder = root / "sys" / "class" / "power_supply";
        fs::create_directories(folder);
        for (const auto& [name, type, scope] : supplies) {
            const auto device = root / "sys" / "devices" / name;
            writeFile(device / "type", type + "\n");
            if (!scope.empty()) writeFile(device / "scope", scope + "\n");
            fs::create_directory_symlink(device, folder / name);
        }
        EXPECT_EQ(LinuxHostFacts(root.path(), nullptr).deviceKind(), kind) << supplies.size();
    }
}

}  // namespace
}  // namespace tarvel::platform
