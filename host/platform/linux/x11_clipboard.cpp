#include "host/platform/linux/x11_clipboard.hpp"

#include <X11/Xatom.h>
#include <X11/extensions/XTest.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <functional>
#include <utility>
#include <vector>

#include "core/base/log.hpp"
#include "core/base/unicode.hpp"
#include "host/platform/linux/x11_connection.hpp"

namespace tarvel::platform {

namespace {

using Clock = std::chrono::steady_clock;

// How long setText waits for the server to confirm ownership: a paste that
// follows a false return is skipped, one that follows a hang is worse.
constexpr auto ownershipBound = std::chrono::seconds(1);
// Largest reply sent in one piece; larger ones go incrementally so one copy
// never stalls the server (and every client on it) for long.
constexpr std::size_t maxPieceBytes = 256 * 1024;
// Room for the ChangeProperty request's own header within the server's limit.
constexpr std::size_t requestHeaderBytes = 64;
// Incremental transfers under way at once, at most: a client asking again and
// again must not make the owner hold the text many times over.
constexpr std::size_t maxTransfers = 8;

// An incremental transfer whose requestor stops reading is dropped after this.
constexpr auto transferIdleLimit = std::chrono::seconds(5);

constexpr std::string_view replacementCharacter = "\xEF\xBF\xBD";  // U+FFFD

// Each maximal ill-formed subpart becomes one U+FFFD, as Unicode recommends,
// so a truncated character costs one replacement, not one per byte.
std::string wellFormedUTF8(std::string_view in) {
    if (base::isUTF8(in)) {
        return std::string(in);
    }
    std::string out;
    out.reserve(in.size() + 16);
    std::size_t i = 0;
    while (i < in.size()) {
        const auto lead = static_cast<unsigned char>(in[i]);
        if (lead < 0x80) {
            out += static_cast<char>(lead);
            ++i;
            continue;
        }
        int continuations = 0;
        unsigned char low = 0x80;
        unsigned char high = 0xBF;
        if (lead >= 0xC2 && lead <= 0xDF) {
            continuations = 1;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            continuations = 2;
            low = lead == 0xE0 ? 0xA0 : 0x80;   // overlong
            high = lead == 0xED ? 0x9F : 0xBF;  // surrogates
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            continuations = 3;
            low = lead == 0xF0 ? 0x90 : 0x80;   // overlong
            high = lead == 0xF4 ? 0x8F : 0xBF;  // beyond U+10FFFF
        }
        std::size_t end = i + 1;
        for (int k = 0; k < continuations && end < in.size(); ++k, ++end) {
            const auto byte = static_cast<unsigned char>(in[end]);
            if (byte < (k == 0 ? low : 0x80) || byte > (k == 0 ? high : 0xBF)) {
                break;
            }
        }
        if (continuations > 0 && end - i == static_cast<std::size_t>(continuations) + 1) {
            out.append(in.substr(i, end - i));
        } else {
            out += replacementCharacter;
        }
        i = end;
    }
    return out;
}

// Well-formed UTF-8 to Latin-1; characters beyond U+00FF become '?'.
std::string latin1(std::string_view utf8) {
    std::string out;
    out.reserve(utf8.size());
    for (std::size_t i = 0; i < utf8.size();) {
        const auto lead = static_cast<unsigned char>(utf8[i]);
        const std::size_t length = lead < 0x80 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
        if (length == 1) {
            out += static_cast<char>(lead);
        } else if (length == 2 && lead <= 0xC3 && i + 1 < utf8.size()) {
            out += static_cast<char>(((lead & 0x1F) << 6) | (utf8[i + 1] & 0x3F));
        } else {
            out += '?';
        }
        i += length;
    }
    return out;
}

// Server times are 32-bit milliseconds that wrap after about 49 days.
bool notBefore(Time time, Time reference) {
    return static_cast<std::int32_t>(static_cast<std::uint32_t>(time) -
                                     static_cast<std::uint32_t>(reference)) >= 0;
}

}  // namespace

class X11Clipboard::Owner {
  public:
    /// Reports that taking ownership for a generation ended (owned or not).
    using Settle = std::function<void(std::uint64_t generation, bool owned)>;

