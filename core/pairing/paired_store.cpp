#include "core/pairing/paired_store.hpp"

#include <algorithm>
#include <cstdint>
#include <mutex>

#include "core/base/atomic_file.hpp"
#include "core/base/data_folder.hpp"
#include "core/base/log.hpp"
#include "core/base/salvage.hpp"

namespace tarvel::pairing {

namespace {

using wire::JSON;

// The folder also holds the identity's secret files; keep it private.
constexpr mode_t directoryMode = 0700;
// Names, models and addresses of the user's devices are nobody else's business.
constexpr mode_t fileMode = 0600;

template <class Record>
tl::expected<std::vector<Record>, std::string> decodeList(const std::vector<std::uint8_t>& bytes) {
    JSON json = JSON::parse(bytes.begin(), bytes.end(), nullptr, false);
    if (json.is_discarded()) {
        return tl::unexpected(std::string("not JSON"));
    }
    if (!json.is_array()) {
        return tl::unexpected(std::string("not a JSON array"));
    }
    std::vector<Record> records;
    records.reserve(json.size());
    for (const auto& element : json) {
        auto record = Record::fromJSON(element);
        if (!record) {
            // One bad record makes the whole file unreadable.
            return tl::unexpected("entry " + std::to_string(records.size() + 1) +
                                  " lacks a key or has one of the wrong type");
        }
        records.push_back(std::move(*record));
    }
    return records;
}

template <class Record>
auto findById(std::vector<Record>& records, std::string_view id) {
    return std::find_if(records.begin(), records.end(),
                        [id](const Record& record) { return record.id() == id; });
}

template <class Record>
std::optional<Record> firstWithId(const std::vector<Record>& records, std::string_view id) {
    auto it = std::find_if(records.begin(), records.end(),
                           [id](const Record& record) { return record.id() == id; });
    if (it == records.end()) {
        return std::nullopt;
    }
    return *it;
}

template <class Record>
void upsert(std::vector<Record>& records, const Record& record) {
    auto it = findById(records, record.id());
    if (it != records.end()) {
        *it = record;
    } else {
        records.push_back(record);
    }
}

template <class Record>
bool removeAll(std::vector<Record>& records, std::string_view id) {
    const auto before = records.size();
    std::erase_if(records, [id](const Record& record) { return record.id() == id; });
    return records.size() != before;
}

/// One persisted list. `records` and `version` are guarded by State::lock;
/// `writtenVersion` and `unreadable` by State::writeLock.
template <class Record>
struct PersistedList {
    PersistedList(std::string_view fileName, std::string_view emptyMeaning)
        : fileName(fileName), emptyMeaning(emptyMeaning) {}

    std::string_view fileName;
    std::string_view emptyMeaning;  // for the log line of an unreadable file
    std::vector<Record> records;
    std::uint64_t version = 0;         // counts the changes
    std::uint64_t writtenVersion = 0;  // the version the file holds
    bool unreadable = false;           // the file could not be read and has no copy yet
};

}  // namespace

struct PairedStore::State {
    std::optional<std::filesystem::path> directory;
    // Lookups and changes; held only for memory work, never for file I/O, so
    // a lookup on the server's queue never waits for a disk.
    mutable std::mutex lock;
    // Serialises writes; taken before `lock`, never while holding it.
    std::mutex writeLock;
    PersistedList<PairedHostRecord> hosts{hostsFileName, "starting with no paired hosts"};
    PersistedList<PairedClientRecord> clients{clientsFileName, "starting with no paired devices"};

    template <class Record>
    void load(PersistedList<Record>& list);

