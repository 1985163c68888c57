#pragma once
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace tarvel::testing {

/// A window that receives synthetic input in desktop tests: override-redirect,
/// covering the whole screen, holding the keyboard focus, recording on a
/// thread of its own what it receives on a connection of its own. Remapped
/// keys decode by the mapping current when they arrive. Typed text is decoded
/// as UTF-8 (the process's character type locale becomes C.UTF-8).
class X11TestWindow {
  public:
    enum class Kind { keyPress, keyRelease, buttonPress, buttonRelease, motion };
    struct Event {
        Kind kind = Kind::motion;
        unsigned keycode = 0;
        unsigned long keysym = 0;  // of the key's first column, whatever the modifiers
        std::string text;          // UTF-8 a key press typed; empty for anything else
        unsigned button = 0;
        int x = 0;  // root coordinates, which are the window's own
        int y = 0;
        unsigned state = 0;  // modifier and button mask before the event
        std::chrono::steady_clock::time_point received;  // when the window read it
    };
    /// Opens the window on `display`, mapped and focused; null (after printing why) when it cannot.
    static std::unique_ptr<X11TestWindow> open(const std::string& display);
    ~X11TestWindow();
    X11TestWindow(const X11TestWindow&) = delete;
    X11TestWindow& operator=(const X11TestWindow&) = delete;
    /// Everything received since opening or the last clear, in order.
    std::vector<Event> events() const;
    /// The text of every key press received, concatenated.
    std::string typedText() const;
    /// Waits until `done` holds for the events received, at most `limit`; false on timeout.
    bool waitFor(std::function<bool(const std::vector<Event>&)> done, std::chrono::milliseconds limit);
    /// Forgets the events received so far.
    void clear();
    /// How many keyboard mapping changes the window has been told of.
    unsigned mappingChanges() const;
  private:
    struct X;
    explicit X11TestWindow(std::unique_ptr<X> x);
    void run();
    std::unique_ptr<X> x_;
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<Event> events_;
    unsigned mappingChanges_ = 0;
    int wakeRead_ = -1, wakeWrite_ = -1;
    std::thread thread_;
};

}  // namespace tarvel::testing