    Owner(std::unique_ptr<X11Connection> connection, Window window, int wakeFd)
        : connection_(std::move(connection)),
          display_(connection_->display()),
          window_(window),
          wakeFd_(wakeFd) {
        const char* names[] = {"CLIPBOARD",
                               "TARGETS",
                               "TIMESTAMP",
                               "UTF8_STRING",
                               "TEXT",
                               "INCR",
                               "TARVEL_CLIPBOARD_TIME"};
        std::array<Atom, std::size(names)> atoms{};
        XInternAtoms(display_, const_cast<char**>(names), static_cast<int>(std::size(names)), False,
                     atoms.data());
        clipboard_ = atoms[0];
        targets_ = atoms[1];
        timestamp_ = atoms[2];
        utf8String_ = atoms[3];
        textAtom_ = atoms[4];
        incr_ = atoms[5];
        timeProperty_ = atoms[6];
        long units = XExtendedMaxRequestSize(display_);
        if (units == 0) {
            units = XMaxRequestSize(display_);
        }
        const auto limit = static_cast<std::size_t>(units) * 4;
        pieceBytes_ =
            std::min(maxPieceBytes, limit > 2 * requestHeaderBytes ? limit - requestHeaderBytes
                                                                   : requestHeaderBytes);
    }

    bool lost() const noexcept { return connection_->lost(); }
    void setSettle(Settle settle) { settle_ = std::move(settle); }

    /// Adopts `text` at once and asks the server for a timestamp to take the
    /// selection with; ownership follows when the timestamp arrives.
    void take(std::string text, std::uint64_t generation) {
        text_ = std::make_shared<const std::string>(std::move(text));
        generation_ = generation;
        if (!awaitingTime_) {
            // A zero-length append changes nothing but yields a PropertyNotify
            // with the server's time. Taken at CurrentTime, the selection would
            // have no known start to refuse older requests by or to report.
            XChangeProperty(display_, window_, timeProperty_, XA_STRING, 8, PropModeAppend, nullptr,
                            0);
            awaitingTime_ = true;
        }
    }

    /// Handles every event that has arrived, then flushes.
    void processEvents() {
        while (!lost() && XPending(display_) > 0) {
            XEvent event;
            XNextEvent(display_, &event);
            handle(event);
        }
    }

    /// Sleeps until the server or the wake descriptor has something.
    void wait() {
        std::array<pollfd, 2> fds{};
        fds[0] = {ConnectionNumber(display_), POLLIN, 0};
        fds[1] = {wakeFd_, POLLIN, 0};
        const int timeout = transfers_.empty() ? -1 : 1000;
        if (::poll(fds.data(), fds.size(), timeout) > 0 && (fds[1].revents & POLLIN) != 0) {
            std::uint64_t count = 0;
            (void)!::read(wakeFd_, &count, sizeof count);
        }
        dropIdleTransfers();
    }

  private:
    struct Transfer {
        Window requestor;
        Atom property;
        Atom type;
        std::shared_ptr<const std::string> data;
        std::size_t offset = 0;
        Clock::time_point lastProgress;
    };

    void handle(const XEvent& event) {
        switch (event.type) {
            case SelectionRequest:
                answer(event.xselectionrequest);
                break;
            case SelectionClear:
                if (event.xselectionclear.selection == clipboard_) {
                    lose();
                }
                break;
            case PropertyNotify:
                propertyChanged(event.xproperty);
                break;
            case DestroyNotify:
                // The requestor is gone; deselecting on its window would only err.
                std::erase_if(transfers_, [&](const Transfer& t) {
                    return t.requestor == event.xdestroywindow.window;
                });
                break;
            default:
                break;
        }
    }

    void propertyChanged(const XPropertyEvent& event) {
        if (event.window == window_ && event.atom == timeProperty_ &&
            event.state == PropertyNewValue) {
            if (awaitingTime_) {
                awaitingTime_ = false;
                acquire(event.time);
            }
            return;
        }
        if (event.state != PropertyDelete) {
            return;
        }
        // The requestor deleted the last piece: it wants the next one.
        auto found = std::find_if(transfers_.begin(), transfers_.end(), [&](const Transfer& t) {
            return t.requestor == event.window && t.property == event.atom;
        });
        if (found != transfers_.end()) {
            sendPiece(found);
        }
    }

    void acquire(Time time) {
        XSetSelectionOwner(display_, clipboard_, window_, time);
        // The round trip is the confirmation a paste that follows relies on.
        owned_ = XGetSelectionOwner(display_, clipboard_) == window_;
        if (owned_) {
            ownedSince_ = time;
        }
        settle_(generation_, owned_ && !lost());
    }

