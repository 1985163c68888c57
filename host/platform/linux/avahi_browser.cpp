#include "host/platform/linux/avahi_browser.hpp"

#include <avahi-client/client.h>
#include <avahi-client/lookup.h>
#include <avahi-common/address.h>
#include <avahi-common/error.h>
#include <avahi-common/simple-watch.h>
#include <avahi-common/strlst.h>
#include <net/if.h>

#include <algorithm>
#include <climits>
#include <deque>
#include <optional>
#include <set>
#include <tuple>
#include <utility>

#include "core/base/log.hpp"

namespace tarvel::platform {

namespace {

// Each resolver is a daemon object; a busy network should not get one per
// instance at once, nor an endless stream of them from churn.
constexpr std::size_t maxRunningResolvers = 32;
constexpr std::size_t maxResolversStarted = 4 * maxBrowsedServices;

bool isUnreachable(int error) {
    return error == AVAHI_ERR_NO_DAEMON || error == AVAHI_ERR_DBUS_ERROR ||
           error == AVAHI_ERR_DISCONNECTED || error == AVAHI_ERR_BAD_STATE;
}

std::string formatAddress(const AvahiAddress& address, AvahiIfIndex interface) {
    char text[AVAHI_ADDRESS_STR_MAX] = {};
    avahi_address_snprint(text, sizeof text, &address);
    std::string result(text);
    const auto* bytes = address.data.ipv6.address;
    // fe80::/10 means nothing without the interface it was seen on.
    if (address.proto == AVAHI_PROTO_INET6 && bytes[0] == 0xfe && (bytes[1] & 0xc0) == 0x80) {
        char name[IF_NAMESIZE] = {};
        const bool named = interface > 0 && ::if_indextoname(static_cast<unsigned>(interface), name) != nullptr;
        result += "%" + (named ? std::string(name) : std::to_string(interface));
    }
    return result;
}

std::map<std::string, std::string> readTxt(AvahiStringList* list) {
    std::map<std::string, std::string> txt;
    std::size_t budget = maxBrowsedTxtBytes;
    for (AvahiStringList* item = list; item != nullptr; item = avahi_string_list_get_next(item)) {
        const std::size_t size = avahi_string_list_get_size(item);
        if (size > budget) {
            break;
        }
        budget -= size;
        const std::string_view entry(reinterpret_cast<const char*>(avahi_string_list_get_text(item)), size);
        const std::size_t equals = entry.find('=');
        // A string without a key says nothing; a repeated key keeps its first value.
        if (equals == 0 || entry.empty()) {
            continue;
        }
        txt.emplace(std::string(entry.substr(0, equals)),
                    equals == std::string_view::npos ? std::string() : std::string(entry.substr(equals + 1)));
    }
    return txt;
}

struct Browse {
    struct Instance {
        AvahiIfIndex interface;
        AvahiProtocol protocol;
        std::string name;
        std::string type;
        std::string domain;
    };
    struct Found {
        BrowsedService service;
        AvahiProtocol protocol;
    };

    bool waitFull = false;
    AvahiSimplePoll* poll = nullptr;
    AvahiClient* client = nullptr;
    AvahiServiceBrowser* browser = nullptr;
    std::set<AvahiServiceResolver*> resolvers;
    std::deque<Instance> queued;  // seen, waiting for a free resolver
    std::size_t resolversStarted = 0;
    std::vector<Found> found;
    // Instances gone while their resolver may still answer; bounded like queued.
    std::set<std::tuple<AvahiIfIndex, AvahiProtocol, std::string>> removed;
    bool allForNow = false;
    bool done = false;
    std::optional<BrowseError> error;

    Browse() = default;
    Browse(const Browse&) = delete;
    Browse& operator=(const Browse&) = delete;

    // Children before the client that owns them, the loop last.
    ~Browse() {
        for (AvahiServiceResolver* resolver : resolvers) {
            avahi_service_resolver_free(resolver);
        }
        if (browser != nullptr) {
            avahi_service_browser_free(browser);
        }
        if (client != nullptr) {
            avahi_client_free(client);
        }
        if (poll != nullptr) {
            avahi_simple_poll_free(poll);
        }
    }

    void fail(int avahiError) {
        if (error) {
            return;
        }
        error = isUnreachable(avahiError) ? BrowseError::daemonUnavailable : BrowseError::failed;
        if (error == BrowseError::failed) {
            base::logLine(std::string("DNS-SD browse failed: ") + avahi_strerror(avahiError));
        }
        avahi_simple_poll_quit(poll);
    }

    bool full() const { return found.size() >= maxBrowsedServices; }

    void checkDone() {
        if (!waitFull && allForNow && resolvers.empty() && queued.empty()) {
            done = true;
            avahi_simple_poll_quit(poll);
        }
    }

    void startQueued() {
        while (!queued.empty() && resolvers.size() < maxRunningResolvers) {
            const Instance instance = std::move(queued.front());
            queued.pop_front();
            if (full() || resolversStarted >= maxResolversStarted) {
                continue;
            }
            ++resolversStarted;
            AvahiServiceResolver* resolver = avahi_service_resolver_new(
                client, instance.interface, instance.protocol, instance.name.c_str(), instance.type.c_str(),
                instance.domain.c_str(), AVAHI_PROTO_UNSPEC, AvahiLookupFlags(0), &Browse::resolved, this);
            // One instance that cannot be resolved does not end the browse.
            if (resolver != nullptr) {
                resolvers.insert(resolver);
            }
        }
        if (!queued.empty() && (full() || resolversStarted >= maxResolversStarted)) {
            queued.clear();
        }
    }

