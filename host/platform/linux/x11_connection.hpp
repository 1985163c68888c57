#pragma once

#include <X11/Xlib.h>

#include <atomic>
#include <memory>
#include <string>
#include <string_view>

#include <tl/expected.hpp>

namespace tarvel::platform {

/// One Xlib connection, owned. Errors the server reports are logged instead of
/// ending the process, and losing the server marks the connection lost instead
/// of exiting: every later Xlib call on it returns at once, so the owner checks
/// `lost()` and stops using it. Use from one thread at a time.
class X11Connection {
  public:
    /// Connects to `displayName` (empty: $DISPLAY). `who` names the user of the
    /// connection in log lines ("input", "clipboard").
    static tl::expected<std::unique_ptr<X11Connection>, std::string> open(
        std::string_view displayName, std::string who);

    ~X11Connection();
    X11Connection(const X11Connection&) = delete;
    X11Connection& operator=(const X11Connection&) = delete;

    Display* display() const noexcept { return display_; }
    const std::string& who() const noexcept { return who_; }

    /// The server went away (or the connection broke). Any thread.
    bool lost() const noexcept { return lost_.load(std::memory_order_acquire); }

    /// How many protocol errors the server reported on this connection.
    unsigned long errorCount() const noexcept { return errors_.load(); }

  private:
    X11Connection(Display* display, std::string who);
    static void ioErrorExit(Display* display, void* self);
    friend int x11ProtocolError(Display*, XErrorEvent*);

    Display* display_;
    std::string who_;
    std::atomic<bool> lost_{false};
    std::atomic<unsigned long> errors_{0};
};

}  // namespace tarvel::platform
