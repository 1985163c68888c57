#include "core/gamepad/gamepad_mapping_file.hpp"

#include <cmath>
#include <exception>

#include "core/base/atomic_file.hpp"
#include "core/base/data_folder.hpp"
#include "core/base/salvage.hpp"
#include "core/gamepad/text_folding.hpp"

namespace tarvel::gamepad::GamepadMappingFile {

namespace {

using wire::JSON;

// The data folder also holds the identity's secret files; keep it private.
constexpr mode_t directoryMode = 0700;
// Like every file in the data folder: the owner's alone.
constexpr mode_t fileMode = 0600;

constexpr std::string_view emptyObject = "{}";

const JSON* member(const JSON& object, std::string_view key) {
    if (!object.is_object()) {
        return nullptr;
    }
    auto it = object.find(key);
    return it == object.end() ? nullptr : &*it;
}

std::optional<std::string> stringMember(const JSON& object, std::string_view key) {
    const JSON* value = member(object, key);
    if (value == nullptr || !value->is_string()) {
        return std::nullopt;
    }
    return value->get<std::string>();
}

// Booleans are not numbers here, unlike in some JSON libraries' conversions.
std::optional<double> numberMember(const JSON& object, std::string_view key) {
    const JSON* value = member(object, key);
    if (value == nullptr || !value->is_number()) {
        return std::nullopt;
    }
    return value->get<double>();
}

// An integer, or a float with an integral value, that fits 64 signed bits.
std::optional<std::int64_t> integerMember(const JSON& object, std::string_view key) {
    const JSON* value = member(object, key);
    if (value == nullptr) {
        return std::nullopt;
    }
    if (value->is_number_unsigned()) {
        const auto unsignedValue = value->get<std::uint64_t>();
        if (unsignedValue > static_cast<std::uint64_t>(INT64_MAX)) {
            return std::nullopt;
        }
        return static_cast<std::int64_t>(unsignedValue);
    }
    if (value->is_number_integer()) {
        return value->get<std::int64_t>();
    }
    if (value->is_number_float()) {
        const double d = value->get<double>();
        // 2^63 is exact as a double; the comparison also rejects NaN.
        constexpr double limit = 9223372036854775808.0;
        if (d >= -limit && d < limit && std::trunc(d) == d) {
            return static_cast<std::int64_t>(d);
        }
    }
    return std::nullopt;
}

// Every element must be a string, or the array counts as absent.
std::vector<std::string> stringsMember(const JSON& object, std::string_view key) {
    const JSON* value = member(object, key);
    if (value == nullptr || !value->is_array()) {
        return {};
    }
    std::vector<std::string> out;
    out.reserve(value->size());
    for (const auto& element : *value) {
        if (!element.is_string()) {
            return {};
        }
        out.push_back(element.get<std::string>());
    }
    return out;
}

void decodeStick(const JSON& json, StickBinding& stick) {
    if (auto mode = stringMember(json, "mode")) {
        if (auto known = stickMode(detail::lowercasedASCII(*mode))) {
            stick.mode = *known;
        }
    }
    for (auto [key, field] : {std::pair{"up", &stick.up}, std::pair{"down", &stick.down},
                              std::pair{"left", &stick.left}, std::pair{"right", &stick.right}}) {
        if (auto name = stringMember(json, key)) {
            if (auto canonical = PadKeyNames::canonical(*name)) {
                *field = std::string(*canonical);
            }
        }
    }
    if (auto deadzone = numberMember(json, "deadzone")) {
        stick.deadzone = *deadzone;
    }
    if (auto sensitivity = numberMember(json, "sensitivity")) {
        stick.sensitivity = *sensitivity;
    }
    if (const JSON* invert = member(json, "invertY"); invert && invert->is_boolean()) {
        stick.invertY = invert->get<bool>();
    }
}

GamepadMapping decodeObject(const JSON& json) {
    GamepadMapping mapping = GamepadMapping::defaults();
    mapping.version = integerMember(json, "version").value_or(GamepadMapping::currentVersion);
    if (const JSON* bindings = member(json, "bindings"); bindings && bindings->is_object()) {
        for (const auto& [name, value] : bindings->items()) {
            const auto control = padControl(name);
            if (!control) {
                continue;
            }
            if (auto binding = decodeBinding(value)) {
                mapping.bindings[*control] = std::move(*binding);
            }
        }
    }
    if (const JSON* left = member(json, "leftStick"); left && left->is_object()) {
        decodeStick(*left, mapping.leftStick);
    }
    if (const JSON* right = member(json, "rightStick"); right && right->is_object()) {
        decodeStick(*right, mapping.rightStick);
    }
    return mapping.normalized();
}

JSON encodeBinding(const PadBinding& binding) {
    JSON json = JSON::object();
    json["type"] = rawValue(binding.kind());
    if (const auto* key = binding.as<PadBinding::Key>()) {
        json["key"] = key->combo.key;
        JSON mods = JSON::array();
        for (std::string_view name : key->combo.mods.names()) {
            mods.push_back(name);
        }
        json["mods"] = std::move(mods);
    } else if (const auto* mouse = binding.as<PadBinding::MouseButton>()) {
        json["button"] = rawValue(mouse->button);
    } else if (const auto* move = binding.as<PadBinding::MouseMove>()) {
        json["direction"] = rawValue(move->direction);
        json["speed"] = move->speed;
    } else if (const auto* scroll = binding.as<PadBinding::Scroll>()) {
        json["direction"] = rawValue(scroll->direction);
        json["speed"] = scroll->speed;
    }
    return json;
}

JSON encodeStick(const StickBinding& stick) {
    return JSON{
        {"mode", rawValue(stick.mode)},
        {"up", stick.up},
        {"down", stick.down},
        {"left", stick.left},
        {"right", stick.right},
        {"deadzone", stick.deadzone},
        {"sensitivity", stick.sensitivity},
        {"invertY", stick.invertY},
    };
}

std::vector<std::uint8_t> bytesOf(std::string_view text) {
    return {text.begin(), text.end()};
}

}  // namespace

std::filesystem::path defaultURL(const base::Environment& environment) {
    const auto folder = base::dataDirectory(environment);
    if (folder.empty()) {
        return {};  // no home: nowhere to keep it
    }
    return folder / fileName;
}

tl::expected<PadBinding, std::string> decodeBinding(const JSON& json) {
    const std::string type = detail::lowercasedASCII(stringMember(json, "type").value_or(""));
    const double speed = numberMember(json, "speed").value_or(1.0);
    const auto direction =
        padDirection(detail::lowercasedASCII(stringMember(json, "direction").value_or("")));

    if (type == "none" || type == "off") {
        return PadBinding::none();
    }
    if (type == "key") {
        const std::string name = stringMember(json, "key").value_or("");
        const auto canonical = PadKeyNames::canonical(name);
        if (!canonical) {
            return tl::unexpected("unknown key " + name);
        }
        return PadBinding::key(std::string(*canonical),
                               PadModifiers::fromNames(stringsMember(json, "mods")));
    }
    if (type == "mouse" || type == "mousebutton") {
        const auto button =
            padMouseButton(detail::lowercasedASCII(stringMember(json, "button").value_or("left")));
        if (!button) {
            return tl::unexpected(std::string("button"));
        }
        return PadBinding::mouseButton(*button);
    }
    if (type == "move" || type == "mousemove") {
        if (!direction) {
            return tl::unexpected(std::string("direction"));
        }
        return PadBinding::mouseMove(*direction, speed);
    }
    if (type == "scroll") {
        if (!direction) {
            return tl::unexpected(std::string("direction"));
        }
        return PadBinding::scroll(*direction, speed);
    }
    return tl::unexpected("unknown type " + type);
}

std::optional<GamepadMapping> decode(std::span<const std::uint8_t> bytes) {
    try {
        const JSON json = JSON::parse(bytes.begin(), bytes.end(), nullptr, false);
        if (json.is_discarded() || !json.is_object()) {
            return std::nullopt;
        }
        return decodeObject(json);
    } catch (const std::exception&) {
        // Only allocation can fail past the type checks; treat it as unreadable.
        return std::nullopt;
    }
}

std::optional<GamepadMapping> decode(std::string_view text) {
    return decode(std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()));
}

