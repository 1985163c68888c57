#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include <tl/expected.hpp>

#include "core/base/environment.hpp"
#include "core/gamepad/gamepad_mapping.hpp"
#include "core/wire/json_codec.hpp"

namespace tarvel::gamepad {

/// The mapping's JSON file: a tolerant reader that keeps whatever it can of a
/// damaged or partial file, and a writer of the normalised mapping.
namespace GamepadMappingFile {

inline constexpr std::string_view fileName = "gamepad_mapping.json";
/// Where load() keeps a copy of a file it could not decode, in the same
/// folder (base::corruptCopyPath of fileName).
inline constexpr std::string_view corruptFileName = "gamepad_mapping.corrupt.json";

/// How load() obtained its mapping.
enum class LoadStatus : std::uint8_t {
    loaded,   // decoded from the file
    missing,  // no readable file: the defaults
    corrupt,  // the file did not decode: the defaults, and a copy of the file was kept
};

struct LoadResult {
    GamepadMapping mapping;
    LoadStatus status;
};

/// fileName in the host's data folder (base::dataDirectory, which honours
/// TVL_DATA_DIR); empty when no home can be found.
std::filesystem::path defaultURL(const base::Environment& environment = base::processEnvironment());

/// One binding object of the file. Fails with "unknown type <type>",
/// "unknown key <name>", "button" or "direction". Never throws.
tl::expected<PadBinding, std::string> decodeBinding(const wire::JSON& json);

/// The mapping in `bytes`, or nothing when they are not a JSON object.
/// Starts from the defaults and takes every member that decodes, skipping
/// bad ones one by one; the result is normalised. Never throws.
std::optional<GamepadMapping> decode(std::span<const std::uint8_t> bytes);
std::optional<GamepadMapping> decode(std::string_view text);

/// The normalised mapping as indented JSON with sorted keys; "{}" if it
/// cannot be encoded (a key name that is not UTF-8).
std::vector<std::uint8_t> encode(const GamepadMapping& mapping);

/// Reads the file at `url`. An unreadable file gives the defaults and
/// `missing`; one that does not decode gives the defaults and `corrupt`
/// after copying it to corruptFileName beside it (failures of the copy are
/// ignored, and the file itself is left in place).
LoadResult load(const std::filesystem::path& url);

/// Creates the containing folder as needed and replaces the file at `url`
/// with encode(mapping) in one step. Returns the system's error on failure
/// (invalid_argument for an empty path).
tl::expected<void, std::error_code> save(const GamepadMapping& mapping,
                                         const std::filesystem::path& url);

}  // namespace GamepadMappingFile

}  // namespace tarvel::gamepad