    void lose() {
        if (XGetSelectionOwner(display_, clipboard_) == window_) {
            return;  // a stale clear, from before a later take of ours
        }
        owned_ = false;
        if (!awaitingTime_) {
            // Another application took the clipboard: its text is the one to
            // paste now, so ours must not come back.
            text_.reset();
        }
    }

    void answer(const XSelectionRequestEvent& request) {
        XSelectionEvent reply{};
        reply.type = SelectionNotify;
        reply.display = display_;
        reply.requestor = request.requestor;
        reply.selection = request.selection;
        reply.target = request.target;
        reply.time = request.time;
        reply.property = None;
        // Obsolete requestors name no property: the target's name is used.
        const Atom property = request.property == None ? request.target : request.property;
        const bool current = request.time == CurrentTime || notBefore(request.time, ownedSince_);
        // Our own window as the requestor would have a transfer change which
        // events it listens to, and never a real reader behind it.
        if (owned_ && request.selection == clipboard_ && request.owner == window_ && current &&
            request.requestor != window_ && convert(request.requestor, request.target, property)) {
            reply.property = property;
        }
        XEvent event{};
        event.xselection = reply;
        XSendEvent(display_, request.requestor, False, NoEventMask, &event);
    }

    bool convert(Window requestor, Atom target, Atom property) {
        if (target == targets_) {
            const std::array<long, 5> offered{
                static_cast<long>(targets_), static_cast<long>(timestamp_),
                static_cast<long>(utf8String_), static_cast<long>(textAtom_),
                static_cast<long>(XA_STRING)};
            XChangeProperty(display_, requestor, property, XA_ATOM, 32, PropModeReplace,
                            reinterpret_cast<const unsigned char*>(offered.data()),
                            static_cast<int>(offered.size()));
            return true;
        }
        if (target == timestamp_) {
            const long time = static_cast<long>(ownedSince_);
            XChangeProperty(display_, requestor, property, XA_INTEGER, 32, PropModeReplace,
                            reinterpret_cast<const unsigned char*>(&time), 1);
            return true;
        }
        if (!text_) {
            return false;
        }
        if (target == utf8String_ || target == textAtom_) {
            return send(requestor, property, utf8String_, text_);
        }
        if (target == XA_STRING) {
            return send(requestor, property, XA_STRING,
                        std::make_shared<const std::string>(latin1(*text_)));
        }
        return false;
    }

    /// False when the request is refused.
    bool send(Window requestor, Atom property, Atom type, std::shared_ptr<const std::string> data) {
        if (data->size() <= pieceBytes_) {
            XChangeProperty(display_, requestor, property, type, 8, PropModeReplace,
                            reinterpret_cast<const unsigned char*>(data->data()),
                            static_cast<int>(data->size()));
            return true;
        }
        // Incremental: announce the size, then one piece per deletion the
        // requestor makes. Readers beyond a few at once wait for their turn
        // by asking again; each transfer holds the text.
        std::erase_if(transfers_, [&](const Transfer& t) {
            return t.requestor == requestor && t.property == property;
        });
        if (transfers_.size() >= maxTransfers) {
            return false;
        }
        XSelectInput(display_, requestor, PropertyChangeMask | StructureNotifyMask);
        const long size = static_cast<long>(data->size());
        XChangeProperty(display_, requestor, property, incr_, 32, PropModeReplace,
                        reinterpret_cast<const unsigned char*>(&size), 1);
        transfers_.push_back({requestor, property, type, std::move(data), 0, Clock::now()});
        return true;
    }

    void sendPiece(std::vector<Transfer>::iterator transfer) {
        const std::size_t length = std::min(pieceBytes_, transfer->data->size() - transfer->offset);
        XChangeProperty(
            display_, transfer->requestor, transfer->property, transfer->type, 8, PropModeReplace,
            reinterpret_cast<const unsigned char*>(transfer->data->data() + transfer->offset),
            static_cast<int>(length));
        transfer->offset += length;
        transfer->lastProgress = Clock::now();
        if (length == 0) {
            // The empty piece just written marks the end.
            const Window requestor = transfer->requestor;
            transfers_.erase(transfer);
            forget(requestor);
        }
    }

    void dropIdleTransfers() {
        const auto now = Clock::now();
        std::vector<Window> dropped;
        std::erase_if(transfers_, [&](const Transfer& t) {
            if (now - t.lastProgress < transferIdleLimit) {
                return false;
            }
            dropped.push_back(t.requestor);
            return true;
        });
        for (Window requestor : dropped) {
            forget(requestor);
        }
    }

