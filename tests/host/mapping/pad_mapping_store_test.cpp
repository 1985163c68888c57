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
using gamepad::GamepadPreset;
using gamepad::PadBinding;
using test::readText;
using test::writeText;
using testing::FakeClock;
using testing::LogCapture;
using testing::ManualQueue;
using testing::TempDir;
using C = gamepad::PadControl;
namespace fs = std::filesystem;
namespace MappingFile = gamepad::GamepadMappingFile;

GamepadMapping shooter() {
    return gamepad::presetMapping(GamepadPreset::shooter);
}

GamepadMapping shooterWith(C control, PadBinding binding) {
    GamepadMapping m = shooter();
    m.bindings[control] = std::move(binding);
    return m;
}

// The mapping in the file, with how it was read.
MappingFile::LoadResult onDisk(const fs::path& url) {
    return MappingFile::load(url);
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
        {"wasdMouse", shooter()},
    };
    for (const auto& [value, expected] : cases) {
        SCOPED_TRACE(value);
        fs::remove(url);
        ASSERT_TRUE(defaults.setString(UserDefaults::padOutputKey, value));
        EXPECT_EQ(PadMappingStore::loadInitial(url, defaults), expected);
        const auto saved = onDisk(url);
        EXPECT_EQ(saved.status, MappingFile::LoadStatus::loaded);
        EXPECT_EQ(saved.mapping, expected);
        EXPECT_EQ(UserDefaults(defaultsPath).string(UserDefaults::padOutputKey), std::nullopt);
    }
    // The next start reads the file, whatever the default says by then.
    ASSERT_TRUE(defaults.setString(UserDefaults::padOutputKey, "dualKeys"));
    EXPECT_EQ(PadMappingStore::loadInitial(url, defaults), shooter());
    EXPECT_EQ(defaults.string(UserDefaults::padOutputKey), "dualKeys");
}

TEST_F(PadMappingMigration, noOrUnknownDefaultGivesTheShooterPresetAndWritesNothing) {
    EXPECT_EQ(PadMappingStore::loadInitial(url, defaults), shooter());
    EXPECT_FALSE(fs::exists(defaultsPath));
    for (const char* value : {"WASDMouse", "gamepad", ""}) {
        ASSERT_TRUE(defaults.setString(UserDefaults::padOutputKey, value));
        EXPECT_EQ(PadMappingStore::loadInitial(url, defaults), shooter()) << value;
        EXPECT_EQ(defaults.string(UserDefaults::padOutputKey), value);
    }
    EXPECT_FALSE(fs::exists(url));
}

TEST_F(PadMappingMigration, failedWriteStillForgetsTheDefault) {
    writeText(dir / "blocker", "a regular file");
    const fs::path blocked = dir / "blocker" / "gamepad_mapping.json";
    ASSERT_TRUE(defaults.setString(UserDefaults::padOutputKey, "arrows"));
    LogCapture log;
    EXPECT_EQ(PadMappingStore::loadInitial(blocked, defaults),
              legacyMapping(PadOutputPreset::arrows));
    EXPECT_EQ(defaults.string(UserDefaults::padOutputKey), std::nullopt);
    EXPECT_TRUE(log.contains("could not save the migrated gamepad mapping"));
}

TEST_F(PadMappingMigration, damagedFileGivesTheShooterPresetAndIsNotTouched) {
    fs::create_directories(url.parent_path());
    writeText(url, "{ damaged");
    ASSERT_TRUE(defaults.setString(UserDefaults::padOutputKey, "arrows"));
    LogCapture log;
    EXPECT_EQ(PadMappingStore::loadInitial(url, defaults), shooter());
    EXPECT_EQ(log.lines().size(), 1u);
    EXPECT_EQ(readText(url), "{ damaged");
    EXPECT_EQ(readText(url.parent_path() / "gamepad_mapping.corrupt.json"), "{ damaged");
    // Only a missing file migrates.
    EXPECT_EQ(defaults.string(UserDefaults::padOutputKey), "arrows");
}

