#pragma once

#include <cstdint>
#include <optional>
#include <type_traits>
#include <utility>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>
#include <tl/expected.hpp>

#include "core/wire/bytes.hpp"

namespace tarvel::wire {

/// Protocol JSON values. nlohmann's default object is a std::map, so keys come
/// out sorted by byte value, which is what makes equal values encode equally.
using JSON = nlohmann::json;

enum class JSONError : std::uint8_t {
    invalidJSON,      // not JSON text, or not UTF-8
    notAnObject,      // a body must be a JSON object
    missingKey,       // a required key is absent
    wrongType,        // a key holds the wrong JSON type (or a number out of range)
    unencodableText,  // a string to encode is not valid UTF-8
};

const char* describe(JSONError error) noexcept;

/// A protocol body: `toJSON()` builds the object, `T::fromJSON` reads one strictly.
template <class T>
concept JSONBody = requires(const T& value, const JSON& json) {
    { value.toJSON() } -> std::same_as<JSON>;
    { T::fromJSON(json) } -> std::same_as<tl::expected<T, JSONError>>;
};

namespace JSONCodec {

/// Sorted keys, no whitespace, "/" written as is, UTF-8 text as is.
tl::expected<Bytes, JSONError> encode(const JSON& value);

template <JSONBody T>
tl::expected<Bytes, JSONError> encode(const T& value) {
    return encode(value.toJSON());
}

/// Parses text that must be one JSON object. Never throws.
tl::expected<JSON, JSONError> parseObject(ByteView text);

/// Decodes a body; unknown keys are ignored, required keys must have their type.
template <JSONBody T>
tl::expected<T, JSONError> decode(ByteView text) {
    auto object = parseObject(text);
    if (!object) {
        return tl::unexpected(object.error());
    }
    return T::fromJSON(*object);
}

}  // namespace JSONCodec

/// Strict typed reads of an object's members. The first failure is kept and
/// later reads return empty values, so a decoder reads every field and checks once:
///
///     JSONFields f(json);
///     return f.finish(PingBody{f.uint64("ts")});
class JSONFields {
public:
    explicit JSONFields(const JSON& object) : object_(object) {}

    std::string string(std::string_view key);
    /// A non-negative integer that fits 64 bits; negative or fractional numbers fail.
    std::uint64_t uint64(std::string_view key);
    /// An integer that fits a signed 64-bit value; fractional numbers fail.
    std::int64_t integer(std::string_view key);
    bool boolean(std::string_view key);
    std::vector<std::string> strings(std::string_view key);
    /// Absent or null gives nothing; any other non-string fails.
    std::optional<std::string> optionalString(std::string_view key);

    bool ok() const noexcept { return !error_.has_value(); }
    tl::expected<void, JSONError> result() const;

    /// `value` when every read succeeded, else the first failure.
    template <class T>
    tl::expected<std::decay_t<T>, JSONError> finish(T&& value) const {
        if (error_) {
            return tl::unexpected(*error_);
        }
        return std::forward<T>(value);
    }

private:
    const JSON* member(std::string_view key);
    void fail(JSONError error) noexcept;

    const JSON& object_;
    std::optional<JSONError> error_;
};

}  // namespace tarvel::wire
