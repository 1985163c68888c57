#include "core/base/version.hpp"

namespace tarvel::base {

std::string_view version() noexcept {
    return TARVEL_VERSION;
}

}  // namespace tarvel::base