// Both queues follow one fake clock; nothing runs unless the test says so.
class PadMappingStoreTest : public ::testing::Test {
  protected:
    std::shared_ptr<PadMappingStore> makeStore() {
        if (!runtime) {
            runtime = makePadMappingRuntime(url, *defaults);
        }
        auto store = PadMappingStore::create(
            {url, defaults, runtime, mainQueue, backgroundQueue, [this] { serverNotified(); }});
        token = store->addObserver([this] { ++notifications; });
        return store;
    }

    void serverNotified() {
        ++changes;
        if (onChange) {
            onChange();
        }
    }

    /// Lets the background queue's timers run for `duration`, then delivers
    /// what they posted to the main queue.
    void elapse(std::chrono::nanoseconds duration) {
        backgroundQueue->advance(duration);
        mainQueue->runPending();
    }

    TempDir dir;
    fs::path url = dir / "data" / "gamepad_mapping.json";
    std::shared_ptr<UserDefaults> defaults = std::make_shared<UserDefaults>(dir / "defaults.json");
    std::shared_ptr<FakeClock> clock = std::make_shared<FakeClock>();
    std::shared_ptr<ManualQueue> mainQueue = std::make_shared<ManualQueue>(clock, "main");
    std::shared_ptr<ManualQueue> backgroundQueue =
        std::make_shared<ManualQueue>(clock, "background");
    std::shared_ptr<PadMappingRuntime> runtime;
    std::function<void()> onChange;  // run by the server callback, after counting
    int changes = 0;
    int notifications = 0;
    ObserverToken token;
};

TEST_F(PadMappingStoreTest, equalMappingChangesNothing) {
    auto store = makeStore();
    EXPECT_EQ(runtime->generation(), 0);
    store->setMapping(shooter());
    store->setMapping(store->mapping());
    EXPECT_EQ(runtime->generation(), 0);
    EXPECT_EQ(changes, 0);
    EXPECT_EQ(notifications, 0);
    EXPECT_EQ(backgroundQueue->activeTimers(), 0u);
    elapse(10s);
    EXPECT_FALSE(fs::exists(url));
}

TEST_F(PadMappingStoreTest, serverIsToldOnceTheRuntimeHoldsAChangeAndCloseChangesWriteOnce) {
    std::optional<CompiledPadMapping> seenByServer;
    onChange = [&] { seenByServer = runtime->read().compiled; };
    auto store = makeStore();
    const GamepadMapping first = shooterWith(C::a, PadBinding::key("x"));
    const GamepadMapping second = shooterWith(C::a, PadBinding::key("y"));

    store->setMapping(first);
    EXPECT_EQ(seenByServer, CompiledPadMapping(first));
    elapse(100ms);
    store->setMapping(second);
    EXPECT_EQ(store->mapping(), second);
    EXPECT_EQ(runtime->generation(), 2);
    EXPECT_EQ(seenByServer, CompiledPadMapping(second));
    EXPECT_EQ(changes, 2);
    EXPECT_EQ(notifications, 2);

    // The first change's deadline passes without a write.
    elapse(299ms);
    EXPECT_FALSE(fs::exists(url));
    elapse(1ms);
    const auto saved = onDisk(url);
    EXPECT_EQ(saved.status, MappingFile::LoadStatus::loaded);
    EXPECT_EQ(saved.mapping, second);

    ASSERT_TRUE(fs::remove(url));
    elapse(10s);
    EXPECT_FALSE(fs::exists(url));
    EXPECT_EQ(store->saveError(), std::nullopt);
    EXPECT_EQ(notifications, 2);
}