std::vector<std::uint8_t> encode(const GamepadMapping& mapping) {
    try {
        const GamepadMapping normalized = mapping.normalized();
        JSON bindings = JSON::object();
        for (const auto& [control, binding] : normalized.bindings) {
            bindings[std::string(rawValue(control))] = encodeBinding(binding);
        }
        const JSON json{
            {"version", normalized.version},
            {"bindings", std::move(bindings)},
            {"leftStick", encodeStick(normalized.leftStick)},
            {"rightStick", encodeStick(normalized.rightStick)},
        };
        // The default object type is an ordered map, so keys come out sorted.
        return bytesOf(json.dump(2, ' ', false, JSON::error_handler_t::strict));
    } catch (const std::exception&) {
        return bytesOf(emptyObject);
    }
}

LoadResult load(const std::filesystem::path& url) {
    auto bytes = base::readWholeFile(url);
    if (!bytes || !*bytes) {
        return {GamepadMapping::defaults(), LoadStatus::missing};
    }
    if (auto mapping = decode(**bytes)) {
        return {std::move(*mapping), LoadStatus::loaded};
    }
    // Keep the damaged bytes for the user before a later save overwrites them.
    (void)base::keepCorruptCopy(url);
    return {GamepadMapping::defaults(), LoadStatus::corrupt};
}

tl::expected<void, std::error_code> save(const GamepadMapping& mapping,
                                         const std::filesystem::path& url) {
    if (url.empty()) {
        return tl::unexpected(std::make_error_code(std::errc::invalid_argument));
    }
    const auto folder = url.parent_path();
    if (!folder.empty()) {
        if (auto created = base::createDirectories(folder, directoryMode); !created) {
            return created;
        }
    }
    const auto bytes = encode(mapping);
    return base::writeFileAtomically(url, bytes, fileMode);
}

}  // namespace tarvel::gamepad::GamepadMappingFile
