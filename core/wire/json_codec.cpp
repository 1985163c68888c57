#include "core/wire/json_codec.hpp"

#include <limits>

namespace tarvel::wire {

const char* describe(JSONError error) noexcept {
    switch (error) {
        case JSONError::invalidJSON:
            return "invalid JSON";
        case JSONError::notAnObject:
            return "not a JSON object";
        case JSONError::missingKey:
            return "missing key";
        case JSONError::wrongType:
            return "wrong JSON type";
        case JSONError::unencodableText:
            return "text is not UTF-8";
    }
    return "unknown JSON error";
}

namespace JSONCodec {

tl::expected<Bytes, JSONError> encode(const JSON& value) {
    std::string text;
    try {
        // indent -1: compact; ensure_ascii false: UTF-8 as is. nlohmann never
        // escapes "/". Strict handling refuses strings that are not UTF-8.
        text = value.dump(-1, ' ', false, JSON::error_handler_t::strict);
    } catch (const JSON::exception&) {
        return tl::unexpected(JSONError::unencodableText);
    }
    return Bytes(text.begin(), text.end());
}

tl::expected<JSON, JSONError> parseObject(ByteView text) {
    // allow_exceptions = false: malformed peer input yields a discarded value.
    JSON value = JSON::parse(text.begin(), text.end(), nullptr, false);
    if (value.is_discarded()) {
        return tl::unexpected(JSONError::invalidJSON);
    }
    if (!value.is_object()) {
        return tl::unexpected(JSONError::notAnObject);
    }
    return value;
}

}  // namespace JSONCodec

const JSON* JSONFields::member(std::string_view key) {
    if (error_) {
        return nullptr;
    }
    auto it = object_.find(key);
    if (it == object_.end()) {
        fail(JSONError::missingKey);
        return nullptr;
    }
    return &*it;
}

void JSONFields::fail(JSONError error) noexcept {
    if (!error_) {
        error_ = error;
    }
}

tl::expected<void, JSONError> JSONFields::result() const {
    if (error_) {
        return tl::unexpected(*error_);
    }
    return {};
}

std::string JSONFields::string(std::string_view key) {
    const JSON* value = member(key);
    if (value == nullptr) {
        return {};
    }
    if (!value->is_string()) {
        fail(JSONError::wrongType);
        return {};
    }
    return value->get_ref<const std::string&>();
}

std::uint64_t JSONFields::uint64(std::string_view key) {
    const JSON* value = member(key);
    if (value == nullptr) {
        return 0;
    }
    // Non-negative integer literals parse as unsigned; negatives as signed and
    // fractions or out-of-range values as float, which all fail here.
    if (!value->is_number_unsigned()) {
        fail(JSONError::wrongType);
        return 0;
    }
    return value->get<std::uint64_t>();
}

std::int64_t JSONFields::integer(std::string_view key) {
    const JSON* value = member(key);
    if (value == nullptr) {
        return 0;
    }
    if (value->is_number_unsigned()) {
        const auto unsignedValue = value->get<std::uint64_t>();
        if (unsignedValue > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
            fail(JSONError::wrongType);
            return 0;
        }
        return static_cast<std::int64_t>(unsignedValue);
    }
    if (!value->is_number_integer()) {
        fail(JSONError::wrongType);
        return 0;
    }
    return value->get<std::int64_t>();
}

bool JSONFields::boolean(std::string_view key) {
    const JSON* value = member(key);
    if (value == nullptr) {
        return false;
    }
    if (!value->is_boolean()) {
        fail(JSONError::wrongType);
        return false;
    }
    return value->get<bool>();
}

std::vector<std::string> JSONFields::strings(std::string_view key) {
    const JSON* value = member(key);
    if (value == nullptr) {
        return {};
    }
    if (!value->is_array()) {
        fail(JSONError::wrongType);
        return {};
    }
    std::vector<std::string> out;
    out.reserve(value->size());
    for (const auto& element : *value) {
        if (!element.is_string()) {
            fail(JSONError::wrongType);
            return {};
        }
        out.push_back(element.get_ref<const std::string&>());
    }
    return out;
}

std::optional<std::string> JSONFields::optionalString(std::string_view key) {
    if (error_) {
        return std::nullopt;
    }
    auto it = object_.find(key);
    if (it == object_.end() || it->is_null()) {
        return std::nullopt;
    }
    if (!it->is_string()) {
        fail(JSONError::wrongType);
        return std::nullopt;
    }
    return it->get_ref<const std::string&>();
}

}  // namespace tarvel::wire
