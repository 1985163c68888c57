#include "core/pairing/pairing_payload.hpp"

#include <unicode/uchar.h>
#include <unicode/utf8.h>

#include <map>

#include "core/base/hex_digit.hpp"
#include "core/base/unicode.hpp"

namespace tarvel::pairing {

using base::graphemeCount;
using base::isUTF8;

namespace {

constexpr char upperHex[] = "0123456789ABCDEF";

bool keptAsIs(UChar32 c) {
    if (c == '-' || c == '.' || c == '_' || c == '~') {
        return true;
    }
    // Letters, combining marks and digits of every script.
    const std::uint32_t mask = U_GET_GC_MASK(c);
    return (mask & (U_GC_L_MASK | U_GC_M_MASK | U_GC_N_MASK)) != 0;
}

}  // namespace

std::string percentEncode(std::string_view text) {
    if (!isUTF8(text)) {
        return std::string(text);
    }
    std::string out;
    out.reserve(text.size());
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(text.data());
    const auto length = static_cast<std::int32_t>(text.size());
    std::int32_t i = 0;
    while (i < length) {
        const std::int32_t start = i;
        UChar32 c;
        U8_NEXT(bytes, i, length, c);
        if (keptAsIs(c)) {
            out.append(
                text.substr(static_cast<std::size_t>(start), static_cast<std::size_t>(i - start)));
            continue;
        }
        for (std::int32_t j = start; j < i; ++j) {
            out.push_back('%');
            out.push_back(upperHex[bytes[j] >> 4]);
            out.push_back(upperHex[bytes[j] & 0x0F]);
        }
    }
    return out;
}

std::optional<std::string> percentDecode(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '%') {
            out.push_back(text[i]);
            continue;
        }
        if (i + 2 >= text.size()) {  // a '%' needs two hex digits after it
            return std::nullopt;
        }
        const int high = base::hexDigitValue(text[i + 1]);
        const int low = base::hexDigitValue(text[i + 2]);
        if (high < 0 || low < 0) {
            return std::nullopt;
        }
        out.push_back(static_cast<char>(high * 16 + low));
        i += 2;
    }
    if (!isUTF8(out)) {
        return std::nullopt;
    }
    return out;
}

std::string PairingPayload::urlString() const {
    std::string url(prefix);
    url += "v=" + std::to_string(version);
    url += "&id=" + percentEncode(hostId);
    url += "&name=" + percentEncode(name);
    url += "&os=";
    url += rawValue(os);
    url += "&lan=" + percentEncode(lan.value_or(""));
    url += "&ts=" + percentEncode(ts.value_or(""));
    url += "&pk=" + publicKeyHex;
    url += "&code=" + code;
    return url;
}

std::optional<PairingPayload> PairingPayload::fromURLString(std::string_view url) {
    if (!url.starts_with(prefix)) {
        return std::nullopt;
    }
    std::map<std::string, std::string, std::less<>> parameters;
    std::string_view rest = url.substr(prefix.size());
    while (!rest.empty()) {
        const auto amp = rest.find('&');
        const std::string_view piece = rest.substr(0, amp);
        rest = amp == std::string_view::npos ? std::string_view() : rest.substr(amp + 1);
        const auto eq = piece.find('=');
        if (piece.empty() || eq == std::string_view::npos) {
            continue;
        }
        const std::string_view raw = piece.substr(eq + 1);
        // A later piece with the same key wins.
        parameters.insert_or_assign(std::string(piece.substr(0, eq)),
                                    percentDecode(raw).value_or(std::string(raw)));
    }
    auto value = [&parameters](std::string_view key) -> const std::string* {
        auto it = parameters.find(key);
        return it == parameters.end() ? nullptr : &it->second;
    };

    const std::string* v = value("v");
    const std::string* id = value("id");
    const std::string* name = value("name");
    const std::string* os = value("os");
    const std::string* pk = value("pk");
    const std::string* code = value("code");
    if (v == nullptr || *v != "1" || id == nullptr || name == nullptr || os == nullptr) {
        return std::nullopt;
    }
    auto osType = hostOSType(*os);
    if (!osType || pk == nullptr || graphemeCount(*pk) != 64 || code == nullptr ||
        graphemeCount(*code) != 6) {
        return std::nullopt;
    }
    PairingPayload payload;
    payload.hostId = *id;
    payload.name = *name;
    payload.os = *osType;
    if (const std::string* lan = value("lan"); lan != nullptr && !lan->empty()) {
        payload.lan = *lan;
    }
    if (const std::string* ts = value("ts"); ts != nullptr && !ts->empty()) {
        payload.ts = *ts;
    }
    payload.publicKeyHex = *pk;
    payload.code = *code;
    return payload;
}

}  // namespace tarvel::pairing
