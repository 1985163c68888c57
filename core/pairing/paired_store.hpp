#pragma once

#include <chrono>
#include <filesystem>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/base/environment.hpp"
#include "core/pairing/paired_records.hpp"

namespace tarvel::pairing {

/// The trusted peers, persisted across runs: paired clients (host side) and
/// paired hosts (client side), each list in its own JSON file. Every
/// operation holds one lock for its whole duration, file writes included, so
/// the store may be shared between the server queue and the user interface.
/// No operation fails: a write that cannot be done is logged and the change
/// stays in memory.
class PairedStore {
  public:
    static constexpr std::string_view hostsFileName = "hosts.json";
    static constexpr std::string_view clientsFileName = "paired_devices.json";
    /// Appended to a file name for the copy kept of a file that could not be read.
    static constexpr std::string_view corruptSuffix = ".corrupt";

    /// The host's data folder: $TVL_DATA_DIR when set and not empty; else
    /// "Tarvel" in $XDG_DATA_HOME, else in $HOME/.local/share, else in the
    /// temporary directory. Not created here.
    static std::filesystem::path defaultDirectory(
        const base::Environment& environment = base::processEnvironment());

    /// Loads both files from `directory`; no directory means memory only.
    explicit PairedStore(std::optional<std::filesystem::path> directory);

    PairedStore(const PairedStore&) = delete;
    PairedStore& operator=(const PairedStore&) = delete;

    const std::optional<std::filesystem::path>& directory() const noexcept { return directory_; }

    std::vector<PairedHostRecord> hosts() const;
    std::vector<PairedClientRecord> clients() const;
    /// The first record with exactly this id.
    std::optional<PairedHostRecord> host(std::string_view id) const;
    std::optional<PairedClientRecord> client(std::string_view id) const;

    /// Replaces the record with the same id in place, or appends; then persists.
    void upsertHost(const PairedHostRecord& record);
    void upsertClient(const PairedClientRecord& record);

    /// Removes every record with this id and persists; true when any was removed.
    bool removeHost(std::string_view id);
    bool removeClient(std::string_view id);

    /// Marks a client as seen at `now` (whole seconds, fraction dropped) and,
    /// for a non-empty address, from `remoteIp`. Unknown ids change nothing.
    void touchClient(std::string_view id, std::chrono::system_clock::time_point now,
                     const std::optional<std::string>& remoteIp);

  private:
    /// One persisted list and what is known about its file.
    template <class Record>
    struct List {
        std::vector<Record> records;
        bool salvagePending = false;  // the file exists but could not be read
    };

    template <class Record>
    void load(List<Record>& list, std::string_view fileName);
    template <class Record>
    void persist(List<Record>& list, std::string_view fileName);

    const std::optional<std::filesystem::path> directory_;
    mutable std::mutex lock_;
    List<PairedHostRecord> hosts_;
    List<PairedClientRecord> clients_;
};

}  // namespace tarvel::pairing
