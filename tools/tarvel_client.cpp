// tarvel-client: drive a computer running the Tarvel host from this one's
// keyboard, from scripts, or to measure the input path.

#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <sstream>
#include <string>
#include <string_view>
#include <thread>
#include <variant>
#include <vector>

#include "core/base/data_folder.hpp"
#include "core/base/environment.hpp"
#include "core/base/log.hpp"
#include "core/base/version.hpp"
#include "core/client/control_client.hpp"
#include "core/diagnostics/latency_trace.hpp"
#include "core/discovery/dns_sd_txt.hpp"
#include "core/discovery/tailscale_local_api.hpp"
#include "core/gamepad/pad_key_names.hpp"
#include "core/pairing/paired_store.hpp"
#include "core/pairing/pairing_payload.hpp"
#include "core/security/fingerprint.hpp"
#include "core/security/hex.hpp"
#include "core/security/identity_store.hpp"
#include "host/platform/client_session.hpp"
#include "host/platform/host_facts.hpp"
#include "host/platform/linux/avahi_browser.hpp"
#include "tools/client/terminal_keys.hpp"

namespace {

using namespace std::chrono_literals;
using namespace tarvel;
using client::ClientError;
using platform::ClientSession;

// Exit codes a script can rely on.
enum Exit : int {
    exitOK = 0,
    exitFailed = 1,       // anything not listed below
    exitUsage = 2,        // bad command line
    exitUnreachable = 3,  // no answer, timed out or connection lost
    exitRefused = 4,      // pairing refused: wrong code, no code active, other refusals
    exitNotPaired = 5,    // no such paired host, or the host no longer knows this device
    exitIdentity = 6,     // the host's key is not the expected one
};

constexpr std::string_view usage =
    "usage: tarvel-client [--data-dir DIR] [--host HOST] COMMAND [ARGS]\n"
    "       tarvel-client --version\n"
    "\n"
    "Drives a computer running the Tarvel host.\n"
    "\n"
    "Finding and pairing hosts:\n"
    "  discover [--tailscale]        hosts announced on the local network\n"
    "  info HOST[:PORT]              what a host says about itself\n"
    "  pair LINK                     pair from a tarvel://pair link\n"
    "  pair HOST[:PORT] --code CODE  pair with the code the host shows\n"
    "  hosts                         paired hosts\n"
    "  forget HOSTID                 forget a paired host\n"
    "\n"
    "Input (to the paired host, or the one --host names):\n"
    "  type TEXT | key NAME [--mods shift,ctrl,alt,cmd] | shortcut NAME\n"
    "  click [left|right|middle] [--count N] | move DX DY | scroll DX DY\n"
    "  clipboard TEXT [--paste] | media NAME | ping\n"
    "  interactive                   this terminal becomes the host's keyboard\n"
    "  bench [--events N] [--rate R] [--host-pid PID]\n"
    "\n"
    "Options:\n"
    "  --data-dir DIR  this client's identity and paired hosts\n"
    "                  (default: $TVL_DATA_DIR, else $XDG_DATA_HOME/tarvel-client)\n"
    "  --host HOST     a paired host's id or name, or an address; needed when\n"
    "                  several hosts are paired\n"
    "\n"
    "Exit codes: 0 done; 1 failed; 2 usage; 3 host unreachable or connection\n"
    "lost; 4 pairing refused; 5 not paired or no longer known; 6 host key\n"
    "mismatch.\n"
    "Run tarvel-client COMMAND --help for a command's own help.\n";

const std::map<std::string_view, std::string_view> commandHelp = {
    {"discover",
     "usage: tarvel-client discover [--tailscale] [--wait SECONDS]\n"
     "Lists the hosts announced over DNS-SD on the local network with their\n"
     "addresses. --tailscale adds the Tailscale peers as candidates.\n"},
    {"info", "usage: tarvel-client info HOST[:PORT]\nAsks a host for its id, name and key fingerprint; no pairing needed.\n"},
    {"pair",
     "usage: tarvel-client pair LINK\n"
     "       tarvel-client pair HOST[:PORT] --code CODE\n"
     "Pairs with a host. A link (tarvel://pair?...) pins the host's key: a host\n"
     "presenting another is refused before anything is sent. A typed code has\n"
     "no key to check.\n"},
    {"hosts", "usage: tarvel-client hosts\nLists the paired hosts.\n"},
    {"forget", "usage: tarvel-client forget HOSTID\nForgets a paired host (its id or name).\n"},
    {"type", "usage: tarvel-client type TEXT\nTypes the text on the host, whatever its keyboard layout.\n"},
    {"key",
     "usage: tarvel-client key NAME [--mods shift,ctrl,alt,cmd]\n"
     "Presses and releases one key, e.g. key return, key f5, key a --mods ctrl.\n"},
    {"shortcut",
     "usage: tarvel-client shortcut copy|paste|cut|undo|redo|select-all|find|lock\n"},
    {"click", "usage: tarvel-client click [left|right|middle] [--count N]\n"},
    {"move", "usage: tarvel-client move DX DY\nMoves the pointer by DX, DY pixels.\n"},
    {"scroll", "usage: tarvel-client scroll DX DY\nScrolls by DX, DY pixels.\n"},
    {"clipboard",
     "usage: tarvel-client clipboard TEXT [--paste]\nPuts the text on the host's clipboard, and pastes it with --paste.\n"},
    {"media",
     "usage: tarvel-client media volume-up|volume-down|mute|play-pause|next|previous|"
     "brightness-up|brightness-down\n"},
    {"ping", "usage: tarvel-client ping\nMeasures one round trip over the control connection.\n"},
    {"interactive",
     "usage: tarvel-client interactive\n"
     "The terminal becomes the host's keyboard: keys with their modifiers as\n"
     "keys, text as text. Ctrl-] leaves; nothing stays held.\n"},
    {"bench",
     "usage: tarvel-client bench [--events N] [--rate R] [--host-pid PID]\n"
     "Sends N events (default 2000) at R per second (default 500): acknowledged\n"
     "keys and unacknowledged moves, then prints the acknowledgement round trip,\n"
     "losses and fallbacks. With --host-pid (a host on this machine) it adds\n"
     "the host's CPU time per event.\n"},
};

struct UsageError {
    std::string message;
};

[[noreturn]] void fail(int code, std::string_view message) {
    std::fprintf(stderr, "tarvel-client: %.*s\n", static_cast<int>(message.size()), message.data());
    std::fflush(stderr);
    std::_Exit(code);
}

int exitFor(ClientError error) {
    switch (error) {
        case ClientError::unreachable:
        case ClientError::timedOut:
        case ClientError::connectionLost: return exitUnreachable;
        case ClientError::wrongCode:
        case ClientError::noActiveCode:
        case ClientError::refused: return exitRefused;
        case ClientError::unpaired:
        case ClientError::removedByHost: return exitNotPaired;
        case ClientError::hostKeyMismatch:
        case ClientError::hostNotAuthentic: return exitIdentity;
        case ClientError::protocolError: return exitFailed;
    }
    return exitFailed;
}

template <class Number>
std::optional<Number> number(std::string_view text) {
    Number value{};
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size()) {
        return std::nullopt;
    }
    return value;
}

