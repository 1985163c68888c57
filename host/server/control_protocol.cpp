#include "host/server/control_protocol.hpp"

#include <sys/stat.h>

#include <nlohmann/json.hpp>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <type_traits>
#include <utility>

namespace tarvel::control {

namespace {

using JSON = nlohmann::json;

constexpr std::array<std::pair<Command, std::string_view>, 4> commandNames{{
    {Command::status, "status"},
    {Command::devices, "devices"},
    {Command::pair, "pair"},
    {Command::forget, "forget"},
}};

constexpr std::array<std::pair<Failure, std::string_view>, 6> failureNames{{
    {Failure::badRequest, "bad_request"},
    {Failure::busy, "busy"},
    {Failure::timeout, "timeout"},
    {Failure::unknownDevice, "unknown_device"},
    {Failure::ambiguous, "ambiguous"},
    {Failure::unavailable, "unavailable"},
}};

constexpr std::array<std::pair<PairingEnd, std::string_view>, 4> endNames{{
    {PairingEnd::exhausted, "exhausted"},
    {PairingEnd::notSaved, "not_saved"},
    {PairingEnd::replaced, "replaced"},
    {PairingEnd::stopping, "stopping"},
}};

template <class Table, class Value>
std::string_view nameOf(const Table& table, Value value) {
    for (const auto& [entry, name] : table) {
        if (entry == value) {
            return name;
        }
    }
    return {};
}

template <class Table>
auto valueOf(const Table& table, std::string_view name)
    -> std::optional<typename Table::value_type::first_type> {
    for (const auto& [entry, entryName] : table) {
        if (entryName == name) {
            return entry;
        }
    }
    return std::nullopt;
}

// Device names come from phones: never let a byte sequence make dump() throw.
std::string dumpLine(const JSON& json) {
    return json.dump(-1, ' ', false, JSON::error_handler_t::replace) + "\n";
}

JSON deviceJSON(const Device& device) {
    return {{"id", device.id},         {"name", device.name},
            {"model", device.model},   {"online", device.online},
            {"controlling", device.controlling}, {"lastSeen", device.lastSeenUnix}};
}

// Answers come from the host we asked, but a stray value must still not throw.
std::string text(const JSON& json, const char* key) {
    const auto it = json.find(key);
    return it != json.end() && it->is_string() ? it->get<std::string>() : std::string();
}
bool flag(const JSON& json, const char* key) {
    const auto it = json.find(key);
    return it != json.end() && it->is_boolean() && it->get<bool>();
}
/// Reads numbers and remembers whether one did not fit: absent or not a
/// number gives zero; a fraction, a negative count or one too large refuses
/// the answer, as converting it would be undefined.
struct Numbers {
    bool bad = false;

