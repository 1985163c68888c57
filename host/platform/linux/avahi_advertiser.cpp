#include "host/platform/linux/avahi_advertiser.hpp"

#include <avahi-client/client.h>
#include <avahi-client/publish.h>
#include <avahi-common/alternative.h>
#include <avahi-common/error.h>
#include <avahi-common/malloc.h>
#include <avahi-common/strlst.h>
#include <avahi-common/thread-watch.h>
#include <avahi-common/timeval.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <mutex>
#include <utility>
#include <vector>

#include "core/base/log.hpp"

namespace tarvel::platform {

namespace {

// A DNS label holds 63 bytes; Avahi refuses a longer instance name outright.
constexpr std::size_t maxInstanceNameBytes = 63;
// Each collision renames once; a network that takes this many names in a row
// is not going to free one.
constexpr int maxRenames = 20;

std::string fitInstanceName(std::string_view name) {
    if (name.size() <= maxInstanceNameBytes) {
        return std::string(name);
    }
    std::size_t end = maxInstanceNameBytes;
    // Back off to the start of a UTF-8 character.
    while (end > 0 && (static_cast<unsigned char>(name[end]) & 0xC0) == 0x80) {
        --end;
    }
    return std::string(name.substr(0, end));
}

std::string avahiError(int error) {
    return avahi_strerror(error);
}

struct StringList {
    AvahiStringList* list = nullptr;
    explicit StringList(const std::vector<std::string>& pairs) {
        // Adding prepends: walk backwards so the record keeps the keys' order.
        for (auto it = pairs.rbegin(); it != pairs.rend(); ++it) {
            list = avahi_string_list_add_arbitrary(
                list, reinterpret_cast<const std::uint8_t*>(it->data()), it->size());
        }
    }
    ~StringList() { avahi_string_list_free(list); }
    StringList(const StringList&) = delete;
    StringList& operator=(const StringList&) = delete;
};

}  // namespace

// Callers only touch `requested` and `established`, under `mutex`, and wake
// the loop through `wakeFd`: every Avahi call is a blocking D-Bus round trip,
// so only the loop's own thread makes them. The rest belongs to that thread
// (or to the constructor and destructor while it is not running).
struct AvahiAdvertiser::State {
    struct Publication {
        std::string name;
        std::uint16_t port = 0;
        std::vector<std::string> txt;  // "key=value", in key order
    };

    std::chrono::milliseconds retryInterval;
    AvahiThreadedPoll* poll = nullptr;
    int wakeFd = -1;
    AvahiWatch* wakeWatch = nullptr;
    AvahiClient* client = nullptr;
    AvahiEntryGroup* group = nullptr;
    AvahiTimeout* reconnectTimer = nullptr;

    mutable std::mutex mutex;
    std::optional<Publication> requested;  // as the server last asked
    std::optional<std::string> established;

    std::optional<Publication> wanted;   // the request the loop works towards
    std::string activeName;              // wanted's name, or its alternative after collisions
    std::optional<Publication> inGroup;  // what the entry group carries
    bool saidNoDaemon = false;
    bool saidNoBus = false;

    const AvahiPoll* api() const { return avahi_threaded_poll_get(poll); }

    void setEstablished(std::optional<std::string> name) {
        std::lock_guard guard(mutex);
        established = std::move(name);
    }

    void request(std::optional<Publication> publication) {
        {
            std::lock_guard guard(mutex);
            requested = std::move(publication);
        }
        // Never blocks: the counter only saturates after 2^64 - 2 wake-ups.
        const std::uint64_t one = 1;
        [[maybe_unused]] const auto written = ::write(wakeFd, &one, sizeof one);
    }

    // Applies only the latest request, however many came since the last wake-up.
    static void woken(AvahiWatch*, int fd, AvahiWatchEvent, void* self) {
        auto* state = static_cast<State*>(self);
        std::uint64_t count = 0;
        [[maybe_unused]] const auto drained = ::read(fd, &count, sizeof count);
        std::optional<Publication> latest;
        {
            std::lock_guard guard(state->mutex);
            latest = state->requested;
        }
        // A new name starts over from it; the same name keeps any alternative
        // the network forced on it, so phones keep seeing one stable name.
        if (latest && (!state->wanted || state->wanted->name != latest->name)) {
            state->activeName = latest->name;
        }
        state->wanted = std::move(latest);
        state->publish();
    }

    void connect() {
        int error = 0;
        // NO_FAIL: with the bus up and no daemon, the client waits in CONNECTING
        // and runs once the daemon starts.
        AvahiClient* created =
            avahi_client_new(api(), AVAHI_CLIENT_NO_FAIL, &State::clientChanged, this, &error);
        if (created == nullptr) {
            if (!saidNoBus) {
                saidNoBus = true;
                base::logLine("cannot reach Avahi over the D-Bus system bus (" + avahiError(error) +
                              "); trying again every " + std::to_string(retryInterval.count()) +
                              " ms");
            }
            scheduleReconnect(retryInterval);
            return;
        }
        saidNoBus = false;
        client = created;
    }

