#include "core/pairing/paired_store.hpp"

#include <algorithm>

#include "core/base/atomic_file.hpp"
#include "core/base/environment.hpp"
#include "core/base/log.hpp"

namespace tarvel::pairing {

namespace {

using wire::JSON;

// The folder may also hold the identity's secret files; keep it private.
constexpr mode_t directoryMode = 0700;
// Names, models and addresses of the user's devices are nobody else's business.
constexpr mode_t fileMode = 0600;

template <class Record>
std::optional<std::vector<Record>> decodeList(const std::vector<std::uint8_t>& bytes) {
    JSON json = JSON::parse(bytes.begin(), bytes.end(), nullptr, false);
    if (json.is_discarded() || !json.is_array()) {
        return std::nullopt;
    }
    std::vector<Record> records;
    records.reserve(json.size());
    for (const auto& element : json) {
        auto record = Record::fromJSON(element);
        if (!record) {
            return std::nullopt;  // one bad record makes the whole file unreadable
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

}  // namespace

std::filesystem::path PairedStore::defaultDirectory(const base::Environment& environment) {
    if (auto override = base::nonEmptyVariable(environment, "TVL_DATA_DIR")) {
        return std::filesystem::path(*override);
    }
    if (auto dataHome = base::nonEmptyVariable(environment, "XDG_DATA_HOME");
        dataHome && std::filesystem::path(*dataHome).is_absolute()) {
        return std::filesystem::path(*dataHome) / "Tarvel";
    }
    if (auto home = base::nonEmptyVariable(environment, "HOME")) {
        return std::filesystem::path(*home) / ".local" / "share" / "Tarvel";
    }
    std::error_code ec;
    auto temporary = std::filesystem::temp_directory_path(ec);
    if (ec) {
        temporary = "/tmp";
    }
    return temporary / "Tarvel";
}

PairedStore::PairedStore(std::optional<std::filesystem::path> directory)
    : directory_(std::move(directory)) {
    load(hosts_, hostsFileName);
    load(clients_, clientsFileName);
}

template <class Record>
void PairedStore::load(List<Record>& list, std::string_view fileName) {
    if (!directory_) {
        return;
    }
    const auto path = *directory_ / fileName;
    auto bytes = base::readWholeFile(path);
    if (bytes && !*bytes) {
        return;  // first run
    }
    if (bytes) {
        if (auto records = decodeList<Record>(**bytes)) {
            list.records = std::move(*records);
            return;
        }
    }
    // Unreadable: start empty like a missing file, but keep the old bytes
    // until a copy exists, so a damaged file never silently loses its devices.
    list.salvagePending = true;
}

template <class Record>
void PairedStore::persist(List<Record>& list, std::string_view fileName) {
    if (!directory_) {
        return;
    }
    const auto path = *directory_ / fileName;
    auto fail = [&](const std::string& reason) {
        base::logLine("failed to persist " + std::string(fileName) + ": " + reason);
    };
    if (auto created = base::createDirectories(*directory_, directoryMode); !created) {
        return fail(created.error().message());
    }
    if (list.salvagePending) {
        const auto aside = path.string() + std::string(corruptSuffix);
        if (auto copied = base::copyFileAtomically(path, aside, fileMode); !copied) {
            if (copied.error() != std::errc::no_such_file_or_directory) {
                return fail("could not keep a copy of the unreadable file: " +
                            copied.error().message());
            }
        } else {
            base::logLine(std::string(fileName) + " could not be read; kept a copy as " +
                          path.filename().string() + std::string(corruptSuffix));
        }
        list.salvagePending = false;
    }
    JSON array = JSON::array();
    for (const auto& record : list.records) {
        array.push_back(record.toJSON());
    }
    std::string text;
    try {
        text = array.dump(2, ' ', false, JSON::error_handler_t::strict);
    } catch (const JSON::exception& error) {
        return fail(error.what());
    }
    text.push_back('\n');
    auto bytes = wire::asBytes(text);
    if (auto written = base::writeFileAtomically(path, bytes, fileMode); !written) {
        return fail(written.error().message());
    }
}

std::vector<PairedHostRecord> PairedStore::hosts() const {
    std::lock_guard guard(lock_);
    return hosts_.records;
}

std::vector<PairedClientRecord> PairedStore::clients() const {
    std::lock_guard guard(lock_);
    return clients_.records;
}

std::optional<PairedHostRecord> PairedStore::host(std::string_view id) const {
    std::lock_guard guard(lock_);
    return firstWithId(hosts_.records, id);
}

std::optional<PairedClientRecord> PairedStore::client(std::string_view id) const {
    std::lock_guard guard(lock_);
    return firstWithId(clients_.records, id);
}

void PairedStore::upsertHost(const PairedHostRecord& record) {
    std::lock_guard guard(lock_);
    upsert(hosts_.records, record);
    persist(hosts_, hostsFileName);
}

void PairedStore::upsertClient(const PairedClientRecord& record) {
    std::lock_guard guard(lock_);
    upsert(clients_.records, record);
    persist(clients_, clientsFileName);
}

bool PairedStore::removeHost(std::string_view id) {
    std::lock_guard guard(lock_);
    const bool removed = removeAll(hosts_.records, id);
    persist(hosts_, hostsFileName);
    return removed;
}

bool PairedStore::removeClient(std::string_view id) {
    std::lock_guard guard(lock_);
    const bool removed = removeAll(clients_.records, id);
    persist(clients_, clientsFileName);
    return removed;
}

void PairedStore::touchClient(std::string_view id, std::chrono::system_clock::time_point now,
                              const std::optional<std::string>& remoteIp) {
    std::lock_guard guard(lock_);
    auto it = findById(clients_.records, id);
    if (it == clients_.records.end()) {
        return;
    }
    // duration_cast truncates toward zero, dropping the fraction.
    it->lastSeenUnix =
        std::chrono::duration_cast<std::chrono::seconds>(now.time_since_epoch()).count();
    if (remoteIp && !remoteIp->empty()) {
        it->lastRemoteIp = *remoteIp;
    }
    persist(clients_, clientsFileName);
}

}  // namespace tarvel::pairing