TEST_F(PadMappingStoreTest, failedWriteSetsSaveErrorAndALaterWriteClearsIt) {
    writeText(dir / "blocker", "a regular file");
    url = dir / "blocker" / "gamepad_mapping.json";
    auto store = makeStore();

    store->setMapping(shooterWith(C::b, PadBinding::key("z")));
    backgroundQueue->advance(300ms);
    // Reported on the main queue, not from the writer.
    EXPECT_EQ(store->saveError(), std::nullopt);
    EXPECT_EQ(notifications, 1);
    mainQueue->runPending();
    EXPECT_EQ(store->saveError(), std::make_error_code(std::errc::not_a_directory).message());
    EXPECT_EQ(notifications, 2);
    // The mapping in force is kept all the same.
    EXPECT_EQ(runtime->read().compiled,
              CompiledPadMapping(shooterWith(C::b, PadBinding::key("z"))));

    ASSERT_TRUE(fs::remove(dir / "blocker"));
    store->setMapping(shooterWith(C::b, PadBinding::key("y")));
    elapse(300ms);
    EXPECT_EQ(store->saveError(), std::nullopt);
    EXPECT_EQ(notifications, 4);
    EXPECT_EQ(onDisk(url).mapping, shooterWith(C::b, PadBinding::key("y")));
}

TEST_F(PadMappingStoreTest, damagedFileIsReplacedOnlyByTheFirstChange) {
    fs::create_directories(url.parent_path());
    writeText(url, "[1,2]");
    LogCapture log;
    auto store = makeStore();
    // Runtime and store each loaded once.
    EXPECT_EQ(log.lines().size(), 2u);
    EXPECT_EQ(store->mapping(), shooter());
    elapse(10s);
    EXPECT_EQ(readText(url), "[1,2]");

    store->setMapping(shooterWith(C::x, PadBinding::none()));
    elapse(300ms);
    EXPECT_EQ(onDisk(url).mapping, shooterWith(C::x, PadBinding::none()));
}

TEST_F(PadMappingStoreTest, runtimeAndStoreStartWithTheSameMapping) {
    ASSERT_TRUE(defaults->setString(UserDefaults::padOutputKey, "arrows"));
    auto migrated = makeStore();
    EXPECT_EQ(migrated->mapping(), legacyMapping(PadOutputPreset::arrows));
    EXPECT_EQ(runtime->read().compiled, CompiledPadMapping(migrated->mapping()));
    EXPECT_EQ(runtime->generation(), 0);

    // A runtime that started with another mapping is given the store's.
    runtime = std::make_shared<PadMappingRuntime>(CompiledPadMapping(shooter()));
    auto store = makeStore();
    EXPECT_EQ(runtime->generation(), 1);
    EXPECT_EQ(runtime->read().compiled, CompiledPadMapping(store->mapping()));
}

TEST_F(PadMappingStoreTest, droppedObserverIsNotCalledAgain) {
    auto store = makeStore();
    int other = 0;
    auto otherToken = store->addObserver([&] { ++other; });
    store->setMapping(shooterWith(C::a, PadBinding::key("x")));
    token.reset();
    store->setMapping(shooterWith(C::a, PadBinding::key("y")));
    EXPECT_EQ(notifications, 1);
    EXPECT_EQ(other, 2);
}

TEST_F(PadMappingStoreTest, pendingWriteOutlivesTheStoreButReportsToNobody) {
    auto store = makeStore();
    store->setMapping(shooterWith(C::a, PadBinding::key("x")));
    store.reset();
    backgroundQueue->runPending();
    EXPECT_EQ(onDisk(url).mapping, shooterWith(C::a, PadBinding::key("x")));
    mainQueue->runPending();
    EXPECT_EQ(notifications, 1);

    // The cancelled timer does not write a second time.
    ASSERT_TRUE(fs::remove(url));
    elapse(10s);
    EXPECT_FALSE(fs::exists(url));
}

TEST_F(PadMappingStoreTest, reportArrivingAfterTheStoreIsGoneIsDropped) {
    writeText(dir / "blocker", "a regular file");
    url = dir / "blocker" / "gamepad_mapping.json";
    auto store = makeStore();
    store->setMapping(shooterWith(C::a, PadBinding::key("x")));
    backgroundQueue->advance(300ms);
    ASSERT_EQ(mainQueue->pendingTasks(), 1u);
    store.reset();
    EXPECT_EQ(backgroundQueue->pendingTasks(), 0u);  // nothing left to flush
    mainQueue->runPending();
    EXPECT_EQ(notifications, 1);
}

}  // namespace
}  // namespace tarvel::mapping
