#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace tarvel::injection {

/// UTF-8 to UTF-16. Each ill-formed sequence (overlong, surrogate, beyond
/// U+10FFFF, truncated) becomes one U+FFFD.
std::u16string utf16FromUTF8(std::string_view text);

/// UTF-16 to UTF-8. A lone surrogate becomes U+FFFD, so the result is always
/// well-formed.
std::string utf8FromUTF16(std::u16string_view text);

/// Where the next chunk of `text` of at most `limit` units (limit >= 2) ends,
/// counted from `start`: one unit early when the limit would cut a surrogate
/// pair, since half a pair is not a character.
std::size_t textChunkEnd(std::u16string_view text, std::size_t start, std::size_t limit) noexcept;

}  // namespace tarvel::injection