    void scheduleReconnect(std::chrono::milliseconds delay) {
        timeval when{};
        avahi_elapse_time(&when, static_cast<unsigned>(delay.count()), 0);
        if (reconnectTimer == nullptr) {
            reconnectTimer = api()->timeout_new(api(), &when, &State::reconnectDue, this);
        } else {
            api()->timeout_update(reconnectTimer, &when);
        }
    }

    static void reconnectDue(AvahiTimeout*, void* self) {
        auto* state = static_cast<State*>(self);
        state->api()->timeout_update(state->reconnectTimer, nullptr);
        // A failed client is freed here, not in its own callback; its entry
        // group goes with it.
        if (state->client != nullptr) {
            avahi_client_free(state->client);
            state->client = nullptr;
            state->group = nullptr;
        }
        state->connect();
    }

    static void clientChanged(AvahiClient* client, AvahiClientState clientState, void* self) {
        auto* state = static_cast<State*>(self);
        // The first call comes from inside avahi_client_new, before it returns.
        state->client = client;
        switch (clientState) {
            case AVAHI_CLIENT_S_RUNNING:
                state->saidNoDaemon = false;
                state->publish();
                break;
            case AVAHI_CLIENT_S_REGISTERING:
            case AVAHI_CLIENT_S_COLLISION:
                // The daemon is (re)naming its host and has withdrawn our
                // entries; they are added again once it runs.
                if (state->group != nullptr) {
                    avahi_entry_group_reset(state->group);
                }
                state->inGroup.reset();
                state->setEstablished(std::nullopt);
                break;
            case AVAHI_CLIENT_CONNECTING:
                if (!state->saidNoDaemon) {
                    state->saidNoDaemon = true;
                    base::logLine("Avahi is not running; will advertise when it starts");
                }
                break;
            case AVAHI_CLIENT_FAILURE: {
                const int error = avahi_client_errno(client);
                base::logLine("lost the Avahi daemon (" + avahiError(error) +
                              "); will advertise again when it is back");
                // Said once for this outage, covering the wait that follows.
                state->saidNoDaemon = true;
                state->inGroup.reset();
                state->setEstablished(std::nullopt);
                state->scheduleReconnect(std::chrono::milliseconds(0));
                break;
            }
        }
    }

    static void groupChanged(AvahiEntryGroup* group, AvahiEntryGroupState groupState, void* self) {
        auto* state = static_cast<State*>(self);
        if (state->group != nullptr && group != state->group) {
            return;
        }
        switch (groupState) {
            case AVAHI_ENTRY_GROUP_ESTABLISHED:
                if (state->inGroup) {
                    state->setEstablished(state->inGroup->name);
                    base::logLine("advertising " + state->inGroup->name + " on port " +
                                  std::to_string(state->inGroup->port) + " over DNS-SD");
                }
                break;
            case AVAHI_ENTRY_GROUP_COLLISION:
                state->rename();
                state->inGroup.reset();
                state->publish();
                break;
            case AVAHI_ENTRY_GROUP_FAILURE:
                base::logLine("DNS-SD publication failed: " +
                              avahiError(avahi_client_errno(avahi_entry_group_get_client(group))));
                state->inGroup.reset();
                state->setEstablished(std::nullopt);
                break;
            case AVAHI_ENTRY_GROUP_UNCOMMITED:
            case AVAHI_ENTRY_GROUP_REGISTERING:
                break;
        }
    }

    void rename() {
        char* alternative = avahi_alternative_service_name(activeName.c_str());
        if (alternative == nullptr) {
            return;
        }
        base::logLine("DNS-SD name " + activeName + " is taken; advertising as " + alternative);
        activeName = alternative;
        avahi_free(alternative);
    }

    void withdrawGroup() {
        if (group != nullptr && inGroup) {
            avahi_entry_group_reset(group);
            base::logLine("stopped advertising " + inGroup->name + " over DNS-SD");
        }
        inGroup.reset();
        setEstablished(std::nullopt);
    }

