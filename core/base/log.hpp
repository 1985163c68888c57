#pragma once

#include <functional>
#include <string_view>

namespace tarvel::base {

/// Writes one line "Tarvel: <message>" to standard error. The line also goes
/// to the system log when nobody would see standard error otherwise: it is
/// not a terminal and not the journal (systemd's JOURNAL_STREAM). Decided
/// once, at the first line. Safe from any thread.
void logLine(std::string_view message);

/// Replaces where log lines go (the full line, with its "Tarvel: " prefix and
/// without a line break); an empty function restores the default. For tests.
void setLogSink(std::function<void(std::string_view line)> sink);

}  // namespace tarvel::base
