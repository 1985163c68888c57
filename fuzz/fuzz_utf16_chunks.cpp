// The text path: UTF-8 from a peer converted to UTF-16 and cut into chunks
// for injection. Byte 0 picks the chunk limit. Chunks always advance, stay
// within the limit, never split a surrogate pair and join up to the whole
// text; conversion back gives well-formed UTF-8 that converts identically.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "core/base/unicode.hpp"
#include "fuzz/fuzz_support.hpp"
#include "host/injection/utf16.hpp"

namespace {

using namespace tarvel::injection;
using tarvel::fuzz::check;

bool isHigh(char16_t unit) { return unit >= 0xD800 && unit <= 0xDBFF; }
bool isLow(char16_t unit) { return unit >= 0xDC00 && unit <= 0xDFFF; }

void checkChunks(std::u16string_view text, std::size_t limit) {
    std::u16string joined;
    std::size_t start = 0;
    // Each round advances by at least one unit, so this ends.
    while (start < text.size()) {
        const std::size_t end = textChunkEnd(text, start, limit);
        check(end > start && end <= text.size() && end - start <= limit);
        // A chunk never ends between the halves of a pair.
        check(end == text.size() || !(isHigh(text[end - 1]) && isLow(text[end])));
        joined.append(text.substr(start, end - start));
        start = end;
    }
    check(joined == text);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) {
        return 0;
    }
    const std::size_t limit = 2 + data[0] % 30;
    const std::string_view bytes(reinterpret_cast<const char*>(data + 1), size - 1);

    const std::u16string units = utf16FromUTF8(bytes);
    checkChunks(units, limit);
    const std::string utf8 = utf8FromUTF16(units);
    check(tarvel::base::isUTF8(utf8));
    check(utf16FromUTF8(utf8) == units);
    if (tarvel::base::isUTF8(bytes)) {
        check(utf8 == bytes);
    }

    // The same bytes read as raw UTF-16 (lone surrogates included), as a
    // client's chunker sees it.
    std::u16string raw;
    for (std::size_t i = 1; i + 1 < size; i += 2) {
        raw.push_back(static_cast<char16_t>(data[i] | (data[i + 1] << 8)));
    }
    checkChunks(raw, limit);
    const std::string repaired = utf8FromUTF16(raw);
    check(tarvel::base::isUTF8(repaired));
    return 0;
}
