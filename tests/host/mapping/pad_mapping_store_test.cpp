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

// Both queues follow one fake clock; nothing runs unless the test says so.
class PadMappingStoreTest : public ::testing::Test {
  protected:
    std::shared_ptr<PadMappingStore> makeStore() {
        if (!runtime) runtime = makePadMappingRuntime(url, *defaults);
        auto store = PadMappingStore::create({url, defaults, runtime, mainQueue, backgroundQueue,
                                              [this] { seen.push_back(runtime->read().compiled); }});
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
    std::vector<CompiledPadMapping> seen;  // by the server, when told of a change
    int notifications = 0;
    ObserverToken token;
};

TEST_F(PadMappingStoreTest, migrationConvertsWritesAndForgetsALegacyChoiceAndLeavesOthersAlone) {
    EXPECT_EQ(PadMappingStore::loadInitial(url, *defaults), shooter);
    EXPECT_FALSE(fs::exists(dir / "defaults.json") || fs::exists(url));
    const std::pair<const char*, std::optional<GamepadMapping>> cases[] = {
        {"WASDMouse", std::nullopt},
        {"arrows ", std::nullopt},
        {"arrows", legacyMapping(PadOutputPreset::arrows)},
        {"dualKeys", legacyMapping(PadOutputPreset::dualKeys)},
        {"wasdMouse", shooter}};
    for (const auto& [value, migrated] : cases) {
        SCOPED_TRACE(value);
        fs::remove(url);
        ASSERT_TRUE(defaults->setString(UserDefaults::padOutputKey, value));
        EXPECT_EQ(PadMappingStore::loadInitial(url, *defaults), migrated.value_or(shooter));
        const auto saved = MappingFile::load(url);
        EXPECT_EQ(saved.status,
                  migrated ? MappingFile::LoadStatus::loaded : MappingFile::LoadStatus::missing);
        EXPECT_EQ(saved.mapping, migrated.value_or(shooter));
        EXPECT_EQ(UserDefaults(dir / "defaults.json").string(UserDefaults::padOutputKey),
                  migrated ? std::nullopt : std::optional<std::string>(value));
    }
    // The next start reads the file, whatever the default says by then.
    ASSERT_TRUE(defaults->setString(UserDefaults::padOutputKey, "dualKeys"));
    EXPECT_EQ(PadMappingStore::loadInitial(url, *defaults), shooter);
    EXPECT_EQ(defaults->string(UserDefaults::padOutputKey), "dualKeys");
}

TEST_F(PadMappingStoreTest, migrationFailedWriteStillForgetsTheDefaultButADamagedFileBlocksIt) {
    writeText(dir / "blocker", "a regular file");
    ASSERT_TRUE(defaults->setString(UserDefaults::padOutputKey, "arrows"));
    LogCapture log;
    EXPECT_EQ(PadMappingStore::loadInitial(dir / "blocker" / "gamepad_mapping.json", *defaults),
              legacyMapping(PadOutputPreset::arrows));
    EXPECT_EQ(defaults->string(UserDefaults::padOutputKey), std::nullopt);
    EXPECT_TRUE(log.contains("could not save the migrated gamepad mapping"));
    fs::create_directories(url.parent_path());
    writeText(url, "{ damaged");
    ASSERT_TRUE(defaults->setString(UserDefaults::padOutputKey, "arrows"));
    EXPECT_EQ(PadMappingStore::loadInitial(url, *defaults), shooter);
    EXPECT_EQ(log.lines().size(), 2u);
    EXPECT_EQ(readText(url), "{ damaged");
    EXPECT_EQ(defaults->string(UserDefaults::padOutputKey), "arrows");
}

TEST_F(PadMappingStoreTest, serverIsToldOnceTheRuntimeHoldsAChangeCloseChangesWriteOnceEvenLate) {
    auto store = makeStore();
    store->setMapping(shooter);  // equal: changes nothing
    EXPECT_TRUE(seen.empty() && notifications == 0 && runtime->generation() == 0 &&
                backgroundQueue->activeTimers() == 0);
    store->setMapping(shooterWithKey(C::a, "x"));
    elapse(100ms);
    store->setMapping(shooterWithKey(C::a, "y"));
    EXPECT_EQ(store->mapping(), shooterWithKey(C::a, "y"));
    EXPECT_EQ(runtime->generation(), 2);
    EXPECT_EQ(seen, (std::vector{CompiledPadMapping(shooterWithKey(C::a, "x")),
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
    // A pending write outlives the store but reports to nobody.
    store->setMapping(shooterWithKey(C::a, "x"));
    store.reset();
    backgroundQueue->runPending();
    EXPECT_EQ(MappingFile::load(url).mapping, shooterWithKey(C::a, "x"));
    mainQueue->runPending();
    EXPECT_EQ(notifications, 3);
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

}  // namespace
}  // namespace tarvel::mapping
