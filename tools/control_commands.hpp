#pragma once

// `tarveld status|devices|pair|forget`: the running host asked over its
// control socket.

#include <string_view>

#include "core/base/environment.hpp"

namespace tarvel::tools {

/// Exit codes of the commands.
inline constexpr int controlOK = 0;
inline constexpr int controlFailed = 1;  // unknown or ambiguous device, pairing ended without a device
inline constexpr int controlUsage = 2;
inline constexpr int controlNoHost = 3;  // no host answers, or it went away
inline constexpr int controlBusy = 4;    // a host answered but could not serve now: try again
inline constexpr int controlUntrusted = 5;  // the socket's folder or its owner is not this user's

/// The usage lines of the commands.
extern const std::string_view controlCommandsUsage;

/// True when `word` (tarveld's first argument) names a command.
bool isControlCommand(std::string_view word);

/// Runs the command in argv[1] with its arguments; prints what it got on
/// standard output and one line for a failure on standard error.
int runControlCommand(int argc, char** argv, const base::Environment& environment);

}  // namespace tarvel::tools
