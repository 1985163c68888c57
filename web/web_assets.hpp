#pragma once

#include <span>

#include "host/server/web_listener.hpp"

namespace tarvel::web {

/// The web remote's files as built into this program; empty when it was built
/// without Node.js.
std::span<const server::WebAsset> remoteAssets();

}  // namespace tarvel::web
