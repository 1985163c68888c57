#pragma once

#include <string_view>

namespace tarvel::base {

/// The release every program reports with --version.
std::string_view version() noexcept;

}  // namespace tarvel::base
