#include "host/platform/linux/x11_connection.hpp"

#include <unistd.h>

#include <map>
#include <mutex>
#include <vector>

#include "core/base/log.hpp"

namespace tarvel::platform {

namespace {

// Xlib's handlers are process-wide; the connections register here so an error
// can be charged to its owner.
std::mutex registryMutex;
std::map<Display*, X11Connection*>& registry() {
    static std::map<Display*, X11Connection*> connections;
    return connections;
}

// Past this many, only every thousandth error is logged: a client stuck in an
// error loop must not flood the log.
constexpr unsigned long errorsLoggedInFull = 20;

int ioError(Display*) {
    // Returning hands over to the connection's exit handler, which marks it lost.
    return 0;
}

}  // namespace

int x11ProtocolError(Display* display, XErrorEvent* event) {
    char text[160] = {};
    XGetErrorText(display, event->error_code, text, sizeof text);
    std::string who = "X11";
    unsigned long count = 0;
    {
        std::lock_guard lock(registryMutex);
        auto found = registry().find(display);
        if (found != registry().end()) {
            who = found->second->who_;
            count = ++found->second->errors_;
        }
    }
    if (count <= errorsLoggedInFull || count % 1000 == 0) {
        base::logLine("X error on the " + who + " connection: " + text + " (request " +
                      std::to_string(event->request_code) + "." +
                      std::to_string(event->minor_code) + ", error " + std::to_string(count) + ")");
    }
    return 0;
}

tl::expected<std::unique_ptr<X11Connection>, std::string> X11Connection::open(
    std::string_view displayName, std::string who) {
    static std::once_flag handlers;
    std::call_once(handlers, [] {
        // Connections live on several threads; libX11 before 1.8 does not
        // lock by itself.
        XInitThreads();
        XSetErrorHandler(x11ProtocolError);
        XSetIOErrorHandler(ioError);
    });
    const std::string name(displayName);
    Display* display = XOpenDisplay(name.empty() ? nullptr : name.c_str());
    if (display == nullptr) {
        const char* shown = XDisplayName(name.empty() ? nullptr : name.c_str());
        return tl::unexpected("cannot open X display \"" + std::string(shown ? shown : "") + "\"");
    }
    std::unique_ptr<X11Connection> connection(new X11Connection(display, std::move(who)));
    XSetIOErrorExitHandler(display, &X11Connection::ioErrorExit, connection.get());
    std::lock_guard lock(registryMutex);
    registry()[display] = connection.get();
    return connection;
}

X11Connection::X11Connection(Display* display, std::string who)
    : display_(display), who_(std::move(who)) {}

X11Connection::~X11Connection() {
    {
        std::lock_guard lock(registryMutex);
        registry().erase(display_);
    }
    if (!lost()) {
        // Meets a server that went away unnoticed here, not inside XCloseDisplay.
        XSync(display_, False);
    }
    if (lost()) {
        // XCloseDisplay can wait forever on a connection that broke inside a
        // reply on another thread, so a lost one is abandoned: its socket is
        // closed and its memory kept reachable, a few kilobytes at most.
        static std::mutex abandonedMutex;
        // Never destroyed, so the displays stay reachable through exit.
        static auto* abandoned = new std::vector<Display*>;
        ::close(ConnectionNumber(display_));
        std::lock_guard lock(abandonedMutex);
        abandoned->push_back(display_);
        return;
    }
    XCloseDisplay(display_);
}

void X11Connection::ioErrorExit(Display*, void* self) {
    auto* connection = static_cast<X11Connection*>(self);
    if (!connection->lost_.exchange(true)) {
        base::logLine("lost the X server (" + connection->who_ + " connection)");
    }
}

}  // namespace tarvel::platform
