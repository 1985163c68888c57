// A scanned pairing link and its percent escapes. A link that parses renders
// back to a link that parses to the same payload (and renders identically);
// percent-decoding inverts percent-encoding, and what decodes is UTF-8 that
// encodes to a form that decodes to it again.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "core/base/unicode.hpp"
#include "core/pairing/pairing_payload.hpp"
#include "fuzz/fuzz_support.hpp"

namespace {

using namespace tarvel::pairing;
using tarvel::fuzz::check;

void checkLink(std::string_view text) {
    const auto payload = PairingPayload::fromURLString(text);
    if (!payload) {
        return;
    }
    const std::string url = payload->urlString();
    check(url.starts_with(PairingPayload::prefix));
    const auto again = PairingPayload::fromURLString(url);
    check(again.has_value() && *again == *payload);
    check(again->urlString() == url);
}

void checkEscapes(std::string_view text) {
    const auto decoded = percentDecode(text);
    if (decoded) {
        // Decoded text is UTF-8, so encoding escapes it and decoding undoes that.
        const std::string encoded = percentEncode(*decoded);
        check(percentDecode(encoded) == decoded);
        check(percentEncode(*percentDecode(encoded)) == encoded);
    }
    // Raw input: UTF-8 round-trips, anything else comes back unchanged.
    const std::string encoded = percentEncode(text);
    if (tarvel::base::isUTF8(text)) {
        check(percentDecode(encoded) == std::optional<std::string>(text));
    } else {
        check(encoded == text);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    checkLink(text);
    checkEscapes(text);
    // The same bytes as a link without the scheme typed in.
    checkLink(std::string(PairingPayload::prefix) + std::string(text));
    return 0;
}
