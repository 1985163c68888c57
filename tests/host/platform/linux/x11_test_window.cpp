#include "tests/host/platform/linux/x11_test_window.hpp"
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>
#include <array>
#include <clocale>
#include <cstdio>
#include <utility>
#include "host/injection/utf16.hpp"
#include "host/platform/linux/x11_connection.hpp"

namespace tarvel::testing {
namespace {

constexpr std::chrono::seconds mapLimit{5};

/// UTF-8 of a keysym that names a character, for when no input method opens.
std::string keysymText(KeySym keysym) {
    char32_t cp = 0;
    if ((keysym >= 0x20 && keysym <= 0x7E) || (keysym >= 0xA0 && keysym <= 0xFF)) {
        cp = static_cast<char32_t>(keysym);
    } else if (keysym >= 0x1000100 && keysym <= 0x110FFFF) {
        cp = static_cast<char32_t>(keysym - 0x1000000);
    } else if (keysym == XK_Return || keysym == XK_Tab) {
        cp = keysym == XK_Return ? U'\r' : U'\t';
    } else {
        return {};
    }
    const std::u16string units = cp < 0x10000 ? std::u16string(1, char16_t(cp))
                                              : std::u16string{char16_t(0xD7C0 + (cp >> 10)),
                                                               char16_t(0xDC00 | (cp & 0x3FF))};
    return injection::utf8FromUTF16(units);
}

}  // namespace

struct X11TestWindow::X {
    std::unique_ptr<platform::X11Connection> connection;
    Window window = 0;
    XIM im = nullptr;
    XIC ic = nullptr;
    Display* display() const { return connection->display(); }
    ~X() {
        if (ic != nullptr) XDestroyIC(ic);
        if (im != nullptr) XCloseIM(im);
        if (window != 0) XDestroyWindow(display(), window), XSync(display(), False);
    }
};

std::unique_ptr<X11TestWindow> X11TestWindow::open(const std::string& display) {
    // Xutf8LookupString needs a UTF-8 locale; "@im=none" needs no input method server.
    std::setlocale(LC_CTYPE, "C.UTF-8");
    XSetLocaleModifiers("@im=none");
    auto connection = platform::X11Connection::open(display, "test window");
    if (!connection) {
        std::fprintf(stderr, "X11TestWindow: %s\n", connection.error().c_str());
        return nullptr;
    }
    auto x = std::make_unique<X>();
    x->connection = std::move(*connection);
    Display* d = x->display();
    const int screen = DefaultScreen(d);
    XSetWindowAttributes attributes{};
    attributes.override_redirect = True;
    attributes.background_pixel = BlackPixel(d, screen);
    attributes.event_mask = KeyPressMask | KeyReleaseMask | ButtonPressMask | ButtonReleaseMask |
                            PointerMotionMask | StructureNotifyMask;
    x->window = XCreateWindow(
        d, RootWindow(d, screen), 0, 0, static_cast<unsigned>(DisplayWidth(d, screen)),
        static_cast<unsigned>(DisplayHeight(d, screen)), 0, CopyFromParent, InputOutput,
        CopyFromParent, CWOverrideRedirect | CWBackPixel | CWEventMask, &attributes);
    XMapRaised(d, x->window);
    // Focus can only go to a viewable window.
    const auto deadline = std::chrono::steady_clock::now() + mapLimit;
    bool mapped = false;
    while (!mapped && std::chrono::steady_clock::now() < deadline) {
        XEvent event;
        mapped = XCheckTypedWindowEvent(d, x->window, MapNotify, &event);
        if (pollfd fd{ConnectionNumber(d), POLLIN, 0}; !mapped) ::poll(&fd, 1, 10);
    }
    if (!mapped) {
        std::fprintf(stderr, "X11TestWindow: the window was not mapped\n");
        return nullptr;
    }
    XSetInputFocus(d, x->window, RevertToPointerRoot, CurrentTime);
    x->im = XOpenIM(d, nullptr, nullptr, nullptr);
    if (x->im != nullptr) {
        x->ic = XCreateIC(x->im, XNInputStyle, XIMPreeditNothing | XIMStatusNothing,
                          XNClientWindow, x->window, XNFocusWindow, x->window, nullptr);
    }
    XSync(d, False);
    if (x->connection->lost()) return nullptr;
    return std::unique_ptr<X11TestWindow>(new X11TestWindow(std::move(x)));
}

X11TestWindow::X11TestWindow(std::unique_ptr<X> x) : x_(std::move(x)) {
    if (std::array<int, 2> pipe{}; ::pipe2(pipe.data(), O_CLOEXEC) == 0) {
        wakeRead_ = pipe[0], wakeWrite_ = pipe[1];
    }
    thread_ = std::thread([this] { run(); });
}

X11TestWindow::~X11TestWindow() {
    const char stop = 1;
    if (::write(wakeWrite_, &stop, 1) != 1) {
        std::fprintf(stderr, "X11TestWindow: cannot stop the event thread\n");
    }
    thread_.join();
    ::close(wakeRead_);
    ::close(wakeWrite_);
}

void X11TestWindow::run() {
    Display* d = x_->display();
    for (;;) {
        while (!x_->connection->lost() && XPending(d) > 0) {
            XEvent event;
            XNextEvent(d, &event);
            const auto received = std::chrono::steady_clock::now();
            // The input method sees every event first; it may consume some.
            if (XFilterEvent(&event, None)) continue;
            Event recorded;
            recorded.received = received;
            switch (event.type) {
                case KeyPress:
                case KeyRelease: {
                    recorded.kind = event.type == KeyPress ? Kind::keyPress : Kind::keyRelease;
                    recorded.keycode = event.xkey.keycode;
                    recorded.keysym = XLookupKeysym(&event.xkey, 0);
                    recorded.state = event.xkey.state;
                    if (event.type == KeyPress) {
                        std::array<char, 64> buffer{};
                        KeySym keysym = NoSymbol;
                        Status status = 0;
                        if (x_->ic != nullptr) {
                            const int length = Xutf8LookupString(x_->ic, &event.xkey, buffer.data(),
                                                                 int(buffer.size()), &keysym, &status);
                            if (status == XLookupChars || status == XLookupBoth)
                                recorded.text.assign(buffer.data(), std::size_t(length));
                        } else {
                            XLookupString(&event.xkey, buffer.data(), 0, &keysym, nullptr);
                            recorded.text = keysymText(keysym);
                        }
                        if (recorded.text.empty() && recorded.keysym == NoSymbol) {
                            // Xlib's cached keymap can miss a remap that came while this window
                            // lagged (sanitizer builds); the server's current mapping was typed.
                            int perCode = 0;
                            KeySym* fresh = XGetKeyboardMapping(
                                d, static_cast<KeyCode>(event.xkey.keycode), 1, &perCode);
                            if (fresh != nullptr) {
                                recorded.keysym = perCode > 0 ? fresh[0] : NoSymbol;
                                recorded.text = keysymText(recorded.keysym);
                                XFree(fresh);
                            }
                        }
                    }
                    break;
                }
                case ButtonPress:
                case ButtonRelease:
                    recorded.kind = event.type == ButtonPress ? Kind::buttonPress : Kind::buttonRelease;
                    recorded.button = event.xbutton.button;
                    recorded.x = event.xbutton.x_root, recorded.y = event.xbutton.y_root;
                    recorded.state = event.xbutton.state;
                    break;
                case MotionNotify:
                    recorded.kind = Kind::motion;
                    recorded.x = event.xmotion.x_root, recorded.y = event.xmotion.y_root;
                    recorded.state = event.xmotion.state;
                    break;
                case MappingNotify:
                    // Drops Xlib's cached keysyms, so remapped keys decode right.
                    XRefreshKeyboardMapping(&event.xmapping);
                    if (event.xmapping.request == MappingKeyboard) {
                        std::lock_guard lock(mutex_);
                        ++mappingChanges_;
                    }
                    continue;
                default:
                    continue;
            }
            {
                std::lock_guard lock(mutex_);
                events_.push_back(std::move(recorded));
            }
            changed_.notify_all();
        }
        // A lost connection is not polled (a negative fd is skipped), or it would spin.
        std::array<pollfd, 2> fds{{{x_->connection->lost() ? -1 : ConnectionNumber(d), POLLIN, 0},
                                   {wakeRead_, POLLIN, 0}}};
        ::poll(fds.data(), fds.size(), -1);
        if ((fds[1].revents & POLLIN) != 0) return;
    }
}

std::vector<X11TestWindow::Event> X11TestWindow::events() const {
    std::lock_guard lock(mutex_);
    return events_;
}

std::string X11TestWindow::typedText() const {
    std::lock_guard lock(mutex_);
    std::string text;
    for (const auto& event : events_) text += event.kind == Kind::keyPress ? event.text : "";
    return text;
}

bool X11TestWindow::waitFor(std::function<bool(const std::vector<Event>&)> done, std::chrono::milliseconds limit) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, limit, [&] { return done(events_); });
}

void X11TestWindow::clear() {
    std::lock_guard lock(mutex_);
    events_.clear();
}

unsigned X11TestWindow::mappingChanges() const {
    std::lock_guard lock(mutex_);
    return mappingChanges_;
}

}  // namespace tarvel::testing