/// Text from the network, safe for a terminal: control characters (C0, DEL,
/// C1) become '?', so a name cannot move the cursor or set the clipboard.
std::string printable(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c == 0xC2 && i + 1 < text.size() && static_cast<unsigned char>(text[i + 1]) < 0xA0 &&
            static_cast<unsigned char>(text[i + 1]) >= 0x80) {
            out += '?';
            ++i;
        } else if (c < 0x20 || c == 0x7F) {
            out += '?';
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

std::optional<float> finite(std::string_view text) {
    auto value = number<float>(text);
    return value && std::isfinite(*value) ? value : std::nullopt;
}

/// The command's words with its flags taken out as they are asked for.
class Arguments {
  public:
    Arguments(std::string name, std::vector<std::string> words)
        : name_(std::move(name)), words_(std::move(words)) {}

    bool flag(std::string_view name) {
        auto it = std::find(words_.begin(), words_.end(), name);
        if (it == words_.end()) {
            return false;
        }
        words_.erase(it);
        return true;
    }
    std::optional<std::string> option(std::string_view name) {
        auto it = std::find(words_.begin(), words_.end(), name);
        if (it == words_.end()) {
            return std::nullopt;
        }
        if (it + 1 == words_.end()) {
            throw UsageError{std::string(name) + " needs a value"};
        }
        std::string value = *(it + 1);
        words_.erase(it, it + 2);
        return value;
    }
    /// The remaining words, exactly `count` of them.
    std::vector<std::string> positional(std::size_t count) {
        for (const auto& word : words_) {
            if (word.starts_with("--") && word.size() > 2) {
                throw UsageError{"unknown option " + word};
            }
        }
        if (words_.size() != count) {
            throw UsageError{name_ + " takes " + std::to_string(count) + " argument" +
                             (count == 1 ? "" : "s")};
        }
        return words_;
    }

  private:
    std::string name_;
    std::vector<std::string> words_;
};

/// Waits for what the session's queue reports.
class Signal {
  public:
    void set(std::function<void()> change) {
        {
            std::lock_guard lock(mutex_);
            change();
        }
        changed_.notify_all();
    }
    template <class Predicate>
    bool wait(std::chrono::milliseconds limit, Predicate done) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, limit, done);
    }

  private:
    std::mutex mutex_;
    std::condition_variable changed_;
};

class Client {
  public:
    Client(std::filesystem::path directory, std::optional<std::string> hostChoice)
        : directory_(std::move(directory)), hostChoice_(std::move(hostChoice)) {}

    void openStore() {
        if (auto prepared = base::preparePrivateDirectory(directory_); !prepared) {
            fail(exitFailed, "cannot use the data folder: " + prepared.error());
        }
        store_ = std::make_unique<pairing::PairedStore>(directory_);
    }

    pairing::PairedStore& store() { return *store_; }
    /// The user named the host by an address: only that one is tried.
    bool addressNamed() const { return addressNamed_; }

    security::ClientDescriptor descriptor() {
        auto secrets = security::IdentityStore::defaultSecretStore(directory_ / "identity");
        auto identity = security::IdentityStore::loadOrCreate(*secrets);
        if (!identity) {
            fail(exitFailed, "cannot keep this client's identity: " + identity.error().description());
        }
        auto name = platform::LinuxHostFacts().hostName();
        return {*identity, name.empty() ? std::string("Linux") : name, "tarvel-client"};
    }

