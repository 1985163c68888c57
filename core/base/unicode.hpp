#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace tarvel::base {

/// True when `text` is well-formed UTF-8 (no overlong forms, no surrogates).
bool isUTF8(std::string_view text) noexcept;

/// The user-perceived characters (extended grapheme clusters) of UTF-8 text,
/// as views into `text`. Text that is not UTF-8 is split into single bytes.
std::vector<std::string_view> graphemeClusters(std::string_view text);

/// Number of extended grapheme clusters; text that is not UTF-8 counts its bytes.
std::size_t graphemeCount(std::string_view text);

/// Peer-supplied text made safe for a log line: at most `maxCharacters` code
/// points, cut on a code point boundary, with invalid UTF-8, control and
/// format characters (line breaks, terminal escapes, bidirectional
/// overrides) each replaced by "?".
std::string printableForLog(std::string_view text, std::size_t maxCharacters);

}  // namespace tarvel::base
