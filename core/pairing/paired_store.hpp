#pragma once

#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include <tl/expected.hpp>

#include "core/base/environment.hpp"
#include "core/pairing/paired_records.hpp"

namespace tarvel::pairing {

/// The trusted peers, persisted across runs: paired clients (host side) and
/// paired hosts (client side), each list in its own JSON file. Safe to share
/// between threads: every change is seen by every lookup at once, and file
/// writes never hold the lock that lookups take. No mutating operation fails:
/// a write that cannot be done is logged and the change stays in memory.
class PairedStore {
  public:
    static constexpr std::string_view hostsFileName = "hosts.json";
    static constexpr std::string_view clientsFileName = "paired_devices.json";

    /// Runs a file write somewhere else, later (a serial background queue).
    using WriteExecutor = std::function<void(std::function<void()>)>;

    /// base::dataDirectory(environment): the host's data folder. Not created here.
    static std::filesystem::path defaultDirectory(
        const base::Environment& environment = base::processEnvironment());

    /// Loads both files from `directory` now; no directory means memory
    /// only. Without an executor every change is written at once on the
    /// caller's thread; with one, every change hands a write job to it.
    /// Jobs keep what they need alive, so they may run after the store is gone.
    explicit PairedStore(std::optional<std::filesystem::path> directory,
                         WriteExecutor executor = {});
    ~PairedStore();

    PairedStore(const PairedStore&) = delete;
    PairedStore& operator=(const PairedStore&) = delete;

    const std::optional<std::filesystem::path>& directory() const noexcept;

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

    /// Makes sure the list as it is now is on disk, writing it on the
    /// caller's thread if no write has done so yet (waiting for a write in
    /// progress), and tells whether it is. Success for a memory-only store.
    /// Blocks on file I/O: call it off latency-critical threads, e.g. as a
    /// job of the write executor right after upserting a new client.
    tl::expected<void, std::error_code> flushClients();
    tl::expected<void, std::error_code> flushHosts();

  private:
    struct State;

    void persistHosts();
    void persistClients();

    std::shared_ptr<State> state_;
    WriteExecutor executor_;
};

}  // namespace tarvel::pairing
