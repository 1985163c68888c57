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

LinuxHostFacts::HostnameReader kernelName(std::optional<std::string> name) {
    return [name] { return name; };
}

// ---- shell-style assignments ----

TEST(ShellAssignment, unquotesDoubleQuotesAndKeepsUnknownEscapes) {
    EXPECT_EQ(shellAssignment(R"(K="Ann\"s \\ \$HOME \`x\` box")", "K"),
              R"(Ann"s \ $HOME `x` box)");
    EXPECT_EQ(shellAssignment(R"(K="a\nb")", "K"), R"(a\nb)");
}

TEST(ShellAssignment, takesSingleQuotedTextLiterally) {
    EXPECT_EQ(shellAssignment(R"(K='Ann\"s  box ')", "K"), R"(Ann\"s  box )");
}

TEST(ShellAssignment, bareValueHonoursBackslashesAndDropsTrailingBlanks) {
    EXPECT_EQ(shellAssignment("K=Work\\ Station \t \nX=1", "K"), "Work Station");
    EXPECT_EQ(shellAssignment("K=  My Box\\ \n", "K"), "My Box ");
    EXPECT_EQ(shellAssignment("K=Long\\\nName\n", "K"), "LongName");
}

TEST(ShellAssignment, joinsQuotedAndBareParts) {
    EXPECT_EQ(shellAssignment(R"(K="Ann's "'big'\ box)", "K"), "Ann's big box");
}

TEST(ShellAssignment, skipsCommentsBlankLinesAndOtherKeys) {
    const std::string text =
        "# PRETTY_HOSTNAME=Commented\n"
        "\n"
        "   ; PRETTY_HOSTNAME=Also commented\n"
        "not an assignment\n"
        "ICON_NAME=computer-laptop\n"
        "  PRETTY_HOSTNAME = \"Ann's Box\"\r\n"
        "CHASSIS=laptop\n";
    EXPECT_EQ(shellAssignment(text, "PRETTY_HOSTNAME"), "Ann's Box");
    EXPECT_EQ(shellAssignment(text, "CHASSIS"), "laptop");
    EXPECT_EQ(shellAssignment(text, "DEPLOYMENT"), std::nullopt);
}

TEST(ShellAssignment, lastAssignmentWinsAndAnOpenQuoteIsIgnored) {
    EXPECT_EQ(shellAssignment("K=one\nK=two\n", "K"), "two");
    EXPECT_EQ(shellAssignment("K=one\nK=\"two\nOTHER=x\n", "K"), "one");
    EXPECT_EQ(shellAssignment("K='open", "K"), std::nullopt);
}

TEST(ShellAssignment, quotedNewlineStaysInTheValue) {
    EXPECT_EQ(shellAssignment("K=\"two\nlines\"\nL=x", "K"), "two\nlines");
    EXPECT_EQ(shellAssignment("K=\"two\nlines\"\nL=x", "L"), "x");
}

// ---- host name ----

class HostNameTest : public ::testing::Test {
  protected:
    void machineInfo(const std::string& contents) {
        writeFile(root.path() / "etc" / "machine-info", contents);
    }
    std::string hostName(std::optional<std::string> kernel = "kernel-name") {
        return LinuxHostFacts(root.path(), kernelName(std::move(kernel))).hostName();
    }

    testing::TempDir root;
};

TEST_F(HostNameTest, prettyHostnameComesFirst) {
    machineInfo("# set by the desktop\nPRETTY_HOSTNAME=\"Ann\\\"s MacBook\"\nICON_NAME=computer\n");
    EXPECT_EQ(hostName(), "Ann\"s MacBook");
}

TEST_F(HostNameTest, emptyOrBlankPrettyHostnameFallsBackToKernelName) {
    machineInfo("PRETTY_HOSTNAME=\n");
    EXPECT_EQ(hostName(), "kernel-name");
    machineInfo("PRETTY_HOSTNAME=\"  \"\n");
    EXPECT_EQ(hostName(), "kernel-name");
    machineInfo("ICON_NAME=computer\n");
    EXPECT_EQ(hostName(), "kernel-name");
}

TEST_F(HostNameTest, missingMachineInfoFallsBackToKernelName) {
    EXPECT_EQ(hostName(), "kernel-name");
}

TEST_F(HostNameTest, failingOrEmptyKernelNameGivesTheFallbackText) {
    EXPECT_EQ(hostName(std::nullopt), "Mac");
    EXPECT_EQ(hostName(""), "Mac");
    machineInfo("PRETTY_HOSTNAME=''\n");
    EXPECT_EQ(hostName(std::nullopt), "Mac");
    EXPECT_EQ(LinuxHostFacts(root.path(), nullptr).hostName(), "Mac");
}

TEST_F(HostNameTest, renameIsSeenOnTheNextCall) {
    LinuxHostFacts facts(root.path(), kernelName("kernel-name"));
    machineInfo("PRETTY_HOSTNAME=Before\n");
    EXPECT_EQ(facts.hostName(), "Before");
    machineInfo("PRETTY_HOSTNAME=After\n");
    EXPECT_EQ(facts.hostName(), "After");
}

TEST(SystemHostname, matchesTheKernelNodeName) {
    utsname names{};
    ASSERT_EQ(::uname(&names), 0);
    EXPECT_EQ(LinuxHostFacts::systemHostname()(), std::optional<std::string>(names.nodename));
}

// ---- device kind ----

class DeviceKindTest : public ::testing::Test {
  protected:
    fs::path supplies() const { return root.path() / "sys" / "class" / "power_supply"; }

    // Written as sysfs shows them: one value and a line break.
    void supply(const std::string& name, const std::string& type,
                std::optional<std::string> scope = std::nullopt) {
        writeFile(supplies() / name / "type", type + "\n");
        if (scope) {
            writeFile(supplies() / name / "scope", *scope + "\n");
        }
    }
    std::string deviceKind() { return LinuxHostFacts(root.path(), nullptr).deviceKind(); }

    testing::TempDir root;
};

TEST_F(DeviceKindTest, systemBatteryMakesALaptop) {
    supply("AC", "Mains");
    supply("BAT0", "Battery");
    EXPECT_EQ(deviceKind(), "laptop");
}

TEST_F(DeviceKindTest, batteryWithSystemOrUnknownScopeMakesALaptop) {
    supply("BAT1", "Battery", "System");
    EXPECT_EQ(deviceKind(), "laptop");
    fs::remove_all(supplies());
    supply("BAT1", "Battery", "Unknown");
    EXPECT_EQ(deviceKind(), "laptop");
}

TEST_F(DeviceKindTest, peripheralBatteriesAloneLeaveADesktop) {
    supply("AC", "Mains");
    supply("hidpp_battery_0", "Battery", "Device");
    supply("ps-controller-battery-00:11:22:33:44:55", "Battery", "Device");
    EXPECT_EQ(deviceKind(), "desktop");
}

TEST_F(DeviceKindTest, systemBatteryCountsBesideAPeripheralOne) {
    supply("hidpp_battery_0", "Battery", "Device");
    supply("BAT0", "Battery", "System");
    EXPECT_EQ(deviceKind(), "laptop");
}

TEST_F(DeviceKindTest, mainsOrUpsOnlyIsADesktop) {
    supply("AC", "Mains");
    supply("ups", "UPS");
    EXPECT_EQ(deviceKind(), "desktop");
}

TEST_F(DeviceKindTest, missingOrEmptyFolderIsADesktop) {
    EXPECT_EQ(deviceKind(), "desktop");
    fs::create_directories(supplies());
    EXPECT_EQ(deviceKind(), "desktop");
}

TEST_F(DeviceKindTest, followsSymlinkedEntriesAsSysfsHasThem) {
    const fs::path device = root.path() / "sys" / "devices" / "acpi" / "PNP0C0A:00" / "BAT0";
    writeFile(device / "type", "Battery\n");
    fs::create_directories(supplies());
    fs::create_directory_symlink(device, supplies() / "BAT0");
    EXPECT_EQ(deviceKind(), "laptop");
}

// ---- activity ----

TEST(LinuxHostFactsActivity, countsBeginsAndEnds) {
    testing::TempDir root;
    LinuxHostFacts facts(root.path(), nullptr);
    facts.beginActivity("Controlling this computer from a paired device");
    facts.endActivity();
    facts.beginActivity("again");
    EXPECT_EQ(facts.activitiesBegun(), 2u);
    EXPECT_EQ(facts.activitiesEnded(), 1u);
}

}  // namespace
}  // namespace tarvel::platform
