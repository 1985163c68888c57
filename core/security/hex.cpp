#include "core/security/hex.hpp"

#include "core/base/hex_digit.hpp"

#include <sodium.h>

#include "core/wire/sodium.hpp"

namespace tarvel::security::Hex {

namespace {

constexpr std::string_view alphabet = "0123456789abcdef";

}  // namespace

std::string encode(ByteView bytes) {
    std::string text;
    text.reserve(bytes.size() * 2);
    for (std::uint8_t byte : bytes) {
        text.push_back(alphabet[byte >> 4]);
        text.push_back(alphabet[byte & 0x0f]);
    }
    return text;
}

std::optional<Bytes> decode(std::string_view text) {
    if (text.size() % 2 != 0) {
        return std::nullopt;
    }
    Bytes out;
    out.reserve(text.size() / 2);
    for (std::size_t i = 0; i < text.size(); i += 2) {
        const int high = base::hexDigitValue(text[i]);
        const int low = base::hexDigitValue(text[i + 1]);
        if (high < 0 || low < 0) {
            return std::nullopt;
        }
        out.push_back(static_cast<std::uint8_t>((high << 4) | low));
    }
    return out;
}

std::optional<Bytes> decode(std::string_view text, std::size_t count) {
    // Checked before decoding so an oversized field costs no allocation.
    if (text.size() % 2 != 0 || text.size() / 2 != count) {
        return std::nullopt;
    }
    return decode(text);
}

Bytes random(std::size_t count) {
    wire::ensureSodium();
    Bytes out(count);
    // An empty vector's data() may be null, which libsodium declares it never gets.
    if (!out.empty()) {
        randombytes_buf(out.data(), out.size());
    }
    return out;
}

}  // namespace tarvel::security::Hex
