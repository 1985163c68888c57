#include "core/gamepad/pad_key_names.hpp"

#include <algorithm>

#include "core/gamepad/text_folding.hpp"

namespace tarvel::gamepad {

namespace detail {

namespace {

constexpr bool isASCIISpace(unsigned char c) noexcept {
    return c == ' ' || (c >= '\t' && c <= '\r');
}

// Length of the multi-byte space separator that `text` starts with, or 0:
// U+00A0, U+1680, U+2000-U+200A, U+202F, U+205F, U+3000.
std::size_t leadingUnicodeSpace(std::string_view text) noexcept {
    auto byte = [&text](std::size_t i) { return static_cast<unsigned char>(text[i]); };
    if (text.size() >= 2 && byte(0) == 0xC2 && byte(1) == 0xA0) {
        return 2;
    }
    if (text.size() < 3) {
        return 0;
    }
    const unsigned b0 = byte(0), b1 = byte(1), b2 = byte(2);
    const bool isSpace = (b0 == 0xE1 && b1 == 0x9A && b2 == 0x80) ||
                         (b0 == 0xE2 && b1 == 0x80 && ((b2 >= 0x80 && b2 <= 0x8A) || b2 == 0xAF)) ||
                         (b0 == 0xE2 && b1 == 0x81 && b2 == 0x9F) ||
                         (b0 == 0xE3 && b1 == 0x80 && b2 == 0x80);
    return isSpace ? 3 : 0;
}

std::size_t trailingUnicodeSpace(std::string_view text) noexcept {
    for (std::size_t length : {2u, 3u}) {
        if (text.size() >= length &&
            leadingUnicodeSpace(text.substr(text.size() - length)) == length) {
            return length;
        }
    }
    return 0;
}

}  // namespace

std::string_view trimmedWhitespace(std::string_view text) noexcept {
    while (!text.empty()) {
        if (isASCIISpace(static_cast<unsigned char>(text.front()))) {
            text.remove_prefix(1);
        } else if (std::size_t n = leadingUnicodeSpace(text); n != 0) {
            text.remove_prefix(n);
        } else {
            break;
        }
    }
    while (!text.empty()) {
        if (isASCIISpace(static_cast<unsigned char>(text.back()))) {
            text.remove_suffix(1);
        } else if (std::size_t n = trailingUnicodeSpace(text); n != 0) {
            text.remove_suffix(n);
        } else {
            break;
        }
    }
    return text;
}

}  // namespace detail

namespace {

struct ModifierSpelling {
    std::string_view spelling;
    PadModifiers modifier;
};

constexpr std::array<ModifierSpelling, 15> modifierSpellings{{
    {"shift", PadModifiers::shift},
    {"lshift", PadModifiers::shift},
    {"ctrl", PadModifiers::ctrl},
    {"control", PadModifiers::ctrl},
    {"lctrl", PadModifiers::ctrl},
    {"alt", PadModifiers::alt},
    {"option", PadModifiers::alt},
    {"opt", PadModifiers::alt},
    {"lalt", PadModifiers::alt},
    {"cmd", PadModifiers::cmd},
    {"command", PadModifiers::cmd},
    {"win", PadModifiers::cmd},
    {"meta", PadModifiers::cmd},
    {"super", PadModifiers::cmd},
    {"lcmd", PadModifiers::cmd},
}};

// Usage -> index into PadKeyNames::all, or -1; built once at compile time so
// a usage resolves without a search.
constexpr std::array<std::int8_t, 256> hidIndex = [] {
    std::array<std::int8_t, 256> index{};
    index.fill(-1);
    for (std::size_t i = 0; i < PadKeyNames::all.size(); ++i) {
        index[PadKeyNames::all[i].hid] = static_cast<std::int8_t>(i);
    }
    return index;
}();

// No canonical name or alias is longer; longer text cannot match.
constexpr std::size_t longestSpelling = 16;

}  // namespace

PadModifiers PadModifiers::fromNames(const std::vector<std::string>& names) {
    PadModifiers result;
    for (const auto& name : names) {
        const std::string folded = detail::lowercasedASCII(name);
        for (const auto& known : modifierSpellings) {
            if (folded == known.spelling) {
                result.insert(known.modifier);
            }
        }
    }
    return result;
}

std::vector<std::string_view> PadModifiers::names() const {
    std::vector<std::string_view> out;
    for (const auto& info : table) {
        if ((rawValue & info.bit) != 0) {
            out.push_back(info.name);
        }
    }
    return out;
}

std::string PadModifiers::symbols() const {
    std::string out;
    for (const auto& info : table) {
        if ((rawValue & info.bit) != 0) {
            out += info.symbol;
        }
    }
    return out;
}

std::vector<std::uint16_t> PadModifiers::hids() const {
    std::vector<std::uint16_t> out;
    for (const auto& info : table) {
        if ((rawValue & info.bit) != 0) {
            out.push_back(info.hid);
        }
    }
    return out;
}

namespace PadKeyNames {

const Entry* byName(std::string_view name) noexcept {
    auto it = std::find_if(all.begin(), all.end(),
                           [name](const Entry& entry) { return entry.name == name; });
    return it == all.end() ? nullptr : &*it;
}

const Entry* byHID(std::uint16_t hid) noexcept {
    if (hid >= hidIndex.size() || hidIndex[hid] < 0) {
        return nullptr;
    }
    return &all[static_cast<std::size_t>(hidIndex[hid])];
}

std::optional<std::string_view> canonical(std::string_view spelling) noexcept {
    const std::string_view trimmed = detail::trimmedWhitespace(spelling);
    if (trimmed.empty()) {
        return std::string_view{};
    }
    if (trimmed.size() > longestSpelling) {
        return std::nullopt;
    }
    // A fixed buffer keeps this allocation-free for any input.
    std::array<char, longestSpelling> buffer{};
    for (std::size_t i = 0; i < trimmed.size(); ++i) {
        const char c = trimmed[i];
        buffer[i] = (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
    }
    const std::string_view folded(buffer.data(), trimmed.size());
    if (const Entry* entry = byName(folded)) {
        return entry->name;
    }
    for (const auto& alias : aliases) {
        if (alias.spelling == folded) {
            return alias.name;
        }
    }
    return std::nullopt;
}

std::optional<std::uint16_t> hid(std::string_view spelling) noexcept {
    auto name = canonical(spelling);
    if (!name || name->empty()) {
        return std::nullopt;
    }
    const Entry* entry = byName(*name);
    return entry ? std::optional<std::uint16_t>(entry->hid) : std::nullopt;
}

std::optional<std::string_view> nameForHID(std::uint16_t hid) noexcept {
    const Entry* entry = byHID(hid);
    return entry ? std::optional<std::string_view>(entry->name) : std::nullopt;
}

std::string_view display(std::string_view spelling) noexcept {
    auto name = canonical(spelling);
    const Entry* entry = name ? byName(*name) : nullptr;
    return entry ? entry->display : "None";
}

bool isModifier(std::string_view spelling) noexcept {
    auto usage = hid(spelling);
    return usage && *usage >= 0xE0;
}

}  // namespace PadKeyNames

std::string PadKeyCombo::display() const {
    if (key.empty() && mods.isEmpty()) {
        return "None";
    }
    std::string out = mods.symbols();
    if (!key.empty()) {
        out += PadKeyNames::display(key);
    }
    return out;
}

}  // namespace tarvel::gamepad
