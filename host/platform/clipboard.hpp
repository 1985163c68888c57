#pragma once

#include <functional>
#include <mutex>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

namespace tarvel::platform {

/// The computer's clipboard, as far as the host writes to it.
class Clipboard {
  public:
    virtual ~Clipboard() = default;

    /// Replaces the clipboard contents with `utf8` as plain text. True when the
    /// clipboard took it. Called on the server queue.
    virtual bool setText(std::string_view utf8) = 0;
};

/// The line recording a clipboard write: {"op":"clipboard","text":"…"}, keys in
/// that order, no line break. Ill-formed UTF-8 is replaced, not thrown.
std::string clipboardRecordLine(std::string_view utf8);

/// A clipboard that only records: each text is kept in memory and, when the
/// recorder has an output, written as one `clipboardRecordLine` plus a line
/// break and flushed at once, so it can share a stream with another writer
/// that flushes whole lines. Thread-safe.
class RecordingClipboard final : public Clipboard {
  public:
    /// Hands one finished line (without its line break) to another writer.
    using LineWriter = std::function<void(std::string_view line)>;

    /// Keeps the texts in memory only.
    RecordingClipboard() = default;

    /// Also appends lines to `out`, which must outlive the clipboard. Writers
    /// sharing `out` must not write at the same time as this one (see the
    /// LineWriter form to go through their lock).
    explicit RecordingClipboard(std::ostream& out);

    /// Also passes each line to `write`, for example a recorder of input events
    /// so the lines interleave under its own lock.
    explicit RecordingClipboard(LineWriter write);

    /// Records `utf8`; false only when the output stream has failed.
    bool setText(std::string_view utf8) override;

    /// Every text set so far, oldest first, as given.
    std::vector<std::string> texts() const;

  private:
    mutable std::mutex mutex_;
    std::ostream* out_ = nullptr;
    LineWriter write_;
    std::vector<std::string> texts_;
};

}  // namespace tarvel::platform
