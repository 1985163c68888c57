#pragma once

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>

#include <tl/expected.hpp>

#include "host/platform/clipboard.hpp"

namespace tarvel::platform {

/// The X11 CLIPBOARD selection, owned by a thread of its own with its own
/// connection and an unmapped 1x1 window. It offers the text as TARGETS,
/// TIMESTAMP, UTF8_STRING, TEXT (both UTF-8) and STRING (Latin-1, other
/// characters as '?'), and refuses other targets. A reply larger than one
/// request may carry (the server's limit, at most 256 KiB) goes out with the
/// INCR protocol. When another client takes the selection, the text is dropped.
class X11Clipboard final : public Clipboard {
  public:
    /// Connects to `displayName` (empty: $DISPLAY) and starts the thread. Nothing
    /// is owned until the first `setText`.
    static tl::expected<std::shared_ptr<X11Clipboard>, std::string> open(
        std::string_view displayName);

    /// Stops the thread and closes the connection; the selection goes with it.
    ~X11Clipboard() override;
    X11Clipboard(const X11Clipboard&) = delete;
    X11Clipboard& operator=(const X11Clipboard&) = delete;

    /// Takes the clipboard with `utf8` (ill-formed sequences replaced by U+FFFD).
    /// Returns true once the server names this clipboard's window as the owner,
    /// so a paste that follows finds this text; false after about a second
    /// without that, or when the X server is gone. Any thread; never waits for
    /// longer than that bound.
    bool setText(std::string_view utf8) override;

  private:
    class Owner;
    X11Clipboard(std::unique_ptr<Owner> owner, int wakeFd);
    void run(Owner& owner);

    // Shared between callers of setText and the owner thread, under mutex_.
    struct Shared {
        std::optional<std::string> next;  // text not yet taken by the thread
        std::uint64_t requested = 0;      // generation of the newest text handed over
        std::uint64_t settled = 0;        // newest generation the thread finished with
        bool settledOwned = false;        // whether `settled` ended in ownership
        bool stopping = false;
        bool dead = false;  // the X server is gone
    };
    std::mutex mutex_;
    std::condition_variable settledChanged_;
    Shared shared_;

    int wakeFd_;  // eventfd that wakes the owner thread
    std::thread thread_;
};

}  // namespace tarvel::platform
