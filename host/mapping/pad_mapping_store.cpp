#include "host/mapping/pad_mapping_store.hpp"

#include <atomic>
#include <cassert>
#include <utility>

#include "core/base/log.hpp"
#include "core/gamepad/compiled_pad_mapping.hpp"
#include "core/gamepad/gamepad_mapping_file.hpp"
#include "host/mapping/pad_output_preset.hpp"

namespace tarvel::mapping {

using gamepad::CompiledPadMapping;
using gamepad::GamepadMapping;
namespace MappingFile = gamepad::GamepadMappingFile;

/// One delayed write: a copy of the mapping, and the way back to the store.
struct PadMappingStore::SaveItem {
    SaveItem(GamepadMapping mapping, std::filesystem::path url,
             std::weak_ptr<PadMappingStore> store, std::shared_ptr<base::SerialQueue> mainQueue)
        : mapping(std::move(mapping)),
          url(std::move(url)),
          store(std::move(store)),
          mainQueue(std::move(mainQueue)) {}

    const GamepadMapping mapping;
    const std::filesystem::path url;
    const std::weak_ptr<PadMappingStore> store;
    const std::shared_ptr<base::SerialQueue> mainQueue;
    // Both the timer and the store's destructor may try to run the item.
    std::atomic<bool> claimed{false};

    /// Background queue. Writes once, however often it is called.
    void run() {
        if (claimed.exchange(true)) {
            return;
        }
        std::optional<std::string> error;
        if (auto saved = MappingFile::save(mapping, url); !saved) {
            error = saved.error().message();
        }
        mainQueue->async([store = store, error = std::move(error)]() mutable {
            if (auto strong = store.lock()) {
                strong->finishSave(std::move(error));
            }
        });
    }
};

std::shared_ptr<PadMappingStore> PadMappingStore::create(Dependencies dependencies) {
    assert(dependencies.defaults && dependencies.runtime && dependencies.mainQueue &&
           dependencies.backgroundQueue);
    GamepadMapping initial = loadInitial(dependencies.fileURL, *dependencies.defaults);
    // The runtime ran a load of its own; if that one saw something else (a
    // migration whose write failed, a file edited in between), the store's
    // mapping is the one the user sees and so the one to use.
    const CompiledPadMapping compiled(initial);
    if (dependencies.runtime->read().compiled != compiled) {
        dependencies.runtime->publish(compiled);
    }
    return std::shared_ptr<PadMappingStore>(
        new PadMappingStore(std::move(dependencies), std::move(initial)));
}

PadMappingStore::PadMappingStore(Dependencies dependencies, GamepadMapping initial)
    : fileURL_(std::move(dependencies.fileURL)),
      runtime_(std::move(dependencies.runtime)),
      mainQueue_(std::move(dependencies.mainQueue)),
      backgroundQueue_(std::move(dependencies.backgroundQueue)),
      gamepadMappingChanged_(std::move(dependencies.gamepadMappingChanged)),
      mapping_(std::move(initial)) {}

PadMappingStore::~PadMappingStore() {
    if (pendingSave_ && !pendingSave_->claimed.load()) {
        saveWork_.cancel();
        backgroundQueue_->async([item = pendingSave_] { item->run(); });
    }
}

GamepadMapping PadMappingStore::loadInitial(const std::filesystem::path& fileURL,
                                            UserDefaults& defaults) {
    auto [mapping, status] = MappingFile::load(fileURL);
    switch (status) {
        case MappingFile::LoadStatus::loaded:
            return std::move(mapping);
        case MappingFile::LoadStatus::corrupt:
            // The damaged file stays until the first change overwrites it.
            base::logLine(fileURL.filename().string() +
                          " is unreadable; using defaults (copy kept as " +
                          std::string(MappingFile::corruptFileName) + ")");
            return gamepad::presetMapping(gamepad::defaultGamepadPreset);
        case MappingFile::LoadStatus::missing:
            break;
    }
    const auto raw = defaults.string(UserDefaults::padOutputKey);
    const auto legacy = raw ? padOutputPreset(*raw) : std::nullopt;
    if (!legacy) {
        // An unknown value is left alone: a later version may understand it.
        return gamepad::presetMapping(gamepad::defaultGamepadPreset);
    }
    // The shooter preset grew out of the old mouse scheme and replaces it.
    GamepadMapping result = *legacy == PadOutputPreset::wasdMouse
                                ? gamepad::presetMapping(gamepad::GamepadPreset::shooter)
                                : legacyMapping(*legacy);
    if (auto saved = MappingFile::save(result, fileURL); !saved) {
        base::logLine("could not save the migrated gamepad mapping: " + saved.error().message());
    }
    // Removed even after a failed write, so the migration never repeats.
    (void)defaults.remove(UserDefaults::padOutputKey);
    return result;
}

void PadMappingStore::setMapping(GamepadMapping mapping) {
    if (mapping == mapping_) {
        return;
    }
    // Compiled before publishing: the runtime's lock is held by the inject queue too.
    const CompiledPadMapping compiled(mapping);
    mapping_ = std::move(mapping);
    runtime_->publish(compiled);
    if (gamepadMappingChanged_) {
        gamepadMappingChanged_();
    }
    scheduleSave();
    notifyObservers();
}

ObserverToken PadMappingStore::addObserver(std::function<void()> observer) {
    auto entry = std::make_shared<Observer>(Observer{std::move(observer)});
    observers_.push_back(entry);
    return ObserverToken([store = weak_from_this(), weakEntry = std::weak_ptr(entry)] {
        auto strong = store.lock();
        auto registered = weakEntry.lock();
        if (strong && registered) {
            strong->removeObserver(registered.get());
        }
    });
}

void PadMappingStore::scheduleSave() {
    // An item that has already begun runs to its end; the queue is serial, so
    // the newer item still writes after it.
    saveWork_.cancel();
    auto item = std::make_shared<SaveItem>(mapping_, fileURL_, weak_from_this(), mainQueue_);
    pendingSave_ = item;
    saveWork_ = backgroundQueue_->schedule(saveDelay, [item] { item->run(); });
}

void PadMappingStore::finishSave(std::optional<std::string> error) {
    if (error == saveError_) {
        return;
    }
    saveError_ = std::move(error);
    notifyObservers();
}

void PadMappingStore::notifyObservers() {
    // A copy, so observers may add or drop observers while being called.
    const auto snapshot = observers_;
    for (const auto& observer : snapshot) {
        if (observer->registered) {
            observer->callback();
        }
    }
}

void PadMappingStore::removeObserver(const Observer* observer) {
    std::erase_if(observers_, [observer](const std::shared_ptr<Observer>& entry) {
        if (entry.get() != observer) {
            return false;
        }
        entry->registered = false;
        return true;
    });
}

std::shared_ptr<PadMappingRuntime> makePadMappingRuntime(const std::filesystem::path& fileURL,
                                                         UserDefaults& defaults) {
    return std::make_shared<PadMappingRuntime>(
        CompiledPadMapping(PadMappingStore::loadInitial(fileURL, defaults)));
}

}  // namespace tarvel::mapping
