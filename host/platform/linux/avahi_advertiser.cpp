#include "host/platform/linux/avahi_advertiser.hpp"

#include <avahi-client/client.h>
#include <avahi-client/publish.h>
#include <avahi-common/alternative.h>
#include <avahi-common/error.h>
#include <avahi-common/malloc.h>
#include <avahi-common/strlst.h>
#include <avahi-common/thread-watch.h>
#include <avahi-common/timeval.h>

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

// Everything below the poll pointer is touched only with the threaded poll's
// lock held: by its own thread in callbacks, or by callers after locking.
struct AvahiAdvertiser::State {
    struct Publication {
        std::string name;
        std::uint16_t port = 0;
        std::vector<std::string> txt;  // "key=value", in key order
    };

    std::chrono::milliseconds retryInterval;
    AvahiThreadedPoll* poll = nullptr;
    AvahiClient* client = nullptr;
    AvahiEntryGroup* group = nullptr;
    AvahiTimeout* reconnectTimer = nullptr;

    std::optional<Publication> wanted;   // as the server asked
    std::string activeName;              // wanted's name, or its alternative after collisions
    std::optional<Publication> inGroup;  // what the entry group carries
    std::optional<std::string> established;
    bool saidNoDaemon = false;
    bool saidNoBus = false;

    const AvahiPoll* api() const { return avahi_threaded_poll_get(poll); }

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
                state->established.reset();
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
                state->established.reset();
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
                    state->established = state->inGroup->name;
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
                state->established.reset();
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
        established.reset();
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
        established.reset();
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
    if (state_->poll == nullptr) {
        base::logLine("cannot start the Avahi event loop: not advertising over DNS-SD");
        return;
    }
    // Before the loop's thread exists, nothing else touches the state.
    state_->connect();
    if (avahi_threaded_poll_start(state_->poll) < 0) {
        base::logLine("cannot start the Avahi event loop thread: not advertising over DNS-SD");
    }
}

AvahiAdvertiser::~AvahiAdvertiser() {
    if (state_->poll == nullptr) {
        return;
    }
    // The loop first, so no callback runs while the objects go away; the group
    // before the client that owns it (freeing it withdraws the service).
    avahi_threaded_poll_stop(state_->poll);
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

void AvahiAdvertiser::advertise(std::string_view instanceName, std::uint16_t port,
                                const discovery::DnsSdTxt& txt) {
    State::Publication publication{fitInstanceName(instanceName), port, {}};
    for (const auto& [key, value] : txt.dictionary()) {
        publication.txt.push_back(key + "=" + value);
    }
    if (state_->poll == nullptr) {
        return;
    }
    avahi_threaded_poll_lock(state_->poll);
    // A new name starts over from it; the same name keeps any alternative the
    // network forced on it, so phones keep seeing one stable name.
    if (!state_->wanted || state_->wanted->name != publication.name) {
        state_->activeName = publication.name;
    }
    state_->wanted = std::move(publication);
    state_->publish();
    avahi_threaded_poll_unlock(state_->poll);
}

void AvahiAdvertiser::withdraw() {
    if (state_->poll == nullptr) {
        return;
    }
    avahi_threaded_poll_lock(state_->poll);
    state_->wanted.reset();
    state_->publish();
    avahi_threaded_poll_unlock(state_->poll);
}

std::optional<std::string> AvahiAdvertiser::establishedName() const {
    if (state_->poll == nullptr) {
        return std::nullopt;
    }
    avahi_threaded_poll_lock(state_->poll);
    auto name = state_->established;
    avahi_threaded_poll_unlock(state_->poll);
    return name;
}

}  // namespace tarvel::platform
