#include "host/mapping/pad_mapping_store.hpp"

#include <gtest/gtest.h>

#include "core/gamepad/gamepad_mapping_file.hpp"
#include "host/mapping/pad_output_preset.hpp"
#include "tests/core/gamepad/gamepad_printers.hpp"
#include "tests/fakes/fake_clock.hpp"
#include "tests/fakes/log_capture.hpp"
#include "tests/fakes/manual_queue.hpp"
#include "tests/fakes/temp_dir.hpp"
#include "tests/host/mapping/file_text.hpp"

namespace tarvel::mapping {
namespace {

using namespace std::chrono_literals;
using gamepad::CompiledPadMapping;
using gamepad::GamepadMapping;
using gamepad::PadBinding;
using test::readText;
using test::writeText;
using testing::LogCapture;
using testing::ManualQueue;
using testing::TempDir;
using C = gamepad::PadControl;
namespace fs = std::filesystem;
namespace MappingFile = gamepad::GamepadMappingFile;

const GamepadMapping shooter = GamepadMapping::defaults();

GamepadMapping shooterWithKey(C control, const char* key) {
    GamepadMapping m = shooter;
    m.bindings[control] = PadBinding::key(key);
    return m;
}

class PadMappingMigration : public ::testing::Test {
  protected:
    TempDir dir;
    fs::path url = dir / "data" / "gamepad_mapping.json";
    fs::path defaultsPath = dir / "defaults.json";
    UserDefaults defaults{defaultsPath};
};

TEST_F(PadMappingMigration, legacyChoiceIsConvertedWrittenAndForgotten) {
    const std::pair<const char*, GamepadMapping> cases[] = {
        {"arrows", legacyMapping(PadOutputPreset::arrows)},
        {"dualKeys", legacyMapping(PadOutputPreset::dualKeys)},
        {"wasdMouse", shooter}};
    for (const auto& [value, expected] : cases) {
        SCOPED_TRACE(value);
        fs::remove(url);
        ASSERT_TRUE(defaults.setString(UserDefaults::padOutputKey, value));
        EXPECT_EQ(PadMappingStore::loadInitial(url, defaults), expected);
        const auto saved = MappingFile::load(url);
        EXPECT_EQ(saved.status, MappingFile::LoadStatus::loaded);
        EXPECT_EQ(saved.mapping, expected);
        EXPECT_EQ(UserDefaults(defaultsPath).string(UserDefaults::padOutputKey), std::nullopt);
    }
    // The next start reads the file, whatever the default says by then.
    ASSERT_TRUE(defaults.setString(UserDefaults::padOutputKey, "dualKeys"));
    EXPECT_EQ(PadMappingStore::loadInitial(url, defaults), shooter);
    EXPECT_EQ(defaults.string(UserDefaults::padOutputKey), "dualKeys");
}

TEST_F(PadMappingMigration, noOrUnknownDefaultGivesTheShooterPresetAndWritesNothing) {
    EXPECT_EQ(PadMappingStore::loadInitial(url, defaults), shooter);
    EXPECT_FALSE(fs::exists(defaultsPath));
    for (const char* value : {"WASDMouse", "arrows ", ""}) {
        ASSERT_TRUE(defaults.setString(UserDefaults::padOutputKey, value));
        EXPECT_EQ(PadMappingStore::loadInitial(url, defaults), shooter) << value;
        EXPECT_EQ(defaults.string(UserDefaults::padOutputKey), value);
    }
    EXPECT_FALSE(fs::exists(url));
}

TEST_F(PadMappingMigration, failedWriteStillForgetsTheDefaultButADamagedFileBlocksMigration) {
    writeText(dir / "blocker", "a regular file");
    ASSERT_TRUE(defaults.setString(UserDefaults::padOutputKey, "arrows"));
    LogCapture log;
    EXPECT_EQ(PadMappingStore::loadInitial(dir / "blocker" / "gamepad_mapping.json", defaults),
              legacyMapping(PadOutputPreset::arrows));
    EXPECT_EQ(defaults.string(UserDefaults::padOutputKey), std::nullopt);
    EXPECT_TRUE(log.contains("could not save the migrated gamepad mapping"));

    fs::create_directories(url.parent_path());
    writeText(url, "{ damaged");
    ASSERT_TRUE(defaults.setString(UserDefaults::padOutputKey, "arrows"));
    EXPECT_EQ(PadMappingStore::loadInitial(url, defaults), shooter);
    EXPECT_EQ(log.lines().size(), 2u);
    EXPECT_EQ(readText(url), "{ damaged");
    EXPECT_EQ(defaults.string(UserDefaults::padOutputKey), "arrows");
}

// Both queues follow one fake clock; nothing runs unless the test says so.
class PadMappingStoreTest : public ::testing::Test {
  protected:
    std::shared_ptr<PadMappingStore> makeStore() {
        if (!runtime) {
            runtime = makePadMappingRuntime(url, *defaults);
        }
        auto store = PadMappingStore::create({url, defaults, runtime, mainQueue, backgroundQueue,
                                              [this] { onChange ? onChange() : void(++changes); }});
        token = store->addObserver([this] { ++notifications; });
        return store;
    }

    /// Lets the background queue's timers run, then delivers what they posted.
    void elapse(std::chrono::nanoseconds duration) {
        backgroundQueue->advance(duration);
        mainQueue->runPending();
    }