    template <class Number>
    Number get(const JSON& json, const char* key) {
        const auto it = json.find(key);
        if (it == json.end() || !it->is_number()) {
            return Number{};
        }
        if constexpr (std::is_floating_point_v<Number>) {
            return it->get<Number>();
        } else if (it->is_number_unsigned()) {
            if (const auto value = it->get<std::uint64_t>(); std::in_range<Number>(value)) {
                return static_cast<Number>(value);
            }
        } else if (it->is_number_integer()) {
            if (const auto value = it->get<std::int64_t>(); std::in_range<Number>(value)) {
                return static_cast<Number>(value);
            }
        }
        bad = true;
        return Number{};
    }
};
std::optional<std::string> optionalText(const JSON& json, const char* key) {
    const auto it = json.find(key);
    return it != json.end() && it->is_string() ? std::optional(it->get<std::string>())
                                                : std::nullopt;
}

Device deviceFrom(const JSON& json, Numbers& numbers) {
    if (!json.is_object()) {
        return {};
    }
    return {text(json, "id"),     text(json, "name"),        text(json, "model"),
            flag(json, "online"), flag(json, "controlling"), numbers.get<std::int64_t>(json, "lastSeen")};
}

std::vector<Device> devicesFrom(const JSON& json, const char* key, Numbers& numbers) {
    std::vector<Device> devices;
    const auto it = json.find(key);
    if (it != json.end() && it->is_array()) {
        for (const auto& entry : *it) {
            devices.push_back(deviceFrom(entry, numbers));
        }
    }
    return devices;
}

/// U+061C, U+200B..U+200F, U+2028..U+202E, U+2060..U+2069 and U+FEFF: the
/// length of the UTF-8 sequence at `at` when it is one of them, else 0.
std::size_t invisibleFormat(std::string_view text, std::size_t at) {
    const auto byte = [&](std::size_t i) {
        return at + i < text.size() ? static_cast<unsigned char>(text[at + i]) : 0u;
    };
    if (byte(0) == 0xd8 && byte(1) == 0x9c) {
        return 2;
    }
    if (byte(0) == 0xe2 && byte(1) == 0x80 &&
        ((byte(2) >= 0x8b && byte(2) <= 0x8f) || (byte(2) >= 0xa8 && byte(2) <= 0xae))) {
        return 3;
    }
    if (byte(0) == 0xe2 && byte(1) == 0x81 && byte(2) >= 0xa0 && byte(2) <= 0xa9) {
        return 3;
    }
    if (byte(0) == 0xef && byte(1) == 0xbb && byte(2) == 0xbf) {
        return 3;
    }
    return 0;
}

}  // namespace

tl::expected<void, std::string> checkSocketFolder(const std::filesystem::path& folder, uid_t uid) {
    struct stat info {};
    if (::lstat(folder.c_str(), &info) != 0) {
        return tl::unexpected("cannot use " + folder.string() + ": " + std::strerror(errno));
    }
    if (!S_ISDIR(info.st_mode)) {
        return tl::unexpected(folder.string() + " is not a folder");
    }
    const bool sticky = (info.st_mode & S_ISVTX) != 0;
    if (!sticky && (info.st_uid != uid || (info.st_mode & 022) != 0)) {
        return tl::unexpected(folder.string() + " is not private to this user");
    }
    return {};
}

std::filesystem::path socketPath(const base::Environment& environment, uid_t uid) {
    if (auto chosen = base::nonEmptyVariable(environment, socketVariable)) {
        return *chosen;
    }
    if (auto runtime = base::nonEmptyVariable(environment, "XDG_RUNTIME_DIR");
        runtime && std::filesystem::path(*runtime).is_absolute()) {
        return std::filesystem::path(*runtime) / "tarvel" / "control";
    }
    return std::filesystem::path("/tmp") / ("tarvel-" + std::to_string(uid)) / "control";
}

std::string_view describe(RequestError error) noexcept {
    switch (error) {
        case RequestError::tooLong:
            return "request too long";
        case RequestError::notJSON:
            return "a request is one JSON object on one line";
        case RequestError::unknownCommand:
            return "unknown command";
        case RequestError::missingDevice:
            return "forget needs a device id or name";
    }
    return "bad request";
}

tl::expected<Request, RequestError> parseRequest(std::string_view line) {
    if (line.size() > maxRequestBytes) {
        return tl::unexpected(RequestError::tooLong);
    }
    if (line.ends_with('\r')) {
        line.remove_suffix(1);
    }
    const JSON json = JSON::parse(line, nullptr, false);
    if (json.is_discarded() || !json.is_object()) {
        return tl::unexpected(RequestError::notJSON);
    }
    const auto name = json.find("command");
    if (name == json.end() || !name->is_string()) {
        return tl::unexpected(RequestError::unknownCommand);
    }
    const auto command = valueOf(commandNames, name->get_ref<const std::string&>());
    if (!command) {
        return tl::unexpected(RequestError::unknownCommand);
    }
    Request request{*command, {}};
    if (*command == Command::forget) {
        request.device = text(json, "device");
        if (request.device.empty()) {
            return tl::unexpected(RequestError::missingDevice);
        }
    }
    return request;
}

std::string encodeRequest(const Request& request) {
    JSON json{{"command", std::string(nameOf(commandNames, request.command))}};
    if (request.command == Command::forget) {
        json["device"] = request.device;
    }
    return dumpLine(json);
}

std::optional<RequestReader::Result> RequestReader::feed(std::string_view bytes) {
    if (done_) {
        return std::nullopt;
    }
    const auto newline = bytes.find('\n');
    const auto take = std::min(bytes.size(), newline);
    // Checked before appending, so a flood never grows the buffer past the bound.
    if (line_.size() + take > maxRequestBytes) {
        done_ = true;
        return Result(tl::unexpect, RequestError::tooLong);
    }
    line_.append(bytes.substr(0, take));
    if (newline == std::string_view::npos) {
        return std::nullopt;
    }
    done_ = true;
    return parseRequest(line_);
}

std::vector<Device> devicesFrom(const std::vector<pairing::PairedClientRecord>& clients,
                                const std::set<std::string>& onlineIds,
                                const std::optional<std::string>& activeClientName) {
    std::vector<Device> devices;
    bool controllerMarked = false;
    for (const auto& client : clients) {
        Device device{client.clientId,
                      client.deviceName,
                      client.deviceModel,
                      onlineIds.contains(client.clientId),
                      false,
                      client.lastSeenUnix};
        if (!controllerMarked && device.online && activeClientName == client.deviceName) {
            device.controlling = controllerMarked = true;
        }
        devices.push_back(std::move(device));
    }
    return devices;
}

std::vector<LatencyFigure> latencyFigures(const diagnostics::LatencyTrace& trace) {
    std::vector<LatencyFigure> figures;
    for (const auto metric : diagnostics::allLatencyMetrics) {
        if (auto summary = trace.summary(metric)) {
            figures.push_back({std::string(diagnostics::label(metric)),
                               diagnostics::isTime(metric), *summary});
        }
    }
    return figures;
}

tl::expected<Device, Error> chooseDevice(const std::vector<Device>& devices,
                                         std::string_view idOrName) {
    for (const auto& device : devices) {
        if (device.id == idOrName) {
            return device;
        }
    }
    std::vector<Device> named;
    std::ranges::copy_if(devices, std::back_inserter(named),
                         [&](const Device& device) { return device.name == idOrName; });
    if (named.size() == 1) {
        return named.front();
    }
    if (named.empty()) {
        return tl::unexpected(Error{Failure::unknownDevice,
                                    "no paired device has the id or name " + std::string(idOrName),
                                    {}});
    }
    return tl::unexpected(Error{Failure::ambiguous,
                                std::to_string(named.size()) + " paired devices are named " +
                                    std::string(idOrName) + "; name one by its id",
                                std::move(named)});
}

std::string encodeAnswer(const Answer& answer) {
    struct Encoder {
        JSON operator()(const HostStatus& status) const {
            JSON figures = JSON::array();
            for (const auto& figure : status.latency) {
                figures.push_back({{"metric", figure.metric},
                                   {"unit", figure.microseconds ? "us" : "count"},
                                   {"n", figure.summary.count},
                                   {"p50", figure.summary.p50},
                                   {"p95", figure.summary.p95},
                                   {"p99", figure.summary.p99},
                                   {"max", figure.summary.max}});
            }
            return {{"answer", "status"},
                    {"version", status.version},
                    {"name", status.name},
                    {"port", status.port},
                    {"lan", status.lan},
                    {"tailscale", status.tailscale ? JSON(*status.tailscale) : JSON()},
                    {"sink", status.sink},
                    {"injecting", status.injecting},
                    {"controlledBy", status.controlledBy ? JSON(*status.controlledBy) : JSON()},
                    {"paired", status.pairedDevices},
                    {"online", status.onlineDevices},
                    {"tracing", status.tracing},
                    {"latency", std::move(figures)}};
        }
        JSON operator()(const std::vector<Device>& devices) const {
            JSON list = JSON::array();
            for (const auto& device : devices) {
                list.push_back(deviceJSON(device));
            }
            return {{"answer", "devices"}, {"devices", std::move(list)}};
        }
        JSON operator()(const Forgotten& forgotten) const {
            return {{"answer", "forgotten"}, {"device", deviceJSON(forgotten.device)}};
        }
        JSON operator()(const PairingOffer& offer) const {
            JSON json{{"answer", "pairing"}, {"code", offer.code}, {"link", offer.link}};
            if (!offer.web.empty()) {
                json["web"] = offer.web;
            }
            return json;
        }
        JSON operator()(const Paired& paired) const {
            return {{"answer", "paired"}, {"device", deviceJSON(paired.device)}};
        }
        JSON operator()(const PairingEnded& ended) const {
            return {{"answer", "pairing_ended"}, {"reason", std::string(nameOf(endNames, ended.reason))}};
        }
        JSON operator()(const Error& error) const {
            JSON json{{"answer", "error"},
                      {"error", std::string(nameOf(failureNames, error.failure))},
                      {"message", error.message}};
            if (!error.matches.empty()) {
                JSON list = JSON::array();
                for (const auto& device : error.matches) {
                    list.push_back(deviceJSON(device));
                }
                json["matches"] = std::move(list);
            }
            return json;
        }
    };
    return dumpLine(std::visit(Encoder{}, answer));
}

tl::expected<Answer, std::string> parseAnswer(std::string_view line) {
    const JSON json = JSON::parse(line, nullptr, false);
    if (json.is_discarded() || !json.is_object()) {
        return tl::unexpected(std::string("the host's answer is not JSON"));
    }
    const std::string kind = text(json, "answer");
    Numbers numbers;
    const auto checked = [&](Answer answer) -> tl::expected<Answer, std::string> {
        if (numbers.bad) {
            return tl::unexpected(std::string("the host's answer holds a number out of range"));
        }
        return answer;
    };
    if (kind == "status") {
        HostStatus status;
        status.version = text(json, "version");
        status.name = text(json, "name");
        status.port = numbers.get<std::uint16_t>(json, "port");
        status.lan = text(json, "lan");
        status.tailscale = optionalText(json, "tailscale");
        status.sink = text(json, "sink");
        status.injecting = flag(json, "injecting");
        status.controlledBy = optionalText(json, "controlledBy");
        status.pairedDevices = numbers.get<std::size_t>(json, "paired");
        status.onlineDevices = numbers.get<std::size_t>(json, "online");
        status.tracing = flag(json, "tracing");
        if (const auto it = json.find("latency"); it != json.end() && it->is_array()) {
            for (const auto& entry : *it) {
                if (!entry.is_object()) {
                    continue;
                }
                status.latency.push_back({text(entry, "metric"), text(entry, "unit") == "us",
                                          {numbers.get<std::uint64_t>(entry, "n"),
                                           numbers.get<double>(entry, "p50"),
                                           numbers.get<double>(entry, "p95"),
                                           numbers.get<double>(entry, "p99"),
                                           numbers.get<double>(entry, "max")}});
            }
        }
        return checked(std::move(status));
    }
    if (kind == "devices") {
        return checked(devicesFrom(json, "devices", numbers));
    }
    if (kind == "forgotten") {
        return checked(Forgotten{deviceFrom(json.value("device", JSON()), numbers)});
    }
    if (kind == "pairing") {
        return PairingOffer{text(json, "code"), text(json, "link"),
                            json.contains("web") ? text(json, "web") : std::string()};
    }
    if (kind == "paired") {
        return checked(Paired{deviceFrom(json.value("device", JSON()), numbers)});
    }
    if (kind == "pairing_ended") {
        if (auto reason = valueOf(endNames, text(json, "reason"))) {
            return PairingEnded{*reason};
        }
        return tl::unexpected(std::string("the host ended pairing for an unknown reason"));
    }
    if (kind == "error") {
        return checked(Error{valueOf(failureNames, text(json, "error")).value_or(Failure::badRequest),
                             text(json, "message"), devicesFrom(json, "matches", numbers)});
    }
    return tl::unexpected("unknown answer from the host: " + printable(kind));
}

std::string printable(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto byte = static_cast<unsigned char>(text[i]);
        if (byte < 0x20 || byte == 0x7f) {
            out += '?';
        } else if (const auto length = invisibleFormat(text, i); length != 0) {
            out += '?';
            i += length - 1;
        } else if (byte == 0xc2 && i + 1 < text.size() &&
                   static_cast<unsigned char>(text[i + 1]) >= 0x80 &&
                   static_cast<unsigned char>(text[i + 1]) <= 0x9f) {
            out += '?';  // U+0080..U+009F, the C1 controls in UTF-8
            ++i;
        } else {
            out += text[i];
        }
    }
    return out;
}

}  // namespace tarvel::control
