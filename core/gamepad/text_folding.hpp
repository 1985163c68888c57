#pragma once

#include <string>
#include <string_view>

namespace tarvel::gamepad::detail {

/// `text` with ASCII letters lower-cased; other bytes are kept. Every name
/// the mapping accepts is ASCII, so nothing beyond it can ever match.
inline std::string lowercasedASCII(std::string_view text) {
    std::string out(text);
    for (char& c : out) {
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c - 'A' + 'a');
        }
    }
    return out;
}

/// `text` without leading and trailing white space: ASCII white space and
/// the Unicode space separators (no-break space, em space, ...), in UTF-8.
std::string_view trimmedWhitespace(std::string_view text) noexcept;

}  // namespace tarvel::gamepad::detail