    /// The paired host to talk to and where to find it.
    std::pair<pairing::PairedHostRecord, std::vector<std::string>> target() {
        const auto hosts = store_->hosts();
        if (hosts.empty()) {
            fail(exitNotPaired, "no host is paired — pair one first with: tarvel-client pair LINK");
        }
        if (!hostChoice_) {
            if (hosts.size() > 1) {
                fail(exitUsage, "several hosts are paired — choose one with --host (see: tarvel-client hosts)");
            }
            return {hosts.front(), endpointsOf(hosts.front())};
        }
        const std::string& choice = *hostChoice_;
        for (const auto& host : hosts) {
            if (host.hostId == choice || host.displayName == choice) {
                return {host, endpointsOf(host)};
            }
        }
        // An address: only there, with the host whose record lists it, or
        // the only paired one (authentication proves it is that host).
        if (auto endpoint = platform::EndpointText::parse(choice, 49182)) {
            addressNamed_ = true;
            for (const auto& host : hosts) {
                for (const auto* list : {&host.lanEndpoints, &host.tailscaleEndpoints}) {
                    if (std::ranges::find(*list, choice) != list->end()) {
                        return {host, {choice}};
                    }
                }
            }
            if (hosts.size() == 1) {
                return {hosts.front(), {choice}};
            }
        }
        fail(exitNotPaired, "no paired host is named " + choice + " (see: tarvel-client hosts)");
    }

  private:
    static std::vector<std::string> endpointsOf(const pairing::PairedHostRecord& host) {
        std::vector<std::string> endpoints = host.lanEndpoints;
        endpoints.insert(endpoints.end(), host.tailscaleEndpoints.begin(),
                         host.tailscaleEndpoints.end());
        if (endpoints.empty()) {
            fail(exitUnreachable, "the host " + printable(host.displayName) +
                                      " gave no address — name one with --host ADDRESS[:PORT]");
        }
        return endpoints;
    }

    std::filesystem::path directory_;
    std::optional<std::string> hostChoice_;
    std::unique_ptr<pairing::PairedStore> store_;
    bool addressNamed_ = false;
};

/// A session to a paired host, established or the process ends with the reason.
class Connection {
  public:
    Connection(Client& client, bool reconnect) : client_(client) {
        auto [host, endpoints] = client.target();
        ClientSession::Config config{client.descriptor(), std::move(endpoints)};
        config.reconnect = reconnect;
        config.reconnectAnywhere = !client.addressNamed();
        ClientSession::Callbacks callbacks;
        callbacks.established = [this](const client::ControlClient::Established& session, bool again) {
            client_.store().upsertHost(session.host);
            signal_.set([&] {
                name_ = session.host.displayName;
                up_ = true;
            });
            if (again) {
                std::fprintf(stderr, "tarvel-client: connected again to %s\n",
                             printable(session.host.displayName).c_str());
            }
        };
        callbacks.ended = [this](ClientError error, bool retrying) {
            if (retrying) {
                std::fprintf(stderr, "tarvel-client: %s; reconnecting\n",
                             std::string(client::describe(error)).c_str());
            }
            signal_.set([&] {
                up_ = false;
                if (!retrying) {
                    error_ = error;
                }
            });
        };
        callbacks.pong = [this](std::chrono::nanoseconds rtt) {
            signal_.set([&] {
                if (wantPong_ && !rtt_) {
                    rtt_ = rtt;
                }
            });
        };
        session_ = ClientSession::create(std::move(config), ClientSession::Authenticate{host},
                                         std::move(callbacks));
        session_->start();
        signal_.wait(20s, [&] { return up_ || error_; });
        bool up = false;
        std::optional<ClientError> failed;
        signal_.set([&] {
            up = up_;
            failed = error_;
        });
        if (failed) {
            end(*failed);
        }
        if (!up) {
            session_->close();
            fail(exitUnreachable, std::string(client::describe(ClientError::timedOut)));
        }
    }

    ~Connection() { session_->close(); }

    ClientSession& session() { return *session_; }
    Signal& signal() { return signal_; }
    std::string hostName() {
        std::string name;
        signal_.set([&] { name = name_; });
        return name;
    }
    std::optional<ClientError> error() {
        std::optional<ClientError> error;
        signal_.set([&] { error = error_; });
        return error;
    }
    /// One round trip over the control connection, or nothing by the limit.
    std::optional<std::chrono::nanoseconds> roundTrip(std::chrono::milliseconds limit) {
        signal_.set([&] {
            wantPong_ = true;
            rtt_.reset();
        });
        if (!session_->ping()) {
            return std::nullopt;
        }
        std::optional<std::chrono::nanoseconds> rtt;
        signal_.wait(limit, [&] { return rtt_.has_value() || error_.has_value(); });
        signal_.set([&] {
            rtt = rtt_;
            wantPong_ = false;
        });
        return rtt;
    }
    /// Sends a control frame or ends the process with why it could not.
    void check(tl::expected<void, ClientSession::SendError> sent) {
        if (sent) {
            return;
        }
        switch (sent.error()) {
            case ClientSession::SendError::notEstablished:
                end(error().value_or(ClientError::connectionLost));
            case ClientSession::SendError::tooLarge:
                session_->close();
                fail(exitUsage, "the text is too long for one message (at most 65 000 bytes)");
            case ClientSession::SendError::notText:
                session_->close();
                fail(exitUsage, "the text is not UTF-8");
        }
    }

    /// Everything sent has been handled by the host, or the process ends.
    void settle() {
        if (!session_->settle(10s)) {
            end(error().value_or(ClientError::timedOut));
        }
    }

