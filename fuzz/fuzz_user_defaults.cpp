// defaults.json as found on disk. Loading never crashes; every top-level
// value survives a change of one setting (values of unknown types included),
// and the changed setting reads back after a reload.
#include <cstddef>
#include <cstdint>
#include <string>

#include "core/wire/json_codec.hpp"
#include "fuzz/fuzz_support.hpp"
#include "host/mapping/user_defaults.hpp"

namespace {

using tarvel::fuzz::check;
using tarvel::mapping::UserDefaults;
using tarvel::wire::JSON;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    tarvel::fuzz::quietLog();
    const auto path = tarvel::fuzz::freshFolder("defaults") / UserDefaults::fileName;
    tarvel::fuzz::writeFile(path, data, size);

    const JSON json = JSON::parse(data, data + size, nullptr, false);
    const bool readable = !json.is_discarded() && json.is_object();

    bool traced = false;
    {
        UserDefaults defaults(path);
        const auto trace = defaults.boolean(UserDefaults::latencyTraceKey);
        if (readable) {
            const auto it = json.find(UserDefaults::latencyTraceKey);
            check(trace.has_value() == (it != json.end() && it->is_boolean()));
        } else {
            check(!trace.has_value() && !defaults.string(UserDefaults::padOutputKey));
        }
        traced = !trace.value_or(false);
        check(defaults.setBool(UserDefaults::latencyTraceKey, traced).has_value());
        // The legacy key is read once and removed.
        (void)defaults.string(UserDefaults::padOutputKey);
        check(defaults.remove(UserDefaults::padOutputKey).has_value());
    }

    UserDefaults again(path);
    check(again.boolean(UserDefaults::latencyTraceKey) == traced);
    check(!again.string(UserDefaults::padOutputKey).has_value());
    if (readable) {
        for (const auto& [key, value] : json.items()) {
            if (key == UserDefaults::latencyTraceKey || key == UserDefaults::padOutputKey) {
                continue;
            }
            check(again.string(key) == (value.is_string()
                                            ? std::optional<std::string>(value.get<std::string>())
                                            : std::nullopt));
            check(again.boolean(key) ==
                  (value.is_boolean() ? std::optional<bool>(value.get<bool>()) : std::nullopt));
        }
    }
    return 0;
}
