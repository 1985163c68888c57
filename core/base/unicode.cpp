#include "core/base/unicode.hpp"

#include <unicode/ubrk.h>
#include <unicode/uchar.h>
#include <unicode/utext.h>
#include <unicode/utf8.h>

#include <algorithm>
#include <climits>
#include <cstdint>
#include <memory>

namespace tarvel::base {

namespace {

struct BreakIteratorCloser {
    void operator()(UBreakIterator* iterator) const { ubrk_close(iterator); }
};
struct UTextCloser {
    void operator()(UText* text) const { utext_close(text); }
};

std::vector<std::string_view> singleBytes(std::string_view text) {
    std::vector<std::string_view> out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        out.push_back(text.substr(i, 1));
    }
    return out;
}

}  // namespace

bool isUTF8(std::string_view text) noexcept {
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(text.data());
    const auto length = static_cast<std::int64_t>(text.size());
    std::int64_t i = 0;
    while (i < length) {
        UChar32 c;
        U8_NEXT(bytes, i, length, c);
        if (c < 0) {
            return false;
        }
    }
    return true;
}

std::vector<std::string_view> graphemeClusters(std::string_view text) {
    if (text.empty()) {
        return {};
    }
    if (!isUTF8(text)) {
        return singleBytes(text);
    }
    UErrorCode status = U_ZERO_ERROR;
    // UTF-8 UText indexes are byte offsets, so boundaries cut `text` directly.
    std::unique_ptr<UText, UTextCloser> utext(
        utext_openUTF8(nullptr, text.data(), static_cast<std::int64_t>(text.size()), &status));
    std::unique_ptr<UBreakIterator, BreakIteratorCloser> iterator(
        ubrk_open(UBRK_CHARACTER, nullptr, nullptr, 0, &status));
    if (U_SUCCESS(status)) {
        ubrk_setUText(iterator.get(), utext.get(), &status);
    }
    if (U_FAILURE(status)) {
        return singleBytes(text);
    }
    std::vector<std::string_view> clusters;
    std::int32_t start = ubrk_first(iterator.get());
    for (std::int32_t end = ubrk_next(iterator.get()); end != UBRK_DONE;
         start = end, end = ubrk_next(iterator.get())) {
        clusters.push_back(
            text.substr(static_cast<std::size_t>(start), static_cast<std::size_t>(end - start)));
    }
    return clusters;
}

std::size_t graphemeCount(std::string_view text) {
    return graphemeClusters(text).size();
}

std::string printableForLog(std::string_view text, std::size_t maxCharacters) {
    std::string shown;
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(text.data());
    const auto length = static_cast<std::int32_t>(std::min<std::size_t>(text.size(), INT32_MAX));
    std::int32_t offset = 0;
    for (std::size_t count = 0; offset < length && count < maxCharacters; ++count) {
        const std::int32_t start = offset;
        UChar32 c = 0;
        U8_NEXT(bytes, offset, length, c);
        const std::int8_t category =
            c < 0 ? static_cast<std::int8_t>(U_CONTROL_CHAR) : u_charType(c);
        if (category == U_CONTROL_CHAR || category == U_FORMAT_CHAR) {
            shown.push_back('?');
        } else {
            shown.append(text.data() + start, static_cast<std::size_t>(offset - start));
        }
    }
    return shown;
}

}  // namespace tarvel::base