    [[noreturn]] void end(ClientError error) {
        session_->close();
        fail(exitFor(error), std::string(client::describe(error)));
    }

  private:
    Client& client_;
    std::shared_ptr<ClientSession> session_;
    Signal signal_;
    bool up_ = false;
    std::optional<ClientError> error_;
    std::string name_;
    bool wantPong_ = false;
    std::optional<std::chrono::nanoseconds> rtt_;
};

void sendAcked(Connection& connection, const wire::InputEvent& event, wire::ModifierMask mask = {},
               wire::GesturePhase phase = wire::GesturePhase::none) {
    // One-shot commands ask for every acknowledgement, so nothing is lost.
    if (!connection.session().send(event, mask, phase, true)) {
        connection.end(connection.error().value_or(ClientError::connectionLost));
    }
}

void tapKey(Connection& connection, std::uint16_t hid, wire::ModifierMask mask) {
    using Key = wire::InputEvent::Key;
    sendAcked(connection, Key{hid, wire::KeyState::down, false}, mask);
    sendAcked(connection, Key{hid, wire::KeyState::up, false}, mask);
}

wire::ModifierMask modifiers(std::string_view list) {
    wire::ModifierMask mask;
    while (!list.empty()) {
        const auto comma = list.find(',');
        const auto name = list.substr(0, comma);
        if (name == "shift") {
            mask = mask | wire::ModifierMask::shift;
        } else if (name == "ctrl" || name == "control") {
            mask = mask | wire::ModifierMask::control;
        } else if (name == "alt" || name == "option") {
            mask = mask | wire::ModifierMask::option;
        } else if (name == "cmd" || name == "command" || name == "super" || name == "meta") {
            mask = mask | wire::ModifierMask::command;
        } else {
            throw UsageError{"unknown modifier " + std::string(name) +
                             " (shift, ctrl, alt, cmd)"};
        }
        list = comma == std::string_view::npos ? std::string_view() : list.substr(comma + 1);
    }
    return mask;
}

template <class Table>
std::uint8_t pick(const Table& table, std::string_view name, std::string_view what) {
    for (const auto& [candidate, id] : table) {
        if (candidate == name) {
            return id;
        }
    }
    std::string names;
    for (const auto& [candidate, id] : table) {
        names += (names.empty() ? "" : ", ") + std::string(candidate);
    }
    throw UsageError{"unknown " + std::string(what) + " " + std::string(name) + " (" + names + ")"};
}

constexpr std::pair<std::string_view, std::uint8_t> shortcuts[] = {
    {"copy", 1}, {"paste", 2}, {"cut", 3},  {"undo", 4},
    {"redo", 5}, {"select-all", 6}, {"find", 7}, {"lock", 8},
};
constexpr std::pair<std::string_view, std::uint8_t> mediaKeys[] = {
    {"volume-up", 1}, {"volume-down", 2}, {"mute", 3},          {"play-pause", 4},
    {"next", 5},      {"previous", 6},    {"brightness-up", 7}, {"brightness-down", 8},
};
constexpr std::pair<std::string_view, std::uint8_t> buttons[] = {
    {"left", 1}, {"right", 2}, {"middle", 3}};

// --- commands without a session --------------------------------------------

int discover(Arguments& args) {
    const bool tailscale = args.flag("--tailscale");
    const auto wait = args.option("--wait");
    args.positional(0);
    auto seconds = wait ? number<unsigned>(*wait) : std::optional<unsigned>(3);
    if (!seconds || *seconds == 0 || *seconds > 60) {
        throw UsageError{"--wait needs whole seconds from 1 to 60"};
    }
    auto found = platform::browseDnsSd(discovery::DnsSdConstants::serviceType,
                                       std::chrono::seconds(*seconds));
    if (!found) {
        fail(exitFailed, platform::describe(found.error()));
    }
    std::map<std::string, std::vector<const platform::BrowsedService*>> byHost;
    std::map<std::string, discovery::DnsSdTxt> records;
    for (const auto& service : *found) {
        auto txt = discovery::DnsSdTxt::fromDictionary(service.txt);
        if (!txt) {
            continue;  // not a host this client can talk to
        }
        byHost[txt->hostId].push_back(&service);
        records.insert_or_assign(txt->hostId, *txt);
    }
    for (const auto& [id, services] : byHost) {
        const auto& txt = records.at(id);
        std::printf("%s  %s  id %s  fp %s\n", printable(services.front()->instanceName).c_str(),
                    std::string(pairing::rawValue(txt.os)).c_str(), printable(id).c_str(),
                    printable(txt.fingerprint).c_str());
        std::vector<std::string> shown;
        for (const auto* service : services) {
            const bool v6 = service->address.find(':') != std::string::npos;
            std::string endpoint = (v6 ? "[" + service->address + "]" : service->address) + ":" +
                                   std::to_string(service->port);
            if (std::ranges::find(shown, endpoint) == shown.end()) {
                std::printf("  %s\n", printable(endpoint).c_str());
                shown.push_back(std::move(endpoint));
            }
        }
        if (txt.tailscaleEndpoint && !txt.tailscaleEndpoint->empty()) {
            std::printf("  %s (Tailscale)\n", printable(*txt.tailscaleEndpoint).c_str());
        }
    }
    if (byHost.empty()) {
        std::printf("no host found on the local network\n");
    }
    if (tailscale) {
        if (auto status = discovery::TailscaleLocalAPI().fetchStatus(2s)) {
            for (const auto& endpoint : discovery::TailscaleLocalAPI::candidateEndpoints(*status, 49182)) {
                std::printf("%s (Tailscale peer)\n", printable(endpoint).c_str());
            }
        } else {
            std::printf("Tailscale is not running here\n");
        }
    }
    return exitOK;
}