    /// Writes the list as it is now unless the file already holds it. A
    /// change newer than the one that asked for this write is written too,
    /// so a later job finds nothing left to do.
    template <class Record>
    tl::expected<void, std::error_code> write(PersistedList<Record>& list);
};

template <class Record>
void PairedStore::State::load(PersistedList<Record>& list) {
    const auto path = *directory / list.fileName;
    auto bytes = base::readWholeFile(path);
    if (bytes && !*bytes) {
        return;  // first run
    }
    std::string reason;
    if (!bytes) {
        reason = bytes.error().message();
    } else if (auto records = decodeList<Record>(**bytes)) {
        list.records = std::move(*records);
        return;
    } else {
        reason = records.error();
    }
    // Start empty like a missing file, but keep the old bytes until a copy exists.
    base::logUnreadable(path, reason, list.emptyMeaning);
    list.unreadable = true;
}

template <class Record>
tl::expected<void, std::error_code> PairedStore::State::write(PersistedList<Record>& list) {
    if (!directory) {
        return {};
    }
    std::lock_guard writing(writeLock);
    std::uint64_t version = 0;
    std::vector<Record> records;
    {
        std::lock_guard guard(lock);
        if (list.version == list.writtenVersion) {
            return {};
        }
        version = list.version;
        records = list.records;
    }
    const std::string fileName(list.fileName);
    auto fail = [&fileName](std::error_code error,
                            const std::string& reason) -> tl::expected<void, std::error_code> {
        base::logLine("failed to persist " + fileName + ": " + reason);
        return tl::unexpected(error);
    };
    if (auto created = base::createDirectories(*directory, directoryMode); !created) {
        return fail(created.error(), created.error().message());
    }
    JSON array = JSON::array();
    for (const auto& record : records) {
        array.push_back(record.toJSON());
    }
    std::string text;
    try {
        text = array.dump(2, ' ', false, JSON::error_handler_t::strict);
    } catch (const JSON::exception& error) {
        return fail(std::make_error_code(std::errc::illegal_byte_sequence), error.what());
    }
    text.push_back('\n');
    if (auto written = base::replaceKeepingUnreadable(
            *directory / list.fileName, wire::asBytes(text), fileMode, list.unreadable);
        !written) {
        return fail(written.error(), written.error().message());
    }
    list.writtenVersion = version;
    return {};
}

std::filesystem::path PairedStore::defaultDirectory(const base::Environment& environment) {
    return base::dataDirectory(environment);
}

PairedStore::PairedStore(std::optional<std::filesystem::path> directory, WriteExecutor executor)
    : state_(std::make_shared<State>()), executor_(std::move(executor)) {
    state_->directory = std::move(directory);
    if (state_->directory) {
        state_->load(state_->hosts);
        state_->load(state_->clients);
    }
}

PairedStore::~PairedStore() = default;

const std::optional<std::filesystem::path>& PairedStore::directory() const noexcept {
    return state_->directory;
}

void PairedStore::persistHosts() {
    if (!state_->directory) {
        return;
    }
    // The job owns the state: it may run after this store is destroyed.
    auto job = [state = state_] { (void)state->write(state->hosts); };
    if (executor_) {
        executor_(std::move(job));
    } else {
        job();
    }
}

void PairedStore::persistClients() {
    if (!state_->directory) {
        return;
    }
    auto job = [state = state_] { (void)state->write(state->clients); };
    if (executor_) {
        executor_(std::move(job));
    } else {
        job();
    }
}

tl::expected<void, std::error_code> PairedStore::flushClients() {
    return state_->write(state_->clients);
}

tl::expected<void, std::error_code> PairedStore::flushHosts() {
    return state_->write(state_->hosts);
}

std::vector<PairedHostRecord> PairedStore::hosts() const {
    std::lock_guard guard(state_->lock);
    return state_->hosts.records;
}

std::vector<PairedClientRecord> PairedStore::clients() const {
    std::lock_guard guard(state_->lock);
    return state_->clients.records;
}

std::optional<PairedHostRecord> PairedStore::host(std::string_view id) const {
    std::lock_guard guard(state_->lock);
    return firstWithId(state_->hosts.records, id);
}

std::optional<PairedClientRecord> PairedStore::client(std::string_view id) const {
    std::lock_guard guard(state_->lock);
    return firstWithId(state_->clients.records, id);
}

void PairedStore::upsertHost(const PairedHostRecord& record) {
    {
        std::lock_guard guard(state_->lock);
        upsert(state_->hosts.records, record);
        ++state_->hosts.version;
    }
    persistHosts();
}

void PairedStore::upsertClient(const PairedClientRecord& record) {
    {
        std::lock_guard guard(state_->lock);
        upsert(state_->clients.records, record);
        ++state_->clients.version;
    }
    persistClients();
}

bool PairedStore::removeHost(std::string_view id) {
    bool removed = false;
    {
        std::lock_guard guard(state_->lock);
        removed = removeAll(state_->hosts.records, id);
        ++state_->hosts.version;  // rewritten even when nothing was removed
    }
    persistHosts();
    return removed;
}

bool PairedStore::removeClient(std::string_view id) {
    bool removed = false;
    {
        std::lock_guard guard(state_->lock);
        removed = removeAll(state_->clients.records, id);
        ++state_->clients.version;
    }
    persistClients();
    return removed;
}

void PairedStore::touchClient(std::string_view id, std::chrono::system_clock::time_point now,
                              const std::optional<std::string>& remoteIp) {
    {
        std::lock_guard guard(state_->lock);
        auto it = findById(state_->clients.records, id);
        if (it == state_->clients.records.end()) {
            return;
        }
        // duration_cast truncates toward zero, dropping the fraction.
        it->lastSeenUnix =
            std::chrono::duration_cast<std::chrono::seconds>(now.time_since_epoch()).count();
        if (remoteIp && !remoteIp->empty()) {
            it->lastRemoteIp = *remoteIp;
        }
        ++state_->clients.version;
    }
    persistClients();
}

}  // namespace tarvel::pairing
