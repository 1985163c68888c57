#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace tarvel::base {

/// Reads an environment variable; injected so tests never touch the process's own.
using Environment = std::function<std::optional<std::string>(std::string_view name)>;

/// The process environment (getenv); unset variables give nothing.
Environment processEnvironment();

/// The variable's value, or nothing when it is unset or empty.
inline std::optional<std::string> nonEmptyVariable(const Environment& environment,
                                                   std::string_view name) {
    auto value = environment(name);
    if (!value || value->empty()) {
        return std::nullopt;
    }
    return value;
}

}  // namespace tarvel::base