    // Brings the daemon in line with `wanted`, when there is a daemon to talk to.
    void publish() {
        if (client == nullptr || avahi_client_get_state(client) != AVAHI_CLIENT_S_RUNNING) {
            return;
        }
        if (!wanted) {
            withdrawGroup();
            return;
        }
        if (group != nullptr && inGroup && inGroup->name == activeName &&
            inGroup->port == wanted->port) {
            if (inGroup->txt == wanted->txt) {
                return;
            }
            StringList txt(wanted->txt);
            const int result = avahi_entry_group_update_service_txt_strlst(
                group, AVAHI_IF_UNSPEC, AVAHI_PROTO_UNSPEC, AvahiPublishFlags(0),
                activeName.c_str(), std::string(discovery::DnsSdConstants::serviceType).c_str(),
                nullptr, txt.list);
            if (result == AVAHI_OK) {
                inGroup->txt = wanted->txt;
                return;
            }
            base::logLine("cannot update the DNS-SD record (" + avahiError(result) +
                          "); publishing it again");
        }
        if (group == nullptr) {
            group = avahi_entry_group_new(client, &State::groupChanged, this);
            if (group == nullptr) {
                base::logLine("cannot advertise over DNS-SD: " +
                              avahiError(avahi_client_errno(client)));
                return;
            }
        } else {
            avahi_entry_group_reset(group);
        }
        inGroup.reset();
        setEstablished(std::nullopt);
        StringList txt(wanted->txt);
        const std::string type(discovery::DnsSdConstants::serviceType);
        int result = AVAHI_OK;
        for (int attempt = 0; attempt <= maxRenames; ++attempt) {
            result = avahi_entry_group_add_service_strlst(
                group, AVAHI_IF_UNSPEC, AVAHI_PROTO_UNSPEC, AvahiPublishFlags(0),
                activeName.c_str(), type.c_str(), nullptr, nullptr, wanted->port, txt.list);
            if (result != AVAHI_ERR_COLLISION) {
                break;
            }
            // Taken by another service of this host: no probing needed to know.
            rename();
        }
        if (result == AVAHI_OK) {
            result = avahi_entry_group_commit(group);
        }
        if (result != AVAHI_OK) {
            base::logLine("cannot advertise " + activeName + " over DNS-SD: " + avahiError(result));
            avahi_entry_group_reset(group);
            return;
        }
        inGroup = Publication{activeName, wanted->port, wanted->txt};
    }
};

AvahiAdvertiser::AvahiAdvertiser(std::chrono::milliseconds retryInterval)
    : state_(std::make_unique<State>()) {
    state_->retryInterval = retryInterval;
    state_->poll = avahi_threaded_poll_new();
    state_->wakeFd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    // Before the loop's thread exists, nothing else touches the poll.
    if (state_->poll != nullptr && state_->wakeFd >= 0) {
        state_->wakeWatch = state_->api()->watch_new(state_->api(), state_->wakeFd, AVAHI_WATCH_IN,
                                                     &State::woken, state_.get());
    }
    if (state_->wakeWatch == nullptr) {
        base::logLine("cannot start the Avahi event loop: not advertising over DNS-SD");
        return;
    }
    // Even the first client is made on the loop's thread: creating it waits
    // on the bus, which may never answer.
    state_->scheduleReconnect(std::chrono::milliseconds(0));
    if (avahi_threaded_poll_start(state_->poll) < 0) {
        base::logLine("cannot start the Avahi event loop thread: not advertising over DNS-SD");
    }
}

AvahiAdvertiser::~AvahiAdvertiser() {
    if (state_->poll != nullptr) {
        // The loop first (it may finish a D-Bus call of its own), so no
        // callback runs while the objects go away; the group before the
        // client that owns it (freeing it withdraws the service).
        avahi_threaded_poll_stop(state_->poll);
        if (state_->wakeWatch != nullptr) {
            state_->api()->watch_free(state_->wakeWatch);
        }
        if (state_->reconnectTimer != nullptr) {
            state_->api()->timeout_free(state_->reconnectTimer);
        }
        if (state_->group != nullptr) {
            avahi_entry_group_free(state_->group);
        }
        if (state_->client != nullptr) {
            avahi_client_free(state_->client);
        }
        avahi_threaded_poll_free(state_->poll);
    }
    if (state_->wakeFd >= 0) {
        ::close(state_->wakeFd);
    }
}

void AvahiAdvertiser::advertise(std::string_view instanceName, std::uint16_t port,
                                const discovery::DnsSdTxt& txt) {
    State::Publication publication{fitInstanceName(instanceName), port, {}};
    for (const auto& [key, value] : txt.dictionary()) {
        publication.txt.push_back(key + "=" + value);
    }
    if (state_->wakeWatch != nullptr) {
        state_->request(std::move(publication));
    }
}

void AvahiAdvertiser::withdraw() {
    if (state_->wakeWatch != nullptr) {
        state_->request(std::nullopt);
    }
}

std::optional<std::string> AvahiAdvertiser::establishedName() const {
    std::lock_guard guard(state_->mutex);
    return state_->established;
}

}  // namespace tarvel::platform
