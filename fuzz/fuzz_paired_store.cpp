// The paired-device files as read from disk: the input is written as both the
// host's paired_devices.json and the client's hosts.json, and a PairedStore
// loads them. Loading never crashes; a list that loads is written back and
// loads again to the same records. A record that decodes on its own
// re-encodes to itself.
#include <cstddef>
#include <cstdint>
#include <string>

#include "core/pairing/paired_records.hpp"
#include "core/pairing/paired_store.hpp"
#include "fuzz/fuzz_support.hpp"

namespace {

using namespace tarvel::pairing;
using tarvel::wire::JSON;
using tarvel::fuzz::check;

template <class Record>
void checkRecord(const JSON& json) {
    const auto record = Record::fromJSON(json);
    if (!record) {
        return;
    }
    const auto again = Record::fromJSON(record->toJSON());
    check(again.has_value() && *again == *record);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    tarvel::fuzz::quietLog();
    const auto dir = tarvel::fuzz::freshFolder("paired");
    tarvel::fuzz::writeFile(dir / PairedStore::clientsFileName, data, size);
    tarvel::fuzz::writeFile(dir / PairedStore::hostsFileName, data, size);

    std::vector<PairedClientRecord> clients;
    std::vector<PairedHostRecord> hosts;
    {
        PairedStore store(dir);
        clients = store.clients();
        hosts = store.hosts();
        // Written back by the store's own encoder (an unreadable file is set aside first).
        check(store.flushClients().has_value());
        check(store.flushHosts().has_value());
    }
    {
        PairedStore again(dir);
        check(again.clients() == clients);
        check(again.hosts() == hosts);
        for (const auto& client : clients) {
            check(again.client(client.clientId).has_value());
        }
    }

    const JSON json = JSON::parse(data, data + size, nullptr, false);
    if (!json.is_discarded()) {
        checkRecord<PairedClientRecord>(json);
        checkRecord<PairedHostRecord>(json);
        if (json.is_array()) {
            for (const auto& element : json) {
                checkRecord<PairedClientRecord>(element);
                checkRecord<PairedHostRecord>(element);
            }
        }
    }
    return 0;
}
