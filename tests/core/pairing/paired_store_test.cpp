#include "core/pairing/paired_store.hpp"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

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
    const std::vector<std::string> lan(1, "192.168.1.10:49182");
    const std::vector<std::string> tailnet{"100.101.102.103:49182", "[fd7a:115c:a1e0::5]:49182"};
    return {id,      "Desk",     HostOSType::windows, std::string(64, 'b'), lan,
            tailnet, 1700000000, 1700000200,          std::move(deviceType)};
}

std::string readText(const std::filesystem::path& path) {
    return (std::stringstream() << std::ifstream(path).rdbuf()).str();
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

TEST(PairedStore, persistsBothListsWithSortedKeysAndUpsertsInPlace) {
    TempDir dir;
    {
        PairedStore store(dir.path());
        for (const char* id : {"c1", "c2", "c3"}) {
            store.upsertClient(clientRecord(id));
        }
        store.upsertClient(clientRecord("c2", "Renamed"));
        store.upsertHost(hostRecord("h1", "laptop"));
        store.upsertHost(hostRecord("h2"));
    }
    PairedStore reopened(dir.path());
    EXPECT_EQ(clientIds(reopened), (std::vector<std::string>{"c1", "c2", "c3"}));
    EXPECT_EQ(reopened.client("c2"), clientRecord("c2", "Renamed"));
    EXPECT_EQ(reopened.host("h1"), hostRecord("h1", "laptop"));
    EXPECT_EQ(reopened.host("h2"), hostRecord("h2"));
    EXPECT_EQ(reopened.host("H1"), std::nullopt);  // ids compare exactly
    const std::string clients = readText(dir / "paired_devices.json");
    EXPECT_LT(clients.find("\"clientId\""), clients.find("\"deviceModel\""));
    // An absent deviceType is left out, not written as null.
    EXPECT_EQ(readText(dir / "hosts.json").find("null"), std::string::npos);
    EXPECT_EQ(std::filesystem::status(dir / "paired_devices.json").permissions(),
              std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
}

TEST(PairedStore, removeDropsEveryDuplicateAndTouchChangesOnlyTimeAndANonEmptyAddress) {
    TempDir dir;
    writeText(dir / "paired_devices.json", "[" + clientRecord("x").toJSON().dump() + "," +
                                               clientRecord("y").toJSON().dump() + "," +
                                               clientRecord("x", "Second").toJSON().dump() + "]");
    PairedStore store(dir.path());
    EXPECT_EQ(store.client("x")->deviceName, "Phone");  // the first of the two
    EXPECT_TRUE(store.removeClient("x"));
    EXPECT_EQ(clientIds(PairedStore(dir.path())), (std::vector<std::string>{"y"}));
    using At = std::chrono::system_clock::time_point;
    store.touchClient("y", At(1800000000s) + 900ms, std::string());
    EXPECT_EQ(store.client("y")->lastSeenUnix, 1800000000);  // fraction dropped
    EXPECT_EQ(store.client("y")->lastRemoteIp, "192.168.1.20");
    store.touchClient("y", At(1800000009s), std::string("fe80::1"));
    EXPECT_EQ(PairedStore(dir.path()).client("y")->lastRemoteIp, "fe80::1");
    // Unknown ids change nothing, but a removal still rewrites the file.
    std::filesystem::remove(dir / "paired_devices.json");
    store.touchClient("nobody", At(1900000000s), std::string("10.0.0.1"));
    EXPECT_FALSE(std::filesystem::exists(dir / "paired_devices.json"));
    EXPECT_FALSE(store.removeClient("unknown"));
    EXPECT_TRUE(std::filesystem::exists(dir / "paired_devices.json"));
}

TEST(PairedStore, unreadableFilesAreKeptAsideBeforeTheFirstWriteAndUnwritableOnesRetried) {
    TempDir dir;
    PairedStore(dir.path()).upsertClient(clientRecord("c1"));
    auto badHost = hostRecord("h1").toJSON();
    badHost["osType"] = "linux";
    const std::string damaged = "[" + badHost.dump() + "]";
    writeText(dir / "hosts.json", damaged);
    LogCapture log;
    PairedStore store(dir.path());
    EXPECT_TRUE(store.hosts().empty());
    EXPECT_EQ(clientIds(store), (std::vector<std::string>{"c1"}));  // the other file still loads
    EXPECT_TRUE(log.contains("starting with no paired hosts"));
    EXPECT_FALSE(std::filesystem::exists(dir / "hosts.corrupt.json"));  // untouched until a write
    store.upsertHost(hostRecord("h2"));
    EXPECT_EQ(readText(dir / "hosts.corrupt.json"), damaged);
    EXPECT_EQ(PairedStore(dir.path()).host("h2"), hostRecord("h2"));
    auto wrongType = clientRecord("c").toJSON();
    wrongType["lastSeenUnix"] = "1";
    for (const std::string& text :
         {std::string("not json"), std::string("{}"), "[" + wrongType.dump() + "]"}) {
        writeText(dir / "paired_devices.json", text);
        EXPECT_TRUE(PairedStore(dir.path()).clients().empty()) << text;
    }
    writeText(dir / "blocker", "a file where a folder should be");
    PairedStore blocked(dir / "blocker" / "Tarvel");
    blocked.upsertClient(clientRecord("c1"));
    EXPECT_TRUE(log.contains("failed to persist paired_devices.json: "));
    EXPECT_FALSE(blocked.flushClients());     // the failed write is tried again, and fails again
    EXPECT_TRUE(blocked.removeClient("c1"));  // still reports the removal
    std::filesystem::remove(dir / "blocker");
    EXPECT_TRUE(blocked.flushClients());
    EXPECT_EQ(readText(dir / "blocker" / "Tarvel" / "paired_devices.json"), "[]\n");
}

TEST(PairedStoreDeferred, jobsOutliveTheStoreAndTheNewestListWinsWhateverTheJobOrder) {
    TempDir dir;
    std::vector<std::function<void()>> jobs;  // held until the test runs them
    {
        PairedStore store(dir.path(), [&jobs](auto job) { jobs.push_back(std::move(job)); });
        store.upsertClient(clientRecord("c1"));
        store.upsertHost(hostRecord("h1"));
        store.upsertClient(clientRecord("c2"));
        store.touchClient("c1", std::chrono::system_clock::time_point(std::chrono::seconds(5)),
                          std::string("10.0.0.9"));
        EXPECT_EQ(store.client("c1")->lastRemoteIp, "10.0.0.9");
        EXPECT_FALSE(std::filesystem::exists(dir / "paired_devices.json"));
        ASSERT_TRUE(store.flushClients());  // written now, on this thread
        EXPECT_EQ(clientIds(PairedStore(dir.path())), (std::vector<std::string>{"c1", "c2"}));
        EXPECT_TRUE(store.removeClient("c2"));
    }
    // Older jobs run last and must not put back an older list.
    for (auto job = jobs.rbegin(); job != jobs.rend(); ++job) {
        (*job)();
    }
    PairedStore reopened(dir.path());
    EXPECT_EQ(clientIds(reopened), (std::vector<std::string>{"c1"}));
    EXPECT_EQ(reopened.client("c1")->lastSeenUnix, 5);
    EXPECT_EQ(reopened.host("h1"), hostRecord("h1"));
}

}  // namespace
}  // namespace tarvel::pairing