int hostsCommand(Client& client, Arguments& args) {
    args.positional(0);
    client.openStore();
    const auto hosts = client.store().hosts();
    if (hosts.empty()) {
        std::printf("no host is paired\n");
    }
    for (const auto& host : hosts) {
        std::string endpoints;
        for (const auto* list : {&host.lanEndpoints, &host.tailscaleEndpoints}) {
            for (const auto& endpoint : *list) {
                endpoints += " " + endpoint;
            }
        }
        const auto key = security::Hex::decode(host.ed25519PublicKeyHex);
        std::printf("%s  %s  fp %s\n ", printable(host.hostId).c_str(), printable(host.displayName).c_str(),
                    key ? security::Fingerprint::of(*key).c_str() : "(unusable key)");
        std::printf("%s\n", endpoints.empty() ? " (no address)" : printable(endpoints).c_str());
    }
    return exitOK;
}

int forget(Client& client, Arguments& args) {
    const auto words = args.positional(1);
    client.openStore();
    for (const auto& host : client.store().hosts()) {
        if (host.hostId == words[0] || host.displayName == words[0]) {
            client.store().removeHost(host.hostId);
            if (!client.store().flushHosts()) {
                fail(exitFailed, "could not write the paired hosts");
            }
            std::printf("forgot %s (%s)\n", printable(host.displayName).c_str(), printable(host.hostId).c_str());
            return exitOK;
        }
    }
    fail(exitNotPaired, "no paired host is named " + words[0]);
}

/// Runs a session to its end: an info reply, or a pairing.
struct OneShot {
    Signal signal;
    std::optional<wire::InfoReply> info;
    std::optional<client::ControlClient::Established> established;
    std::optional<ClientError> error;
    bool over = false;

    std::shared_ptr<ClientSession> run(ClientSession::Config config, ClientSession::Start start) {
        ClientSession::Callbacks callbacks;
        callbacks.info = [this](const wire::InfoReply& reply) {
            signal.set([&] {
                info = reply;
                over = true;
            });
        };
        callbacks.established = [this](const client::ControlClient::Established& session, bool) {
            signal.set([&] {
                established = session;
                over = true;
            });
        };
        callbacks.ended = [this](ClientError failure, bool) {
            signal.set([&] {
                error = failure;
                over = true;
            });
        };
        auto session = ClientSession::create(std::move(config), std::move(start), std::move(callbacks));
        session->start();
        if (!signal.wait(30s, [&] { return over; })) {
            session->close();
            fail(exitUnreachable, std::string(client::describe(ClientError::timedOut)));
        }
        // Nothing is reported after close(): what was seen is settled.
        session->close();
        if (error && !established && !info) {
            fail(exitFor(*error), std::string(client::describe(*error)));
        }
        return session;
    }
};

int info(Arguments& args) {
    const auto words = args.positional(1);
    if (!platform::EndpointText::parse(words[0], 49182)) {
        throw UsageError{"not an address: " + words[0]};
    }
    ClientSession::Config config{{security::LocalIdentity::generate(), "", ""}, {words[0]}};
    OneShot shot;
    shot.run(std::move(config), ClientSession::Info{})->close();
    const auto& reply = *shot.info;
    std::printf("name %s\nid %s\nos %s\nfingerprint %s\nport %lld\nprotocol %lld\n",
                printable(reply.name).c_str(), printable(reply.hostId).c_str(),
                printable(reply.os).c_str(), printable(reply.fp).c_str(),
                static_cast<long long>(reply.udpPort), static_cast<long long>(reply.v));
    return exitOK;
}

int pair(Client& client, Arguments& args) {
    const auto code = args.option("--code");
    const auto words = args.positional(1);
    std::vector<std::string> endpoints;
    ClientSession::Pair start;
    if (words[0].starts_with("tarvel:")) {
        if (code) {
            throw UsageError{"a pairing link carries its code: drop --code"};
        }
        auto link = pairing::PairingPayload::fromURLString(words[0]);
        if (!link) {
            throw UsageError{"not a pairing link: " + words[0]};
        }
        auto key = security::Hex::decode(link->publicKeyHex);
        if (!key || key->size() != 32) {
            throw UsageError{"the pairing link's key is not 64 hexadecimal digits"};
        }
        start = {link->code, std::move(*key)};
        // The link's LAN endpoint first, then its Tailscale one.
        for (const auto& endpoint : {link->lan, link->ts}) {
            if (endpoint) {
                endpoints.push_back(*endpoint);
            }
        }
        if (endpoints.empty()) {
            fail(exitUnreachable, "the pairing link names no address");
        }
    } else {
        if (!code) {
            throw UsageError{"pair HOST[:PORT] needs --code CODE (or pair a tarvel://pair link)"};
        }
        if (code->size() != 6 || !std::ranges::all_of(*code, [](char c) { return c >= '0' && c <= '9'; })) {
            throw UsageError{"the pairing code has six digits"};
        }
        if (!platform::EndpointText::parse(words[0], 49182)) {
            throw UsageError{"not an address: " + words[0]};
        }
        start = {*code, std::nullopt};
        endpoints = {words[0]};
        std::fprintf(stderr,
                     "tarvel-client: a typed code has no host key to check; pair from the "
                     "link or QR code to be sure of the host\n");
    }
    client.openStore();
    OneShot shot;
    auto session = shot.run({client.descriptor(), std::move(endpoints)}, std::move(start));
    const auto& host = shot.established->host;
    client.store().upsertHost(host);
    session->close();
    if (!client.store().flushHosts()) {
        fail(exitFailed, "paired, but could not write the paired hosts in " +
                             client.store().directory()->string());
    }
    std::printf("paired with %s (%s)\n", printable(host.displayName).c_str(), printable(host.hostId).c_str());
    return exitOK;
}

