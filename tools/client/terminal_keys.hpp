#pragma once

#include <termios.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <system_error>
#include <variant>
#include <vector>

#include <tl/expected.hpp>

#include "core/wire/bytes.hpp"
#include "core/wire/input_packet.hpp"

namespace tarvel::cli {

/// A key the remote presses and releases, named by its USB HID keyboard usage
/// (0x04 'a' ...; 0x28 Return, 0x29 Escape, 0x2A Backspace, 0x2B Tab, 0x3A.. F1..,
/// 0x4F.. arrows) with the modifiers held while it is pressed.
struct TerminalKey {
    std::uint8_t usage = 0;
    wire::ModifierMask mods;
    friend bool operator==(const TerminalKey&, const TerminalKey&) = default;
};

/// Characters the remote types as text, whatever its keyboard layout. Valid UTF-8.
struct TerminalText {
    std::string utf8;
    friend bool operator==(const TerminalText&, const TerminalText&) = default;
};

/// Ctrl-] (0x1D): the user leaves interactive mode.
struct TerminalLeave {
    friend bool operator==(const TerminalLeave&, const TerminalLeave&) = default;
};

using TerminalInput = std::variant<TerminalKey, TerminalText, TerminalLeave>;

/// Cuts what a terminal in raw mode sends into keys and text. Keeps an
/// unfinished escape sequence or UTF-8 character across reads; never holds more
/// than a few dozen bytes, whatever it is fed.
class TerminalKeyParser {
public:
    /// Appends what `bytes` completes to `out`; text joins a TerminalText already
    /// at the end of `out`.
    void feed(wire::ByteView bytes, std::vector<TerminalInput>& out);

    /// True while a lone ESC or an unfinished escape sequence waits: the caller
    /// calls flush() after ~30 ms without more input. A split UTF-8 character is
    /// not pending; the next byte settles it.
    bool pending() const noexcept;

    /// Settles a pending sequence: a lone ESC becomes the Escape key, ESC '[' and
    /// ESC 'O' become Alt-[ and Alt-Shift-O, a longer unfinished sequence becomes
    /// Escape followed by its bytes as text, an overlong one is dropped.
    void flush(std::vector<TerminalInput>& out);

private:
    enum class State : std::uint8_t { ground, escape, csi, ss3, linuxFKey, swallow, utf8 };

    // Long enough for any key sequence a terminal sends (ESC[27;16;127~ and the like).
    static constexpr std::size_t maxSequence = 24;

    void step(std::uint8_t byte, std::vector<TerminalInput>& out);
    void stepEscape(std::uint8_t byte, std::vector<TerminalInput>& out);
    void stepSequence(std::uint8_t byte, std::vector<TerminalInput>& out);
    void stepUtf8(std::uint8_t byte, std::vector<TerminalInput>& out);
    void finishSequence(std::uint8_t final, std::vector<TerminalInput>& out);

    State state_ = State::ground;
    std::array<std::uint8_t, maxSequence> seq_{};  // bytes after ESC, or of a UTF-8 character
    std::size_t seqLen_ = 0;
    std::size_t utf8Need_ = 0;  // total length of the UTF-8 character being gathered
};

/// Puts a terminal in raw mode (no echo, no canonical mode, no signals or flow
/// control so Ctrl-C and Ctrl-S reach the remote; output processing kept so our
/// own lines print correctly) and restores exactly the saved attributes on
/// destruction. Movable; a moved-from value restores nothing.
class RawTerminal {
public:
    /// Fails with the errno of tcgetattr/tcsetattr: ENOTTY when fd is not a terminal.
    static tl::expected<RawTerminal, std::error_code> enter(int fd);

    RawTerminal(RawTerminal&& other) noexcept;
    RawTerminal& operator=(RawTerminal&& other) noexcept;
    RawTerminal(const RawTerminal&) = delete;
    RawTerminal& operator=(const RawTerminal&) = delete;
    ~RawTerminal();

private:
    RawTerminal(int fd, const termios& saved) noexcept : fd_(fd), saved_(saved) {}
    void restore() noexcept;

    int fd_ = -1;
    termios saved_{};
};

}  // namespace tarvel::cli
