// Bytes a local client sends on the control socket: reading and parsing never
// crash, the line bound holds however the bytes are split, and a request that
// parses re-encodes to a line that parses to the same request.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "host/server/control_protocol.hpp"

using namespace tarvel::control;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    if (auto request = parseRequest(input)) {
        const auto line = encodeRequest(*request);
        const auto again = parseRequest(std::string_view(line).substr(0, line.size() - 1));
        if (!again || !(*again == *request)) {
            __builtin_trap();
        }
    }
    // The same bytes as a connection delivers them: in pieces of a size the
    // first byte picks, the answer the same as for one piece.
    RequestReader whole;
    auto once = whole.feed(input);
    RequestReader pieces;
    std::optional<RequestReader::Result> split;
    const std::size_t step = size == 0 ? 1 : 1 + data[0] % 64;
    for (std::size_t at = 0; at < size; at += step) {
        if (auto result = pieces.feed(input.substr(at, step))) {
            if (split) {
                __builtin_trap();  // one result per connection
            }
            split = result;
        }
    }
    if (once.has_value() != split.has_value() || (once && *once != *split)) {
        __builtin_trap();
    }
    const auto newline = input.find('\n');
    if (once && *once && newline > maxRequestBytes) {
        __builtin_trap();  // a line past the bound was accepted
    }
    return 0;
}
