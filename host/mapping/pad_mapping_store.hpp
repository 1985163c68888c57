#pragma once

#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "core/base/serial_queue.hpp"
#include "core/gamepad/gamepad_mapping.hpp"
#include "host/mapping/pad_mapping_runtime.hpp"
#include "host/mapping/user_defaults.hpp"

namespace tarvel::mapping {

/// Keeps an observer registered while it lives; dropping it unregisters.
/// Create, move and drop it on the main queue. Move-only.
class ObserverToken {
  public:
    ObserverToken() = default;
    explicit ObserverToken(std::function<void()> remove) : remove_(std::move(remove)) {}
    ObserverToken(ObserverToken&& other) noexcept : remove_(std::exchange(other.remove_, {})) {}
    ObserverToken& operator=(ObserverToken&& other) noexcept {
        if (this != &other) {
            reset();
            remove_ = std::exchange(other.remove_, {});
        }
        return *this;
    }
    ObserverToken(const ObserverToken&) = delete;
    ObserverToken& operator=(const ObserverToken&) = delete;
    ~ObserverToken() { reset(); }

    /// Unregisters now; the observer is not called again.
    void reset() {
        if (auto remove = std::exchange(remove_, {})) {
            remove();
        }
    }

  private:
    std::function<void()> remove_;
};

/// The user's gamepad mapping on the host: loads it once, publishes every
/// change to the runtime and tells the server, and writes the file after a
/// quiet period. Used on the main queue only; the write runs on the
/// background queue and reports back to the main queue.
class PadMappingStore : public std::enable_shared_from_this<PadMappingStore> {
  public:
    /// How long a change waits for another before the file is written.
    static constexpr std::chrono::milliseconds saveDelay{300};

    struct Dependencies {
        std::filesystem::path fileURL;                       // the mapping file
        std::shared_ptr<UserDefaults> defaults;              // read (and migrated) at creation only
        std::shared_ptr<PadMappingRuntime> runtime;          // where changes are published
        std::shared_ptr<base::SerialQueue> mainQueue;        // observers and saveError updates
        std::shared_ptr<base::SerialQueue> backgroundQueue;  // the delayed write
        std::function<void()> gamepadMappingChanged;         // the server's; may be empty
    };

    /// A store holding loadInitial(fileURL, *defaults). If the runtime holds a
    /// different compiled mapping (its own load saw another file), the store's
    /// is published so the two agree. Main queue.
    static std::shared_ptr<PadMappingStore> create(Dependencies dependencies);

    /// Hands a pending write to the background queue at once, so the last
    /// change is not lost; its result is then not reported.
    ~PadMappingStore();

    PadMappingStore(const PadMappingStore&) = delete;
    PadMappingStore& operator=(const PadMappingStore&) = delete;

    /// The mapping to start with: the file's when it decodes; the shooter
    /// preset (with a log line) when it is damaged; when it is missing, the
    /// legacy "rc.padOutput" scheme converted, saved and the default removed,
    /// or the shooter preset when there is no such default. Any thread, but
    /// not concurrently with a write of the same file.
    static gamepad::GamepadMapping loadInitial(const std::filesystem::path& fileURL,
                                               UserDefaults& defaults);

    /// The mapping in force. Main queue.
    const gamepad::GamepadMapping& mapping() const noexcept { return mapping_; }

    /// Replaces the mapping. Equal to the current one: nothing happens.
    /// Otherwise it is compiled and published (the runtime's generation goes
    /// up by one), the server is told, a write is scheduled saveDelay from
    /// now (replacing any pending one) and observers are called before this
    /// returns. Main queue.
    void setMapping(gamepad::GamepadMapping mapping);

    /// The system's message for the last failed write, or nothing after a
    /// successful one. Main queue.
    const std::optional<std::string>& saveError() const noexcept { return saveError_; }

    /// Calls `observer` on the main queue after every change of the mapping
    /// and of saveError, until the token is dropped. Main queue.
    [[nodiscard]] ObserverToken addObserver(std::function<void()> observer);

  private:
    struct SaveItem;
    struct Observer {
        std::function<void()> callback;
        bool registered = true;
    };

    PadMappingStore(Dependencies dependencies, gamepad::GamepadMapping initial);

    void scheduleSave();
    void finishSave(std::optional<std::string> error);
    void notifyObservers();
    void removeObserver(const Observer* observer);

    const std::filesystem::path fileURL_;
    const std::shared_ptr<PadMappingRuntime> runtime_;
    const std::shared_ptr<base::SerialQueue> mainQueue_;
    const std::shared_ptr<base::SerialQueue> backgroundQueue_;
    const std::function<void()> gamepadMappingChanged_;

    gamepad::GamepadMapping mapping_;
    std::optional<std::string> saveError_;
    std::shared_ptr<SaveItem> pendingSave_;
    base::TimerHandle saveWork_;
    std::vector<std::shared_ptr<Observer>> observers_;
};

/// A runtime holding the compilation of a load of its own. Whichever of
/// runtime and store loads first performs any migration; the other then
/// reads the file it wrote. Any thread.
std::shared_ptr<PadMappingRuntime> makePadMappingRuntime(const std::filesystem::path& fileURL,
                                                         UserDefaults& defaults);

}  // namespace tarvel::mapping