// --- commands over a session -------------------------------------------------

/// Long text cut between characters into pieces that each fit one message
/// once encoded (escapes make JSON longer than the text).
std::vector<std::string> textPieces(const std::string& text) {
    std::vector<std::string> pieces;
    for (std::size_t at = 0; at < text.size();) {
        for (std::size_t size = std::min<std::size_t>(text.size() - at, 60'000);; size = (size + 1) / 2) {
            std::size_t end = at + size;
            while (end > at && end < text.size() &&
                   (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) {
                --end;
            }
            if (end == at) {
                end = at + size;  // no boundary: not UTF-8, refused below
            }
            auto json = wire::JSONCodec::encode(wire::TextBody{text.substr(at, end - at)});
            if (!json) {
                throw UsageError{"the text is not UTF-8"};
            }
            if (json->size() <= wire::TCPFrameCodec::maxSealedPlaintextLen) {
                pieces.push_back(text.substr(at, end - at));
                at = end;
                break;
            }
        }
    }
    return pieces;
}

int input(Client& client, const std::string& command, Arguments& args) {
    using Event = wire::InputEvent;
    std::function<void(Connection&)> action;
    if (command == "type") {
        const auto words = args.positional(1);
        // Checked whole before anything is typed, so a refusal types nothing.
        action = [pieces = textPieces(words[0])](Connection& c) {
            for (const auto& piece : pieces) {
                c.check(c.session().sendText(piece));
            }
        };
    } else if (command == "key") {
        const auto mods = args.option("--mods");
        const auto words = args.positional(1);
        const auto hid = gamepad::PadKeyNames::hid(words[0]);
        if (!hid) {
            throw UsageError{"unknown key " + words[0] + " (names such as a, return, f5, left, space)"};
        }
        const auto mask = mods ? modifiers(*mods) : wire::ModifierMask{};
        action = [hid = *hid, mask](Connection& c) { tapKey(c, hid, mask); };
    } else if (command == "shortcut") {
        const auto id = pick(shortcuts, args.positional(1)[0], "shortcut");
        action = [id](Connection& c) { sendAcked(c, Event::Shortcut{id}); };
    } else if (command == "media") {
        const auto id = pick(mediaKeys, args.positional(1)[0], "media key");
        action = [id](Connection& c) { sendAcked(c, Event::Media{id}); };
    } else if (command == "click") {
        const auto count = args.option("--count");
        auto words = args.flag("left") ? std::vector<std::string>{"left"} : std::vector<std::string>{};
        if (words.empty()) {
            for (const auto& [name, id] : buttons) {
                if (args.flag(name)) {
                    words = {std::string(name)};
                    break;
                }
            }
        }
        args.positional(0);
        const auto button = pick(buttons, words.empty() ? "left" : words[0], "button");
        const auto clicks = count ? number<unsigned>(*count) : std::optional<unsigned>(1);
        if (!clicks || *clicks < 1 || *clicks > 3) {
            throw UsageError{"--count is 1, 2 or 3"};
        }
        action = [button, clicks = *clicks](Connection& c) {
            for (unsigned i = 1; i <= clicks; ++i) {
                const auto n = static_cast<std::uint8_t>(i);
                sendAcked(c, Event::MouseButton{button, true, n});
                sendAcked(c, Event::MouseButton{button, false, n});
            }
        };
    } else if (command == "move" || command == "scroll") {
        const auto words = args.positional(2);
        const auto dx = finite(words[0]);
        const auto dy = finite(words[1]);
        if (!dx || !dy) {
            throw UsageError{command + " needs two numbers"};
        }
        const bool move = command == "move";
        action = [move, dx = *dx, dy = *dy](Connection& c) {
            if (move) {
                sendAcked(c, Event::MouseMove{dx, dy});
            } else {
                // A whole gesture, so the host is left with no scroll in progress.
                sendAcked(c, Event::Scroll{dx, dy}, {}, wire::GesturePhase::began);
                sendAcked(c, Event::Scroll{0, 0}, {}, wire::GesturePhase::ended);
            }
        };
    } else if (command == "clipboard") {
        const bool paste = args.flag("--paste");
        const auto words = args.positional(1);
        action = [text = words[0], paste](Connection& c) {
            c.check(c.session().setClipboard(text, paste));
        };
    } else {  // ping
        args.positional(0);
        action = [](Connection& c) {
            const auto rtt = c.roundTrip(10s);
            if (!rtt) {
                c.end(c.error().value_or(ClientError::timedOut));
            }
            std::printf("pong from %s in %.2f ms\n", printable(c.hostName()).c_str(),
                        static_cast<double>(rtt->count()) / 1e6);
        };
    }
    client.openStore();
    Connection connection(client, false);
    action(connection);
    connection.settle();
    return exitOK;
}

volatile std::sig_atomic_t stopRequested = 0;

int interactive(Client& client, Arguments& args) {
    args.positional(0);
    if (::isatty(STDIN_FILENO) != 1) {
        fail(exitUsage, "interactive needs a terminal on standard input");
    }
    client.openStore();
    Connection connection(client, true);
    // Raw mode keeps Ctrl-C from the keyboard, not from kill: from here every
    // way to be told to stop restores the terminal and lets go on the host.
    struct sigaction action {};
    action.sa_handler = [](int number) { stopRequested = number; };
    for (const int number : {SIGTERM, SIGHUP, SIGINT, SIGQUIT}) {
        ::sigaction(number, &action, nullptr);
    }
    auto terminal = cli::RawTerminal::enter(STDIN_FILENO);
    if (!terminal) {
        connection.session().close();
        fail(exitFailed, "cannot put the terminal in raw mode: " + terminal.error().message());
    }
    std::fprintf(stderr, "tarvel-client: typing on %s — Ctrl-] leaves\n",
                 printable(connection.hostName()).c_str());
    cli::TerminalKeyParser parser;
    std::vector<cli::TerminalInput> inputs;
    std::array<std::uint8_t, 512> buffer{};
    bool leaving = false;
    bool warned = false;
    while (!leaving && stopRequested == 0) {
        if (auto error = connection.error()) {
            terminal = tl::unexpected(std::error_code());  // restore before the last line
            connection.end(*error);
        }
        pollfd in{STDIN_FILENO, POLLIN, 0};
        const int ready = ::poll(&in, 1, parser.pending() ? 30 : 250);
        inputs.clear();
        if (ready == 0 && parser.pending()) {
            parser.flush(inputs);
        } else if (ready > 0) {
            const ssize_t count = ::read(STDIN_FILENO, buffer.data(), buffer.size());
            if (count <= 0) {
                break;  // the terminal went away
            }
            parser.feed(wire::ByteView(buffer.data(), static_cast<std::size_t>(count)), inputs);
        }
        for (const auto& input : inputs) {
            if (std::holds_alternative<cli::TerminalLeave>(input)) {
                leaving = true;
                break;
            }
            bool sent = true;
            if (const auto* key = std::get_if<cli::TerminalKey>(&input)) {
                using Key = wire::InputEvent::Key;
                sent = connection.session().send(Key{key->usage, wire::KeyState::down, false}, key->mods);
                sent = connection.session().send(Key{key->usage, wire::KeyState::up, false}, key->mods) && sent;
            } else if (const auto* text = std::get_if<cli::TerminalText>(&input)) {
                sent = connection.session().sendText(text->utf8).has_value() && sent;
            }
            if (!sent && !warned) {
                std::fprintf(stderr, "tarvel-client: not connected — keys typed now are lost\n");
            }
            warned = !sent;
        }
    }
    // Whatever happened on the way, the host lets go of everything.
    connection.session().send(wire::InputEvent::ResetState{}, {}, wire::GesturePhase::none, true);
    terminal = tl::unexpected(std::error_code());
    connection.settle();
    std::fprintf(stderr, "tarvel-client: left %s\n", printable(connection.hostName()).c_str());
    return stopRequested == 0 ? exitOK : 128 + stopRequested;
}

std::optional<double> cpuSeconds(long pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    if (!std::getline(stat, line)) {
        return std::nullopt;
    }
    // Fields after the command name, which may hold spaces, in parentheses.
    std::istringstream fields(line.substr(line.rfind(')') + 2));
    std::string field;
    unsigned long long utime = 0, stime = 0;
    for (int index = 3; fields >> field; ++index) {
        if (index == 14) {
            utime = std::stoull(field);
        } else if (index == 15) {
            stime = std::stoull(field);
            return static_cast<double>(utime + stime) / static_cast<double>(::sysconf(_SC_CLK_TCK));
        }
    }
    return std::nullopt;
}

int bench(Client& client, Arguments& args) {
    const auto eventsText = args.option("--events");
    const auto rateText = args.option("--rate");
    const auto pidText = args.option("--host-pid");
    args.positional(0);
    const auto events = eventsText ? number<unsigned>(*eventsText) : std::optional<unsigned>(2000);
    const auto rate = rateText ? number<unsigned>(*rateText) : std::optional<unsigned>(500);
    const auto pid = pidText ? number<long>(*pidText) : std::optional<long>(0);
    if (!events || *events < 2 || *events > 1'000'000 || !rate || *rate < 1 || *rate > 100'000 || !pid) {
        throw UsageError{"--events is 2 to 1000000, --rate 1 to 100000, --host-pid a process id"};
    }
    client.openStore();
    auto& trace = diagnostics::LatencyTrace::shared();
    trace.setEnabled(true);
    Connection connection(client, false);
    trace.reset();
    const auto cpuBefore = *pid ? cpuSeconds(*pid) : std::nullopt;
    if (*pid && !cpuBefore) {
        fail(exitUsage, "cannot read the CPU time of process " + *pidText);
    }

    // Keys (acknowledged) alternate with moves (not): a harmless key, F24,
    // and moves that cancel out.
    const auto interval = std::chrono::nanoseconds(1'000'000'000 / *rate);
    auto next = std::chrono::steady_clock::now();
    unsigned keys = 0;
    for (unsigned i = 0; i < *events; ++i) {
        next += interval;
        std::this_thread::sleep_until(next);
        const bool sent =
            i % 2 == 0
                ? connection.session().send(
                      wire::InputEvent::Key{0x73, (i / 2) % 2 == 0 ? wire::KeyState::down : wire::KeyState::up, false})
                : connection.session().send(wire::InputEvent::MouseMove{(i / 2) % 2 == 0 ? 1.0f : -1.0f, 0});
        if (!sent) {
            connection.end(connection.error().value_or(ClientError::connectionLost));
        }
        keys += i % 2 == 0;
    }
    connection.session().send(wire::InputEvent::Key{0x73, wire::KeyState::up, false});
    ++keys;
    connection.settle();
    const auto cpuAfter = *pid ? cpuSeconds(*pid) : std::nullopt;

    const auto rtt = trace.summary(diagnostics::LatencyMetric::ackRTT);
    const auto fallbacks = trace.summary(diagnostics::LatencyMetric::ackFallbacks);
    const std::uint64_t acked = rtt ? rtt->count : 0;
    const std::uint64_t fellBack = fallbacks ? fallbacks->count : 0;
    std::printf("events: %u (%u acknowledged keys, %u moves) at %u/s to %s\n", *events + 1, keys,
                *events / 2, *rate, printable(connection.hostName()).c_str());
    if (rtt) {
        std::printf("ack round trip (us): n=%llu p50=%.1f p95=%.1f p99=%.1f max=%.1f\n",
                    static_cast<unsigned long long>(acked), rtt->p50, rtt->p95, rtt->p99, rtt->max);
    }
    std::printf("acks lost or late: %llu of %u; fallbacks over the control connection: %llu\n",
                static_cast<unsigned long long>(keys - std::min<std::uint64_t>(acked, keys)), keys,
                static_cast<unsigned long long>(fellBack));
    if (cpuBefore && cpuAfter) {
        std::printf("host CPU: %.1f us per event\n",
                    (*cpuAfter - *cpuBefore) * 1e6 / static_cast<double>(*events + 1));
    }
    return exitOK;
}

}  // namespace

int main(int argc, char** argv) {
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    ::signal(SIGPIPE, SIG_IGN);
    const auto environment = base::processEnvironment();
    std::optional<std::filesystem::path> directory;
    std::optional<std::string> host;
    int i = 1;
    try {
        for (; i < argc; ++i) {
            const std::string_view arg = argv[i];
            if (arg == "--help" || arg == "-h") {
                std::fputs(std::string(usage).c_str(), stdout);
                return exitOK;
            }
            if (arg == "--version") {
                std::printf("tarvel-client %.*s\n", static_cast<int>(base::version().size()),
                            base::version().data());
                return exitOK;
            }
            if (arg == "--data-dir" || arg == "--host") {
                if (i + 1 >= argc || std::string_view(argv[i + 1]).empty()) {
                    throw UsageError{std::string(arg) + " needs a value"};
                }
                if (arg == "--host") {
                    host = argv[++i];
                } else {
                    directory = std::filesystem::path(argv[++i]);
                }
                continue;
            }
            if (arg.starts_with("-")) {
                throw UsageError{"unknown option " + std::string(arg)};
            }
            break;
        }
        if (i >= argc) {
            throw UsageError{"no command given"};
        }
        const std::string command = argv[i];
        std::vector<std::string> words(argv + i + 1, argv + argc);
        const bool known = commandHelp.contains(command);
        if (!known) {
            throw UsageError{"unknown command " + command};
        }
        if (std::ranges::find(words, "--help") != words.end()) {
            std::fputs(std::string(commandHelp.at(command)).c_str(), stdout);
            return exitOK;
        }
        if (!directory) {
            if (auto variable = base::nonEmptyVariable(environment, "TVL_DATA_DIR")) {
                directory = std::filesystem::path(*variable);
            } else {
                auto data = base::nonEmptyVariable(environment, "XDG_DATA_HOME");
                auto home = base::homeDirectory(environment);
                if (data && std::filesystem::path(*data).is_absolute()) {
                    directory = std::filesystem::path(*data) / "tarvel-client";
                } else if (home) {
                    directory = *home / ".local" / "share" / "tarvel-client";
                } else {
                    fail(exitFailed, "no data folder: set --data-dir or HOME");
                }
            }
        }
        // Library lines (the Avahi client, the store) speak for this tool.
        base::setLogSink([](std::string_view line) {
            std::fprintf(stderr, "%.*s\n", static_cast<int>(line.size()), line.data());
        });
        Client client(*directory, host);
        Arguments args(command, std::move(words));
        if (command == "discover") {
            return discover(args);
        }
        if (command == "info") {
            return info(args);
        }
        if (command == "pair") {
            return pair(client, args);
        }
        if (command == "hosts") {
            return hostsCommand(client, args);
        }
        if (command == "forget") {
            return forget(client, args);
        }
        if (command == "interactive") {
            return interactive(client, args);
        }
        if (command == "bench") {
            return bench(client, args);
        }
        return input(client, command, args);
    } catch (const UsageError& error) {
        std::fprintf(stderr, "tarvel-client: %s\n", error.message.c_str());
        std::fputs("Run tarvel-client --help for the commands.\n", stderr);
        return exitUsage;
    }
}
