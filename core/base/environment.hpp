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

}  // namespace tarvel::base
