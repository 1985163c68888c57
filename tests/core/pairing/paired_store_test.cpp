#include <gtest/gtest.h>

#include <sys/stat.h>

#include <fstream>
#include <sstream>

#include "core/base/atomic_file.hpp"
#include "core/pairing/paired_store.hpp"
#include "tests/fakes/log_capture.hpp"
#include "tests/fakes/temp_dir.hpp"

namespace tarvel::pairing {
namespace {

using namespace std::chrono_literals;
using testing::LogCapture;
using testing::TempDir;

PairedClientRecord clientRecord(const std::string& id, const std::string& name = "Phone") {
    return PairedClientRecord{id,         name,       "iPhone15,2",  std::string(64, 'a'),
                              1700000000, 1700000100, "192.168.1.20"};
}

PairedHostRecord hostRecord(const std::string& id, std::optional<std::string> deviceType = {}) {
    PairedHostRecord record;
    record.hostId = id;
    record.displayName = "Desk";
    record.osType = HostOSType::windows;
    record.ed25519PublicKeyHex = std::string(64, 'b');
    record.lanEndpoints = {"192.168.1.10:49182"};
    record.tailscaleEndpoints = {"100.101.102.103:49182", "[fd7a:115c:a1e0::5]:49182"};
    record.pairedAtUnix = 1700000000;
    record.lastConnectedUnix = 1700000200;
    record.deviceType = std::move(deviceType);
    return record;
}

std::string readText(const std::filesystem::path& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

void writeText(const std::filesystem::path& path, const std::string& text) {
    std::ofstream(path) << text;
}

std::vector<std::string> clientIds(const PairedStore& store) {
    std::vector<std::string> ids;
    for (const auto& record : store.clients()) {
        ids.push_back(record.clientId);
    }
    return ids;
}

TEST(PairedStore, persistsBothListsAcrossInstances) {
    TempDir dir;
    {
        PairedStore store(dir.path());
        store.upsertClient(clientRecord("c1"));
        store.upsertClient(clientRecord("c2"));
        store.upsertHost(hostRecord("h1", "laptop"));
        store.upsertHost(hostRecord("h2"));
    }
    PairedStore reopened(dir.path());
    EXPECT_EQ(clientIds(reopened), (std::vector<std::string>{"c1", "c2"}));
    EXPECT_EQ(reopened.client("c2"), clientRecord("c2"));
    ASSERT_EQ(reopened.hosts().size(), 2u);
    EXPECT_EQ(reopened.host("h1"), hostRecord("h1", "laptop"));
    EXPECT_EQ(reopened.host("h2"), hostRecord("h2"));
    EXPECT_EQ(reopened.host("H1"), std::nullopt);  // ids compare exactly
}

TEST(PairedStore, writesPrettyPrintedSortedKeysAndOmitsAbsentDeviceType) {
    TempDir dir;
    PairedStore store(dir.path());
    store.upsertClient(clientRecord("c1"));
    store.upsertHost(hostRecord("h1"));

    const std::string clients = readText(dir / "paired_devices.json");
    std::vector<std::string> order = {
        "clientId",     "deviceModel",  "deviceName",  "ed25519PublicKeyHex",
        "lastRemoteIp", "lastSeenUnix", "pairedAtUnix"};
    std::size_t last = 0;
    for (const auto& key : order) {
        const auto at = clients.find("\"" + key + "\"");
        ASSERT_NE(at, std::string::npos) << key;
        EXPECT_GT(at, last) << key;
        last = at;
    }
    EXPECT_NE(clients.find("\n    \"clientId\": \"c1\""), std::string::npos) << clients;

    const std::string hosts = readText(dir / "hosts.json");
    EXPECT_EQ(hosts.find("deviceType"), std::string::npos);
    EXPECT_EQ(hosts.find("null"), std::string::npos);
    EXPECT_LT(hosts.find("\"displayName\""), hosts.find("\"ed25519PublicKeyHex\""));
    EXPECT_LT(hosts.find("\"osType\": \"windows\""), hosts.find("\"pairedAtUnix\""));

    struct stat info {};
    ASSERT_EQ(::stat((dir / "paired_devices.json").c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);
}

TEST(PairedStore, upsertReplacesInPlaceAndAppendsNewIds) {
    PairedStore store(std::nullopt);
    store.upsertClient(clientRecord("a"));
    store.upsertClient(clientRecord("b"));
    store.upsertClient(clientRecord("c"));
    store.upsertClient(clientRecord("b", "Renamed"));
    EXPECT_EQ(clientIds(store), (std::vector<std::string>{"a", "b", "c"}));
    EXPECT_EQ(store.client("b")->deviceName, "Renamed");
    store.upsertClient(clientRecord("d"));
    EXPECT_EQ(clientIds(store).back(), "d");
}

TEST(PairedStore, removeDropsEveryDuplicateAndStillRewritesTheFile) {
    TempDir dir;
    writeText(dir / "paired_devices.json", "[" + clientRecord("x").toJSON().dump() + "," +
                                               clientRecord("y").toJSON().dump() + "," +
                                               clientRecord("x", "Second").toJSON().dump() + "]");
    PairedStore store(dir.path());
    EXPECT_EQ(store.client("x")->deviceName, "Phone");  // the first of the two
    EXPECT_TRUE(store.removeClient("x"));
    EXPECT_EQ(clientIds(store), (std::vector<std::string>{"y"}));
    EXPECT_EQ(clientIds(PairedStore(dir.path())), (std::vector<std::string>{"y"}));

    std::filesystem::remove(dir / "paired_devices.json");
    EXPECT_FALSE(store.removeClient("unknown"));
    EXPECT_TRUE(std::filesystem::exists(dir / "paired_devices.json"));
    EXPECT_EQ(clientIds(store), (std::vector<std::string>{"y"}));
}

TEST(PairedStore, touchUpdatesTimeAndOnlyANonEmptyAddress) {
    TempDir dir;
    PairedStore store(dir.path());
    store.upsertClient(clientRecord("c1"));
    const auto at = [](std::int64_t seconds, std::chrono::milliseconds extra) {
        return std::chrono::system_clock::time_point(std::chrono::seconds(seconds)) + extra;
    };

    store.touchClient("c1", at(1800000000, 900ms), std::nullopt);
    EXPECT_EQ(store.client("c1")->lastSeenUnix, 1800000000);  // fraction dropped
    EXPECT_EQ(store.client("c1")->lastRemoteIp, "192.168.1.20");

    store.touchClient("c1", at(1800000005, 0ms), std::string());
    EXPECT_EQ(store.client("c1")->lastRemoteIp, "192.168.1.20");

    store.touchClient("c1", at(1800000009, 0ms), std::string("fe80::1"));
    EXPECT_EQ(store.client("c1")->lastRemoteIp, "fe80::1");
    EXPECT_EQ(PairedStore(dir.path()).client("c1")->lastSeenUnix, 1800000009);

    std::filesystem::remove(dir / "paired_devices.json");
    store.touchClient("nobody", at(1900000000, 0ms), std::string("10.0.0.1"));
    EXPECT_FALSE(std::filesystem::exists(dir / "paired_devices.json"));  // nothing written
}

TEST(PairedStore, memoryOnlyStoreWorksAndCreatesNothing) {
    PairedStore store(std::nullopt);
    store.upsertHost(hostRecord("h"));
    store.upsertClient(clientRecord("c"));
    store.touchClient("c", std::chrono::system_clock::time_point(std::chrono::seconds(5)),
                      std::string("10.0.0.9"));
    EXPECT_EQ(store.client("c")->lastSeenUnix, 5);
    EXPECT_TRUE(store.removeHost("h"));
    EXPECT_TRUE(store.hosts().empty());
}

TEST(PairedStore, unreadableFileIsKeptAsideAndTheOtherFileStillLoads) {
    TempDir dir;
    {
        PairedStore store(dir.path());
        store.upsertClient(clientRecord("c1"));
    }
    auto badHost = hostRecord("h1").toJSON();
    badHost["osType"] = "linux";
    const std::string damaged = "[" + badHost.dump() + "]";
    writeText(dir / "hosts.json", damaged);

    LogCapture log;
    PairedStore store(dir.path());
    EXPECT_TRUE(store.hosts().empty());
    EXPECT_EQ(clientIds(store), (std::vector<std::string>{"c1"}));
    EXPECT_FALSE(std::filesystem::exists(dir / "hosts.json.corrupt"));  // untouched until a write

    store.upsertHost(hostRecord("h2"));
    EXPECT_EQ(readText(dir / "hosts.json.corrupt"), damaged);
    EXPECT_TRUE(
        log.contains("Tarvel: hosts.json could not be read; kept a copy as hosts.json.corrupt"));
    EXPECT_EQ(PairedStore(dir.path()).host("h2"), hostRecord("h2"));

    // Only the first write after the load makes the copy.
    store.upsertHost(hostRecord("h3"));
    EXPECT_EQ(readText(dir / "hosts.json.corrupt"), damaged);
}

TEST(PairedStore, filesWithMissingKeysOrWrongTypesReadAsEmpty) {
    const std::vector<std::string> damaged = {
        "not json",
        "{}",
        R"([{"clientId":"c"}])",
        R"([{"clientId":"c","deviceModel":"m","deviceName":"n","ed25519PublicKeyHex":"k",)"
        R"("lastRemoteIp":"i","lastSeenUnix":"1","pairedAtUnix":1}])",
    };
    for (const auto& text : damaged) {
        TempDir dir;
        writeText(dir / "paired_devices.json", text);
        EXPECT_TRUE(PairedStore(dir.path()).clients().empty()) << text;
    }
    TempDir dir;  // unknown keys are fine, key order and spacing are free
    writeText(
        dir / "paired_devices.json",
        R"([ {"pairedAtUnix":1, "lastSeenUnix":2, "lastRemoteIp":"i", "extra":[1],)"
        R"( "ed25519PublicKeyHex":"k", "deviceName":"n", "deviceModel":"m", "clientId":"c"} ])");
    EXPECT_EQ(PairedStore(dir.path()).client("c")->lastSeenUnix, 2);
}

TEST(PairedStore, unwritableFolderLogsAndKeepsTheChangeInMemory) {
    TempDir dir;
    writeText(dir / "blocker", "a file where a folder should be");
    LogCapture log;
    PairedStore store(dir / "blocker" / "Tarvel");
    store.upsertClient(clientRecord("c1"));
    EXPECT_TRUE(store.client("c1").has_value());
    EXPECT_TRUE(store.removeClient("c1"));  // still reports the removal
    ASSERT_FALSE(log.lines().empty());
    EXPECT_EQ(log.lines().front().rfind("Tarvel: failed to persist paired_devices.json: ", 0), 0u)
        << log.lines().front();
}

TEST(PairedStore, defaultDirectoryFollowsOverrideThenXDGThenHome) {
    auto env = [](std::map<std::string, std::string> vars) {
        return [vars](std::string_view name) -> std::optional<std::string> {
            auto it = vars.find(std::string(name));
            return it == vars.end() ? std::nullopt : std::optional<std::string>(it->second);
        };
    };
    EXPECT_EQ(PairedStore::defaultDirectory(env({{"TVL_DATA_DIR", "/srv/t"}, {"HOME", "/home/u"}})),
              "/srv/t");
    EXPECT_EQ(PairedStore::defaultDirectory(env({{"TVL_DATA_DIR", ""}, {"XDG_DATA_HOME", "/x"}})),
              "/x/Tarvel");
    EXPECT_EQ(
        PairedStore::defaultDirectory(env({{"XDG_DATA_HOME", "relative"}, {"HOME", "/home/u"}})),
        "/home/u/.local/share/Tarvel");
    EXPECT_EQ(PairedStore::defaultDirectory(env({})).filename(), "Tarvel");
}

TEST(HostDeviceKind, lenientReadingFallsBackToDesktop) {
    EXPECT_EQ(hostDeviceKindFromWire(std::nullopt), HostDeviceKind::desktop);
    EXPECT_EQ(hostDeviceKindFromWire(std::string("fridge")), HostDeviceKind::desktop);
    EXPECT_EQ(hostDeviceKindFromWire(std::string("Tablet")), HostDeviceKind::desktop);
    EXPECT_EQ(hostDeviceKindFromWire(std::string("tablet")), HostDeviceKind::tablet);
    EXPECT_EQ(hostDeviceKind("laptop"), HostDeviceKind::laptop);
    EXPECT_EQ(hostDeviceKind("LAPTOP"), std::nullopt);
    EXPECT_EQ(hostOSType("windows"), HostOSType::windows);
    EXPECT_EQ(hostOSType("linux"), std::nullopt);
}

}  // namespace
}  // namespace tarvel::pairing