    TempDir dir;
    fs::path url = dir / "data" / "gamepad_mapping.json";
    std::shared_ptr<UserDefaults> defaults = std::make_shared<UserDefaults>(dir / "defaults.json");
    std::shared_ptr<testing::FakeClock> clock = std::make_shared<testing::FakeClock>();
    std::shared_ptr<ManualQueue> mainQueue = std::make_shared<ManualQueue>(clock, "main");
    std::shared_ptr<ManualQueue> backgroundQueue = std::make_shared<ManualQueue>(clock, "bg");
    std::shared_ptr<PadMappingRuntime> runtime;
    std::function<void()> onChange;  // replaces counting in the server callback
    int changes = 0;
    int notifications = 0;
    ObserverToken token;
};

TEST_F(PadMappingStoreTest, serverIsToldOnceTheRuntimeHoldsAChangeAndCloseChangesWriteOnce) {
    std::vector<CompiledPadMapping> seenByServer;
    onChange = [&] { seenByServer.push_back(runtime->read().compiled); };
    auto store = makeStore();
    store->setMapping(shooter);  // equal: changes nothing
    EXPECT_TRUE(seenByServer.empty() && notifications == 0 && runtime->generation() == 0);
    EXPECT_EQ(backgroundQueue->activeTimers(), 0u);

    store->setMapping(shooterWithKey(C::a, "x"));
    elapse(100ms);
    store->setMapping(shooterWithKey(C::a, "y"));
    EXPECT_EQ(store->mapping(), shooterWithKey(C::a, "y"));
    EXPECT_EQ(runtime->generation(), 2);
    EXPECT_EQ(seenByServer, (std::vector{CompiledPadMapping(shooterWithKey(C::a, "x")),
                                         CompiledPadMapping(shooterWithKey(C::a, "y"))}));
    EXPECT_EQ(notifications, 2);

    // The first change's deadline passes without a write.
    elapse(299ms);
    EXPECT_FALSE(fs::exists(url));
    elapse(1ms);
    EXPECT_EQ(MappingFile::load(url).mapping, shooterWithKey(C::a, "y"));
    ASSERT_TRUE(fs::remove(url));
    elapse(10s);
    EXPECT_FALSE(fs::exists(url));
    EXPECT_EQ(notifications, 2);
}

TEST_F(PadMappingStoreTest, failedWriteSetsSaveErrorAndALaterWriteClearsIt) {
    writeText(dir / "blocker", "a regular file");
    url = dir / "blocker" / "gamepad_mapping.json";
    auto store = makeStore();
    store->setMapping(shooterWithKey(C::b, "z"));
    backgroundQueue->advance(300ms);
    // Reported on the main queue, not from the writer.
    EXPECT_EQ(store->saveError(), std::nullopt);
    mainQueue->runPending();
    EXPECT_EQ(store->saveError(), std::make_error_code(std::errc::not_a_directory).message());
    EXPECT_EQ(notifications, 2);
    // The mapping in force is kept all the same.
    EXPECT_EQ(runtime->read().compiled, CompiledPadMapping(shooterWithKey(C::b, "z")));

    ASSERT_TRUE(fs::remove(dir / "blocker"));
    store->setMapping(shooterWithKey(C::b, "y"));
    elapse(300ms);
    EXPECT_EQ(store->saveError(), std::nullopt);
    EXPECT_EQ(notifications, 4);
    EXPECT_EQ(MappingFile::load(url).mapping, shooterWithKey(C::b, "y"));
}

TEST_F(PadMappingStoreTest, runtimeAndStoreStartWithTheSameMapping) {
    ASSERT_TRUE(defaults->setString(UserDefaults::padOutputKey, "arrows"));
    auto migrated = makeStore();
    EXPECT_EQ(migrated->mapping(), legacyMapping(PadOutputPreset::arrows));
    EXPECT_EQ(runtime->read().compiled, CompiledPadMapping(migrated->mapping()));
    EXPECT_EQ(runtime->generation(), 0);

    // A runtime that started with another mapping is given the store's.
    runtime = std::make_shared<PadMappingRuntime>(CompiledPadMapping(shooter));
    auto store = makeStore();
    EXPECT_EQ(runtime->generation(), 1);
    EXPECT_EQ(runtime->read().compiled, CompiledPadMapping(store->mapping()));
}

TEST_F(PadMappingStoreTest, droppedObserverIsNotCalledAgain) {
    auto store = makeStore();
    int other = 0;
    auto otherToken = store->addObserver([&] { ++other; });
    store->setMapping(shooterWithKey(C::a, "x"));
    token.reset();
    store->setMapping(shooterWithKey(C::a, "y"));
    EXPECT_EQ(notifications, 1);
    EXPECT_EQ(other, 2);
}

TEST_F(PadMappingStoreTest, pendingWriteOutlivesTheStoreButReportsToNobody) {
    auto store = makeStore();
    store->setMapping(shooterWithKey(C::a, "x"));
    store.reset();
    backgroundQueue->runPending();
    EXPECT_EQ(MappingFile::load(url).mapping, shooterWithKey(C::a, "x"));
    mainQueue->runPending();
    EXPECT_EQ(notifications, 1);
    // The cancelled timer does not write a second time.
    ASSERT_TRUE(fs::remove(url));
    elapse(10s);
    EXPECT_FALSE(fs::exists(url));

    // A failure report arriving after the store is gone is dropped.
    url = dir / "defaults.json" / "gamepad_mapping.json";
    ASSERT_TRUE(defaults->setBool("rc.any", true));
    store = makeStore();
    store->setMapping(shooterWithKey(C::a, "x"));
    backgroundQueue->advance(300ms);
    ASSERT_EQ(mainQueue->pendingTasks(), 1u);
    store.reset();
    EXPECT_EQ(backgroundQueue->pendingTasks(), 0u);  // nothing left to flush
    mainQueue->runPending();
    EXPECT_EQ(notifications, 2);
}

}  // namespace
}  // namespace tarvel::mapping