    // Stops listening to a requestor's window once no transfer needs it.
    void forget(Window requestor) {
        if (std::none_of(transfers_.begin(), transfers_.end(),
                         [&](const Transfer& t) { return t.requestor == requestor; })) {
            XSelectInput(display_, requestor, NoEventMask);
        }
    }

    std::unique_ptr<X11Connection> connection_;
    Display* display_;
    Window window_;
    int wakeFd_;
    Settle settle_;

    Atom clipboard_ = None;
    Atom targets_ = None;
    Atom timestamp_ = None;
    Atom utf8String_ = None;
    Atom textAtom_ = None;
    Atom incr_ = None;
    Atom timeProperty_ = None;
    std::size_t pieceBytes_ = 0;

    std::shared_ptr<const std::string> text_;
    std::uint64_t generation_ = 0;
    bool awaitingTime_ = false;
    bool owned_ = false;
    Time ownedSince_ = CurrentTime;
    std::vector<Transfer> transfers_;
};

tl::expected<std::shared_ptr<X11Clipboard>, std::string> X11Clipboard::open(
    std::string_view displayName) {
    auto connection = X11Connection::open(displayName, "clipboard");
    if (!connection) {
        return tl::unexpected(connection.error());
    }
    Display* display = (*connection)->display();
    // Never mapped: it only has to exist to own the selection and receive events.
    const Window window =
        XCreateSimpleWindow(display, DefaultRootWindow(display), 0, 0, 1, 1, 0, 0, 0);
    XSelectInput(display, window, PropertyChangeMask);
    // Another client's server grab must not stall the owner (and so setText).
    XTestGrabControl(display, True);
    XSync(display, False);
    if ((*connection)->lost()) {
        return tl::unexpected(std::string("the X server went away"));
    }
    const int wakeFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (wakeFd < 0) {
        return tl::unexpected(std::string("cannot create an eventfd: ") + std::strerror(errno));
    }
    auto owner = std::make_unique<Owner>(std::move(*connection), window, wakeFd);
    std::shared_ptr<X11Clipboard> clipboard(new X11Clipboard(std::move(owner), wakeFd));
    return clipboard;
}

X11Clipboard::X11Clipboard(std::unique_ptr<Owner> owner, int wakeFd) : wakeFd_(wakeFd) {
    owner->setSettle([this](std::uint64_t generation, bool owned) {
        std::lock_guard lock(mutex_);
        shared_.settled = std::max(shared_.settled, generation);
        shared_.settledOwned = owned;
        settledChanged_.notify_all();
    });
    thread_ = std::thread([this, owner = std::move(owner)]() mutable {
        run(*owner);
        // Closed here: once the server is gone, libX11 leaves the display
        // locked to the thread that noticed, and a close elsewhere would hang.
        owner.reset();
    });
}

X11Clipboard::~X11Clipboard() {
    {
        std::lock_guard lock(mutex_);
        shared_.stopping = true;
    }
    const std::uint64_t one = 1;
    (void)!::write(wakeFd_, &one, sizeof one);
    thread_.join();
    ::close(wakeFd_);
}

bool X11Clipboard::setText(std::string_view utf8) {
    std::string text = wellFormedUTF8(utf8);
    std::unique_lock lock(mutex_);
    if (shared_.dead) {
        return false;
    }
    shared_.next = std::move(text);
    const std::uint64_t generation = ++shared_.requested;
    const std::uint64_t one = 1;
    (void)!::write(wakeFd_, &one, sizeof one);
    // A later text settling first answers for this one too: that text is the
    // one a paste would find.
    const bool settled = settledChanged_.wait_for(
        lock, ownershipBound, [&] { return shared_.dead || shared_.settled >= generation; });
    return settled && !shared_.dead && shared_.settledOwned;
}

void X11Clipboard::run(Owner& owner) {
    for (;;) {
        std::optional<std::string> text;
        std::uint64_t generation = 0;
        {
            std::lock_guard lock(mutex_);
            if (shared_.stopping) {
                return;
            }
            text.swap(shared_.next);
            generation = shared_.requested;
        }
        if (text) {
            owner.take(std::move(*text), generation);
        }
        owner.processEvents();
        if (owner.lost()) {
            // The connection logged it; callers now get false at once.
            std::lock_guard lock(mutex_);
            shared_.dead = true;
            settledChanged_.notify_all();
            return;
        }
        owner.wait();
    }
}

}  // namespace tarvel::platform