    static void clientChanged(AvahiClient* client, AvahiClientState state, void* self) {
        if (state == AVAHI_CLIENT_FAILURE) {
            static_cast<Browse*>(self)->fail(avahi_client_errno(client));
        }
    }

    static void browsed(AvahiServiceBrowser* browser, AvahiIfIndex interface, AvahiProtocol protocol,
                        AvahiBrowserEvent event, const char* name, const char* type, const char* domain,
                        AvahiLookupResultFlags, void* self) {
        auto* browse = static_cast<Browse*>(self);
        switch (event) {
            case AVAHI_BROWSER_NEW:
                browse->removed.erase({interface, protocol, name});
                if (browse->queued.size() < maxBrowsedServices) {
                    browse->queued.push_back({interface, protocol, name, type, domain});
                }
                browse->startQueued();
                break;
            case AVAHI_BROWSER_REMOVE: {
                const auto same = [&](AvahiIfIndex i, AvahiProtocol p, const std::string& n) {
                    return i == interface && p == protocol && n == name;
                };
                std::erase_if(browse->found, [&](const Found& f) {
                    return same(f.service.interfaceIndex, f.protocol, f.service.instanceName);
                });
                std::erase_if(browse->queued, [&](const Instance& q) { return same(q.interface, q.protocol, q.name); });
                if (browse->removed.size() < maxBrowsedServices) {
                    browse->removed.insert({interface, protocol, name});
                }
                browse->checkDone();
                break;
            }
            case AVAHI_BROWSER_ALL_FOR_NOW:
                browse->allForNow = true;
                browse->checkDone();
                break;
            case AVAHI_BROWSER_FAILURE:
                browse->fail(avahi_client_errno(avahi_service_browser_get_client(browser)));
                break;
            case AVAHI_BROWSER_CACHE_EXHAUSTED:
                break;
        }
    }

    static void resolved(AvahiServiceResolver* resolver, AvahiIfIndex interface, AvahiProtocol protocol,
                         AvahiResolverEvent event, const char* name, const char*, const char*,
                         const char* hostName, const AvahiAddress* address, std::uint16_t port,
                         AvahiStringList* txt, AvahiLookupResultFlags, void* self) {
        auto* browse = static_cast<Browse*>(self);
        if (event == AVAHI_RESOLVER_FOUND && address != nullptr && !browse->full() &&
            !browse->removed.contains({interface, protocol, name})) {
            BrowsedService service{name, hostName != nullptr ? hostName : "", formatAddress(*address, interface),
                                   port, interface, readTxt(txt)};
            const bool seen = std::any_of(browse->found.begin(), browse->found.end(), [&](const Found& f) {
                return std::tie(f.service.instanceName, f.service.address, f.service.port) ==
                       std::tie(service.instanceName, service.address, service.port);
            });
            if (!seen) {
                browse->found.push_back({std::move(service), protocol});
            }
        }
        // Resolvers keep watching after an answer; one answer is all a browse needs.
        browse->resolvers.erase(resolver);
        avahi_service_resolver_free(resolver);
        browse->startQueued();
        browse->checkDone();
    }
};

}  // namespace

std::string describe(BrowseError error) {
    switch (error) {
        case BrowseError::daemonUnavailable:
            return "cannot reach the Avahi daemon over the D-Bus system bus (is avahi-daemon running?)";
        case BrowseError::failed:
            return "DNS-SD browsing failed";
    }
    return "DNS-SD browsing failed";
}

tl::expected<std::vector<BrowsedService>, BrowseError> browseDnsSd(std::string_view serviceType,
                                                                   std::chrono::milliseconds duration,
                                                                   bool waitFull) {
    const auto deadline = std::chrono::steady_clock::now() + duration;
    Browse browse;
    browse.waitFull = waitFull;
    browse.poll = avahi_simple_poll_new();
    if (browse.poll == nullptr) {
        return tl::unexpected(BrowseError::failed);
    }
    int error = 0;
    // No AVAHI_CLIENT_NO_FAIL: without a daemon this fails at once instead of waiting for one.
    browse.client = avahi_client_new(avahi_simple_poll_get(browse.poll), AvahiClientFlags(0),
                                     &Browse::clientChanged, &browse, &error);
    if (browse.client == nullptr) {
        return tl::unexpected(error == AVAHI_ERR_NO_MEMORY ? BrowseError::failed : BrowseError::daemonUnavailable);
    }
    const std::string type(serviceType);
    browse.browser = avahi_service_browser_new(browse.client, AVAHI_IF_UNSPEC, AVAHI_PROTO_UNSPEC, type.c_str(),
                                               nullptr, AvahiLookupFlags(0), &Browse::browsed, &browse);
    if (browse.browser == nullptr) {
        browse.fail(avahi_client_errno(browse.client));
    }
    while (!browse.error && !browse.done) {
        const auto left =
            std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
        if (left <= 0) {
            break;
        }
        const int result = avahi_simple_poll_iterate(browse.poll, static_cast<int>(std::min<long long>(left, INT_MAX)));
        if (result < 0 && !browse.error) {
            base::logLine("DNS-SD browse stopped: its poll loop failed");
            browse.error = BrowseError::failed;
        }
        if (result != 0) {
            break;
        }
    }
    if (browse.error) {
        return tl::unexpected(*browse.error);
    }
    std::vector<BrowsedService> services;
    services.reserve(browse.found.size());
    for (auto& found : browse.found) {
        services.push_back(std::move(found.service));
    }
    std::sort(services.begin(), services.end(), [](const BrowsedService& a, const BrowsedService& b) {
        return std::tie(a.instanceName, a.address, a.port) < std::tie(b.instanceName, b.address, b.port);
    });
    return services;
}

}  // namespace tarvel::platform
