#include "tools/client/terminal_keys.hpp"

#include <algorithm>
#include <cerrno>
#include <optional>
#include <span>
#include <string_view>
#include <utility>

namespace tarvel::cli {

namespace {

using wire::ModifierMask;

namespace Usage {
constexpr std::uint8_t a = 0x04;
constexpr std::uint8_t one = 0x1E;
constexpr std::uint8_t six = 0x23;
constexpr std::uint8_t enter = 0x28;
constexpr std::uint8_t escape = 0x29;
constexpr std::uint8_t backspace = 0x2A;
constexpr std::uint8_t tab = 0x2B;
constexpr std::uint8_t space = 0x2C;
constexpr std::uint8_t backslash = 0x31;
constexpr std::uint8_t slash = 0x38;
constexpr std::uint8_t f1 = 0x3A;
constexpr std::uint8_t f6 = 0x3F;
constexpr std::uint8_t f11 = 0x44;
constexpr std::uint8_t f12 = 0x45;
constexpr std::uint8_t insert = 0x49;
constexpr std::uint8_t home = 0x4A;
constexpr std::uint8_t pageUp = 0x4B;
constexpr std::uint8_t deleteForward = 0x4C;
constexpr std::uint8_t end = 0x4D;
constexpr std::uint8_t pageDown = 0x4E;
constexpr std::uint8_t right = 0x4F;
constexpr std::uint8_t left = 0x50;
constexpr std::uint8_t down = 0x51;
constexpr std::uint8_t up = 0x52;
constexpr std::uint8_t f13 = 0x68;
}  // namespace Usage

constexpr std::uint8_t esc = 0x1B;
constexpr std::uint8_t leaveByte = 0x1D;  // Ctrl-]

TerminalKey key(std::uint8_t usage, ModifierMask mods = {}) {
    return TerminalKey{usage, mods};
}

/// The key (on a US layout) that types `c`, 0x20-0x7E, with shift when it needs it.
TerminalKey asciiKey(std::uint8_t c) {
    constexpr std::string_view plain = "-=[]\\;'`,./";
    constexpr std::string_view shifted = "_+{}|:\"~<>?";
    constexpr std::string_view shiftedDigits = "!@#$%^&*()";
    constexpr std::array<std::uint8_t, 11> punctuation = {0x2D, 0x2E, 0x2F, 0x30, 0x31, 0x33,
                                                          0x34, 0x35, 0x36, 0x37, 0x38};
    const char ch = static_cast<char>(c);
    if (ch >= 'a' && ch <= 'z') {
        return key(static_cast<std::uint8_t>(Usage::a + (ch - 'a')));
    }
    if (ch >= 'A' && ch <= 'Z') {
        return key(static_cast<std::uint8_t>(Usage::a + (ch - 'A')), ModifierMask::shift);
    }
    if (ch >= '1' && ch <= '9') {
        return key(static_cast<std::uint8_t>(Usage::one + (ch - '1')));
    }
    if (ch == '0') {
        return key(Usage::one + 9);
    }
    if (auto i = plain.find(ch); i != std::string_view::npos) {
        return key(punctuation[i]);
    }
    if (auto i = shifted.find(ch); i != std::string_view::npos) {
        return key(punctuation[i], ModifierMask::shift);
    }
    if (auto i = shiftedDigits.find(ch); i != std::string_view::npos) {
        return key(static_cast<std::uint8_t>(Usage::one + i), ModifierMask::shift);
    }
    return key(Usage::space);
}

/// The key a C0 control byte or DEL stands for; nullopt for ESC and Ctrl-], which are no keys.
std::optional<TerminalKey> controlKey(std::uint8_t c) {
    switch (c) {
        case 0x00:
            return key(Usage::space, ModifierMask::control);
        case 0x08:
        case 0x7F:
            return key(Usage::backspace);
        case 0x09:
            return key(Usage::tab);
        case 0x0A:
        case 0x0D:
            return key(Usage::enter);
        case 0x1C:
            return key(Usage::backslash, ModifierMask::control);
        case 0x1E:  // Ctrl-^ is Ctrl-Shift-6 on the layout terminals assume
            return key(Usage::six, ModifierMask::control | ModifierMask::shift);
        case 0x1F:
            return key(Usage::slash, ModifierMask::control);
        default:
            break;
    }
    if (c >= 0x01 && c <= 0x1A) {
        return key(static_cast<std::uint8_t>(Usage::a + c - 1), ModifierMask::control);
    }
    return std::nullopt;
}

/// Emits what a C0 control byte or DEL means, with `extra` held: Ctrl-] leaves whatever is held.
void emitControl(std::uint8_t c, ModifierMask extra, std::vector<TerminalInput>& out) {
    if (c == leaveByte) {
        out.emplace_back(TerminalLeave{});
    } else if (auto k = controlKey(c)) {
        k->mods.insert(extra);
        out.emplace_back(*k);
    }
}

/// A character code as xterm's modifyOtherKeys and CSI-u report it, with `mods` held.
void emitCode(unsigned code, ModifierMask mods, std::vector<TerminalInput>& out) {
    if (code == esc) {
        out.emplace_back(key(Usage::escape, mods));
    } else if (code < 0x20 || code == 0x7F) {
        emitControl(static_cast<std::uint8_t>(code), mods, out);
    } else if (code < 0x7F) {
        TerminalKey k = asciiKey(static_cast<std::uint8_t>(code));
        k.mods.insert(mods);
        out.emplace_back(k);
    }
}

/// xterm's modifier parameter: 1 + a bit set of shift, alt, ctrl, meta.
ModifierMask xtermMods(unsigned param) {
    ModifierMask mods;
    if (param < 2) {
        return mods;
    }
    const unsigned bits = (param - 1) & 0x0F;
    if (bits & 1) {
        mods.insert(ModifierMask::shift);
    }
    if (bits & 2) {
        mods.insert(ModifierMask::option);
    }
    if (bits & 4) {
        mods.insert(ModifierMask::control);
    }
    if (bits & 8) {
        mods.insert(ModifierMask::command);
    }
    return mods;
}

struct Params {
    std::array<unsigned, 4> value{};
    std::size_t count = 0;
    bool plain = true;  // only digits and ';': no private marker, sub-parameter or intermediate
};

Params parseParams(std::span<const std::uint8_t> bytes) {
    Params p;
    if (bytes.empty()) {
        return p;
    }
    p.count = 1;
    for (std::uint8_t b : bytes) {
        if (b >= '0' && b <= '9') {
            auto& v = p.value[p.count - 1];
            v = std::min(v * 10 + (b - '0'), 65535u);  // clamped so long runs cannot overflow
        } else if (b == ';' && p.count < p.value.size()) {
            ++p.count;
        } else {
            p.plain = false;
            return p;
        }
    }
    return p;
}

std::optional<std::uint8_t> letterFinalUsage(std::uint8_t final) {
    switch (final) {
        case 'A':
            return Usage::up;
        case 'B':
            return Usage::down;
        case 'C':
            return Usage::right;
        case 'D':
            return Usage::left;
        case 'H':
            return Usage::home;
        case 'F':
            return Usage::end;
        case 'P':
        case 'Q':
        case 'R':
        case 'S':
            return static_cast<std::uint8_t>(Usage::f1 + (final - 'P'));
        default:
            return std::nullopt;
    }
}

/// The key of ESC [ code ~ (vt220 and xterm numbering).
std::optional<std::uint8_t> tildeUsage(unsigned code) {
    switch (code) {
        case 1:
        case 7:
            return Usage::home;
        case 2:
            return Usage::insert;
        case 3:
            return Usage::deleteForward;
        case 4:
        case 8:
            return Usage::end;
        case 5:
            return Usage::pageUp;
        case 6:
            return Usage::pageDown;
        case 23:
            return Usage::f11;
        case 24:
            return Usage::f12;
        case 25:
        case 26:
            return static_cast<std::uint8_t>(Usage::f13 + (code - 25));
        case 28:
        case 29:
            return static_cast<std::uint8_t>(Usage::f13 + 2 + (code - 28));
        default:
            break;
    }
    if (code >= 11 && code <= 15) {
        return static_cast<std::uint8_t>(Usage::f1 + (code - 11));
    }
    if (code >= 17 && code <= 21) {
        return static_cast<std::uint8_t>(Usage::f6 + (code - 17));
    }
    if (code >= 31 && code <= 34) {
        return static_cast<std::uint8_t>(Usage::f13 + 4 + (code - 31));
    }
    return std::nullopt;
}

void appendText(std::vector<TerminalInput>& out, std::span<const std::uint8_t> bytes) {
    const std::string_view text(reinterpret_cast<const char*>(bytes.data()), bytes.size());
    if (!out.empty()) {
        if (auto* last = std::get_if<TerminalText>(&out.back())) {
            last->utf8.append(text);
            return;
        }
    }
    out.emplace_back(TerminalText{std::string(text)});
}

/// Total length of the UTF-8 character `lead` opens; 0 for a byte that opens none.
std::size_t utf8Length(std::uint8_t lead) {
    if (lead >= 0xC2 && lead <= 0xDF) {
        return 2;
    }
    if (lead >= 0xE0 && lead <= 0xEF) {
        return 3;
    }
    if (lead >= 0xF0 && lead <= 0xF4) {
        return 4;
    }
    return 0;
}

/// Whether `next` may follow `lead` as its first continuation byte: rules out
/// overlong forms, surrogates, code points past U+10FFFF and C1 controls.
bool validSecondByte(std::uint8_t lead, std::uint8_t next) {
    if ((next & 0xC0) != 0x80) {
        return false;
    }
    switch (lead) {
        case 0xC2:
            return next >= 0xA0;
        case 0xE0:
            return next >= 0xA0;
        case 0xED:
            return next <= 0x9F;
        case 0xF0:
            return next >= 0x90;
        case 0xF4:
            return next <= 0x8F;
        default:
            return true;
    }
}

}  // namespace

void TerminalKeyParser::feed(wire::ByteView bytes, std::vector<TerminalInput>& out) {
    for (std::uint8_t b : bytes) {
        step(b, out);
    }
}

bool TerminalKeyParser::pending() const noexcept {
    return state_ != State::ground && state_ != State::utf8;
}

void TerminalKeyParser::flush(std::vector<TerminalInput>& out) {
    switch (state_) {
        case State::escape:
            out.emplace_back(key(Usage::escape));
            break;
        case State::csi:
        case State::ss3:
        case State::linuxFKey:
            if (seqLen_ == 1) {
                // Nothing followed ESC [ or ESC O: most likely Alt with that key.
                TerminalKey alt = asciiKey(seq_[0]);
                alt.mods.insert(ModifierMask::option);
                out.emplace_back(alt);
            } else {
                out.emplace_back(key(Usage::escape));
                const auto rest = seq_;
                const std::size_t restLen = seqLen_;
                state_ = State::ground;
                seqLen_ = 0;
                // Only printable bytes are kept in a sequence, so they come back as text.
                feed(std::span(rest.data(), restLen), out);
            }
            break;
        case State::swallow:
            break;  // an overlong sequence is garbage: nothing to replay
        case State::ground:
        case State::utf8:
            return;  // a split UTF-8 character waits for its next byte
    }
    state_ = State::ground;
    seqLen_ = 0;
}

void TerminalKeyParser::step(std::uint8_t byte, std::vector<TerminalInput>& out) {
    switch (state_) {
        case State::ground:
            break;
        case State::escape:
            stepEscape(byte, out);
            return;
        case State::csi:
        case State::ss3:
        case State::linuxFKey:
        case State::swallow:
            stepSequence(byte, out);
            return;
        case State::utf8:
            stepUtf8(byte, out);
            return;
    }
    if (byte == esc) {
        state_ = State::escape;
        seqLen_ = 0;
    } else if (byte >= 0x20 && byte < 0x7F) {
        appendText(out, std::span(&byte, 1));
    } else if (byte < 0x80) {
        emitControl(byte, {}, out);
    } else if (const std::size_t need = utf8Length(byte); need != 0) {
        seq_[0] = byte;
        seqLen_ = 1;
        utf8Need_ = need;
        state_ = State::utf8;
    }
    // Any other byte >= 0x80 opens no character: dropped.
}

void TerminalKeyParser::stepEscape(std::uint8_t byte, std::vector<TerminalInput>& out) {
    if (byte == '[' || byte == 'O') {
        state_ = byte == '[' ? State::csi : State::ss3;
        seq_[0] = byte;
        seqLen_ = 1;
        return;
    }
    if (byte == esc) {
        out.emplace_back(key(Usage::escape));  // the second ESC waits in turn
        return;
    }
    state_ = State::ground;
    if (byte >= 0x80) {
        // No key types a non-ASCII character with Alt: Escape, then the character.
        out.emplace_back(key(Usage::escape));
        step(byte, out);
        return;
    }
    // Terminals send Alt+key as ESC then what the key alone sends.
    if (byte >= 0x20 && byte < 0x7F) {
        TerminalKey k = asciiKey(byte);
        k.mods.insert(ModifierMask::option);
        out.emplace_back(k);
    } else {
        emitControl(byte, ModifierMask::option, out);
    }
}

void TerminalKeyParser::stepSequence(std::uint8_t byte, std::vector<TerminalInput>& out) {
    if (byte == esc) {
        state_ = State::escape;  // a new sequence cuts the unfinished one short
        seqLen_ = 0;
        return;
    }
    if (byte == 0x7F) {
        return;
    }
    if (byte < 0x20) {
        emitControl(byte, {}, out);  // controls inside a sequence act at once, as in a terminal
        return;
    }
    if (byte >= 0x80) {
        // Belongs to no sequence: the sequence is dropped and the byte taken afresh.
        state_ = State::ground;
        seqLen_ = 0;
        step(byte, out);
        return;
    }
    if (state_ == State::swallow) {
        if (byte >= 0x40) {
            state_ = State::ground;
        }
        return;
    }
    if (state_ == State::linuxFKey) {
        state_ = State::ground;
        seqLen_ = 0;
        if (byte >= 'A' && byte <= 'E') {
            out.emplace_back(key(static_cast<std::uint8_t>(Usage::f1 + (byte - 'A'))));
        }
        return;
    }
    if (byte >= 0x40) {
        finishSequence(byte, out);
        return;
    }
    if (seqLen_ == maxSequence) {
        state_ = State::swallow;  // overlong: nothing kept, dropped up to its final byte
        seqLen_ = 0;
        return;
    }
    seq_[seqLen_++] = byte;
}

void TerminalKeyParser::finishSequence(std::uint8_t final, std::vector<TerminalInput>& out) {
    const bool csi = state_ == State::csi;
    const auto paramBytes = std::span(seq_.data() + 1, seqLen_ - 1);
    state_ = State::ground;
    if (csi && paramBytes.empty() && final == '[') {
        state_ = State::linuxFKey;  // the Linux console's F1-F5: ESC [ [ A..E
        seq_[seqLen_++] = final;
        return;
    }
    seqLen_ = 0;
    const Params p = parseParams(paramBytes);
    if (!p.plain) {
        return;  // private or extended reports (focus, mouse, ...): not keys
    }
    // CSI carries the modifier second (ESC[1;5C); SS3 last, when at all (ESC O 5 P).
    const unsigned modParam = csi ? (p.count >= 2 ? p.value[1] : 0)
                                  : (p.count >= 1 ? p.value[p.count - 1] : 0);
    const ModifierMask mods = xtermMods(modParam);

    std::optional<std::uint8_t> usage;
    if (auto letter = letterFinalUsage(final)) {
        usage = letter;
    } else if (csi && final == 'Z') {
        out.emplace_back(key(Usage::tab, mods | ModifierMask::shift));
        return;
    } else if (!csi && final == 'M') {
        usage = Usage::enter;  // keypad Enter
    } else if (csi && final == '~' && p.count >= 1 && p.value[0] == 27 && p.count >= 3) {
        emitCode(p.value[2], mods, out);  // xterm modifyOtherKeys: ESC [ 27 ; m ; code ~
        return;
    } else if (csi && final == '~' && p.count >= 1) {
        usage = tildeUsage(p.value[0]);
    } else if (csi && final == 'u' && p.count >= 1) {
        emitCode(p.value[0], mods, out);  // ESC [ code ; m u
        return;
    }
    if (usage) {
        out.emplace_back(key(*usage, mods));
    }
}

void TerminalKeyParser::stepUtf8(std::uint8_t byte, std::vector<TerminalInput>& out) {
    const bool fits = seqLen_ == 1 ? validSecondByte(seq_[0], byte) : (byte & 0xC0) == 0x80;
    if (!fits) {
        // The character broke off: drop what was gathered, take the byte afresh.
        state_ = State::ground;
        seqLen_ = 0;
        step(byte, out);
        return;
    }
    seq_[seqLen_++] = byte;
    if (seqLen_ == utf8Need_) {
        appendText(out, std::span(seq_.data(), seqLen_));
        state_ = State::ground;
        seqLen_ = 0;
    }
}

tl::expected<RawTerminal, std::error_code> RawTerminal::enter(int fd) {
    termios saved{};
    if (::tcgetattr(fd, &saved) != 0) {
        return tl::unexpected(std::error_code(errno, std::system_category()));
    }
    termios raw = saved;
    // Every byte reaches us untranslated: CR stays CR, Ctrl-S/Ctrl-Q are keys.
    raw.c_iflag &= ~static_cast<tcflag_t>(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR |
                                          ICRNL | IXON | IXOFF);
    // No echo, line editing, signal keys (Ctrl-C goes to the remote) or Ctrl-V.
    raw.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
    raw.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB);
    raw.c_cflag |= CS8;
    raw.c_cc[VMIN] = 1;
    raw.c_cc[VTIME] = 0;
    // c_oflag untouched: OPOST keeps turning our "\n" into CR LF.
    if (::tcsetattr(fd, TCSANOW, &raw) != 0) {
        return tl::unexpected(std::error_code(errno, std::system_category()));
    }
    return RawTerminal(fd, saved);
}

RawTerminal::RawTerminal(RawTerminal&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)), saved_(other.saved_) {}

RawTerminal& RawTerminal::operator=(RawTerminal&& other) noexcept {
    if (this != &other) {
        restore();
        fd_ = std::exchange(other.fd_, -1);
        saved_ = other.saved_;
    }
    return *this;
}

RawTerminal::~RawTerminal() {
    restore();
}

void RawTerminal::restore() noexcept {
    if (fd_ >= 0) {
        ::tcsetattr(fd_, TCSANOW, &saved_);
        fd_ = -1;
    }
}

}  // namespace tarvel::cli
