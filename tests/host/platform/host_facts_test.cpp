#include <gtest/gtest.h>
#include <sys/utsname.h>

#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <utility>

#include "host/platform/host_facts.hpp"
#include "tests/fakes/temp_dir.hpp"

namespace tarvel::platform {
namespace {

namespace fs = std::filesystem;

void writeFile(const fs::path& path, const std::string& contents) {
    fs::create_directories(path.parent_path());
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << contents;
}

TEST(ShellAssignment, readsValuesAsSystemdDoes) {
    const std::pair<std::string, std::optional<std::string>> rows[] = {
        // Double quotes: only \" \\ \$ \` are escapes.
        {R"(K="Ann\"s \\ \$HOME \`x\` box")", R"(Ann"s \ $HOME `x` box)"},
        {R"(K="a\nb")", R"(a\nb)"},
        // Single quotes: literal.
        {R"(K='Ann\"s  box ')", R"(Ann\"s  box )"},
        // Bare: backslashes escape, trailing blanks go, a line may continue.
        {"K=Work\\ Station \t \nX=1", "Work Station"},
        {"K=  My Box\\ \n", "My Box "},
        {"K=Long\\\nName\n", "LongName"},
        // Parts join; a quoted newline stays.
        {R"(K="Ann's "'big'\ box)", "Ann's big box"},
        {"K=\"two\nlines\"\nL=x", "two\nlines"},
        // The last assignment wins, but one with an open quote is ignored.
        {"K=one\nK=two\n", "two"},
        {"K=one\nK=\"two\nOTHER=x\n", "one"},
        {"K='open", std::nullopt},
        // Comments, blank lines, other keys, spaces around '=' and CRLF.
        {"# K=Commented\n\n   ; K=Also\nnot an assignment\nI=x\n  K = \"Ann's Box\"\r\nC=y\n",
         "Ann's Box"},
        {"KEY=1\nOTHER=2\n", std::nullopt},
    };
    for (const auto& [text, expected] : rows) {
        EXPECT_EQ(shellAssignment(text, "K"), expected) << text;
    }
    EXPECT_EQ(shellAssignment("K=\"two\nlines\"\nL=x", "L"), "x");
}

TEST(LinuxHostFacts, hostNameIsThePrettyNameElseTheKernelNameElseTheFallback) {
    testing::TempDir root;
    const auto machineInfo = root / "etc" / "machine-info";
    auto hostName = [&](std::optional<std::string> kernel) {
        return LinuxHostFacts(root.path(), [kernel] { return kernel; }).hostName();
    };
    EXPECT_EQ(hostName("kernel-name"), "kernel-name");  // no machine-info at all
    for (const char* blank : {"PRETTY_HOSTNAME=\n", "PRETTY_HOSTNAME=\"  \"\n", "ICON_NAME=x\n"}) {
        writeFile(machineInfo, blank);
        EXPECT_EQ(hostName("kernel-name"), "kernel-name") << blank;
        EXPECT_EQ(hostName(std::nullopt), fallbackHostName) << blank;
        EXPECT_EQ(hostName(""), fallbackHostName) << blank;
    }
    EXPECT_EQ(LinuxHostFacts(root.path(), nullptr).hostName(), fallbackHostName);

    // Read afresh on every call, so a rename shows up.
    LinuxHostFacts facts(root.path(), [] { return std::optional<std::string>("k"); });
    writeFile(machineInfo, "# by the desktop\nPRETTY_HOSTNAME=\"Ann\\\"s Box\"\nICON_NAME=pc\n");
    EXPECT_EQ(facts.hostName(), "Ann\"s Box");
    writeFile(machineInfo, "PRETTY_HOSTNAME=After\n");
    EXPECT_EQ(facts.hostName(), "After");
}

TEST(LinuxHostFacts, systemHostnameIsTheKernelNodeName) {
    utsname names{};
    ASSERT_EQ(::uname(&names), 0);
    EXPECT_EQ(LinuxHostFacts::systemHostname()(), std::optional<std::string>(names.nodename));
}

TEST(LinuxHostFacts, onlyABatteryThatPowersTheSystemMakesALaptop) {
    struct Supply {
        std::string name, type;
        std::optional<std::string> scope;
    };
    const std::pair<std::vector<Supply>, std::string> rows[] = {
        {{}, "desktop"},
        {{{"AC", "Mains", {}}, {"BAT0", "Battery", {}}}, "laptop"},
        {{{"BAT1", "Battery", "System"}}, "laptop"},
        {{{"BAT1", "Battery", "Unknown"}}, "laptop"},
        {{{"AC", "Mains", {}}, {"hidpp_battery_0", "Battery", "Device"}}, "desktop"},
        {{{"hidpp_battery_0", "Battery", "Device"}, {"BAT0", "Battery", "System"}}, "laptop"},
        {{{"AC", "Mains", {}}, {"ups", "UPS", {}}}, "desktop"},
    };
    for (const auto& [supplies, kind] : rows) {
        testing::TempDir root;
        const auto folder = root / "sys" / "class" / "power_supply";
        fs::create_directories(folder);
        for (const auto& supply : supplies) {
            // Written as sysfs shows them: one value and a line break.
            writeFile(folder / supply.name / "type", supply.type + "\n");
            if (supply.scope) {
                writeFile(folder / supply.name / "scope", *supply.scope + "\n");
            }
        }
        EXPECT_EQ(LinuxHostFacts(root.path(), nullptr).deviceKind(), kind)
            << supplies.size() << " supplies";
    }
    testing::TempDir empty;
    EXPECT_EQ(LinuxHostFacts(empty.path(), nullptr).deviceKind(), "desktop");
}

TEST(LinuxHostFacts, followsSymlinkedSupplyEntriesAsSysfsHasThem) {
    testing::TempDir root;
    const fs::path device = root / "sys" / "devices" / "acpi" / "PNP0C0A:00" / "BAT0";
    writeFile(device / "type", "Battery\n");
    const fs::path folder = root / "sys" / "class" / "power_supply";
    fs::create_directories(folder);
    fs::create_directory_symlink(device, folder / "BAT0");
    EXPECT_EQ(LinuxHostFacts(root.path(), nullptr).deviceKind(), "laptop");
}

}  // namespace
}  // namespace tarvel::platform
